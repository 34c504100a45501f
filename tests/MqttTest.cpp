#include "Loopback.h"
#include "PtyBoard.h"

#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <mosquitto.h>

#include <map>
#include <mutex>

using namespace pontivo;
using namespace pontivo::testing;

namespace {

QString BrokerProgram()
{
    return QStandardPaths::findExecutable(QStringLiteral("mosquitto"), {"/usr/sbin", "/usr/local/sbin", "/usr/bin"});
}

// A mosquitto of the test's own on a free loopback port; retained messages survive a restart.
class Broker {
public:
    explicit Broker(const QString& extraConfig = {})
    {
        QFile config(m_dir.filePath("broker.conf"));
        config.open(QIODevice::WriteOnly);
        config.write(QStringLiteral("listener %1 127.0.0.1\npersistence true\npersistence_location %2/\nuser root\n%3\n")
                         .arg(m_port)
                         .arg(m_dir.path(), extraConfig.isEmpty() ? QStringLiteral("allow_anonymous true") : extraConfig)
                         .toUtf8());
        config.close();
        Start();
    }
    ~Broker() { Stop(); }
    void Start()
    {
        m_process.start(BrokerProgram(), {"-c", m_dir.filePath("broker.conf")});
        WaitUntil([&] {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(m_port));
            return probe.waitForConnected(100);
        }, 5000);
    }
    void Stop()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    int Port() const { return m_port; }

    // A client of the test's own on its own thread: what it last saw on each topic under `filter`.
    class Subscribed {
    public:
        Subscribed(int port, const char* filter, const char* user = nullptr, const char* password = nullptr)
        {
            mosquitto_lib_init();
            mosquitto_username_pw_set(m_client, user, password);
            mosquitto_message_callback_set(m_client, [](mosquitto*, void* self, const mosquitto_message* message) {
                auto* me = static_cast<Subscribed*>(self);
                const std::lock_guard lock(me->m_mutex);
                me->m_latest[message->topic] = std::string(static_cast<const char*>(message->payload),
                                                           static_cast<std::size_t>(message->payloadlen));
            });
            mosquitto_subscribe_callback_set(m_client, [](mosquitto*, void* self, int, int, const int*) {
                static_cast<Subscribed*>(self)->m_ready = true;
            });
            if (mosquitto_connect(m_client, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS) {
                mosquitto_subscribe(m_client, nullptr, filter, 1);
                mosquitto_loop_start(m_client);
                WaitUntil([&] { return m_ready.load(); });
            }
        }
        ~Subscribed()
        {
            mosquitto_disconnect(m_client);
            mosquitto_loop_stop(m_client, true);
            mosquitto_destroy(m_client);
        }
        std::map<std::string, std::string> Latest()
        {
            const std::lock_guard lock(m_mutex);
            return m_latest;
        }
        // Without the topics whose last message was empty, which deletes a retained one.
        std::map<std::string, std::string> Retained()
        {
            auto latest = Latest();
            std::erase_if(latest, [](const auto& entry) { return entry.second.empty(); });
            return latest;
        }
        bool Sees(const std::string& topic, const std::string& payload, int timeoutMs = 3000)
        {
            return WaitUntil([&] { return Latest().count(topic) && Latest().at(topic) == payload; }, timeoutMs);
        }
        void Publish(const std::string& topic, const std::string& payload)
        {
            mosquitto_publish(m_client, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false);
        }

    private:
        mosquitto* m_client = mosquitto_new(nullptr, true, this);
        std::mutex m_mutex;
        std::map<std::string, std::string> m_latest;
        std::atomic<bool> m_ready = false;
    };

private:
    QTemporaryDir m_dir;
    int m_port = FreePort();
    QProcess m_process;
};

using Subscriber = Broker::Subscribed;

class MqttTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (BrokerProgram().isEmpty())
            GTEST_SKIP() << "no mosquitto broker installed (Debian package mosquitto)";
    }
    static MqttOptions Joined(const Broker& broker, const std::string& host = "127.0.0.1", const std::string& user = {},
                              const std::string& password = {})
    {
        return MqttOptions{.enabled = true, .host = host, .port = broker.Port(), .prefix = "p", .user = user,
                           .password = password, .url = "mqtt://" + host};
    }
};

