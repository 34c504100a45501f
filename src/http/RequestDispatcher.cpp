#include "RequestDispatcher.h"

#include "CorsHeader.h"
#include "HttpRequest.h"
#include "HttpResponse.h"
#include "VariableCommands.h"

#include <array>
#include <utility>

namespace pontivo {

RequestDispatcher::RequestDispatcher(VariableCommands& commands, std::string caption, ClockFunction clock,
                                     CommPortFunction commPort)
    : m_commands(commands)
    , m_caption(std::move(caption))
    , m_clock(std::move(clock))
    , m_commPort(std::move(commPort))
{
}

Response RequestDispatcher::Reply(std::string_view requestText) const
{
    const ParsedRequest request = ParseRequest(requestText);
    // Before any command, so that nothing a refused request names ever runs.
    const Access access = DecideAccess(m_access, requestText, request.command);
    if (access == Access::Refuse)
        return ForbiddenResponse(m_caption);
    const std::string cors = access == Access::Serve ? BuildCorsHeader(requestText) : std::string();
    if (!request.methodAccepted)
        return FrameResponse(m_caption, cors, {});
    if (request.command == "events") {
        std::optional<Response> stream = OpenEvents(request.segments, cors);
        return stream ? std::move(*stream) : FrameResponse(m_caption, cors, {});
    }
    if (request.command != "files" || !m_files)
        return FrameResponse(m_caption, cors, RunCommand(request.command, request.segments));
    std::string body;
    FileBody file;
    m_files(request.segments, body, file);
    if (!file)
        return FrameResponse(m_caption, cors, body);
    std::string header = FrameHeader(m_caption, cors, file.size);
    return {std::move(header), std::move(file)};
}

std::string RequestDispatcher::Respond(std::string_view requestText) const
{
    Response response = Reply(requestText);
    while (ReadFileBody(response.file, response.text, response.file.size)) {
    }
    return std::move(response.text);
}

std::string RequestDispatcher::RunCommand(const std::string& command, const Segments& segments) const
{
    using Handler = void (*)(const RequestDispatcher&, const Segments&, std::string&);
    struct Entry {
        std::string_view name;
        Handler run;
    };
    // Tried in this order; a command equals at most one name.
    static constexpr std::array<Entry, 15> table{{
        {"test", [](const RequestDispatcher&, const Segments&, std::string& b) { b += "OK"; }},
        {"timer", [](const RequestDispatcher& d, const Segments&, std::string& b) { b += d.m_clock(); }},
        {"com", [](const RequestDispatcher& d, const Segments&, std::string& b) { b += std::to_string(d.m_commPort()); }},
        {"get", [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.Get(s, b); }},
        {"getlike", [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.GetLike(s, b); }},
        {"set", [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.Set(s, b); }},
        {"setlike", [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.SetLike(s, b); }},
        {"put", [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.Put(s, b); }},
        {"putlike", [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.PutLike(s, b); }},
        {"push", [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.Push(s, b); }},
        {"pushlike", [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.PushLike(s, b); }},
        {"unset", [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.Unset(s, b); }},
        {"unsetlike", [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.UnsetLike(s, b); }},
        {"reset", [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.m_commands.Reset(s, b); }},
        {"files", [](const RequestDispatcher& d, const Segments& s, std::string& b) { d.RunFiles(s, b); }},
    }};
    std::string body;
    for (const Entry& entry : table) {
        if (command == entry.name) {
            entry.run(*this, segments, body);
            break;
        }
    }
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

void RequestDispatcher::RunFiles(const Segments& segments, std::string& body) const
{
    if (!m_files)
        return;
    FileBody file;
    m_files(segments, body, file);
    while (ReadFileBody(file, body, file.size)) {
    }
}

} // namespace pontivo
