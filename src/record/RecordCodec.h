#pragma once

#include "record/RecordEvent.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pontivo {

// The recording's two packed forms. A batch is the writes of one commit, in order, kept until they
// are sorted into chunks; a chunk is one name's values over a stretch of time. Packing many writes
// into one row is what keeps recording cheap: SQLite's cost is per row, not per byte.

// One write, removal or reset as a batch holds it; the views point into the batch.
struct LoggedEvent {
    RecordEvent::Kind kind = RecordEvent::Kind::Set;
    std::int64_t timeMs = 0;
    WriteSource source = WriteSource::Http;
    std::string_view name;
    std::string_view value;
};

// One recorded value of a name. `seq` orders all writes of the recording.
struct RecordedPoint {
    std::int64_t seq = 0;
    std::int64_t timeMs = 0;
    WriteSource source = WriteSource::Http;
    std::string_view value;
};

// What the loop hands the writer, message by message; the first byte says which kind.
enum class WriterMessage : char { Events = 'e', Link = 'l' };

// The packed forms' numbers: 7 bits a byte, low first; each writes at `out` and returns the end.
inline char* PackNumber(char* out, std::uint64_t number)
{
    while (number >= 0x80) {
        *out++ = static_cast<char>((number & 0x7f) | 0x80);
        number >>= 7;
    }
    *out++ = static_cast<char>(number);
    return out;
}

// Differences may be negative (a clock set back): zigzag keeps small ones short.
inline char* PackDifference(char* out, std::int64_t from, std::int64_t to)
{
    const std::uint64_t bits = static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from);
    return PackNumber(out, (bits << 1) ^ ((bits >> 63) != 0 ? ~std::uint64_t{0} : 0));
}

inline char* PackBytes(char* out, std::string_view bytes)
{
    out = PackNumber(out, bytes.size());
    if (!bytes.empty())
        std::memcpy(out, bytes.data(), bytes.size());
    return out + bytes.size();
}

// Packs writes, removals and resets into one Events message as they come; the batch a commit stores is
// the message without its first byte. Add runs on the loop for every write, with cold caches: it writes
// straight into a buffer kept larger than what it holds, one length check per write.
class BatchPacker {
public:
    BatchPacker() { Clear(); }
    void Add(RecordEvent::Kind kind, std::int64_t timeMs, WriteSource source, std::string_view name, std::string_view value)
    {
        ++m_count;
        if (m_packed.size() - m_used < kMostFixedBytes + name.size() + value.size())
            Grow(kMostFixedBytes + name.size() + value.size());
        char* out = m_packed.data() + m_used;
        *out++ = static_cast<char>(kind);
        out = PackDifference(out, m_lastTimeMs, timeMs);
        m_lastTimeMs = timeMs;
        if (kind != RecordEvent::Kind::Reset)
            out = PackBytes(out, name);
        if (kind == RecordEvent::Kind::Set) {
            *out++ = static_cast<char>(source);
            out = PackBytes(out, value);
        }
        m_used = static_cast<std::size_t>(out - m_packed.data());
    }
    std::size_t Count() const { return m_count; }
    std::size_t Bytes() const { return m_used; }
    // The message so far; the packer starts the next one.
    std::string Take();

private:
    // Kind, time difference, name length, source, value length at most.
    static constexpr std::size_t kMostFixedBytes = 1 + 10 + 10 + 1 + 10;

    void Grow(std::size_t bytes);
    void Clear();

    std::string m_packed; // its first m_used bytes are the message
    std::size_t m_used = 0;
    std::size_t m_count = 0;
    std::int64_t m_lastTimeMs = 0;
};

std::string LinkMessage(std::int64_t timeMs, std::string_view state);
bool ReadLinkMessage(std::string_view message, std::int64_t& timeMs, std::string_view& state);
// The events (link changes among them) as the loop hands them over, batches split at `batchEvents`.
std::vector<std::string> PackMessages(const std::vector<RecordEvent>& events, std::size_t batchEvents = std::size_t{1} << 16);
// False when the bytes are no batch (a damaged file): the events before the damage were visited.
bool UnpackBatch(std::string_view packed, const std::function<void(const LoggedEvent&)>& visit);

// Appends points to one chunk; seq and time are kept as differences from the point before.
class ChunkPacker {
public:
    void Add(const RecordedPoint& point);
    const std::string& Packed() const { return m_packed; }
    std::size_t Count() const { return m_count; }
    const RecordedPoint& First() const { return m_first; }
    std::int64_t LastTimeMs() const { return m_lastTimeMs; }

private:
    std::string m_packed;
    std::size_t m_count = 0;
    RecordedPoint m_first;
    std::int64_t m_lastSeq = 0;
    std::int64_t m_lastTimeMs = 0;
};

bool UnpackChunk(std::string_view packed, const std::function<void(const RecordedPoint&)>& visit);

} // namespace pontivo
