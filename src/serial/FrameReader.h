#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace pontivo {

// Cuts the board's output into {name=value} frames. The output is one stream: a frame
// split across reads is completed by the next read, a "{" restarts an unfinished frame,
// and text outside frames (including anything before the first "{") is ignored.
class FrameReader {
public:
    using Sink = std::function<void(std::string_view name, std::string_view value)>;

    static constexpr std::size_t kMaxFrameBytes = 4 * 1024;

    // Calls the sink for every frame completed by these bytes, in order.
    void Feed(std::string_view bytes, const Sink& sink);
    // Forgets an unfinished frame; the port has been (re)opened.
    void Reset();

    // Since the reader was made: frames handed to the sink, and frames without "=", too long,
    // or cut by a new "{".
    std::uint64_t Received() const { return m_received; }
    std::uint64_t Malformed() const { return m_malformed; }

private:
    void Complete(const Sink& sink);

    bool m_inFrame = false;
    std::string m_body;
    std::uint64_t m_received = 0;
    std::uint64_t m_malformed = 0;
};

} // namespace pontivo
