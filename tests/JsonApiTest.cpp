#include "FakeSerialOutput.h"
#include "store/HistorySource.h"
#include "api/JsonApi.h"
#include "api/JsonOpenApi.h"
#include "api/JsonText.h"
#include "api/RequestDispatcher.h"
#include "http/HttpRequest.h"
#include "store/VariableCommands.h"
#include "store/VariableStore.h"

#include <gtest/gtest.h>

using namespace pontivo;
using nlohmann::json;

namespace {

// Writes of "s" at 1 s, 2 s and 3 s; filters as a recording does.
struct FakeHistory : HistorySource {
    bool History(const HistoryQuery& q, std::vector<HistoryPoint>& points, std::string&) const override
    {
        for (std::int64_t ms : {1000, 2000, 3000})
            if (q.name == "s" && ms >= q.sinceMs.value_or(ms) && ms <= q.untilMs.value_or(ms))
                points.push_back({ms, ms == 1000 ? "a,\"b" : "7", WriteSource::Board});
        points.erase(points.begin(), points.end() - std::min(points.size(), q.limit));
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

// The status and content type are documented for the path and method, the JSON as documented. 405, preflights,
// the guards' 403 and a 404 for any other path stand outside the paths.
void CheckDocumented(std::string method, std::string path, int status, const std::string& answer)
{
    const json doc = json::parse(OpenApiDocument());
    std::transform(method.begin(), method.end(), method.begin(), ::tolower);
    path = path.substr(0, path.find('?'));
    for (const std::string named : {"/api/variables/", "/api/history/"})
        path = path.starts_with(named) ? named + "{name}" : path;
    const json operation = doc["paths"].value(path, json::object()).value(method, json());
    if (status == 403 || status == 405 || method == "options" || (status == 404 && operation.is_null()))
        return;
    const std::string type = answer.find("Content-Type: text/csv") == std::string::npos ? "application/json" : "text/csv";
    const json content = Resolve(doc, operation.at("responses").value(std::to_string(status), json::object()))
                             .value("content", json::object()).value(type, json());
    EXPECT_TRUE(content.is_object() && (type == "text/csv" ||
                Conforms(doc, content["schema"], json::parse(answer.substr(answer.find("\r\n\r\n") + 4))))) << answer;
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
    const std::string json = "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: P\r\nContent-Type: application/json\r\n";
    // method, target, headers and body, status, what the answer holds ("!": does not hold)
    const std::vector<std::tuple<std::string, std::string, std::string, int, std::vector<std::string>>> rows{
        {"GET", "/api/variables", "", 200, {json, R"({"link":{"detail":"/dev/x","state":"open"},"variables":[{"name":"a/b","source":"board","updated":"2026-12-08T16:00:00.123Z","updated_ms":1796745600123,"value":"1"},)",
                                            "\"value\":\"\xEF\xBF\xBD\",\"value_base64\":\"/w==\"},{\"name\":\"caf\xC3\xA9\",", R"(,"value":""},{"name":"q\"","source":"board",)", R"("value":"1"},{"name":"r",)", R"("value":"\t"}]})"}},
        {"GET", "/api/variables?match=%5B!a-s%5D*", "", 200, {R"({"name":"t1","source":"board",)", "!a/b"}}, {"GET", "/api/variables?match=[z-a]", "", 400, {}},
        {"GET", "/api/variables/a%2Fb", "", 200, {R"("name":"a/b")"}}, {"GET", "/api/variables/%zz", "", 400, {"'%'"}}, {"GET", "/api/variables/no", "", 404, {}},
        {"GET", "/api/variables/t1", "", 200, {"\"value\":\"\xEF\xBF\xBD\"", R"("value_base64":"/w==")", "!name_base64"}},
        {"GET", "/api/variables/caf%C3%a9", "", 200, {"\"name\":\"caf\xC3\xA9\"", "!_base64"}}, {"GET", "/api/variables/%C3", "", 200, {R"("name_base64":"ww==")", "!value_base64"}},
        {"PUT", "/api/variables/led", "Content-Length: 2\r\n\r\non!!", 200, {R"("source":"http")", R"("value":"on")"}},
        {"PUT", "/api/variables/led", ok + "Content-Length: 0\r\n\r\n", 200, {"Allow-Origin: http://ok\r\n", R"("value":"")"}}, {"PUT", "/api/variables/led", evil + "Content-Length: 1\r\n\r\nx", 403, {}},
        {"PUT", "/api/variables/new", "Content-Length: 1\r\n\r\nx", 507, {"--store-max"}}, {"PUT", "/api/variables/led", "Content-Length: 3\r\n\r\nab", 400, {"shorter"}},
        {"PUT", "/api/variables/led", "Content-Length: 65505\r\n\r\n", 413, {"64 KiB"}}, {"PUT", "/api/variables/led", "Transfer-Encoding: chunked\r\n\r\n", 400, {"Content-Length"}},
        {"DELETE", "/api/variables/led", "", 200, {R"("value":"")"}}, {"DELETE", "/api/variables/led", "", 404, {}}, {"POST", "/api/variables", "", 405, {"Allow: GET\r\n"}},
        {"OPTIONS", "/api/variables/x", evil, 204, {"!Allow-"}},
        {"OPTIONS", "/api/variables/x", ok, 204, {"Allow-Origin: http://ok\r\nAccess-Control-Allow-Methods: GET, PUT, DELETE\r\nAccess-Control-Allow-Headers: Content-Type\r\n\r\n", "!Content-Length"}},
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
        for (const std::string& fact : facts)
            EXPECT_EQ(answer.find(fact.substr(fact[0] == '!')) == std::string::npos, fact[0] == '!') << fact << "\n" << answer;
        CheckDocumented(method, target, status, answer);
    }
    EXPECT_EQ(port.lines, (std::vector<std::string>{"led=on\n", "led=\n"}));
    api.SetHistorySource(nullptr);
    EXPECT_EQ(api.Reply(ParseRequest("GET /api/history/s HTTP/1.1\r\n\r\n"), false).status, 404);
}

TEST(JsonTextTest, TimesBase64PercentAndCsv)
{
    for (const auto& [text, ms] : std::vector<std::pair<std::string, std::optional<std::int64_t>>>{{"-5", -5}, {"1709251199999", 1709251199999},
             {"2024-02-29T23:59:59.999Z", 1709251199999}, {"2024-02-29T23:59:59.9991", 1709251199999}, {"2024-02-29", 1709164800000}, {"2024-02-29T23:59", 1709251140000},
             {"2023-02-29", {}}, {"2024-00-01", {}}, {"2024-01-01T24:00", {}}, {"2024-01-01T00:60", {}}, {"2024-01-01T00:00:60", {}}, {"2024-01-01T00:00:00.", {}}, {"2024-01-01Zx", {}}, {"", {}}, {"12a", {}}})
        EXPECT_EQ(ParseTime(text), ms) << text;
    EXPECT_EQ(IsoTime(1709251199999) + IsoTime(-1), "2024-02-29T23:59:59.999Z1969-12-31T23:59:59.999Z");
    EXPECT_EQ(Base64("") + Base64("\xFB") + "|" + Base64("\xFB\xFF") + "|" + Base64(std::string("\xFB\xFF\0\x01", 4)), "+w==|+/8=|+/8AAQ==");
    for (const auto& [text, decoded] : std::vector<std::pair<std::string, std::optional<std::string>>>{{"%41%2f%00+%e9", std::string("A/\0+\xE9", 5)}, {"%", {}}, {"%4", {}}, {"%4g", {}}, {"a%g1", {}}})
        EXPECT_EQ(PercentDecoded(text), decoded) << text;
    EXPECT_EQ(CsvField("a b;c") + CsvField("x\ny") + CsvField("a\rb") + CsvField("\"") + CsvField(","), "a b;c\"x\ny\"\"a\rb\"\"\"\"\"\",\"");
}

} // namespace
