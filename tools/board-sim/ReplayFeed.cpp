#include "ReplayFeed.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace pontivo {

ReplayFeed::ReplayFeed(const SimOptions& options)
    : m_frames(options.replayPath, options.fromMs, m_error)
    , m_speed(options.speed)
    , m_loop(options.loop)
{
    if (!m_frames.Valid())
        throw std::runtime_error(m_error);
    Fetch();
    if (!m_pending && m_error.empty())
        throw std::runtime_error(options.replayPath + " holds no frame from the board" +
                                 (options.fromMs != SimOptions().fromMs ? " at or after --from" : ""));
}

void ReplayFeed::Fetch()
{
    m_pending = m_frames.Next(m_nextMs, m_nextFrame, m_error);
    if (m_pending || !m_loop || !m_error.empty())
        return;
    m_frames.Rewind();
    m_pending = m_frames.Next(m_nextMs, m_nextFrame, m_error);
}

void ReplayFeed::Resume(Clock::time_point now)
{
    m_baseMs = m_nextMs;
    m_baseAt = now;
}

ReplayFeed::Clock::time_point ReplayFeed::Due() const
{
    const double ms = static_cast<double>(std::max<std::int64_t>(0, m_nextMs - m_baseMs)) / m_speed;
    return m_baseAt + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(ms));
}

int ReplayFeed::WaitMs(Clock::time_point now) const
{
    if (!m_pending)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(Due() - now).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 24LL * 3600 * 1000));
}

void ReplayFeed::TakeDue(Clock::time_point now, std::string& out)
{
    if (!m_pending)
        return;
    const std::size_t start = out.size();
    while (m_pending && Due() <= now && out.size() - start < kTakeBytes) {
        out += m_nextFrame;
        std::printf("board sent: %s\n", m_nextFrame.c_str());
        const Clock::time_point due = Due();
        const std::int64_t sentMs = m_nextMs;
        Fetch();
        // After a loop back or a recorded clock that went back, go on from the frame just sent.
        if (m_pending && m_nextMs < sentMs) {
            m_baseMs = m_nextMs;
            m_baseAt = due;
        }
    }
    std::fflush(stdout);
    if (!m_pending)
        std::fprintf(stderr, "pontivo-board-sim: %s\n", m_error.empty() ? "the replay is over" : m_error.c_str());
}

} // namespace pontivo
