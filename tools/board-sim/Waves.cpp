#include "Waves.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>

namespace pontivo {
namespace {

constexpr int kSineSamples = 10;
constexpr int kShortestStepMs = 10;

std::optional<double> Number(const std::string& text)
{
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// "500ms", "10s", "2m"; 10 ms to a day.
std::optional<int> Duration(const std::string& text)
{
    long number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    const std::string unit(end, text.data() + text.size());
    const long scale = unit == "ms" ? 1 : unit == "s" ? 1000 : unit == "m" ? 60000 : 0;
    if (error != std::errc() || scale == 0 || number < 1 || number > 24L * 3600 * 1000 / scale ||
        number * scale < kShortestStepMs)
        return std::nullopt;
    return static_cast<int>(number * scale);
}

std::vector<std::string> Split(const std::string& text, char mark)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find(mark, start)) != std::string::npos; start = end + 1)
        parts.push_back(text.substr(start, end - start));
    parts.push_back(text.substr(start));
    return parts;
}

std::string Text(double value, const char* format)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

} // namespace

std::optional<WaveSpec> ParseWave(const std::string& text, std::string& error)
{
    const std::size_t equals = text.find('=');
    const std::vector<std::string> parts = Split(equals == std::string::npos ? "" : text.substr(equals + 1), ':');
    WaveSpec spec;
    spec.name = text.substr(0, equals);
    const auto min = parts.size() == 4 ? Number(parts[1]) : std::nullopt;
    const auto max = parts.size() == 4 ? Number(parts[2]) : std::nullopt;
    const auto time = parts.size() == 4 ? Duration(parts[3]) : std::nullopt;
    const bool known = parts[0] == "sine" || parts[0] == "ramp" || parts[0] == "random";
    if (spec.name.empty() || spec.name.find_first_of("{}") != std::string::npos || !known || !min || !max ||
        *max < *min || !time) {
        error = "--wave needs NAME=sine|ramp|random:MIN:MAX:TIME (MIN <= MAX, TIME such as 500ms, 10s or 1m), not '" +
                text + "'";
        return std::nullopt;
    }
    spec.kind = parts[0] == "sine" ? WaveSpec::Kind::Sine : parts[0] == "ramp" ? WaveSpec::Kind::Ramp : WaveSpec::Kind::Random;
    spec.min = *min;
    spec.max = *max;
    spec.timeMs = *time;
    return spec;
}

Waves::Waves(std::vector<WaveSpec> specs)
    : m_random(std::random_device()())
{
    for (WaveSpec& spec : specs) {
        const int stepMs = spec.kind == WaveSpec::Kind::Sine ? std::max(kShortestStepMs, spec.timeMs / kSineSamples)
                                                              : spec.timeMs;
        m_waves.push_back({std::move(spec), std::chrono::milliseconds(stepMs), {}, 0});
    }
}

void Waves::Restart(Clock::time_point now)
{
    m_start = now;
    for (Running& wave : m_waves) {
        wave.next = now;
        wave.sent = 0;
    }
}

int Waves::WaitMs(Clock::time_point now) const
{
    if (m_waves.empty())
        return -1;
    Clock::time_point next = Clock::time_point::max();
    for (const Running& wave : m_waves)
        next = std::min(next, wave.next);
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::max<long long>(0, left));
}

std::vector<std::pair<std::string, std::string>> Waves::TakeDue(Clock::time_point now)
{
    std::vector<std::pair<std::string, std::string>> due;
    for (Running& wave : m_waves) {
        if (wave.next > now)
            continue;
        due.emplace_back(wave.spec.name, ValueOf(wave));
        ++wave.sent;
        // A simulator that fell behind goes on from now rather than catching up.
        wave.next = std::max(wave.next + wave.step, now);
    }
    return due;
}

std::string Waves::ValueOf(const Running& wave)
{
    const WaveSpec& spec = wave.spec;
    switch (spec.kind) {
    case WaveSpec::Kind::Sine: {
        const double cycles = std::chrono::duration<double, std::milli>(wave.next - m_start).count() / spec.timeMs;
        return Text(spec.min + (spec.max - spec.min) * (1 + std::sin(2 * std::numbers::pi * cycles)) / 2, "%.2f");
    }
    case WaveSpec::Kind::Ramp: {
        const long span = static_cast<long>(spec.max - spec.min) + 1;
        return Text(spec.min + static_cast<double>(wave.sent % span), "%.15g");
    }
    case WaveSpec::Kind::Random:
        break;
    }
    return Text(std::uniform_real_distribution<double>(spec.min, spec.max)(m_random), "%.2f");
}

} // namespace pontivo
