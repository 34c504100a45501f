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

std::string RequestDispatcher::Respond(std::string_view requestText) const
{
    const std::string cors = BuildCorsHeader(requestText);
    const ParsedRequest request = ParseRequest(requestText);
    const std::string body = request.methodAccepted ? RunCommand(request.command, request.segments) : std::string();
    return FrameResponse(m_caption, cors, body);
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
        {"files", [](const RequestDispatcher& d, const Segments& s, std::string& b) { if (d.m_files) d.m_files(s, b); }},
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

} // namespace pontivo
