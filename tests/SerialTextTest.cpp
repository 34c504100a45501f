#include "serial/FrameReader.h"
#include "serial/LeadingNumber.h"
#include "serial/LineSettings.h"
#include "serial/PortChoice.h"

#include <gtest/gtest.h>

#include <set>

using namespace pontivo;

namespace {

using Frames = std::vector<std::pair<std::string, std::string>>;

Frames FeedAll(FrameReader& reader, const std::vector<std::string>& reads)
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
}

} // namespace
