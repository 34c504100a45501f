#include "http/EventRing.h"

#include <charconv>

namespace pontivo {

EventRing::EventRing(std::string run, std::size_t maxEvents, std::size_t maxBytes)
    : m_run(std::move(run))
    , m_maxEvents(maxEvents)
    , m_maxBytes(maxBytes)
    , m_lastId(m_run + "-0")
{
}

void EventRing::Add(std::optional<std::string_view> name, std::string_view text)
{
    const auto cost = [](const Entry& entry) { return entry.text.size() + (entry.name ? entry.name->size() : 0) + sizeof(Entry); };
    m_lastId = m_run + "-" + std::to_string(m_next);
    if (!Keeps(text.size() + (name ? name->size() : 0))) {
        m_events.clear();
        m_bytes = 0;
        ++m_next;
        return;
    }
    m_events.push_back({m_next++, name ? std::optional<std::string>(*name) : std::nullopt, std::string(text)});
    m_bytes += cost(m_events.back());
    while (m_events.size() > m_maxEvents || m_bytes > m_maxBytes) {
        m_bytes -= cost(m_events.front());
        m_events.pop_front();
    }
}

bool EventRing::Since(std::string_view lastId, const std::function<bool(std::string_view)>& wants, std::string& out) const
{
    if (lastId.size() <= m_run.size() + 1 || !lastId.starts_with(m_run) || lastId[m_run.size()] != '-')
        return false;
    const std::string_view digits = lastId.substr(m_run.size() + 1);
    std::uint64_t number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    // Resumable when every event after it is still here: the next one is held, or none came since.
    const std::uint64_t oldest = m_events.empty() ? m_next : m_events.front().number;
    if (error != std::errc() || end != digits.data() + digits.size() || number >= m_next || number + 1 < oldest)
        return false;
    for (auto entry = m_events.begin() + static_cast<std::ptrdiff_t>(number + 1 - oldest); entry != m_events.end(); ++entry) {
        if (entry->name && !wants(*entry->name))
            continue;
        AppendIdLine(out, m_run + "-" + std::to_string(entry->number));
        out.append(entry->text);
    }
    return true;
}

void AppendIdLine(std::string& out, std::string_view id)
{
    out.append("id: ").append(id).append("\n");
}

} // namespace pontivo
