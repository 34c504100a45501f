#include "Loopback.h"
#include "PtyBoard.h"

#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <ranges>

using namespace pontivo;
using namespace pontivo::testing;

namespace {

using Topics = std::map<std::string, std::string>;

QString BrokerProgram()
{
    return QStandardPaths::findExecutable(QStringLiteral("mosquitto"), {"/usr/sbin", "/usr/local/sbin", "/usr/bin"});
}

// A mosquitto of the test's own on a free loopback port; retained messages survive a restart.
class Broker {
public:
    explicit Broker(const QString& access = QStringLiteral("allow_anonymous true")) : m_access(access)
    {
        // The port was free when picked; taken by another program since, another one is tried.
        for (int attempt = 0; attempt < 5 && !Start(); ++attempt)
            m_port = FreePort();
    }
    ~Broker() { Stop(); }
    // True once the broker says it is running; false when it ended first.
    bool Start()
    {
        QFile config(m_dir.filePath("broker.conf"));
        config.open(QIODevice::WriteOnly);
        config.write(QStringLiteral("listener %1 127.0.0.1\npersistence true\npersistence_location %2/\nuser root\n%3\n")
                         .arg(QString::number(m_port), m_dir.path(), m_access)
                         .toUtf8());
        config.close();
        m_process.setReadChannel(QProcess::StandardError);
        m_process.start(BrokerProgram(), {"-c", config.fileName()});
        QByteArray said;
        while (!said.contains(" running\n") && m_process.waitForReadyRead(30000))
            said += m_process.readAll();
        return said.contains(" running\n");
    }
    void Stop()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    quint16 Port() const { return m_port; }
    QStringList Address() const { return {"-p", QString::number(m_port), "-q", "1"}; }
    MqttOptions Options(const std::string& host = "127.0.0.1", const std::string& user = {},
                        const std::string& password = {}, const std::string& discovery = {}) const
    {
        return {.enabled = true, .host = host, .port = m_port, .prefix = "p", .user = user, .password = password,
                .url = "mqtt://" + host, .discovery = discovery};
    }

private:
    QTemporaryDir m_dir;
    QString m_access;
    quint16 m_port = FreePort();
    QProcess m_process;
};

// mosquitto_sub on p/# (or `filter`): what the broker holds for it, as far as it has seen (an empty message deletes).
class Subscriber {
public:
    explicit Subscriber(const Broker& broker, const QStringList& login = {}, const QString& filter = "p/#")
    {
        m_process.start("mosquitto_sub", broker.Address() + login + QStringList{"-t", filter, "-F", "%t %x"});
    }
    ~Subscriber()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    Topics Latest()
    {
        m_process.waitForReadyRead(0);
        while (m_process.canReadLine()) {
            ++messages;
            const QByteArray line = m_process.readLine().chopped(1);
            const auto space = line.lastIndexOf(' ');
            const std::string topic = line.left(space).toStdString();
            if (space + 1 == line.size())
                m_latest.erase(topic);
            else
                m_latest[topic] = QByteArray::fromHex(line.mid(space + 1)).toStdString();
        }
        return m_latest;
    }
    bool Sees(const std::string& topic, const std::string& payload)
    {
        return WaitUntil([&] { return Latest().count(topic) && m_latest.at(topic) == payload; });
    }

    int messages = 0; // seen so far, deletions included

private:
    QProcess m_process;
    Topics m_latest;
};

void Publish(const Broker& broker, const QString& topic, const QString& payload, const QStringList& flags = {})
{
    QProcess::execute("mosquitto_pub", broker.Address() + flags + QStringList{"-t", topic, "-m", payload});
}

class MqttTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (BrokerProgram().isEmpty())
            GTEST_SKIP() << "no mosquitto broker installed (Debian package mosquitto)";
        // The bridge is a module beside the program, not beside the tests.
        qputenv("PONTIVO_MODULE_DIR", QFileInfo(PONTIVO_EXECUTABLE).absolutePath().toLocal8Bit());
    }
};

