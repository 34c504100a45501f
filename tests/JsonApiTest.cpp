#include "FakeSerialOutput.h"
#include "store/HistorySource.h"
#include "store/LikePattern.h"
#include "api/JsonApi.h"
#include "api/JsonOpenApi.h"
#include "api/JsonText.h"
#include "api/RequestDispatcher.h"
#include "http/HttpRequest.h"
#include "store/VariableCommands.h"
#include "store/VariableStore.h"

#include <gtest/gtest.h>

#include <limits>

using namespace pontivo;
using nlohmann::json;

namespace {

// Writes of "s" at 1 s, 2 s and 3 s; filters as a recording does.
struct FakeHistory : HistorySource {
    std::vector<HistoryPoint> Points(const HistoryQuery& q) const
    {
        std::vector<HistoryPoint> points;
        for (std::int64_t ms : {1000, 2000, 3000})
            if (q.name == "s" && ms >= q.sinceMs.value_or(ms) && ms <= q.untilMs.value_or(ms))
                points.push_back({ms, ms == 1000 ? "a,\"b" : "7", WriteSource::Board});
        points.erase(points.begin(), points.end() - std::min(points.size(), q.limit));
        return points;
    }
    bool Begin(const HistoryQuery& q, HistoryCursor& cursor, std::string&) const override
    {
        return cursor = {0, 0, Points(q).size()}, true;
    }
    bool Next(const HistoryQuery& q, HistoryCursor& cursor, std::size_t count, std::vector<HistoryPoint>& points, std::string&) const override
    {
        const auto all = Points(q);
        const std::size_t taken = std::min(count, cursor.left);
        points.insert(points.end(), all.begin() + cursor.row, all.begin() + cursor.row + static_cast<std::ptrdiff_t>(taken));
        cursor.row += static_cast<std::int64_t>(taken), cursor.left -= taken;
        return true;
    }
    bool RecordedNames(std::vector<std::string>& names, std::string&) const override { return names = {"s", "\xC3"}, true; }
};

json Resolve(const json& doc, json node)
{
    while (node.contains("$ref"))
        node = doc.at(json::json_pointer(node["$ref"].get<std::string>().substr(1)));
    return node;
}

// Types, enums, required properties and items, as the description gives them.
bool Conforms(const json& doc, const json& node, const json& value)
{
    const json schema = Resolve(doc, node);
    const std::string type = schema.value("type", "");
    const bool typed = type.empty() || (type == "string" && value.is_string()) || (type == "object" && value.is_object()) ||
                       (type == "integer" && value.is_number_integer()) || (type == "array" && value.is_array());
    bool ok = typed && (!schema.contains("enum") || std::count(schema["enum"].begin(), schema["enum"].end(), value));
    for (const json& name : schema.value("required", json::array()))
        ok = ok && value.contains(name);
    const json properties = schema.value("properties", json::object());
    for (const auto& [key, sub] : properties.items())
        ok = ok && (!value.contains(key) || Conforms(doc, sub, value[key]));
    for (const json& item : schema.contains("items") ? value : json::array())
        ok = ok && Conforms(doc, schema["items"], item);
    return ok;
}

// The status is documented for the path and method, with the answer's content type (a HEAD's among its headers)
// and the JSON as documented; only a 404 for a path outside the API's stands outside the paths.
void CheckDocumented(std::string method, std::string path, int status, const std::string& answer)
{
    const json doc = json::parse(OpenApiDocument());
    std::transform(method.begin(), method.end(), method.begin(), ::tolower);
    path = path.substr(0, path.find('?'));
    for (const std::string named : {"/api/variables/", "/api/history/"})
        path = path.starts_with(named) ? named + "{name}" : path;
    const json operation = doc["paths"].value(path, json::object()).value(method, json());
    if (status == 404 && operation.is_null())
        return;
    const json response = Resolve(doc, operation.value("responses", json::object()).value(std::to_string(status), json()));
    ASSERT_TRUE(response.is_object()) << method << " " << path << " " << status;
    const std::size_t typeAt = answer.find("\r\nContent-Type: "), bodyAt = answer.find("\r\n\r\n") + 4;
    const std::string type = typeAt < bodyAt ? answer.substr(typeAt + 16, answer.find_first_of(";\r", typeAt + 16) - typeAt - 16) : "";
    EXPECT_EQ(answer.find("\r\nAllow: ") < bodyAt, response.value("headers", json::object()).contains("Allow")) << answer;
    if (method == "head" || type.empty()) {
        EXPECT_TRUE(bodyAt == answer.size() && (type.empty() || response["headers"].contains("Content-Type"))) << answer;
        return;
    }
    const json content = response.value("content", json::object()).value(type, json());
    EXPECT_TRUE(content.is_object() && (type != "application/json" || Conforms(doc, content["schema"], json::parse(answer.substr(bodyAt))))) << answer;
}

TEST(JsonApiTest, AnswersInOrderFromOneStore)
{
    VariableStore store([] { return std::int64_t{1796745600123}; });
    FakeSerialOutput port;
    VariableCommands commands(store, port);
    RequestDispatcher dispatcher(commands, "P", {}, {});
    JsonApi api(store, commands, [] { return std::string("open /dev/x"); });
    FakeHistory history;
    api.SetHistorySource(&history);
    dispatcher.SetJsonApi(&api);
    dispatcher.SetAccessRules({{}, {"http://ok"}});
    {
        const VariableStore::SourceScope board(store, WriteSource::Board);
        store.Add("a/b", "1"), store.Add("t1", "\xFF"), store.Add("caf\xC3\xA9", ""), store.Add("\xC3", ""), store.Add("q\"", "1"), store.Add("r", "\t");
    }
    store.SetCapacity(store.SizeBytes() + 133); // room for led=on exactly
    const std::string ok = "Origin: http://ok\r\n", evil = "Origin: http://evil\r\n";
    const std::string json = "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: P\r\nX-Content-Type-Options: nosniff\r\nContent-Type: application/json\r\n";
    // method, target, headers and body, status, what the answer holds ("!": does not hold)
    const std::vector<std::tuple<std::string, std::string, std::string, int, std::vector<std::string>>> rows{
        {"GET", "/api/variables", "", 200, {json, R"({"link":{"detail":"/dev/x","state":"open"},"variables":[{"name":"a/b","source":"board","updated":"2026-12-08T16:00:00.123Z","updated_ms":1796745600123,"value":"1"},)",
                                            "\"value\":\"\xEF\xBF\xBD\",\"value_base64\":\"/w==\"},{\"name\":\"caf\xC3\xA9\",", R"(,"value":""},{"name":"q\"","source":"board",)", R"("value":"1"},{"name":"r",)", R"("value":"\t"}]})"}},
        {"GET", "/api/variables?match=%5B!a-s%5D*", "", 200, {R"({"name":"t1","source":"board",)", "!a/b"}}, {"GET", "/api/variables?match=[z-a]", "", 400, {}},
        {"GET", "/api/variables?match=" + std::string(LikePattern::kMaxBytes + 1, '*'), "", 400, {"128"}},
        {"GET", "/api/variables/a%2Fb", "", 200, {R"("name":"a/b")"}}, {"GET", "/api/variables/%zz", "", 400, {"'%'"}}, {"GET", "/api/variables/no", "", 404, {}},
        {"GET", "/api/variables/t1", "", 200, {"\"value\":\"\xEF\xBF\xBD\"", R"("value_base64":"/w==")", "!name_base64"}},
        {"GET", "/api/variables/caf%C3%a9", "", 200, {"\"name\":\"caf\xC3\xA9\"", "!_base64"}}, {"GET", "/api/variables/%C3", "", 200, {R"("name_base64":"ww==")", "!value_base64"}},
        {"PUT", "/api/variables/led", "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 2\r\n\r\non!!", 200, {R"("source":"http")", R"("value":"on")"}},
        {"PUT", "/api/variables/led", ok + "Content-Length: 0\r\n\r\n", 200, {"Allow-Origin: http://ok\r\n", R"("value":"")"}}, {"PUT", "/api/variables/led", evil + "Content-Length: 1\r\n\r\nx", 403, {}},
        {"PUT", "/api/variables/new", "Content-Length: 1\r\n\r\nx", 507, {"--store-max"}}, {"PUT", "/api/variables/led", "Content-Length: 3\r\n\r\nab", 400, {"shorter"}},
        {"PUT", "/api/variables/led", "Content-Length: 65505\r\n\r\n", 413, {"64 KiB"}}, {"PUT", "/api/variables/led", "Transfer-Encoding: chunked\r\n\r\n", 400, {"Content-Length"}},
        {"DELETE", "/api/variables/led", "", 200, {R"("value":"")"}}, {"DELETE", "/api/variables/led", "", 404, {}}, {"POST", "/api/variables", "", 405, {"Allow: GET, HEAD\r\n"}},
        {"PATCH", "/api/variables/x", "", 405, {"Allow: GET, HEAD, PUT, DELETE\r\n"}}, {"HEAD", "/api/variables/no", "", 404, {"Content-Length: 45\r\n\r\n"}},
        {"HEAD", "/api/history/s?format=csv", "", 200, {"Content-Type: text/csv"}}, {"GET", "/api/variables", evil, 200, {"!Allow-Origin"}},
        {"OPTIONS", "/api/variables/x", evil, 204, {"!Allow-"}},
        {"OPTIONS", "/api/variables/x", ok, 204, {"Allow-Origin: http://ok\r\nX-Content-Type-Options: nosniff\r\nAccess-Control-Allow-Methods: GET, HEAD, PUT, DELETE\r\nAccess-Control-Allow-Headers: Content-Type\r\n\r\n", "!Content-Length"}},
        {"OPTIONS", "/api/variables/x", ok + "Access-Control-Request-Private-Network: true\r\n\r\n", 204, {"Content-Type\r\nAccess-Control-Allow-Private-Network: true\r\n\r\n"}},
        {"OPTIONS", "/api/variables/x", evil + "Access-Control-Request-Private-Network: true\r\n\r\n", 204, {"!Private-Network"}},
        {"GET", "/api/history", "", 200, {"{\"variables\":[{\"name\":\"s\"},{\"name\":\"\xEF\xBF\xBD\",\"name_base64\":\"ww==\"}]}"}},
        {"GET", "/api/history/s?since=1001&limit=1", "", 200, {R"({"name":"s","points":[{"source":"board","time":"1970-01-01T00:00:03.000Z","time_ms":3000,"value":"7"}]})"}},
        {"GET", "/api/history/s?until=1970-01-01T00:00:02Z&format=csv", "", 200, {"Content-Type: text/csv; charset=utf-8\r\nContent-Disposition: attachment; filename=\"history-s.csv\"\r\n", "\r\n\r\ntime,time_ms,value,source\r\n1970-01-01T00:00:01.000Z,1000,\"a,\"\"b\",board\r\n1970-01-01T00:00:02.000Z,2000,7,board\r\n"}},
        {"GET", "/api/history/s?limit=10000", "", 200, {"1000"}}, {"GET", "/api/history/s?limit=10001", "", 400, {}}, {"GET", "/api/history/s?limit=0", "", 400, {}},
        {"GET", "/api/history/s?since=2026-13-01", "", 400, {}}, {"GET", "/api/history/s?format=xml", "", 400, {}}, {"GET", "/api/nothing", "", 404, {}},
        {"GET", "/api/openapi.json", "", 200, {json, R"("openapi": "3.1.0")"}},
    };
    for (const auto& [method, target, rest, status, facts] : rows) {
        const std::string answer = dispatcher.Reply(ParseRequest(method + " " + target + " HTTP/1.1\r\n" + (rest.empty() ? "\r\n" : rest))).text;
        EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 " + std::to_string(status)) << target << "\n" << answer;
        EXPECT_NE(answer.find("\r\nX-Content-Type-Options: nosniff\r\n"), std::string::npos) << target;
        for (const std::string& fact : facts)
            EXPECT_EQ(answer.find(fact.substr(fact[0] == '!')) == std::string::npos, fact[0] == '!') << fact << "\n" << answer;
        CheckDocumented(method, target, status, answer);
    }
    EXPECT_EQ(port.lines, (std::vector<std::string>{"led=on\n", "led=\n"}));
    const auto reply = [&](const std::string& method) { return dispatcher.Reply(ParseRequest(method + " /api/openapi.json HTTP/1.1\r\n\r\n")).text; };
    const std::string get = reply("GET");
    EXPECT_EQ(reply("HEAD"), get.substr(0, get.find("\r\n\r\n") + 4)); // the same head, no body
    api.SetHistorySource(nullptr);
    EXPECT_EQ(api.Reply(ParseRequest("GET /api/history/s HTTP/1.1\r\n\r\n"), false).status, 404);
}

