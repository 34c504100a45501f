#include "server/CommandLine.h"
#include "serial/DeviceResolver.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace pontivo;

namespace {

TEST(CommandLineTest, DefaultsOptionsAndMistakes)
{
    const auto read = [](const std::vector<std::string>& arguments) {
        const CommandLine line = ParseCommandLine(arguments);
        return std::tuple(line.headless, line.httpPort, line.comPort, line.comSettings, line.error);
    };
    EXPECT_EQ(read({}), std::tuple(false, "8085", "16", "9600,n,8,1", ""));
    EXPECT_EQ(read({"--headless", "--http-port", "9000", "--com-port=/dev/ttyACM0", "--com-settings", ""}),
              std::tuple(true, "9000", "/dev/ttyACM0", "", ""));
    // Refused, naming what is wrong; without --headless even the server texts (the window keeps its own).
    for (const auto& [arguments, why] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--headless", "--http-port"}, "missing value after '--http-port'"}, {{"--x"}, "'--x'"}, {{"--com-port=1"}, "--headless"},
             {{"--allowed-hosts=a,b c"}, "--allowed-hosts: 'b c'"}, {{"--store-max=127"}, "--store-max: '127'"}, {{"--client-streams=0"}, "--client-streams: '0'"},
             {{"--client-connections", "1000001"}, "from 1 to 1000000"}, {{"--client-streams=1x"}, "'1x'"},
             {{"--frames", "Lines"}, "--frames: 'Lines' is not braces, lines, json or auto"}})
        EXPECT_NE(ParseCommandLine(arguments).error.find(why), std::string::npos) << why;
    EXPECT_TRUE(ParseCommandLine({"-h"}).help && ParseCommandLine({"--version"}).version);
    const CommandLine guarded = ParseCommandLine({"--bind=::1", "--allowed-hosts", "a,b", "--allow-origin", "http://c"});
    EXPECT_EQ(std::tuple(guarded.error, guarded.options.guard.bindAddress, guarded.options.guard.access.allowedHosts.size()),
              std::tuple("", "::1", 2u)); // the guards go with the window too
    EXPECT_EQ(ParseCommandLine({"--store-max", "128"}).options.storeMaxBytes, 128u);
    EXPECT_EQ(ParseCommandLine({"--frames=auto"}).options.frames, FrameFormat::Auto); // the window reads them too
    for (const auto& [text, bytes] : std::vector<std::pair<std::string, std::uint64_t>>{
             {"1", 1}, {"2K", 2048}, {"3KB", 3072}, {"64MB", 64u << 20}, {"9999999999GB", 9999999999ull << 30},
             {"0", 0}, {"", 0}, {"MB", 0}, {"1TB", 0}, {"1 MB", 0}, {"-1", 0}, {"10000000000", 0}})
        EXPECT_EQ(ParseByteSize(text).value_or(0), bytes) << text;
    const ClientLimits limits = ParseCommandLine({"--client-connections=1", "--client-streams=1000000"}).options.guard.perClient;
    EXPECT_TRUE(limits.connections == 1 && limits.streams == 1000000);
    const CommandLine broker = ParseCommandLine({"--mqtt=mqtt://b:1"}); // the window takes the broker options too
    EXPECT_TRUE(broker.error.empty() && broker.options.mqtt.enabled && broker.options.mqtt.port == 1);
    for (const auto& [arguments, discovery] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--mqtt=mqtt://b", "--mqtt-discovery"}, "homeassistant"}, {{"--mqtt-discovery", "hub", "--mqtt=mqtt://b"}, "hub"},
             {{"--mqtt-discovery=x", "--mqtt=mqtt://b"}, "x"}, {{"--mqtt-discovery", "--mqtt=mqtt://b"}, "homeassistant"}})
        EXPECT_EQ(ParseCommandLine(arguments).options.mqtt.discovery, discovery) << discovery; // its prefix is optional
}

TEST(ResolveSerialDeviceTest, ComNumberNamesTheFirstExistingDeviceAndAPathIsTakenAsItIs)
{
    const QTemporaryDir folder;
    for (const char* name : {"ttyACM0", "ttyUSB0", "ttyUSB1", "ttyS1", "ttyS2"})
        ASSERT_TRUE(QFile(folder.filePath(QLatin1String(name))).open(QIODevice::WriteOnly));
    const std::vector<std::tuple<QString, QString, QString>> rows{ // text, device in the folder, why refused
        {"1", "ttyACM0", ""}, {"2", "ttyUSB1", ""}, {"3", "ttyS2", ""}, {"4", "", "no device for COM4"},
        {"COMX", "", "not a number from 1 to 99"}, {"0", "", "not a number"}, {"100", "", "not a number"},
    };
    for (const auto& [text, device, why] : rows) {
        const DeviceResolution resolution = ResolveSerialDevice(text, folder.path());
        EXPECT_EQ(resolution.device, device.isEmpty() ? QString() : folder.filePath(device)) << text.toStdString();
        EXPECT_TRUE(why.isEmpty() ? resolution.error.isEmpty() : resolution.error.contains(why))
            << text.toStdString() << ": " << resolution.error.toStdString();
    }
    EXPECT_EQ(ResolveSerialDevice(QStringLiteral("/dev/custom"), folder.path()).device, QStringLiteral("/dev/custom"));
}

} // namespace