TEST_F(MqttTest, StoreMirroredRetainedAndSetsFromTheBrokerReachBoardAndStore)
{
    Broker broker;
    PtyBoard board;
    std::string link;
    {
        ServerCore core(SettingsFor(board.SlavePath()), FastTimings());
        core.Store().SetVariable("early", "1"); // before the connection: published once it is made
        Start(core);
        core.EnableMqtt(broker.Options());
        Subscriber watcher(broker);
        ASSERT_TRUE(watcher.Sees("p/early", "1"));
        EXPECT_TRUE(watcher.Sees("p/$state", "online"));
        EXPECT_TRUE(watcher.Sees("p/$link", "open " + board.SlavePath().toStdString()));

        board.Write("{temp=21}{a/b=x}{$state=y}");
        EXPECT_TRUE(watcher.Sees("p/temp", "21") && watcher.Sees("p/a%2Fb", "x") && watcher.Sees("p/%24state", "y"));
        EXPECT_EQ(watcher.Latest().at("p/$state"), "online"); // no name reaches a topic of the bridge's own

        Publish(broker, "p/bad/set", "1\n2"); // the board would read two lines: refused whole
        Publish(broker, "p/temp/set", "30");
        Publish(broker, "p/a%2Fb/set", "w");
        Publish(broker, "p/a/b/set", "never"); // "a/b" is only reachable encoded, and "a" not at all
        EXPECT_EQ(board.ReadAvailable(12), "temp=30\na/b=w\n");
        EXPECT_TRUE(Stored(core, "temp", "30") && Stored(core, "a/b", "w") && !core.Store().Exists("a") && !core.Store().Exists("bad"));
        EXPECT_TRUE(watcher.Sees("p/temp", "30") && watcher.Sees("p/a%2Fb", "w"));
        EXPECT_EQ(Request(core, "/put/c/1"), "1");
        EXPECT_EQ(Request(core, "/unset/early"), "");
        EXPECT_TRUE(watcher.Sees("p/c", "1") && WaitUntil([&] { return !watcher.Latest().count("p/early"); }));

        board.Unplug();
        EXPECT_TRUE(WaitUntil([&] { return watcher.Latest().at("p/$link").rfind("closed ", 0) == 0; }));
        link = watcher.Latest().at("p/$link");
        core.ClearCache();
        core.Store().SetVariable("last", "9");
        EXPECT_TRUE(watcher.Sees("p/last", "9"));
    }
    // What a newcomer gets: the store's state and "offline", nothing that was removed.
    const Topics expected{{"p/$state", "offline"}, {"p/$link", link}, {"p/last", "9"}};
    Subscriber newcomer(broker);
    WaitUntil([&] { return newcomer.Latest() == expected; });
    EXPECT_EQ(newcomer.Latest(), expected);
}