// Past kWholeAnswerBytes a listing goes out in slices, each made when the one before has gone, as the store
// stands then; beside one such answer in flight, another is refused until it has gone.
TEST(JsonApiTest, ALargeListingGoesOutInSlicesWithinTheBudget)
{
    VariableStore store;
    FakeSerialOutput port;
    VariableCommands commands(store, port);
    const JsonApi api(store, commands, {});
    for (int i = 0; i < 30; ++i)
        store.Add("v" + std::to_string(i), std::string(60 * 1024, '\x01')); // 6 bytes each in JSON
    const HttpRequest get = ParseRequest("GET /api/variables HTTP/1.1\r\n\r\n");
    ApiAnswer first = api.Reply(get, false);
    ASSERT_TRUE(first.more);
    constexpr std::size_t kOneVariable = 6 * 60 * 1024 + 200;
    EXPECT_LE(first.body.size(), kWholeAnswerBytes + kOneVariable);
    std::vector<ApiAnswer> others; // each holds what it built until it has gone out
    std::size_t held = first.body.size();
    while (others.size() < 8 && others.emplace_back(api.Reply(get, false)).status == 200)
        held += others.back().body.size();
    EXPECT_EQ(others.back().status, 503);
    EXPECT_LE(held, kLargeAnswersBytes);
    others.clear();
    store.Remove("v29"), store.Add("late", "x");
    std::string body = first.body;
    for (bool more = true; more;) {
        std::string slice;
        more = first.more(slice);
        EXPECT_LE(slice.size(), kSliceBytes + kOneVariable);
        body += slice;
    }
    const json list = json::parse(body)["variables"];
    EXPECT_EQ(list.size(), 30u);
    EXPECT_EQ(list.back()["name"], "late");
    first = {};
    EXPECT_EQ(api.Reply(get, false).status, 200);
}

