#include "FakeSerialOutput.h"
#include "serial/FrameReader.h"
#include "api/JsonApi.h"
#include "api/MetricsText.h"
#include "api/RequestDispatcher.h"
#include "http/HttpRequest.h"
#include "store/VariableCommands.h"
#include "store/VariableStore.h"

#include <gtest/gtest.h>

#include <map>
#include <tuple>

using namespace pontivo;

namespace {

TEST(MetricsTextTest, OnlyWholeFiniteDecimalNumbersAreSamples)
{
    const std::vector<std::pair<std::string, std::optional<double>>> rows{
        {"21", 21}, {"-0.5", -0.5}, {"1e3", 1000}, {".5", 0.5}, {"5.", 5}, {"007", 7},
        {"1.7976931348623157e308", 1.7976931348623157e308}, {"1e309", {}}, {"", {}}, {"-", {}}, {"1e", {}},
        {"+5", {}}, {" 5", {}}, {"5 ", {}}, {"5\n", {}}, {"0x1A", {}}, {"1,5", {}}, {"inf", {}}, {"-Infinity", {}},
        {"nan", {}}, {std::string("5\0", 2), {}},
    };
    for (const auto& [value, number] : rows)
        EXPECT_EQ(MetricValue(value), number) << value;
}

TEST(MetricsTextTest, NamesAreEscapedAndStrayBytesKeptApart)
{
    const std::string fffd = "\xEF\xBF\xBD";
    const std::vector<std::pair<std::string, std::string>> rows{
        {"temp", R"(name="temp")"}, {"a\\b\"c\nd\re", "name=\"a\\\\b\\\"c\\nd\re\""}, {"", R"(name="")"},
        {"\xC2\x80\xDF\xBF", "name=\"\xC2\x80\xDF\xBF\""}, {"\xF4\x8F\xBF\xBF", "name=\"\xF4\x8F\xBF\xBF\""},
        {std::string("n\0", 2), std::string("name=\"n\0\"", 9)},
        {"\xF4\x90\x80\x80", "name=\"" + fffd + fffd + fffd + fffd + "\",name_hex=\"f4908080\""}, // above U+10FFFF
        {"\xC1\xBF", "name=\"" + fffd + fffd + "\",name_hex=\"c1bf\""},                       // overlong
        {"\xE0\x9F\xBF", "name=\"" + fffd + fffd + fffd + "\",name_hex=\"e09fbf\""},          // overlong
        {"\xED\xA0\x80", "name=\"" + fffd + fffd + fffd + "\",name_hex=\"eda080\""},          // surrogate
        {"a\xE2\x82", "name=\"a" + fffd + fffd + "\",name_hex=\"61e282\""},                   // cut short
        {"\xE2\x82\xAC\xFF\"", "name=\"\xE2\x82\xAC" + fffd + "\\\"\",name_hex=\"e282acff22\""},
    };
    for (const auto& [name, labels] : rows)
        EXPECT_EQ(VariableLabels(name), labels) << name;
}

// Counts survive a reset of the reader; only complete frames with "=" are received.
TEST(MetricsTextTest, FramesAreCountedAsReceivedOrMalformed)
{
    const std::string overlong = "{a=" + std::string(FrameReader::kMaxFrameBytes, 'v') + "}";
    const std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t>> rows{
        {"{a=1}{b=2=3}", 2, 0}, {"{a}", 0, 1}, {"{a{b=2}", 1, 1}, {"{{b=2}", 1, 1}, {overlong + "{b=2}", 1, 1},
        {"x=1}noise{a=1", 0, 0},
    };
    for (const auto& [stream, received, malformed] : rows) {
        FrameReader reader;
        reader.Feed(stream, [](std::string_view, std::string_view) {});
        reader.Reset();
        EXPECT_EQ(std::pair(reader.Received(), reader.Malformed()), std::pair(received, malformed)) << stream;
    }
}

TEST(MetricsTextTest, MetricsAnswerCarriesItsTypeAndRequestsAreCountedByKnownCommand)
{
    VariableStore store;
    FakeSerialOutput port;
    VariableCommands commands(store, port);
    RequestDispatcher dispatcher(commands, "P", [] { return std::string(); }, [] { return std::int16_t(16); });
    const JsonApi api(store, commands, {});
    const auto reply = [&](const std::string& target) { return dispatcher.Reply(ParseRequest("GET " + target + " HTTP/1.1\r\n\r\n")).text; };
    EXPECT_EQ(reply("/metrics"), "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: P\r\nX-Content-Type-Options: nosniff\r\n"
                                 "Content-Length: 0\r\n\r\n"); // an unknown command without a handler
    dispatcher.SetMetricsHandler([] { return std::string("m 1\n"); });
    EXPECT_EQ(reply("/METRICS/x"), "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: P\r\nX-Content-Type-Options: nosniff\r\n"
                                   "Content-Type: text/plain; version=0.0.4\r\nContent-Length: 4\r\n\r\nm 1\n");
    dispatcher.SetJsonApi(&api);
    for (const char* target : {"/", "/get/a", "/GET", "/files/x", "/events/a/b", "/nosuch", "/getx", "/other", "/api_variables", "/ui/",
                               "/api/variables", "/api/variables/a?b", "/api/history/x", "/api/openapi.json", "/api/", "/api/nosuch", "/api"})
        reply(target);
    std::map<std::pair<std::string_view, int>, std::uint64_t> counted;
    for (const auto& [command, status, count] : dispatcher.RequestCounts())
        EXPECT_TRUE(counted.emplace(std::pair(command, status), count).second) << command;
    EXPECT_EQ(counted, (std::map<std::pair<std::string_view, int>, std::uint64_t>{{{"test", 200}, 1}, {{"get", 200}, 2},
        {{"metrics", 200}, 2}, {{"files", 200}, 1}, {{"events", 200}, 1}, {{"ui", 200}, 1}, {{"other", 200}, 5}, {{"api_variables", 200}, 1},
        {{"api_variables", 404}, 1}, {{"api_history", 404}, 1}, {{"api_openapi", 200}, 1}, {{"api_other", 404}, 2}}));

    MetricsFigures figures;
    figures.mqttConnected = true;
    figures.process.startTime = 1.5e9; // whole numbers as integers
    figures.process.residentBytes = 4096;
    figures.requests = {{"get", 404, 3}};
    std::string text = MetricsText(figures, store);
    for (const char* line : {"\npontivo_mqtt_connected 1\n", "\nprocess_start_time_seconds 1500000000\n",
                             "\nprocess_resident_memory_bytes 4096\n", "\npontivo_requests_total{command=\"get\",code=\"404\"} 3\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    for (const char* absent : {"last_frame", "process_open_fds", "recording"}) // no frame yet, no figure, no --record
        EXPECT_EQ(text.find(absent), std::string::npos) << absent;
    figures.recording = RecordingFigures{false, 2, 8192};
    text = MetricsText(figures, store);
    for (const char* line : {"\npontivo_recording_up 0\n", "\npontivo_recording_dropped_total 2\n", "\npontivo_recording_bytes 8192\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
}

} // namespace