TEST_F(MqttTest, BrokerRestartedMidRunEndsWithTheWholeStateAndHttpNeverWaits)
{
    Broker broker;
    ServerCore core(SettingsFor(), FastTimings());
    QSignalSpy said(&core, &ServerCore::mqttStateChanged);
    Start(core);
    core.EnableMqtt(broker.Options());
    EXPECT_EQ(Request(core, "/set/gone/1"), "1");
    ASSERT_TRUE(Subscriber(broker).Sees("p/gone", "1"));
    broker.Stop();
    for (int i = 0; i < 30; ++i) { // 3 s down: several reconnection attempts, all while HTTP is served
        const Exchange answer = Get(core, "/set/v" + std::to_string(i) + "/" + std::to_string(i));
        EXPECT_EQ(BodyOf(answer.received), std::to_string(i));
        RunEventsFor(100);
    }
    EXPECT_EQ(Request(core, "/unset/gone"), "");
    for (int i = 30; i < 600; ++i) { // more names than one batch of publishing
        std::string name = "v"; // not "v" + ...: GCC 12 warns falsely about that
        core.Store().SetVariable(name += std::to_string(i), std::to_string(i));
    }
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(WaitUntil([&] { return said.count() == 3; }, 10000));
    // v0..v599, state and link: "gone" is deleted although it was removed while the broker was down.
    Topics expected{{"p/$state", "online"}, {"p/$link", core.LinkState().toStdString()}};
    core.Store().ForEach([&](const std::string& name, const std::string& value) { expected["p/" + name] = value; });
    ASSERT_EQ(expected.size(), 602u);
    Subscriber newcomer(broker);
    WaitUntil([&] { return newcomer.Latest() == expected; });
    EXPECT_EQ(newcomer.Latest(), expected);
    // Said once when connected, once for the outage however many retries, once on reconnecting.
    ASSERT_EQ(said.count(), 3);
    EXPECT_TRUE(said.at(1).at(0).toString().contains("unavailable") && !said.at(1).at(1).toBool());
    EXPECT_TRUE(said.at(2).at(1).toBool());
}

TEST_F(MqttTest, RefusedLoginAndUnknownHostAreSaidAndHttpIsUnaffected)
{
    QTemporaryDir dir;
    QProcess::execute("mosquitto_passwd", {"-b", "-c", dir.filePath("passwords"), "me", "right"});
    Broker broker("allow_anonymous false\npassword_file " + dir.filePath("passwords"));
    const std::vector<std::tuple<MqttOptions, bool, QString>> runs{
        {broker.Options("127.0.0.1", "me", "wrong"), false, "refused the connection: Not authorized"},
        {broker.Options("127.0.0.1", "me", "right"), true, "connected"},
        {broker.Options("no-such-host.invalid"), false, "cannot find host no-such-host.invalid"}};
    for (const auto& [options, connects, text] : runs) {
        ServerCore core(SettingsFor(), FastTimings());
        QSignalSpy said(&core, &ServerCore::mqttStateChanged);
        Start(core);
        core.EnableMqtt(options);
        ASSERT_TRUE(WaitUntil([&] { return said.count() > 0; }, 10000)) << text.toStdString();
        EXPECT_TRUE(said.at(0).at(0).toString().contains(text)) << said.at(0).at(0).toString().toStdString();
        EXPECT_EQ(said.at(0).at(1).toBool(), connects);
        EXPECT_EQ(BodyOf(Get(core, "/set/t/1").received), "1");
    }
    EXPECT_TRUE(Subscriber(broker, {"-u", "me", "-P", "right"}).Sees("p/t", "1")); // from the run that logged in
}

// Left from before: a retained set (never applied) and a value the store lacks (removed).
TEST_F(MqttTest, RetainedSetsAndRefusedMessagesAreSaidOnceAndStaleTopicsGo)
{
    Broker broker("allow_anonymous true\nmax_packet_size 3000");
    Publish(broker, "p/led/set", "on", {"-r"});
    Publish(broker, "p/stale", "old", {"-r"});
    ServerCore core(SettingsFor(), FastTimings());
    QSignalSpy said(&core, &ServerCore::mqttStateChanged);
    Start(core);
    core.EnableMqtt(broker.Options());
    Subscriber watcher(broker);
    for (const std::string& value : {std::string(4000, 'v'), std::string(5000, 'w')}) { // each fault twice
        core.Store().SetVariable("big", value);
        core.Store().SetVariable(std::string(65536, 'n'), value.substr(0, 1)); // a topic over 65,535 bytes
        core.Store().SetVariable("small", value.substr(0, 1));
        EXPECT_TRUE(watcher.Sees("p/small", value.substr(0, 1)));
    }
    EXPECT_TRUE(WaitUntil([&] { return !watcher.Latest().count("p/stale"); }));
    EXPECT_FALSE(core.Store().Exists("led") || watcher.Latest().count("p/big"));
    QStringList texts; // connected, then each fault once
    for (const QList<QVariant>& each : said)
        texts += each.at(0).toString();
    EXPECT_TRUE(texts.size() == 4 && texts[0].contains("connected") && texts.filter("p/big is not published").size() == 1 &&
                texts.filter("retained sets are ignored (p/led/set is one)").size() == 1 && texts.filter("p/nnn").size() == 1)
        << texts.join('\n').toStdString();
}

