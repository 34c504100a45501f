#include "serial/BoardReader.h"

namespace pontivo {
namespace {

// In auto mode: "{name=" starts a frame, "{\"" a JSON object, anything else is a plotter line.
FrameFormat LineFormat(std::string_view line)
{
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] != '{')
        return FrameFormat::Lines;
    if (first + 1 < line.size() && line[first + 1] == '"')
        return FrameFormat::Json;
    const std::size_t mark = line.find_first_of("{}=", first + 1);
    return mark != std::string_view::npos && line[mark] == '=' ? FrameFormat::Braces : FrameFormat::Lines;
}

} // namespace

void BoardReader::SetFormat(FrameFormat format)
{
    m_format = format;
    Reset();
}

void BoardReader::Feed(std::string_view bytes, const FrameReader::Sink& sink)
{
    if (m_format == FrameFormat::Braces)
        m_frames.Feed(bytes, sink);
    else
        FeedLines(bytes, sink);
}

void BoardReader::FeedLines(std::string_view bytes, const FrameReader::Sink& sink)
{
    while (!bytes.empty()) {
        const std::size_t newline = bytes.find('\n');
        const std::size_t end = newline == std::string_view::npos ? bytes.size() : newline;
        if (!m_skipping && m_line.size() + end > FrameReader::kMaxFrameBytes) {
            m_skipping = true;
            m_line.clear();
            ++m_malformed;
        }
        if (!m_skipping)
            m_line.append(bytes.substr(0, end));
        if (newline == std::string_view::npos)
            return;
        if (!m_skipping)
            CompleteLine(sink);
        m_skipping = false;
        m_line.clear();
        bytes.remove_prefix(newline + 1);
    }
}

// The CR of a CR LF needs no stripping: it separates plotter fields, is blank to JSON, and is outside any frame.
void BoardReader::CompleteLine(const FrameReader::Sink& sink)
{
    if (!ReadLine(m_line, sink))
        ++m_malformed;
}

bool BoardReader::ReadLine(std::string_view line, const FrameReader::Sink& sink)
{
    const FrameFormat format = m_format == FrameFormat::Auto ? LineFormat(line) : m_format;
    if (format == FrameFormat::Braces) {
        // A frame the line leaves open ends with it: the next line may be in another format.
        m_frames.Feed(line, sink);
        m_frames.Reset();
        return true;
    }
    const bool read = format == FrameFormat::Json ? ReadJsonLine(line, FrameReader::kMaxFrameBytes, m_pairs)
                                                  : ReadPlotterLine(line, m_pairs);
    for (const auto& [name, value] : m_pairs)
        sink(name, value);
    m_received += m_pairs.size();
    return read;
}

void BoardReader::Reset()
{
    m_frames.Reset();
    m_line.clear();
    m_skipping = false;
}

} // namespace pontivo
