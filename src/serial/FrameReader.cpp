#include "serial/FrameReader.h"

namespace pontivo {

void FrameReader::Feed(std::string_view bytes, const Sink& sink)
{
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (!m_inFrame) {
            const auto open = bytes.find('{', i);
            if (open == std::string_view::npos)
                return;
            m_inFrame = true;
            m_body.clear();
            i = open + 1;
            continue;
        }
        const auto mark = bytes.find_first_of("{}", i);
        const auto end = mark == std::string_view::npos ? bytes.size() : mark;
        if (m_body.size() + (end - i) > kMaxFrameBytes) {
            // Too long to be a frame: drop it and wait for the next "{".
            m_inFrame = false;
            m_body.clear();
            ++m_malformed;
            i = end;
            continue;
        }
        m_body.append(bytes.substr(i, end - i));
        if (mark == std::string_view::npos)
            return;
        if (bytes[mark] == '{') {
            m_body.clear(); // a new frame starts before this one ended
            ++m_malformed;
        } else {
            Complete(sink);
            m_inFrame = false;
        }
        i = mark + 1;
    }
}

void FrameReader::Complete(const Sink& sink)
{
    const std::string_view body = m_body;
    const auto equals = body.find('=');
    if (equals == std::string_view::npos) {
        ++m_malformed;
        return;
    }
    ++m_received;
    const std::string_view rest = body.substr(equals + 1);
    sink(body.substr(0, equals), rest.substr(0, rest.find('=')));
}

void FrameReader::Reset()
{
    m_inFrame = false;
    m_body.clear();
}

} // namespace pontivo
