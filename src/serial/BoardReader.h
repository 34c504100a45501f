#pragma once

#include "serial/FrameFormat.h"
#include "serial/FrameReader.h"
#include "serial/LineRecord.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace pontivo {

// Reads the board's output in the chosen format. Braces go to the frame reader as they are;
// the other formats take one record per line (LF or CR LF), a line being capped as a frame is:
// the rest of a longer line is dropped unread up to the next LF, and the line counts as malformed.
class BoardReader {
public:
    explicit BoardReader(FrameFormat format = FrameFormat::Braces) : m_format(format) {}

    // Forgets an unfinished line or frame too.
    void SetFormat(FrameFormat format);
    FrameFormat Format() const { return m_format; }

    // Calls the sink for every pair completed by these bytes, in order.
    void Feed(std::string_view bytes, const FrameReader::Sink& sink);
    // Forgets an unfinished line or frame; the port has been (re)opened.
    void Reset();

    // Pairs handed to the sink, and frames or lines skipped as malformed.
    std::uint64_t Received() const { return m_frames.Received() + m_received; }
    std::uint64_t Malformed() const { return m_frames.Malformed() + m_malformed; }

private:
    void FeedLines(std::string_view bytes, const FrameReader::Sink& sink);
    void CompleteLine(const FrameReader::Sink& sink);
    bool ReadLine(std::string_view line, const FrameReader::Sink& sink);

    FrameFormat m_format;
    FrameReader m_frames;
    std::string m_line;
    bool m_skipping = false; // past the cap: the line's remaining bytes are dropped
    LinePairs m_pairs;
    std::uint64_t m_received = 0;
    std::uint64_t m_malformed = 0;
};

} // namespace pontivo
