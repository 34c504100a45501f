#include "http/EventText.h"

#include "http/EventRing.h"
#include "http/HttpTimings.h"

#include <iterator>

namespace pontivo {

void AppendEvent(std::string& out, std::string_view kind, std::string_view data)
{
    out.append("event: ").append(kind).append("\n");
    for (;;) {
        const std::size_t end = data.find_first_of("\r\n");
        out.append("data: ").append(data.substr(0, end)).append("\n");
        if (end == std::string_view::npos)
            break;
        const bool pair = data.compare(end, 2, "\r\n") == 0;
        data.remove_prefix(end + (pair ? 2 : 1));
    }
    out += '\n';
}

void AppendSetEvent(std::string& out, std::string_view name, std::string_view value)
{
    std::string data;
    data.reserve(name.size() + value.size() + 1);
    data.append(name).append("=").append(value);
    AppendEvent(out, "set", data);
}

void PendingEvents::Set(std::string_view name, std::string_view value, std::string_view id)
{
    DropName(name);
    Append(Kind::Set, name, value, id);
}

void PendingEvents::Unset(std::string_view name, std::string_view id)
{
    DropName(name);
    Append(Kind::Unset, name, {}, id);
    if (m_unsetBytes <= kMaxPendingUnsetBytes)
        return;
    DropIf([](Kind) { return true; });
    m_byName.clear();
    m_snapshotOwed = true;
}

// Everything about names before a reset is moot once the reader applies the reset.
void PendingEvents::Reset(std::string_view id)
{
    DropIf([](Kind kind) { return kind != Kind::Link; });
    m_byName.clear();
    Append(Kind::Reset, {}, {}, id);
}

void PendingEvents::Link(std::string_view state, std::string_view id)
{
    DropIf([](Kind kind) { return kind == Kind::Link; });
    Append(Kind::Link, state, {}, id);
}

void PendingEvents::MoveTo(std::string& out, const Snapshot& snapshot)
{
    if (m_snapshotOwed) {
        AppendIdLine(out, EventRing::kSnapshotId);
        AppendEvent(out, "reset", {});
        snapshot(out);
        m_snapshotOwed = false;
    }
    for (const Item& item : m_items) {
        AppendIdLine(out, item.id);
        switch (item.kind) {
        case Kind::Set:
            AppendSetEvent(out, item.name, item.value);
            break;
        case Kind::Unset:
            AppendEvent(out, "unset", item.name);
            break;
        case Kind::Reset:
            AppendEvent(out, "reset", {});
            break;
        case Kind::Link:
            AppendEvent(out, "link", item.name);
            break;
        }
    }
    m_items.clear();
    m_byName.clear();
    m_bytes = 0;
    m_unsetBytes = 0;
}

void PendingEvents::Append(Kind kind, std::string_view name, std::string_view value, std::string_view id)
{
    if (m_snapshotOwed)
        return;
    m_items.push_back({kind, std::string(name), std::string(value), std::string(id)});
    m_bytes += name.size() + value.size() + id.size() + sizeof(Item);
    m_unsetBytes += kind == Kind::Unset ? name.size() : 0;
    if (kind == Kind::Set || kind == Kind::Unset)
        m_byName.insert_or_assign(std::string(name), std::prev(m_items.end()));
}

PendingEvents::Items::iterator PendingEvents::Drop(Items::iterator item)
{
    m_bytes -= item->name.size() + item->value.size() + item->id.size() + sizeof(Item);
    m_unsetBytes -= item->kind == Kind::Unset ? item->name.size() : 0;
    return m_items.erase(item);
}

void PendingEvents::DropName(std::string_view name)
{
    const auto found = m_byName.find(std::string(name));
    if (found == m_byName.end())
        return;
    Drop(found->second);
    m_byName.erase(found);
}

template <typename Predicate>
void PendingEvents::DropIf(Predicate drop)
{
    for (auto item = m_items.begin(); item != m_items.end();)
        item = drop(item->kind) ? Drop(item) : std::next(item);
}

} // namespace pontivo