TEST_F(MqttTest, SlowNameLookupNeverHoldsUpHttp)
{
    Broker broker;
    const QTemporaryDir dir;
    const QByteArray aliases = dir.filePath("aliases").toLocal8Bit();
    ASSERT_EQ(::mkfifo(aliases.constData(), 0600), 0);
    // The resolver reads single-label names' aliases from this file: a pipe that waits for the test.
    qputenv("HOSTALIASES", aliases);
    const auto unset = qScopeGuard([] { qunsetenv("HOSTALIASES"); });
    ServerCore core(SettingsFor(), FastTimings());
    QSignalSpy said(&core, &ServerCore::mqttStateChanged);
    Start(core);
    core.EnableMqtt(broker.Options("pontivo-slow-broker"));
    int writer = -1;
    if (!WaitUntil([&] { return (writer = ::open(aliases.constData(), O_WRONLY | O_NONBLOCK)) >= 0; }))
        GTEST_SKIP() << "this system's resolver does not read HOSTALIASES";
    EXPECT_TRUE(Request(core, "/set/t/1") == "1" && said.count() == 0); // while the lookup waits
    EXPECT_TRUE(::write(writer, "pontivo-slow-broker 127.0.0.1\n", 30) > 0 && ::close(writer) == 0);
    EXPECT_TRUE(WaitUntil([&] { return said.count() && said.at(0).at(0).toString().contains("cannot find host"); }, 10000));
}

TEST_F(MqttTest, DiscoveryAnnouncesEachVariableAndTheHubSwitchesTheBoard)
{
    Broker broker;
    PtyBoard board;
    ServerCore core(SettingsFor(board.SlavePath()), FastTimings());
    Start(core);
    core.EnableMqtt(broker.Options("127.0.0.1", {}, {}, "ha"));
    Subscriber hub(broker, {}, "ha/+/p/+/config");
    board.Write("{led=off}");
    ASSERT_TRUE(WaitUntil([&] { return hub.Latest().count("ha/sensor/p/led/config") > 0; }));
    // A button needs no value to be pressed; a unit typed into a URL arrives percent-encoded.
    board.Write("{$led=switch}{temp=21}{$speed=number,rpm,0,255}{speed=5}{$go=button}");
    EXPECT_EQ(Request(core, "/put/$temp/sensor,%C2%B0C"), "sensor,%C2%B0C");
    const std::map<std::string, std::string> required{ // what the hub needs of each kind
        {"sensor", "unit_of_measurement"}, {"switch", "command_topic"}, {"number", "command_topic"}, {"button", "payload_press"}};
    const std::vector<std::string> topics{"ha/button/p/go/config", "ha/number/p/speed/config", "ha/sensor/p/temp/config",
                                          "ha/switch/p/led/config"};
    ASSERT_TRUE(WaitUntil([&] { return std::ranges::equal(hub.Latest() | std::views::keys, topics) &&
                                       hub.Latest().at(topics[2]).find("unit") != std::string::npos; })); // not led's sensor
    for (const std::string& topic : topics) {
        const auto config = nlohmann::json::parse(hub.Latest().at(topic));
        EXPECT_TRUE(config.contains(required.at(topic.substr(3, topic.find('/', 3) - 3))) &&
                    config["availability_topic"] == "p/$state" && config["origin"]["name"] == "Pontivo") << topic;
    }
    EXPECT_EQ(nlohmann::json::parse(hub.Latest().at(topics[2]))["unit_of_measurement"], "\xc2\xb0""C");
    const auto press = [&](const std::string& topic, const std::string& key) {
        const auto config = nlohmann::json::parse(hub.Latest().at(topic));
        Publish(broker, QString::fromStdString(config["command_topic"]), QString::fromStdString(config[key]));
    };
    press(topics[3], "payload_on");
    EXPECT_EQ(board.ReadAvailable(7), "led=on\n");
    press(topics[0], "payload_press");
    EXPECT_EQ(board.ReadAvailable(5), "go=1\n");
    // A removed variable takes its config along; a hub that starts again gets every config again.
    EXPECT_EQ(Request(core, "/unset/speed"), "");
    Publish(broker, QString::fromStdString(topics[2]), "", {"-r"});
    EXPECT_TRUE(WaitUntil([&] { return !hub.Latest().count(topics[1]) && !hub.Latest().count(topics[2]); }));
    Publish(broker, "ha/status", "online");
    EXPECT_TRUE(WaitUntil([&] { return hub.Latest().size() == 3 && hub.Latest().count(topics[2]); }));
}

