#include "record/RecordCodec.h"

#include <algorithm>

namespace pontivo {
namespace {

constexpr std::uint8_t kLastSource = static_cast<std::uint8_t>(WriteSource::Restore);
constexpr std::size_t kFirstBatchBytes = 256;
constexpr std::size_t kMostBatchBytesKept = std::size_t{64} << 10;

void PutNumber(std::string& out, std::uint64_t number)
{
    char packed[10];
    out.append(packed, PackNumber(packed, number));
}

void PutDifference(std::string& out, std::int64_t from, std::int64_t to)
{
    char packed[10];
    out.append(packed, PackDifference(packed, from, to));
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

void BatchPacker::Grow(std::size_t bytes)
{
    m_packed.resize(std::max(2 * m_packed.size(), m_used + bytes));
}

std::string BatchPacker::Take()
{
    // The next buffer starts about as large as this one ended (within bounds): it hardly grows again.
    const std::size_t next = std::clamp(m_used, kFirstBatchBytes, kMostBatchBytesKept);
    m_packed.resize(m_used);
    std::string message;
    message.swap(m_packed);
    m_packed.resize(next);
    Clear();
    return message;
}

void BatchPacker::Clear()
{
    if (m_packed.empty())
        m_packed.resize(kFirstBatchBytes);
    m_packed[0] = static_cast<char>(WriterMessage::Events);
    m_used = 1;
    m_count = 0;
    m_lastTimeMs = 0;
}

std::string LinkMessage(std::int64_t timeMs, std::string_view state)
{
    std::string message(1, static_cast<char>(WriterMessage::Link));
    PutDifference(message, 0, timeMs);
    PutBytes(message, state);
    return message;
}

bool ReadLinkMessage(std::string_view message, std::int64_t& timeMs, std::string_view& state)
{
    if (message.empty() || message[0] != static_cast<char>(WriterMessage::Link))
        return false;
    Reader reader(message.substr(1));
    timeMs = 0;
    return reader.Difference(timeMs) && reader.Bytes(state) && reader.AtEnd();
}

std::vector<std::string> PackMessages(const std::vector<RecordEvent>& events, std::size_t batchEvents)
{
    std::vector<std::string> messages;
    BatchPacker packer;
    for (const RecordEvent& event : events) {
        if (event.kind == RecordEvent::Kind::Link) {
            messages.push_back(LinkMessage(event.timeMs, event.name));
            continue;
        }
        packer.Add(event.kind, event.timeMs, event.source, event.name, event.value);
        if (packer.Count() == batchEvents)
            messages.push_back(packer.Take());
    }
    if (packer.Count() > 0)
        messages.push_back(packer.Take());
    return messages;
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
