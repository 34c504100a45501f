#pragma once

#include "record/RecordedFrames.h"
#include "SimOptions.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace pontivo {

// The board's frames from a recording, each due at its recorded distance from the first (scaled by
// the speed). The pace restarts whenever the port is opened again, from the next frame on.
class ReplayFeed {
public:
    using Clock = std::chrono::steady_clock;
    // Bytes taken in one go, so a fast replay still lets the simulator read the program's lines.
    static constexpr std::size_t kTakeBytes = 64 * 1024;

    // Throws std::runtime_error with the reason when the recording cannot be read.
    explicit ReplayFeed(const SimOptions& options);

    // The next frame is due at `now`.
    void Resume(Clock::time_point now);
    // Milliseconds until the next frame is due: 0 when one is, -1 when the replay is over.
    int WaitMs(Clock::time_point now) const;
    // Appends the frames due by `now` to `out` and prints them as "board sent: FRAME".
    void TakeDue(Clock::time_point now, std::string& out);
    // Set once the recording could not be read further.
    const std::string& Error() const { return m_error; }

private:
    void Fetch();
    Clock::time_point Due() const;

    RecordedFrames m_frames;
    double m_speed;
    bool m_loop;
    bool m_pending = false; // m_nextMs and m_nextFrame hold a frame not yet sent
    std::int64_t m_nextMs = 0;
    std::string m_nextFrame;
    std::int64_t m_baseMs = 0; // the recorded time that is due at m_baseAt
    Clock::time_point m_baseAt;
    std::string m_error;
};

} // namespace pontivo