// Another device's configs under the same node id stay; a flipping description, a hub saying "online" again and
// again, and more variables than --mqtt-entities each cost the broker a bounded number of messages.
TEST_F(MqttTest, DiscoveryClearsOnlyItsOwnConfigsAndBoundsWhatItSends)
{
    Broker broker;
    const std::string foreign = R"({"unique_id":"garage_door","device":{"identifiers":["garage"]}})";
    Publish(broker, "ha/sensor/p/door/config", QString::fromStdString(foreign), {"-r"});
    Publish(broker, "ha/sensor/p/gone/config", R"({"unique_id":"pontivo_p.gone"})", {"-r"});
    ServerCore core(SettingsFor(), FastTimings());
    QSignalSpy said(&core, &ServerCore::mqttStateChanged);
    for (const char* name : {"a", "b", "c", "d"})
        core.Store().SetVariable(name, "1");
    Start(core);
    MqttOptions options = broker.Options("127.0.0.1", {}, {}, "ha");
    options.maxEntities = 3;
    core.EnableMqtt(options);
    Subscriber hub(broker, {}, "ha/+/p/+/config");
    const auto ours = [&] { return std::ranges::count_if(hub.Latest() | std::views::keys, [](const std::string& t) { return t.find("/door/") == std::string::npos; }); };
    EXPECT_TRUE(WaitUntil([&] { return ours() == 3 && !hub.Latest().count("ha/sensor/p/gone/config"); }));
    RunEventsFor(300);
    EXPECT_EQ(hub.Latest()["ha/sensor/p/door/config"], foreign);
    EXPECT_EQ(ours(), 3);
    int before = hub.messages;
    for (int flip = 0; flip < 20; ++flip) {
        core.Store().SetVariable("$a", flip % 2 ? "switch" : "number");
        RunEventsFor(10);
    }
    RunEventsFor(300);
    hub.Latest();
    EXPECT_LE(hub.messages - before, 2); // 40 without settling: a removal and a config per flip
    EXPECT_TRUE(WaitUntil([&] { return hub.Latest().count("ha/switch/p/a/config") && !hub.Latest().count("ha/sensor/p/a/config"); }));
    RunEventsFor(200);
    hub.Latest();
    before = hub.messages;
    for (int i = 0; i < 10; ++i) { // a restarting hub's burst, each one read on its own
        Publish(broker, "ha/status", "online");
        RunEventsFor(50);
    }
    RunEventsFor(1000);
    hub.Latest();
    EXPECT_EQ(hub.messages - before, 3); // one republish of the three, the next not before 5 s
    QStringList texts;
    for (const QList<QVariant>& each : said)
        texts += each.at(0).toString();
    EXPECT_EQ(texts.filter("as many as --mqtt-entities allows").size(), 1) << texts.join('\n').toStdString();
}

} // namespace
