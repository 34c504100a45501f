#include "api/RequestDispatcher.h"

#include "http/CorsHeader.h"
#include "http/HttpRequest.h"
#include "http/HttpResponse.h"
#include "api/JsonApi.h"
#include "store/VariableCommands.h"

#include <algorithm>
#include <array>
#include <utility>

namespace pontivo {
namespace {

// Counted beside the built-in commands; "other" stands for every name that is no command.
constexpr std::array<std::string_view, 3> kCountedToo{"events", "files", "other"};
constexpr std::string_view kMetricsType = "Content-Type: text/plain; version=0.0.4\r\n";

const RequestDispatcher::Command* Find(std::string_view command)
{
    const auto commands = RequestDispatcher::Commands();
    const auto found = std::find_if(commands.begin(), commands.end(),
                                    [command](const RequestDispatcher::Command& entry) { return entry.name == command; });
    return found == commands.end() ? nullptr : &*found;
}

// A command's place in the table, else among those counted too (any other name: "other").
std::size_t CountSlot(std::string_view command)
{
    if (const RequestDispatcher::Command* entry = Find(command))
        return static_cast<std::size_t>(entry - RequestDispatcher::Commands().data());
    const auto extra = std::find(kCountedToo.begin(), kCountedToo.end() - 1, command);
    return RequestDispatcher::Commands().size() + static_cast<std::size_t>(extra - kCountedToo.begin());
}

} // namespace

RequestDispatcher::RequestDispatcher(VariableCommands& commands, std::string caption, ClockFunction clock,
                                     CommPortFunction commPort)
    : m_commands(commands)
    , m_caption(std::move(caption))
    , m_clock(std::move(clock))
    , m_commPort(std::move(commPort))
    , m_requestCounts(Commands().size() + kCountedToo.size())
{
}

Response RequestDispatcher::Reply(std::string_view requestText) const
{
    const ParsedRequest request = ParseRequest(requestText);
    const bool api = m_api && IsApiTarget(RequestTarget(requestText));
    ++m_requestCounts[CountSlot(request.command)];
    // Before any command, so that nothing a refused request names ever runs.
    const Access access =
        DecideAccess(m_access, requestText, api ? JsonApi::EffectOf(requestText) : EffectOf(request.command));
    if (access == Access::Refuse)
        return ForbiddenResponse(m_caption);
    const std::string cors = access == Access::Serve ? BuildCorsHeader(requestText) : std::string();
    if (api)
        return m_api->Reply(requestText, cors);
    if (!request.methodAccepted)
        return FrameResponse(m_caption, cors, {});
    if (request.command == "events") {
        std::optional<Response> stream = OpenEvents(request.segments, cors);
        return stream ? std::move(*stream) : FrameResponse(m_caption, cors, {});
    }
    if (request.command == "metrics" && m_metrics) {
        // The one answer with a type: scrapers read the format's version from it.
        const std::string body = RunCommand(request.command, request.segments);
        std::string header = FrameHeader(m_caption, cors, body.size(), body.size());
        return header.insert(header.rfind("Content-Length: "), kMetricsType).append(body);
    }
    if (request.command != "files" || !m_files)
        return FrameResponse(m_caption, cors, RunCommand(request.command, request.segments), Sniffing::Forbidden);
    std::string body;
    FileBody file;
    m_files(request.segments, body, file);
    if (!file)
        return FrameResponse(m_caption, cors, body);
    std::string header = FrameHeader(m_caption, cors, file.size);
    return {std::move(header), std::move(file)};
}

std::span<const RequestDispatcher::Command> RequestDispatcher::Commands()
{
    constexpr Effect R = Effect::Reads;
    constexpr Effect W = Effect::Writes;
    static constexpr std::array<Command, 15> table{{
        {"test", R, [](const RequestDispatcher&, const Segments&, std::string& b) { b += "OK"; }},
        {"timer", R, [](const RequestDispatcher& d, const Segments&, std::string& b) { b += d.m_clock(); }},
        {"com", R, [](const RequestDispatcher& d, const Segments&, std::string& b) { b += std::to_string(d.m_commPort()); }},
        {"get", R, [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.Get(s, b); }},
        {"getlike", R, [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.GetLike(s, b); }},
        {"set", W, [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.Set(s, b); }},
        {"setlike", W, [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.SetLike(s, b); }},
        {"put", W, [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.Put(s, b); }},
        {"putlike", W, [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.PutLike(s, b); }},
        {"push", W, [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.Push(s, b); }},
        {"pushlike", W, [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.PushLike(s, b); }},
        {"unset", W, [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.Unset(s, b); }},
        {"unsetlike", W, [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.UnsetLike(s, b); }},
        {"reset", W, [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.Reset(s, b); }},
        {"metrics", R, [](const RequestDispatcher& d, const Segments&, std::string& b) { b += d.m_metrics ? d.m_metrics() : ""; }},
    }};
    return table;
}

std::vector<std::pair<std::string_view, std::uint64_t>> RequestDispatcher::RequestCounts() const
{
    std::vector<std::pair<std::string_view, std::uint64_t>> counts;
    for (const Command& command : Commands())
        counts.emplace_back(command.name, m_requestCounts[counts.size()]);
    for (const std::string_view name : kCountedToo)
        counts.emplace_back(name, m_requestCounts[counts.size()]);
    return counts;
}

Effect RequestDispatcher::EffectOf(std::string_view command)
{
    const Command* entry = Find(command);
    return entry ? entry->effect : Effect::Reads;
}

std::string RequestDispatcher::RunCommand(const std::string& command, const Segments& segments) const
{
    std::string body;
    if (const Command* entry = Find(command))
        entry->run(*this, segments, body);
    return body;
}

// Every name without a pattern; a wrong segment count, or no room for another stream,
// is answered like an unknown command.
std::optional<Response> RequestDispatcher::OpenEvents(const Segments& segments, std::string_view cors) const
{
    if (!m_events || segments.size() > 2)
        return std::nullopt;
    return m_events(segments.size() == 2 ? segments[1] : std::string("*"), cors);
}

} // namespace pontivo
