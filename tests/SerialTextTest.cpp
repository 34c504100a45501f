#include "serial/BoardReader.h"
#include "serial/FrameReader.h"
#include "serial/LeadingNumber.h"
#include "serial/LineSettings.h"
#include "serial/PortChoice.h"

#include <gtest/gtest.h>

#include <set>

using namespace pontivo;

namespace {

using Frames = std::vector<std::pair<std::string, std::string>>;

template <typename Reader>
Frames FeedAll(Reader& reader, const std::vector<std::string>& reads)
{
    Frames frames;
    for (const std::string& read : reads)
        reader.Feed(read, [&](std::string_view name, std::string_view value) { frames.emplace_back(name, value); });
    return frames;
}

// However the stream is cut into three reads, the frames come out the same.
TEST(FrameReaderTest, SameFramesWhereverTheStreamIsCut)
{
    const std::vector<std::pair<std::string, Frames>> rows{
        {"{temp=21}", {{"temp", "21"}}}, {"{a=b=c}", {{"a", "b"}}}, {"{a}{a=1", {}}, {"}}{a=1}}", {{"a", "1"}}},
        {"x=5}noise{a=1}\r\n{b=2}", {{"a", "1"}, {"b", "2"}}}, // text outside frames is not a frame
        {"{=5}{ a = }", {{"", "5"}, {" a ", " "}}}, {"{x\r\ny=1\n}", {{"x\r\ny", "1\n"}}},
        {"{b{c=3}", {{"c", "3"}}}, // "{" restarts an unfinished frame
        {std::string("{n\0=\xff}", 6), {{std::string("n\0", 2), "\xff"}}},
    };
    for (const auto& [stream, expected] : rows)
        for (std::size_t i = 0; i <= stream.size(); ++i)
            for (std::size_t j = i; j <= stream.size(); ++j) {
                FrameReader reader;
                EXPECT_EQ(FeedAll(reader, {stream.substr(0, i), stream.substr(i, j - i), stream.substr(j)}), expected)
                    << stream << " cut at " << i << ", " << j;
            }
}

TEST(FrameReaderTest, OverlongFrameIsDroppedEvenInPiecesAndResetForgetsAnUnfinishedOne)
{
    FrameReader reader;
    const std::string piece(3000, 'v');
    EXPECT_EQ(FeedAll(reader, {"{a=" + piece, piece + "}{b=2}"}), (Frames{{"b", "2"}}));
    const std::string atTheCap = "{a=" + std::string(FrameReader::kMaxFrameBytes - 2, 'v') + "}";
    EXPECT_EQ(FeedAll(reader, {atTheCap}).size(), 1u);
    EXPECT_EQ(FeedAll(reader, {atTheCap.substr(0, 9), "v" + atTheCap.substr(9)}).size(), 0u); // one byte over
    FeedAll(reader, {"{a=1"});
    reader.Reset();
    EXPECT_EQ(FeedAll(reader, {"2}{b=3}"}), (Frames{{"b", "3"}}));
}

using Pairs = LinePairs;

TEST(LineRecordTest, PlotterLinesAtTheEdges)
{
    const std::vector<std::tuple<std::string, bool, Pairs>> rows{
        {"temp:21.5,hum:40", true, {{"temp", "21.5"}, {"hum", "40"}}},
        {"21.5 40\t-3", true, {{"value1", "21.5"}, {"value2", "40"}, {"value3", "-3"}}},
        {"a=1, ,b:2,,", true, {{"a", "1"}, {"b", "2"}}}, // empty fields are no pairs
        {"", true, {}}, {" \t ", true, {}}, {"a:", true, {}}, {"Volts: 3.3", true, {{"value1", "3.3"}}},
        {"a:1:2", true, {{"a", "1:2"}}}, {"a:1\rb:2", true, {{"a", "1"}, {"b", "2"}}},
        {"+1.5e-3 -2E+4 .5 5. x:7 9", true,
         {{"value1", "+1.5e-3"}, {"value2", "-2E+4"}, {"value3", ".5"}, {"value4", "5."}, {"x", "7"}, {"value5", "9"}}},
        {":1", false, {}}, {"x:1 hello", false, {}}, {"1e", false, {}}, {"1.2.3", false, {}}, {"+", false, {}},
        {".", false, {}}, {"1e+", false, {}}, {"0x10", false, {}}, {std::string("1\0", 2), false, {}},
        {std::string("n:\0\xff", 4), true, {{"n", std::string("\0\xff", 2)}}},
    };
    for (const auto& [line, read, pairs] : rows) {
        Pairs got{{"stale", "pair"}};
        EXPECT_EQ(ReadPlotterLine(line, got), read) << line;
        EXPECT_EQ(got, pairs) << line;
    }
}

TEST(LineRecordTest, JsonLinesAtTheEdges)
{
    const auto nested = [](int depth) {
        std::string line;
        for (int i = 0; i < depth; ++i)
            line += "{\"a\":";
        return line + "1" + std::string(static_cast<std::size_t>(depth), '}');
    };
    std::string deepName = "a";
    for (int i = 1; i < kMaxJsonDepth; ++i)
        deepName += ".a";
    const std::vector<std::tuple<std::string, bool, Pairs>> rows{
        {R"({"temp":21.5})", true, {{"temp", "21.5"}}},
        {R"({"a":{"b":{"c":1}},"d":[1,[2,{"e":3}]]})", true, {{"a.b.c", "1"}, {"d.0", "1"}, {"d.1.0", "2"}, {"d.1.1.e", "3"}}},
        {R"({"s":"q\"b\\\u00e9\n"})", true, {{"s", "q\"b\\\xc3\xa9\n"}}},
        {R"({"t":true,"f":false,"n":null,"":"x"})", true, {{"t", "true"}, {"f", "false"}, {"n", "null"}, {"", "x"}}},
        {R"({"e":-1.5e+3,"i":-7,"u":18446744073709551615})", true, {{"e", "-1.5e+3"}, {"i", "-7"}, {"u", "18446744073709551615"}}},
        {R"({"a":1,"a":2})", true, {{"a", "1"}, {"a", "2"}}}, // the later one wins in the store
        {R"( {} )", true, {}}, {R"({"a":{},"b":[]})", true, {}},
        {"[1,2]", false, {}}, {"5", false, {}}, {R"("x")", false, {}}, {R"({"a":1)", false, {}},
        {R"({"a":1}x)", false, {}}, {"{\"a\":\"\xff\"}", false, {}}, {"", false, {}}, {R"({"a":1,})", false, {}},
        {nested(kMaxJsonDepth), true, {{deepName, "1"}}},
        {nested(kMaxJsonDepth + 1), false, {}},
        {R"({"abc":"1234"})", true, {{"abc", "1234"}}}, {R"({"abc":"12345"})", false, {}}, // the pair cap, 8 below
        {R"({"abcdefgh":{"x":1}})", false, {}},
    };
    for (const auto& [line, read, pairs] : rows) {
        Pairs got{{"stale", "pair"}};
        EXPECT_EQ(ReadJsonLine(line, line.find("abc") == std::string::npos ? 4096 : 8, got), read) << line;
        EXPECT_EQ(got, pairs) << line;
    }
}

