#pragma once

#include <chrono>
#include <cstdint>

namespace pontivo {

// Milliseconds on a clock that never jumps (no midnight wrap, no wall-clock changes).
inline std::int64_t MonotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace pontivo
