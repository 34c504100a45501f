#include "store/VariableCommands.h"

#include "store/LikePattern.h"
#include "store/SerialOutput.h"
#include "store/VariableStore.h"

namespace pontivo {

namespace {

// Segments after the command must number exactly `count`.
bool HasArguments(const Segments& segments, std::size_t count)
{
    return segments.size() == count + 1;
}

void AppendListingLine(std::string& body, const std::string& name, const std::string& value)
{
    body += name;
    body += '=';
    body += value;
    body += "\r\n";
}

// The port can close between two lines, so it is asked again before each one.
void SendLine(SerialOutput& port, std::string_view name, std::string_view value)
{
    if (!port.PortOpen())
        return;
    if (!BoardLineSafe(name, value)) {
        port.LineSkipped();
        return;
    }
    std::string line;
    line.reserve(name.size() + value.size() + 2);
    line += name;
    line += '=';
    line += value;
    line += '\n';
    // A failed write leaves the store as changed; the board simply missed the line.
    port.Output(line);
}

// Runs `act` on every name whose pattern (segments[1]) matches, walking a snapshot of the
// names so that `act` may change the store. Nothing runs for a wrong segment count or a
// malformed pattern.
template <typename Act>
void ForEachMatch(const VariableStore& store, const Segments& segments, std::size_t count, Act act)
{
    if (!HasArguments(segments, count))
        return;
    const LikePattern pattern(segments[1]);
    if (!pattern.IsValid())
        return;
    for (const std::string& name : store.Keys()) {
        if (pattern.Matches(name))
            act(name);
    }
}

} // namespace

bool BoardLineSafe(std::string_view name, std::string_view value)
{
    const auto safe = [](std::string_view text) { return text.find_first_of("\r\n") == std::string_view::npos; };
    return safe(name) && safe(value);
}

VariableCommands::VariableCommands(VariableStore& store, SerialOutput& port)
    : m_store(store)
    , m_port(port)
{
}

void VariableCommands::Get(const Segments& segments, std::string& body) const
{
    if (HasArguments(segments, 1)) {
        const std::string& name = segments[1];
        if (m_store.Exists(name))
            body = m_store.Item(name);
        return;
    }
    if (!HasArguments(segments, 0))
        return;

    // Sized up front: a full listing of a large store should not regrow the body.
    std::size_t size = body.size();
    m_store.ForEach([&size](const std::string& name, const std::string& value) {
        size += name.size() + value.size() + 3;
    });
    body.reserve(size);
    m_store.ForEach([&body](const std::string& name, const std::string& value) {
        AppendListingLine(body, name, value);
    });
}

void VariableCommands::GetLike(const Segments& segments, std::string& body) const
{
    ForEachMatch(m_store, segments, 1, [&](const std::string& name) {
        AppendListingLine(body, name, m_store.Item(name));
    });
}

StoreWrite VariableCommands::SetValue(std::string_view name, std::string_view value, UnsafeLine unsafe)
{
    if (unsafe == UnsafeLine::Refuse && !BoardLineSafe(name, value))
        return StoreWrite::Refused;
    // A new name the full store refuses is neither answered nor sent.
    if (!m_store.SetVariable(name, std::string(value)))
        return StoreWrite::StoreFull;
    SendLine(m_port, name, value);
    if (m_setObserver)
        m_setObserver(name);
    return StoreWrite::Done;
}

StoreWrite VariableCommands::PutValue(std::string_view name, std::string_view value)
{
    return m_store.SetVariable(name, std::string(value)) ? StoreWrite::Done : StoreWrite::StoreFull;
}

void VariableCommands::PushName(std::string_view name)
{
    if (m_store.Exists(name))
        SendLine(m_port, name, m_store.Item(name));
}

void VariableCommands::WriteLine(std::string_view name, std::string_view value)
{
    SendLine(m_port, name, value);
}

bool VariableCommands::UnsetName(std::string_view name)
{
    return m_store.Remove(name);
}

void VariableCommands::Set(const Segments& segments, std::string& body)
{
    if (HasArguments(segments, 2) && SetValue(segments[1], segments[2]) == StoreWrite::Done)
        body = segments[2];
}

void VariableCommands::SetLike(const Segments& segments, std::string& /*body*/)
{
    ForEachMatch(m_store, segments, 2, [&](const std::string& name) { SetValue(name, segments[2]); });
}

void VariableCommands::Put(const Segments& segments, std::string& body)
{
    if (HasArguments(segments, 2) && PutValue(segments[1], segments[2]) == StoreWrite::Done)
        body = segments[2];
}

void VariableCommands::PutLike(const Segments& segments, std::string& /*body*/)
{
    ForEachMatch(m_store, segments, 2, [&](const std::string& name) { PutValue(name, segments[2]); });
}

void VariableCommands::Push(const Segments& segments, std::string& /*body*/)
{
    if (HasArguments(segments, 1))
        PushName(segments[1]);
}

void VariableCommands::PushLike(const Segments& segments, std::string& /*body*/)
{
    ForEachMatch(m_store, segments, 1, [&](const std::string& name) { PushName(name); });
}

void VariableCommands::Unset(const Segments& segments, std::string& /*body*/)
{
    if (HasArguments(segments, 1))
        UnsetName(segments[1]);
}

void VariableCommands::UnsetLike(const Segments& segments, std::string& /*body*/)
{
    ForEachMatch(m_store, segments, 1, [&](const std::string& name) { m_store.Remove(name); });
}

void VariableCommands::Reset(const Segments& /*segments*/, std::string& /*body*/)
{
    m_store.RemoveAll();
}

} // namespace pontivo
