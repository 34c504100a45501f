#include "api/RequestDispatcher.h"

#include "http/CorsHeader.h"
#include "http/EventText.h"
#include "http/HttpRequest.h"
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

Response RequestDispatcher::Reply(const HttpRequest& request) const
{
    const bool api = m_api && request.ApiTarget();
    ++m_requestCounts[CountSlot(request.command)];
    // Before any command, so that nothing a refused request names ever runs.
    const Access access = DecideAccess(m_access, request, RequestEffect(request));
    if (access == Access::Refuse)
        return Write(403, {}, {}, {});
    const std::string cors = access == Access::Serve ? BuildCorsHeader(request) : std::string();
    if (api)
        return ApiReply(request, cors);
    if (!request.urlMethod)
        return Write(200, cors, cors.empty() ? std::string_view() : PrivateNetworkLine(request), {});
    return CommandAnswer(request, cors);
}

Effect RequestDispatcher::RequestEffect(const HttpRequest& request) const
{
    return m_api && request.ApiTarget() ? JsonApi::EffectOf(request.method) : EffectOf(request.command);
}

Response RequestDispatcher::CommandAnswer(const HttpRequest& request, std::string_view cors) const
{
    if (request.command == "events") {
        std::optional<Response> stream = OpenEvents(request.segments, cors);
        return stream ? std::move(*stream) : Write(200, cors, {}, {});
    }
    // The one answer with a type: scrapers read the format's version from it.
    if (request.command == "metrics" && m_metrics)
        return Write(200, cors, kMetricsType, RunCommand(request.command, request.segments));
    if (request.command != "files" || !m_files)
        return Write(200, cors, kNoSniffLine, RunCommand(request.command, request.segments));
    std::string body;
    FileBody file;
    m_files(request.segments, body, file);
    if (!file)
        return Write(200, cors, {}, body);
    return {WriteHead(m_caption, 200, cors, {}, file.size), std::move(file)};
}

Response RequestDispatcher::ApiReply(const HttpRequest& request, std::string_view cors) const
{
    const ApiAnswer answer = m_api->Reply(request, !cors.empty());
    // A 204 has no body, and so no length either.
    const std::optional<std::uint64_t> length = answer.status == 204 ? std::nullopt : std::optional(answer.body.size());
    return WriteHead(m_caption, answer.status, cors, answer.headers, length, answer.body.size()).append(answer.body);
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
    std::string head = WriteHead(m_caption, 200, cors, kEventStreamLines, std::nullopt);
    return m_events(segments.size() == 2 ? segments[1] : std::string("*"), std::move(head));
}

} // namespace pontivo