TEST_F(MqttTest, StoreMirroredRetainedAndSetsFromTheBrokerReachBoardAndStore)
{
    Broker broker;
    PtyBoard board;
    std::map<std::string, std::string> retained;
    {
        ServerCore core(SettingsFor(board.SlavePath()), FastTimings());
        core.Store().SetVariable("early", "1"); // before the connection: published once it is made
        core.ChangeState();
        core.EnableMqtt(Joined(broker));
        Subscriber watcher(broker.Port(), "p/#");
        ASSERT_TRUE(watcher.Sees("p/early", "1"));
        EXPECT_TRUE(watcher.Sees("p/$state", "online"));
        EXPECT_TRUE(watcher.Sees("p/$link", "open " + board.SlavePath().toStdString()));

        board.Write("{temp=21}{a/b=x}{$state=y}{=e}{100%=z}");
        EXPECT_TRUE(watcher.Sees("p/temp", "21"));
        EXPECT_TRUE(watcher.Sees("p/a%2Fb", "x") && watcher.Sees("p/%24state", "y") && watcher.Sees("p/%", "e") &&
                    watcher.Sees("p/100%25", "z"));
        EXPECT_EQ(watcher.Latest().at("p/$state"), "online"); // no name reaches a topic of the bridge's own

        watcher.Publish("p/temp/set", "30");
        watcher.Publish("p/a%2Fb/set", "w");
        EXPECT_EQ(board.ReadAvailable(12), "temp=30\na/b=w\n");
        EXPECT_TRUE(Stored(core, "temp", "30") && Stored(core, "a/b", "w"));
        EXPECT_TRUE(watcher.Sees("p/temp", "30") && watcher.Sees("p/a%2Fb", "w"));
        watcher.Publish("p/a/b/set", "never"); // not a set topic: "a/b" is only reachable encoded
        EXPECT_EQ(Request(core, "/put/c/1"), "1");
        EXPECT_EQ(Request(core, "/unset/early"), "");
        EXPECT_TRUE(watcher.Sees("p/c", "1") && watcher.Sees("p/early", ""));
        EXPECT_FALSE(core.Store().Exists("a"));

        board.Unplug();
        EXPECT_TRUE(WaitUntil([&] { return watcher.Latest().at("p/$link").rfind("closed ", 0) == 0; }));
        core.ClearCache();
        EXPECT_TRUE(watcher.Sees("p/temp", "") && watcher.Sees("p/c", ""));
        core.Store().SetVariable("last", "9");
        EXPECT_TRUE(watcher.Sees("p/last", "9"));
        retained = watcher.Latest();
    }
    // What a newcomer gets: the store's state and "offline", nothing that was removed.
    const std::map<std::string, std::string> expected{
        {"p/$state", "offline"}, {"p/$link", retained.at("p/$link")}, {"p/last", "9"}};
    Subscriber newcomer(broker.Port(), "p/#");
    WaitUntil([&] { return newcomer.Retained() == expected; });
    EXPECT_EQ(newcomer.Retained(), expected);
}

TEST_F(MqttTest, BrokerRestartedMidRunEndsWithTheWholeStateAndHttpNeverWaits)
{
    Broker broker;
    ServerCore core(SettingsFor(), FastTimings());
    QSignalSpy said(&core, &ServerCore::mqttStateChanged);
    core.ChangeState();
    core.EnableMqtt(Joined(broker));
    EXPECT_EQ(Request(core, "/set/gone/1"), "1");
    {
        Subscriber watcher(broker.Port(), "p/#");
        ASSERT_TRUE(watcher.Sees("p/gone", "1"));
    }
    broker.Stop();
    for (int i = 0; i < 30; ++i) { // 3 s down: several reconnection attempts, all while HTTP is served
        const Exchange answer = Get(core, "/set/v" + std::to_string(i) + "/" + std::to_string(i));
        EXPECT_EQ(BodyOf(answer.received), std::to_string(i));
        EXPECT_LT(answer.elapsedMs, 1000);
        RunEventsFor(100);
    }
    EXPECT_EQ(Request(core, "/unset/gone"), "");
    broker.Start();
    ASSERT_TRUE(WaitUntil([&] { return core.Mqtt()->Connected(); }, 10000));
    // v0..v29 and the state, link: "gone" is deleted although it was removed while the broker was down.
    std::map<std::string, std::string> expected{{"p/$state", "online"}, {"p/$link", core.LinkState().toStdString()}};
    core.Store().ForEach([&](const std::string& name, const std::string& value) { expected["p/" + name] = value; });
    ASSERT_EQ(expected.size(), 32u);
    Subscriber newcomer(broker.Port(), "p/#");
    WaitUntil([&] { return newcomer.Retained() == expected; });
    EXPECT_EQ(newcomer.Retained(), expected);
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
        {Joined(broker, "127.0.0.1", "me", "wrong"), false, "refused the connection: Connection Refused: not authorised"},
        {Joined(broker, "127.0.0.1", "me", "right"), true, "connected"},
        {Joined(broker, "no-such-host.invalid"), false, "cannot find host no-such-host.invalid"}};
    for (const auto& [options, connects, text] : runs) {
        ServerCore core(SettingsFor(), FastTimings());
        QSignalSpy said(&core, &ServerCore::mqttStateChanged);
        core.ChangeState();
        core.EnableMqtt(options);
        ASSERT_TRUE(WaitUntil([&] { return said.count() > 0; }, 10000)) << text.toStdString();
        EXPECT_TRUE(said.at(0).at(0).toString().contains(text)) << said.at(0).at(0).toString().toStdString();
        EXPECT_EQ(said.at(0).at(1).toBool(), connects);
        EXPECT_EQ(BodyOf(Get(core, "/set/t/1").received), "1");
    }
    Subscriber login(broker.Port(), "p/#", "me", "right");
    EXPECT_TRUE(login.Sees("p/t", "1")); // from the run that logged in
}

} // namespace
