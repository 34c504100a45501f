#include "api/JsonApi.h"

#include "http/CorsHeader.h"
#include "store/HistorySource.h"
#include "http/HttpRequest.h"
#include "api/JsonOpenApi.h"
#include "api/JsonText.h"
#include "api/VariableJson.h"
#include "store/LikePattern.h"
#include "store/VariableCommands.h"
#include "store/VariableStore.h"

#include <algorithm>
#include <charconv>
#include <deque>
#include <iterator>

namespace pontivo {

namespace {

using nlohmann::json;

constexpr std::string_view kJsonType = "Content-Type: application/json\r\n";
constexpr std::string_view kReadOnly = "GET, HEAD";
constexpr std::string_view kTimeFormats = "milliseconds since 1970 or UTC as 2026-12-08T16:00:00.000Z";

ApiAnswer JsonAnswer(int status, const json& value)
{
    return {status, DumpJson(value), std::string(kJsonType)};
}

ApiAnswer Error(int status, std::string_view message)
{
    return JsonAnswer(status, {{"error", message}});
}

ApiAnswer NotAllowed(std::string_view allowed)
{
    ApiAnswer answer = Error(405, "this path takes " + std::string(allowed));
    answer.headers.append("Allow: ").append(allowed).append("\r\n");
    return answer;
}

ApiAnswer BadEscape()
{
    return Error(400, "a '%' in the target does not start two hex digits");
}

// The first `key=value` of the query, percent-decoded; false for a malformed escape.
bool QueryValue(std::string_view query, std::string_view key, std::optional<std::string>& value)
{
    for (std::size_t start = 0; start <= query.size();) {
        const auto end = std::min(query.find('&', start), query.size());
        const std::string_view part = query.substr(start, end - start);
        const auto equals = part.find('=');
        if (part.substr(0, equals) == key) {
            value = PercentDecoded(equals == std::string_view::npos ? std::string_view() : part.substr(equals + 1));
            return value.has_value();
        }
        start = end + 1;
    }
    return true;
}

// Letters, digits, '-', '_' and '.' of the name; anything else could break the header line or a path.
std::string CsvFileName(std::string_view name)
{
    std::string file = "history-";
    for (const char c : name) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '_' || c == '.';
        file += kept ? c : '_';
    }
    return file + ".csv";
}

// Points read from the file a page at a time, so that an answer in slices holds one page of values.
constexpr std::size_t kPagePoints = 32;

// Where a history answer stands, kept between its slices.
struct PointsReading {
    HistoryQuery query;
    HistoryCursor cursor;
    bool csv = false;
    bool first = true;
    std::deque<HistoryPoint> page{}; // read, not yet written: a slice ends within a page
    std::string error{}; // set when the file failed: the body then ends short
};

void AppendPoint(std::string& out, const HistoryPoint& point, PointsReading& reading)
{
    if (reading.csv) {
        out.append(IsoTime(point.timeMs)).append(",").append(std::to_string(point.timeMs)).append(",");
        out.append(CsvField(point.value)).append(",").append(SourceName(point.source)).append("\r\n");
        return;
    }
    json object = {{"time", IsoTime(point.timeMs)}, {"time_ms", point.timeMs}, {"source", std::string(SourceName(point.source))}};
    PutBytes(object, "value", point.value);
    out.append(reading.first ? "" : ",").append(DumpJson(object));
    reading.first = false;
}

// Appends points up to `bytes`; true once all are written (or the file failed).
bool AppendPoints(const HistorySource& history, PointsReading& reading, std::string& out, std::size_t bytes)
{
    std::vector<HistoryPoint> points;
    while (out.size() < bytes && reading.error.empty()) {
        if (reading.page.empty() && reading.cursor.left > 0) {
            points.clear();
            if (!history.Next(reading.query, reading.cursor, kPagePoints, points, reading.error))
                return true;
            std::move(points.begin(), points.end(), std::back_inserter(reading.page));
        }
        if (reading.page.empty())
            break;
        AppendPoint(out, reading.page.front(), reading);
        reading.page.pop_front();
    }
    const bool done = (reading.cursor.left == 0 && reading.page.empty()) || !reading.error.empty();
    if (done && !reading.csv && reading.error.empty())
        out.append("]}");
    return done;
}

bool ReadTime(const std::optional<std::string>& text, std::optional<std::int64_t>& ms)
{
    if (text)
        ms = ParseTime(*text);
    return !text || ms;
}

bool ReadLimit(const std::optional<std::string>& text, std::size_t& limit)
{
    if (!text)
        return true;
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), limit);
    return error == std::errc() && end == text->data() + text->size() && limit >= 1 &&
           limit <= JsonApi::kMaxHistoryPoints;
}

} // namespace

