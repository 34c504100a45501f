#pragma once

#include "api/MetricsText.h"
#include "http/AccessRules.h"
#include "http/HttpResponse.h"
#include "store/Segments.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace pontivo {

class JsonApi;
class VariableCommands;
struct HttpRequest;

// A parsed request in, complete response bytes out, every head written by the one writer. The built-in
// commands read the clock and the serial port number through callbacks so the dispatch stays free of Qt.
class RequestDispatcher {
public:
    using ClockFunction = std::function<std::string()>;
    using CommPortFunction = std::function<std::int16_t()>;
    // A files handler may leave the body empty and hand back an open file instead.
    using FilesHandler = std::function<void(const Segments&, std::string& body, FileBody& file)>;
    // The stream's head (given) with its first events, or the limit's one-line reason when no stream can be opened.
    using EventsHandler = std::function<std::variant<Response, std::string>(const std::string& pattern, std::string head,
                                                                            std::string_view lastEventId)>;
    // The /metrics text; without one, /metrics answers like an unknown command.
    using MetricsHandler = std::function<std::string()>;

    RequestDispatcher(VariableCommands& commands, std::string caption, ClockFunction clock,
                      CommPortFunction commPort);

    void SetFilesHandler(FilesHandler handler) { m_files = std::move(handler); }
    void SetEventsHandler(EventsHandler handler) { m_events = std::move(handler); }
    void SetAccessRules(AccessRules rules) { m_access = std::move(rules); }
    // Targets under /api/ go to it, whatever their method; it must outlive the dispatcher's use.
    void SetJsonApi(const JsonApi* api) { m_api = api; }
    void SetMetricsHandler(MetricsHandler handler) { m_metrics = std::move(handler); }

    // A built-in command; its effect decides what a listed-out origin may run.
    struct Command {
        std::string_view name; // lower case
        Effect effect;
        void (*run)(const RequestDispatcher&, const Segments&, std::string& body);
    };
    // In the order they are tried; a command equals at most one name.
    static std::span<const Command> Commands();
    // Reads for anything not among them.
    static Effect EffectOf(std::string_view command);

    // What the request would do if run: by its command, or under /api/ by its method.
    Effect RequestEffect(const HttpRequest& request) const;

    // What the server sends: a file body stays in its file until it goes out.
    Response Reply(const HttpRequest& request) const;

    // Requests so far by command and answer status: the built-in commands, events, files, the API's
    // routes (api_variables ...) and "other" for every name that is none of them, so a client cannot make
    // up new series; the statuses are the few the server writes.
    std::vector<RequestFigure> RequestCounts() const;

private:
    Response Answer(const HttpRequest& request, bool api) const;
    // The body alone, for the given command and segments.
    std::string RunCommand(const std::string& command, const Segments& segments) const;
    Response CommandAnswer(const HttpRequest& request, std::string_view cors) const;
    Response ApiReply(const HttpRequest& request, std::string_view cors) const;
    Response OpenEvents(const HttpRequest& request, std::string_view cors) const;
    // 503 with Retry-After and the limit's reason as its one line of text.
    std::string Refusal(std::string_view cors, std::string_view reason) const;
    std::string Write(int status, std::string_view cors, std::string_view lines, std::string_view body) const
    {
        return WriteResponse(m_caption, status, cors, lines, body);
    }

    VariableCommands& m_commands;
    std::string m_caption;
    ClockFunction m_clock;
    CommPortFunction m_commPort;
    FilesHandler m_files;
    EventsHandler m_events;
    MetricsHandler m_metrics;
    AccessRules m_access;
    const JsonApi* m_api = nullptr;
    mutable std::map<std::pair<std::size_t, int>, std::uint64_t> m_requestCounts; // by command slot, status
};

} // namespace pontivo
