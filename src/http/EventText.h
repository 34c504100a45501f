#pragma once

#include <functional>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

namespace pontivo {

// An event stream's own head lines; it has no Content-Length: the body ends when either side closes.
constexpr std::string_view kEventStreamLines = "Content-Type: text/event-stream\r\nCache-Control: no-store\r\n";

// "event: KIND", one "data: " line per line of the data (split at CR LF, CR or LF, so a
// value cannot end an event early or inject a field), then the blank line.
void AppendEvent(std::string& out, std::string_view kind, std::string_view data);
void AppendSetEvent(std::string& out, std::string_view name, std::string_view value);

// What a stream that cannot take more still owes its reader, merged so that it stays as
// large as the store at most: the latest value of each name, and unsets, resets and link
// changes in their order, each under the id of its latest event. Names unset come and go with the traffic,
// not with the store: past kMaxPendingUnsetBytes of them it owes a reset and a snapshot of the store instead.
class PendingEvents {
public:
    // Appends the events of every matching variable and of the link, as they stand.
    using Snapshot = std::function<void(std::string& out)>;

    void Set(std::string_view name, std::string_view value, std::string_view id);
    void Unset(std::string_view name, std::string_view id);
    void Reset(std::string_view id);
    void Link(std::string_view state, std::string_view id);
    bool Empty() const { return m_items.empty() && !m_snapshotOwed; }
    std::size_t HeldBytes() const { return m_bytes; }
    // Appends every pending event in order and forgets them.
    void MoveTo(std::string& out, const Snapshot& snapshot);

private:
    enum class Kind { Set, Unset, Reset, Link };
    struct Item {
        Kind kind;
        std::string name; // or the link state
        std::string value;
        std::string id;
    };
    using Items = std::list<Item>;
    void Append(Kind kind, std::string_view name, std::string_view value, std::string_view id);
    Items::iterator Drop(Items::iterator item);
    void DropName(std::string_view name);
    template <typename Predicate>
    void DropIf(Predicate drop);

    Items m_items;
    std::unordered_map<std::string, Items::iterator> m_byName;
    std::size_t m_bytes = 0;
    std::size_t m_unsetBytes = 0;
    bool m_snapshotOwed = false; // then nothing else is kept: the snapshot has it all
};

} // namespace pontivo
