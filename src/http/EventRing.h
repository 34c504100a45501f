#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace pontivo {

// The last events of this server run under their ids ("RUN-N", N counting from 1), so that a client that
// reconnects with the id of the last event it got hears exactly what it missed. Bounded by count and bytes;
// an id of another run, one no longer held or one never given cannot be resumed.
class EventRing {
public:
    static constexpr std::size_t kMaxEvents = 16'384;
    static constexpr std::size_t kMaxBytes = 4 * 1024 * 1024;
    // Taken by the first event of a snapshot: a reader cut off inside one starts over.
    static constexpr std::string_view kSnapshotId = "snapshot";

    explicit EventRing(std::string run, std::size_t maxEvents = kMaxEvents, std::size_t maxBytes = kMaxBytes);

    // The id of the last event kept (RUN-0 before the first).
    const std::string& LastId() const { return m_lastId; }
    // Keeps an event's text (without an id line) under the next id, which becomes LastId(). `name` for a set or
    // an unset, which only the streams whose pattern matches it get; none for a reset or the link, which all get.
    // An event larger than the whole ring is not kept, and no earlier id can be resumed past it.
    void Add(std::optional<std::string_view> name, std::string_view text);
    // Whether an event of this size would be kept at all.
    bool Keeps(std::size_t textBytes) const { return textBytes + sizeof(Entry) <= m_maxBytes; }
    // Appends the events after `lastId` that `wants` takes (named ones; the others always), each with its id
    // line; false, appending nothing, when lastId cannot be resumed.
    bool Since(std::string_view lastId, const std::function<bool(std::string_view)>& wants, std::string& out) const;
    std::size_t HeldBytes() const { return m_bytes; }

private:
    struct Entry {
        std::uint64_t number;
        std::optional<std::string> name;
        std::string text;
    };

    const std::string m_run;
    const std::size_t m_maxEvents;
    const std::size_t m_maxBytes;
    std::deque<Entry> m_events;
    std::uint64_t m_next = 1;
    std::size_t m_bytes = 0;
    std::string m_lastId;
};

// "id: ID" and its line feed: an event's own id, written before its other lines.
void AppendIdLine(std::string& out, std::string_view id);

} // namespace pontivo
