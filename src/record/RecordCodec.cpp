#include "RecordCodec.h"

namespace pontivo {
namespace {

constexpr std::uint8_t kLastSource = static_cast<std::uint8_t>(WriteSource::Restore);

void PutNumber(std::string& out, std::uint64_t number)
{
    while (number >= 0x80) {
        out.push_back(static_cast<char>((number & 0x7f) | 0x80));
        number >>= 7;
    }
    out.push_back(static_cast<char>(number));
}

// Differences may be negative (a clock set back): zigzag keeps small ones short.
void PutDifference(std::string& out, std::int64_t from, std::int64_t to)
{
    const std::uint64_t bits = static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from);
    PutNumber(out, (bits << 1) ^ ((bits >> 63) != 0 ? ~std::uint64_t{0} : 0));
}

void PutBytes(std::string& out, std::string_view bytes)
{
    PutNumber(out, bytes.size());
    out.append(bytes);
}

// Reads what the functions above wrote; every read checks the bounds, since a file can be damaged.
class Reader {
public:
    explicit Reader(std::string_view bytes) : m_bytes(bytes) {}
    bool AtEnd() const { return m_at == m_bytes.size(); }

    bool Number(std::uint64_t& number)
    {
        number = 0;
        for (int shift = 0; shift < 64 && m_at < m_bytes.size(); shift += 7) {
            const auto byte = static_cast<std::uint8_t>(m_bytes[m_at++]);
            number |= std::uint64_t{byte & 0x7fu} << shift;
            if (byte < 0x80)
                return true;
        }
        return false;
    }

    bool Difference(std::int64_t& value)
    {
        std::uint64_t zigzag = 0;
        if (!Number(zigzag))
            return false;
        // Unsigned, so that a damaged difference wraps instead of overflowing.
        value = static_cast<std::int64_t>(static_cast<std::uint64_t>(value) + ((zigzag >> 1) ^ (~(zigzag & 1) + 1)));
        return true;
    }

    bool Byte(std::uint8_t& byte, std::uint8_t highest)
    {
        if (m_at == m_bytes.size() || static_cast<std::uint8_t>(m_bytes[m_at]) > highest)
            return false;
        byte = static_cast<std::uint8_t>(m_bytes[m_at++]);
        return true;
    }

    bool Bytes(std::string_view& bytes)
    {
        std::uint64_t size = 0;
        if (!Number(size) || size > m_bytes.size() - m_at)
            return false;
        bytes = m_bytes.substr(m_at, size);
        m_at += size;
        return true;
    }

private:
    std::string_view m_bytes;
    std::size_t m_at = 0;
};

} // namespace

std::string PackBatch(std::vector<RecordEvent>::const_iterator begin, std::vector<RecordEvent>::const_iterator end)
{
    std::string packed;
    std::int64_t timeMs = 0;
    for (auto event = begin; event != end; ++event) {
        if (event->kind == RecordEvent::Kind::Link)
            continue;
        packed.push_back(static_cast<char>(event->kind));
        PutDifference(packed, timeMs, event->timeMs);
        timeMs = event->timeMs;
        if (event->kind == RecordEvent::Kind::Reset)
            continue;
        PutBytes(packed, event->name);
        if (event->kind == RecordEvent::Kind::Set) {
            packed.push_back(static_cast<char>(event->source));
            PutBytes(packed, event->value);
        }
    }
    return packed;
}

bool UnpackBatch(std::string_view packed, const std::function<void(const LoggedEvent&)>& visit)
{
    Reader reader(packed);
    LoggedEvent event;
    std::uint8_t kind = 0;
    std::uint8_t source = 0;
    while (!reader.AtEnd()) {
        if (!reader.Byte(kind, static_cast<std::uint8_t>(RecordEvent::Kind::Reset)) || !reader.Difference(event.timeMs))
            return false;
        event.kind = static_cast<RecordEvent::Kind>(kind);
        event.name = {};
        event.value = {};
        if (event.kind != RecordEvent::Kind::Reset && !reader.Bytes(event.name))
            return false;
        if (event.kind == RecordEvent::Kind::Set && (!reader.Byte(source, kLastSource) || !reader.Bytes(event.value)))
            return false;
        event.source = static_cast<WriteSource>(source);
        visit(event);
    }
    return true;
}

void ChunkPacker::Add(const RecordedPoint& point)
{
    if (m_count++ == 0)
        m_first = {point.seq, point.timeMs, point.source, {}};
    PutDifference(m_packed, m_lastSeq, point.seq);
    PutDifference(m_packed, m_lastTimeMs, point.timeMs);
    m_packed.push_back(static_cast<char>(point.source));
    PutBytes(m_packed, point.value);
    m_lastSeq = point.seq;
    m_lastTimeMs = point.timeMs;
}

bool UnpackChunk(std::string_view packed, const std::function<void(const RecordedPoint&)>& visit)
{
    Reader reader(packed);
    RecordedPoint point;
    std::uint8_t source = 0;
    while (!reader.AtEnd()) {
        if (!reader.Difference(point.seq) || !reader.Difference(point.timeMs) || !reader.Byte(source, kLastSource) ||
            !reader.Bytes(point.value))
            return false;
        point.source = static_cast<WriteSource>(source);
        visit(point);
    }
    return true;
}

} // namespace pontivo