// However the stream is cut, the lines give the same pairs and the same count of malformed ones.
TEST(BoardReaderTest, LineFormatsWhereverTheStreamIsCut)
{
    const std::vector<std::tuple<FrameFormat, std::string, Frames, std::uint64_t>> rows{
        {FrameFormat::Lines, "t:1\r\n\n2 3\nbad\n", {{"t", "1"}, {"value1", "2"}, {"value2", "3"}}, 1},
        {FrameFormat::Lines, "t:1", {}, 0}, // a line is read at its LF only
        {FrameFormat::Json, "{\"a\":[1]}\r\n[2]\n{\"b\":\"}\n\"}\n", {{"a.0", "1"}}, 3},
        {FrameFormat::Auto, "{\"a\":1}\n{b=2}{c=3}x\nd:4\n{e=5\n{f}\n{=6}\n", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}, {"", "6"}}, 1},
        {FrameFormat::Braces, "t:1\n{\"a\":1}\n{b=2}", {{"b", "2"}}, 1},
    };
    for (const auto& [format, stream, expected, malformed] : rows)
        for (std::size_t i = 0; i <= stream.size(); ++i) {
            BoardReader reader(format);
            EXPECT_EQ(FeedAll(reader, {stream.substr(0, i), stream.substr(i)}), expected) << stream << " cut at " << i;
            EXPECT_EQ(reader.Malformed(), malformed) << stream;
            EXPECT_EQ(reader.Received(), expected.size()) << stream;
        }
}

