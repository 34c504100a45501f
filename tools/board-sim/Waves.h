#pragma once

#include <chrono>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace pontivo {

// A value the simulator makes by itself: NAME=KIND:MIN:MAX:TIME.
struct WaveSpec {
    enum class Kind { Sine, Ramp, Random };
    std::string name;
    Kind kind = Kind::Sine;
    double min = 0;
    double max = 0;
    int timeMs = 0; // a sine's full cycle; a ramp's or a random value's step
};

// The wave this text describes, or the one-line reason it cannot be one.
std::optional<WaveSpec> ParseWave(const std::string& text, std::string& error);

// The waves' values as they fall due: a sine sends 10 values per cycle, a ramp counts up by one
// from MIN to MAX and starts again, a random value is new every step.
class Waves {
public:
    using Clock = std::chrono::steady_clock;

    explicit Waves(std::vector<WaveSpec> specs);

    // Starts every wave again from `now`: the port has been opened.
    void Restart(Clock::time_point now);
    // Milliseconds until the next value is due: 0 when one is, -1 without waves.
    int WaitMs(Clock::time_point now) const;
    // The values due by `now`, as name and text, in the order the waves were given.
    std::vector<std::pair<std::string, std::string>> TakeDue(Clock::time_point now);

private:
    struct Running {
        WaveSpec spec;
        Clock::duration step;
        Clock::time_point next;
        long sent = 0;
    };
    std::string ValueOf(const Running& wave);

    std::vector<Running> m_waves;
    Clock::time_point m_start;
    std::minstd_rand m_random;
};

} // namespace pontivo