JsonApi::JsonApi(VariableStore& store, VariableCommands& commands, LinkStateFunction linkState)
    : m_store(store)
    , m_commands(commands)
    , m_linkState(std::move(linkState))
{
}

Effect JsonApi::EffectOf(std::string_view method)
{
    return method == "PUT" || method == "DELETE" ? Effect::Writes : Effect::Reads;
}

ApiAnswer JsonApi::Reply(const HttpRequest& request, bool shared) const
{
    if (request.method == "HEAD") {
        // Uptime checkers ask HEAD: the same answer as GET, its body left out by the writer.
        HttpRequest get = request;
        get.method = "GET";
        return Route(get);
    }
    if (request.method != "OPTIONS")
        return Route(request);
    // A preflight: only a page whose origin is allowed hears what it may send next.
    ApiAnswer answer{204, {}, {}};
    if (shared)
        answer.headers = "Access-Control-Allow-Methods: GET, HEAD, PUT, DELETE\r\nAccess-Control-Allow-Headers: Content-Type\r\n" +
                         std::string(PrivateNetworkLine(request));
    return answer;
}

ApiAnswer JsonApi::Route(const HttpRequest& request) const
{
    const std::string_view method = request.method;
    const auto question = request.target.find('?');
    const std::string_view query = question == std::string_view::npos ? std::string_view() : request.target.substr(question + 1);
    Segments path = SplitTarget(request.target.substr(0, question));
    for (std::string& segment : path) {
        std::optional<std::string> decoded = PercentDecoded(segment);
        if (!decoded)
            return BadEscape();
        segment = std::move(*decoded);
    }
    const std::string_view what = path.size() > 1 ? std::string_view(path[1]) : std::string_view();
    if (what == "variables" && path.size() == 2)
        return Variables(method, query);
    if (what == "variables" && path.size() == 3)
        return OneVariable(request, path[2]);
    if (what == "history" && path.size() <= 3)
        return History(method, path.size() == 3 ? &path[2] : nullptr, query);
    if (what == "openapi.json" && path.size() == 2)
        return method == "GET" ? ApiAnswer{200, std::string(OpenApiDocument()), std::string(kJsonType)} : NotAllowed(kReadOnly);
    return Error(404, "no such path in the API: see /api/openapi.json");
}

ApiAnswer JsonApi::Variables(std::string_view method, std::string_view query) const
{
    if (method != "GET")
        return NotAllowed(kReadOnly);
    std::optional<std::string> match;
    if (!QueryValue(query, "match", match))
        return BadEscape();
    const LikePattern pattern(match.value_or("*"));
    if (!pattern.IsValid())
        return Error(400, "the match pattern is malformed (an unclosed '[' or a descending range) or longer than " +
                              std::to_string(LikePattern::kMaxBytes) + " bytes");
    // The list's frame is ours, every value in it written by the library.
    std::string body = "{\"link\":" + DumpJson(LinkObject()) + ",\"variables\":[";
    constexpr std::size_t kTextPerVariable = 112; // the keys, a time, a source
    if (!match)
        body.reserve(std::min(body.size() + m_store.SizeBytes() + m_store.Count() * kTextPerVariable,
                              kWholeAnswerBytes + kWholeAnswerBytes / 8)); // room for the variable that crosses the bound
    struct Listing {
        explicit Listing(const LikePattern& like) : pattern(like) {}
        LikePattern pattern;
        VariableStore::Place place;
        VariableListWriter writer;
    };
    auto listing = std::make_shared<Listing>(pattern);
    return Sliced(std::move(body), kJsonType, [&store = m_store, listing](std::string& text, std::size_t bytes) {
        const bool done = store.ForEachAfter(listing->place, [&](const Variable& variable) {
            if (listing->pattern.Matches(variable.name))
                listing->writer.Append(text, variable);
            return text.size() < bytes;
        });
        if (done)
            text.append("]}");
        return done;
    });
}

ApiAnswer JsonApi::Sliced(std::string body, std::string_view headers, Slicer slice) const
{
    ApiAnswer answer{200, std::move(body), std::string(headers)};
    // Built no further than the budget left: an answer past it is refused, not built first.
    const std::size_t left = kLargeAnswersBytes - std::min(*m_largeBytes, kLargeAnswersBytes);
    const std::size_t room = std::min(kWholeAnswerBytes, std::max(left, kSliceBytes));
    const bool whole = slice(answer.body, room);
    if (whole && answer.body.size() <= kSliceBytes)
        return answer;
    const std::size_t bytes = answer.body.size();
    if ((!whole && room < kWholeAnswerBytes) || bytes > left)
        return Error(503, "the server is sending other large answers: try again in a moment");
    if (!whole)
        answer.body.shrink_to_fit(); // it may have doubled its room for the last item
    *m_largeBytes += bytes;
    answer.hold = std::shared_ptr<const void>(nullptr, [held = m_largeBytes, bytes](const void*) { *held -= bytes; });
    // What was built goes first; then a slice at a time, each made when the one before has gone out.
    if (!whole)
        answer.more = [slice = std::move(slice)](std::string& text) { return !slice(text, kSliceBytes); };
    return answer;
}