TEST(BoardReaderTest, ALineOverTheCapIsDroppedUnreadAndTheNextIsRead)
{
    const std::size_t cap = FrameReader::kMaxFrameBytes;
    const std::string atTheCap = "a:" + std::string(cap - 2, 'v');
    BoardReader reader(FrameFormat::Lines);
    EXPECT_EQ(FeedAll(reader, {atTheCap + "\n"}).size(), 1u);
    EXPECT_EQ(FeedAll(reader, {atTheCap.substr(0, 9), atTheCap.substr(9) + "v\nb:2\n"}), (Frames{{"b", "2"}}));
    EXPECT_EQ(FeedAll(reader, {atTheCap + ":x" + std::string(3 * cap, ' '), " hello\nc:3\n"}), (Frames{{"c", "3"}}));
    EXPECT_EQ(reader.Malformed(), 2u);
    FeedAll(reader, {"d:"});
    reader.SetFormat(FrameFormat::Json); // a new format starts with a new line
    EXPECT_EQ(FeedAll(reader, {"{\"e\":5}\n"}), (Frames{{"e", "5"}}));
}

TEST(LineSettingsTest, ReadsEveryFieldAndRefusesWhatThePortCannotTake)
{
    const LineSettings read = ParseLineSettings("115200,E,7,2").settings.value();
    EXPECT_EQ(std::tuple(read.baudRate, read.parity, read.dataBits, read.stopBits),
              std::tuple(115200, LineSettings::Parity::Even, 7, LineSettings::StopBits::Two));
    EXPECT_EQ(ParseLineSettings("9600,s,5,1.5").settings->stopBits, LineSettings::StopBits::OneAndHalf);
    EXPECT_EQ(ParseLineSettings("1,n,8,1").settings->dataBits, 8);
    const std::vector<std::pair<std::string, std::string>> refused{
        {"9600,x,8,1", "parity"}, {"9600,no,8,1", "parity"}, {"9600,n,9,1", "data bits"}, {"9600,n,8,3", "stop bits"},
        {"fast,n,8,1", "speed"}, {"0,n,8,1", "speed"}, {"9600,n,8", "expected"}, {"9600,n,4,1", "data bits"},
        {"-1,n,8,1", "speed"}, {"9600,n,8,1,1", "expected"}, {"9600,,8,1", "parity"}, {"9600,n,8,", "stop bits"},
    };
    for (const auto& [text, why] : refused) {
        const auto result = ParseLineSettings(text);
        EXPECT_TRUE(!result.settings && result.error.find(why) != std::string::npos) << text << ": " << result.error;
    }
}

TEST(SettingsNumberTest, PortsFromTheLeadingNumberOfATextAndNeverAnyFreePort)
{
    const std::vector<std::pair<std::string, std::optional<std::uint16_t>>> http{
        {" 8085abc", 8085}, {"80.4", 80}, {"+12.5", 12}, {"65535", 65535}, {"0", {}}, {"0.4", {}}, {"abc", {}},
        {"/dev/ttyUSB0", {}}, {"65536", {}}, {"-80", {}}, {"1", 1}, {"0.5", {}}, {"1.5", 2}, {"65535.5", {}},
        {"\t 9.", 9}, {"65534.5", 65534},
    };
    for (const auto& [text, port] : http)
        EXPECT_EQ(HttpPortFromText(text), port) << text;
    const std::vector<std::pair<std::string, std::optional<std::int16_t>>> com{ // half to even
        {"-2.5", -2}, {"40000", {}}, {"32767", 32767}, {"32767.5", {}}, {"-32768", -32768}, {"-32768.6", {}}};
    for (const auto& [text, port] : com)
        EXPECT_EQ(CommPortFromText(text), port) << text;
}