TEST(JsonTextTest, TimesBase64PercentAndCsv)
{
    for (const auto& [text, ms] : std::vector<std::pair<std::string, std::optional<std::int64_t>>>{{"-5", -5}, {"1709251199999", 1709251199999},
             {"2024-02-29T23:59:59.999Z", 1709251199999}, {"2024-02-29T23:59:59.9991", 1709251199999}, {"2024-02-29", 1709164800000}, {"2024-02-29T23:59", 1709251140000},
             {"2023-02-29", {}}, {"2024-00-01", {}}, {"2024-01-01T24:00", {}}, {"2024-01-01T00:60", {}}, {"2024-01-01T00:00:60", {}}, {"2024-01-01T00:00:00.", {}}, {"2024-01-01Zx", {}}, {"", {}}, {"12a", {}},
             {"2024-01-01T-1:00", {}}, {"2024-01-01T00:-1", {}}, {"2024-01-01T00:00:-1", {}}, {"-001-01-01", {}}, {"2024--1-01", {}}})
        EXPECT_EQ(ParseTime(text), ms) << text;
    EXPECT_EQ(IsoTime(1709251199999) + IsoTime(-1), "2024-02-29T23:59:59.999Z1969-12-31T23:59:59.999Z");
    // A recording's times at the ends of the range are shown at years 0 and 9999, without overflow.
    EXPECT_EQ(IsoTime(std::numeric_limits<std::int64_t>::max()) + IsoTime(std::numeric_limits<std::int64_t>::min()),
              "9999-12-31T23:59:59.999Z0000-01-01T00:00:00.000Z");
    EXPECT_EQ(Base64("") + Base64("\xFB") + "|" + Base64("\xFB\xFF") + "|" + Base64(std::string("\xFB\xFF\0\x01", 4)), "+w==|+/8=|+/8AAQ==");
    for (const auto& [text, decoded] : std::vector<std::pair<std::string, std::optional<std::string>>>{{"%41%2f%00+%e9", std::string("A/\0+\xE9", 5)}, {"%", {}}, {"%4", {}}, {"%4g", {}}, {"a%g1", {}}})
        EXPECT_EQ(PercentDecoded(text), decoded) << text;
    EXPECT_EQ(CsvField("a b;c") + CsvField("x\ny") + CsvField("a\rb") + CsvField("\"") + CsvField(","), "a b;c\"x\ny\"\"a\rb\"\"\"\"\"\",\"");
    // What a spreadsheet would run is shown as text; plain numbers stay numbers.
    for (const auto& [text, field] : std::vector<std::pair<std::string, std::string>>{{"=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
             {"+SUM(1,1)", "\"'+SUM(1,1)\""}, {"@SUM(1)", "\"'@SUM(1)\""}, {"\t1", "\"'\t1\""}, {"\r=1", "\"'\r=1\""}, {"-", "\"'-\""}, {"-inf", "\"'-inf\""},
             {"-0.5", "-0.5"}, {"+3", "+3"}, {"-1e5", "-1e5"}, {"-.5", "-.5"}, {"a=1", "a=1"}})
        EXPECT_EQ(CsvField(text), field) << text;
}

} // namespace
