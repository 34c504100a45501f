#include "api/RequestDispatcher.h"

#include "http/CorsHeader.h"
#include "http/EventText.h"
#include "http/HttpRequest.h"
#include "api/Dashboard.h"
#include "api/JsonApi.h"
#include "store/VariableCommands.h"

#include <algorithm>
#include <array>
#include <utility>

namespace pontivo {
namespace {

// Counted beside the built-in commands; "other" stands for every name that is no command, "api_other"
// for every path under /api/ that is none of the API's.
constexpr std::array<std::string_view, 8> kCountedToo{"events", "files", "ui", "api_variables", "api_history",
                                                      "api_openapi", "api_other", "other"};
constexpr std::string_view kMetricsType = "Content-Type: text/plain; version=0.0.4\r\n";

const RequestDispatcher::Command* Find(std::string_view command)
{
    const auto commands = RequestDispatcher::Commands();
    const auto found = std::find_if(commands.begin(), commands.end(),
                                    [command](const RequestDispatcher::Command& entry) { return entry.name == command; });
    return found == commands.end() ? nullptr : &*found;
}

std::size_t ExtraSlot(std::string_view name)
{
    return RequestDispatcher::Commands().size() + static_cast<std::size_t>(
        std::find(kCountedToo.begin(), kCountedToo.end() - 1, name) - kCountedToo.begin());
}

// A command's place in the table, else among those counted too (any other name: "other").
std::size_t CountSlot(std::string_view command)
{
    if (const RequestDispatcher::Command* entry = Find(command))
        return static_cast<std::size_t>(entry - RequestDispatcher::Commands().data());
    return command.starts_with("api_") ? ExtraSlot("other") : ExtraSlot(command);
}

// /api/variables/x counts as api_variables; the route's name is its first segment after /api/.
std::size_t ApiSlot(std::string_view target)
{
    const std::string_view path = target.substr(0, target.find('?')).substr(5);
    std::string name = "api_" + std::string(path.substr(0, path.find('/')));
    name = name == "api_openapi.json" ? "api_openapi" : name;
    const std::size_t slot = ExtraSlot(name);
    return slot == ExtraSlot("other") ? ExtraSlot("api_other") : slot;
}

int StatusOf(std::string_view text)
{
    constexpr std::size_t kCodeAt = 9; // "HTTP/1.1 200"
    int status = 0;
    for (std::size_t i = kCodeAt; i < kCodeAt + 3 && i < text.size(); ++i)
        status = status * 10 + (text[i] - '0');
    return status;
}

} // namespace

RequestDispatcher::RequestDispatcher(VariableCommands& commands, std::string caption, ClockFunction clock,
                                     CommPortFunction commPort)
    : m_commands(commands)
    , m_caption(std::move(caption))
    , m_clock(std::move(clock))
    , m_commPort(std::move(commPort))
{
}

Response RequestDispatcher::Reply(const HttpRequest& request) const
{
    const bool api = m_api && request.ApiTarget();
    Response response = Answer(request, api);
    ++m_requestCounts[{api ? ApiSlot(request.target) : CountSlot(request.command), StatusOf(response.text)}];
    return response;
}

Response RequestDispatcher::Answer(const HttpRequest& request, bool api) const
{
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
    if (request.command == "events")
        return OpenEvents(request, cors);
    if (request.command == "ui")
        return DashboardAnswer(m_caption, request.segments, cors, m_api && m_api->Records());
    // The one command answer with a type: scrapers read the format's version from it.
    if (request.command == "metrics" && m_metrics)
        return Write(200, cors, kMetricsType, RunCommand(request.command, request.segments));
    if (request.command != "files" || !m_files)
        return Write(200, cors, {}, RunCommand(request.command, request.segments));
    std::string body;
    FileBody file;
    m_files(request.segments, body, file);
    if (!file)
        return WriteResponse(m_caption, 200, cors, {}, body, Sniffing::Allowed);
    return {WriteHead(m_caption, 200, cors, {}, file.size, 0, Sniffing::Allowed), std::move(file)};
}

Response RequestDispatcher::ApiReply(const HttpRequest& request, std::string_view cors) const
{
    ApiAnswer answer = m_api->Reply(request, !cors.empty());
    // A 204 has no body, and so no length either; nor has a body sent in slices, which the close ends.
    const std::optional<std::uint64_t> length =
        answer.status == 204 || answer.more ? std::nullopt : std::optional(answer.body.size());
    std::string head = WriteHead(m_caption, answer.status, cors, answer.headers, length, answer.body.size());
    if (request.method == "HEAD")
        return head;
    Response response(head.append(answer.body));
    response.more = std::move(answer.more);
    response.hold = std::move(answer.hold);
    return response;
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

std::vector<RequestFigure> RequestDispatcher::RequestCounts() const
{
    std::vector<RequestFigure> counts;
    for (const auto& [key, count] : m_requestCounts) {
        const std::size_t slot = key.first;
        const std::string_view name =
            slot < Commands().size() ? Commands()[slot].name : kCountedToo[slot - Commands().size()];
        counts.push_back({name, key.second, count});
    }
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

// Every name without a pattern; a wrong segment count is answered like an unknown command.
Response RequestDispatcher::OpenEvents(const HttpRequest& request, std::string_view cors) const
{
    const Segments& segments = request.segments;
    if (!m_events || segments.size() > 2)
        return Write(200, cors, {}, {});
    std::string head = WriteHead(m_caption, 200, cors, kEventStreamLines, std::nullopt);
    std::variant<Response, std::string> opened = m_events(segments.size() == 2 ? segments[1] : std::string("*"),
                                                          std::move(head), request.Header("Last-Event-ID").value_or(""));
    if (const std::string* reason = std::get_if<std::string>(&opened))
        return Refusal(cors, *reason);
    Response& stream = std::get<Response>(opened);
    stream.streamRefusal = Refusal(cors, "this address holds as many event streams as it may (--client-streams)");
    return std::move(stream);
}

std::string RequestDispatcher::Refusal(std::string_view cors, std::string_view reason) const
{
    constexpr std::string_view kLines = "Content-Type: text/plain; charset=utf-8\r\nRetry-After: 5\r\n";
    return Write(503, cors, kLines, std::string(reason).append("\n"));
}

} // namespace pontivo