TEST(PortChoiceTest, ComNumberIsTheOneThatOpensTheDevice)
{
    const std::set<std::string> nodes{"/dev/ttyACM0", "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyS1", "/dev/ttyS2"};
    const PathExists exists = [&](const std::string& path) { return nodes.count(path) > 0; };
    const std::vector<std::pair<std::string, std::optional<int>>> rows{
        {"/dev/ttyACM0", 1}, {"/dev/ttyUSB0", {}}, {"/dev/ttyUSB1", 2}, {"/dev/ttyS1", {}}, {"/dev/ttyS2", 3},
        {"/dev/ttyACM98", 99}, {"/dev/ttyACM99", {}}, {"COM7", 7}, {"COM0", {}}, {"/dev/ttyAMA0", {}}, {"ttyACM0", {}},
        {"COM1", 1}, {"COM99", 99}, {"COM100", {}}, {"COM0099", 99}, {"COM00099", {}}, {"/dev/ttyS98", 99},
        {"/dev/ttyUSB", {}}, {"/dev/ttyACM-1", {}},
    };
    for (const auto& [device, number] : rows)
        EXPECT_EQ(ComNumberOf(device, exists), number) << device;
}

TEST(PortChoiceTest, AutoTakesTheFirstUsbPortAndABoardIsFollowedOnlyByItsOwnSerialNumber)
{
    const auto usb = [](std::string device, std::string serial) {
        return PortRecord{std::move(device), 0x2341, 0x43, std::move(serial), "Maker", "Uno", ""};
    };
    const PortRecord ttyS0{"/dev/ttyS0", {}, {}, "", "", "", "/dev/serial/by-id/s0"};
    std::vector<PortRecord> ports{usb("/dev/ttyACM10", "B"), ttyS0, usb("/dev/ttyACM2", "A"), usb("/dev/ttyUSB0", "")};
    SortPorts(ports);
    EXPECT_EQ(PickAuto(ports)->device, "/dev/ttyACM2");
    EXPECT_EQ(PickAuto({ttyS0, usb("/dev/ttyUSB3", "")})->device, "/dev/ttyUSB3");
    EXPECT_EQ(PickAuto({ttyS0}), nullptr);
    EXPECT_EQ(FindDevice(ports, "/dev/serial/by-id/s0")->device, "/dev/ttyS0");

    const BoardIdentity board = IdentityOf(*FindDevice(ports, "/dev/ttyACM2")).value();
    EXPECT_EQ(FindBoard({usb("/dev/ttyACM0", "B"), usb("/dev/ttyACM3", "A")}, board)->device, "/dev/ttyACM3");
    EXPECT_EQ(FindBoard({usb("/dev/ttyACM0", "B"), usb("/dev/ttyACM1", "")}, board), nullptr);
    EXPECT_FALSE(IdentityOf(usb("/dev/ttyUSB0", "")).has_value()); // cannot be told from another of its kind

    const PathExists none = [](const std::string&) { return false; };
    EXPECT_EQ(PortTable({ports[0], ports[2]}, none),
              "COM   DEVICE        USB ID     SERIAL  MANUFACTURER  DESCRIPTION  BY-ID\n"
              "COM3  /dev/ttyACM2  2341:0043  A       Maker         Uno          -\n"
              "COM1  /dev/ttyS0    -          -       -             -            /dev/serial/by-id/s0\n"
              "\nOne service per board reads /etc/default/pontivo-NAME (each with its own --http-port):\n"
              "  PONTIVO_OPTS=\"--com-port /dev/serial/by-id/s0\"\n");
    EXPECT_EQ(PortTable({ports[0]}, none).find("\n\n"), std::string::npos); // no options section without by-id links
    EXPECT_EQ(PortTable({}, none), "No serial ports found.\n");

    PortRecord linked = usb("/dev/ttyUSB0", "");
    linked.byIdLink = "/dev/serial/by-id/u0";
    EXPECT_EQ(BoardsPresentHint({ttyS0, usb("/dev/ttyACM0", "A"), linked}),
              "; boards present: /dev/ttyACM0 (Uno), /dev/ttyUSB0 (Uno); open one with --com-port auto or --com-port "
              "/dev/serial/by-id/u0");
    EXPECT_EQ(BoardsPresentHint({PortRecord{"/dev/ttyACM0", 1, 2, "", "", "", ""}}),
              "; boards present: /dev/ttyACM0; open one with --com-port auto");
    EXPECT_EQ(BoardsPresentHint({ttyS0}), ""); // a built-in port is no board
}

} // namespace