ApiAnswer JsonApi::OneVariable(const HttpRequest& request, const std::string& name) const
{
    if (request.method == "PUT")
        return Put(request, name);
    if (request.method != "GET" && request.method != "DELETE")
        return NotAllowed("GET, HEAD, PUT, DELETE");
    const Variable* const found = m_store.Find(name);
    if (!found)
        return Error(404, "there is no variable of that name");
    ApiAnswer answer = JsonAnswer(200, VariableObject(*found));
    if (request.method == "DELETE")
        m_commands.UnsetName(name);
    return answer;
}

ApiAnswer JsonApi::Put(const HttpRequest& request, const std::string& name) const
{
    const std::optional<std::size_t> length = request.DeclaredBodyLength();
    if (!request.body || !length)
        return Error(400, "a PUT sends the value as its body, with a Content-Length and no Transfer-Encoding");
    if (*length > kMaxRequestBytes - std::min(request.headBytes, kMaxRequestBytes))
        return Error(413, "a request, headers and body, is at most 64 KiB");
    if (request.body->size() < *length)
        return Error(400, "the body is shorter than its Content-Length");
    if (m_commands.SetValue(name, request.body->substr(0, *length)) == StoreWrite::StoreFull)
        return Error(507, "the store is full (--store-max): new names are refused");
    return JsonAnswer(200, VariableObject(*m_store.Find(name)));
}

ApiAnswer JsonApi::History(std::string_view method, const std::string* name, std::string_view query) const
{
    if (method != "GET")
        return NotAllowed(kReadOnly);
    if (!m_history)
        return Error(404, "nothing is recorded: start Pontivo with --record FILE");
    if (name)
        return Points(*name, query);
    std::vector<std::string> names;
    std::string error;
    if (!m_history->RecordedNames(names, error))
        return Error(500, "the recording cannot be read: " + error);
    json list = json::array();
    for (const std::string& recorded : names) {
        json object = json::object();
        PutBytes(object, "name", recorded);
        list.push_back(std::move(object));
    }
    return JsonAnswer(200, {{"variables", std::move(list)}});
}

ApiAnswer JsonApi::Points(const std::string& name, std::string_view query) const
{
    std::optional<std::string> since, until, limit, format;
    if (!QueryValue(query, "since", since) || !QueryValue(query, "until", until) ||
        !QueryValue(query, "limit", limit) || !QueryValue(query, "format", format))
        return BadEscape();
    HistoryQuery request{name, std::nullopt, std::nullopt, kMaxHistoryPoints};
    if (!ReadTime(since, request.sinceMs) || !ReadTime(until, request.untilMs))
        return Error(400, "since and until are " + std::string(kTimeFormats));
    if (!ReadLimit(limit, request.limit))
        return Error(400, "limit is a number from 1 to " + std::to_string(kMaxHistoryPoints));
    if (format && *format != "json" && *format != "csv")
        return Error(400, "format is json or csv");
    auto reading = std::make_shared<PointsReading>(PointsReading{request, {}, format == "csv"});
    std::string error;
    if (!m_history->Begin(request, reading->cursor, error))
        return Error(500, "the recording cannot be read: " + error);
    std::string body = "time,time_ms,value,source\r\n";
    std::string headers = "Content-Type: text/csv; charset=utf-8\r\n";
    if (reading->csv) {
        headers.append("Content-Disposition: attachment; filename=\"").append(CsvFileName(name)).append("\"\r\n");
    } else {
        // The object's frame as the library writes it, keys in order: name (and name_base64), then points.
        json frame = json::object();
        PutBytes(frame, "name", name);
        body = DumpJson(frame);
        body.pop_back();
        body.append(",\"points\":[");
        headers = kJsonType;
    }
    const HistorySource& history = *m_history;
    ApiAnswer answer = Sliced(std::move(body), headers, [&history, reading](std::string& text, std::size_t bytes) {
        return AppendPoints(history, *reading, text, bytes);
    });
    if (!reading->error.empty() && !answer.more)
        return Error(500, "the recording cannot be read: " + reading->error);
    return answer;
}

json JsonApi::LinkObject() const
{
    const std::string state = m_linkState ? m_linkState() : std::string("closed");
    const auto space = state.find(' ');
    json link = {{"state", state.substr(0, space)}};
    PutBytes(link, "detail", space == std::string::npos ? std::string_view() : std::string_view(state).substr(space + 1));
    return link;
}

} // namespace pontivo
