#include "broker/MqttBridge.h"

#include "broker/EntityDescription.h"
#include "topics/MqttTopics.h"
#include "store/VariableStore.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <thread>

#include <poll.h>
#include <sys/socket.h>

namespace pontivo {
namespace {

constexpr int kConnectTimeoutMs = 10000;
constexpr int kKeepAliveSeconds = 30;
constexpr int kShownTopicBytes = 60;
// A hub that says "online" again and again is answered at most this often, the burst in one republish.
constexpr int kRepublishGapMs = 5000;
// A description flipping back and forth costs the hub one changed config per name this often at most.
constexpr int kSettleMs = 1000;
// Names handed to the library at a time: after a reconnect every name is due, and all of them at once
// would have it hold every name's messages together.
constexpr std::size_t kBatchNames = 256;

std::string Version()
{
    return std::to_string(PONTIVO_VERSION_MAJOR) + "." + std::to_string(PONTIVO_VERSION_MINOR);
}

QString ErrorText(int rc, int savedErrno)
{
    return QString::fromLocal8Bit(rc == MOSQ_ERR_ERRNO ? std::strerror(savedErrno) : mosquitto_strerror(rc));
}

// CONNACK codes below 128 are MQTT 3.1.1's, the others MQTT 5's reasons.
QString RefusalText(int connack)
{
    return QString::fromUtf8(connack < 128 ? mosquitto_connack_string(connack) : mosquitto_reason_string(connack));
}

bool RefusesMqtt5(int connack)
{
    return connack == CONNACK_REFUSED_PROTOCOL_VERSION || connack == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION;
}

} // namespace

MqttBridge::MqttBridge(VariableStore& store, SetHandler set, MqttOptions options, QObject* parent)
    : BrokerBridge(parent)
    , m_store(store)
    , m_set(std::move(set))
    , m_options(std::move(options))
    , m_stateTopic(m_options.prefix + "/$state")
    , m_site{m_options.discovery, m_options.prefix, Version(), m_options.publicUrl}
    , m_client(nullptr, mosquitto_destroy)
    , m_protocol(MQTT_PROTOCOL_V5)
    , m_linkState(QStringLiteral("closed stopped"))
{
    static const int initialised = mosquitto_lib_init();
    Q_UNUSED(initialised);
    m_handoff->bridge = this;
    m_retryTimer.setSingleShot(true);
    m_connectTimer.setSingleShot(true);
    m_flushTimer.setSingleShot(true);
    m_hubTimer.setSingleShot(true);
    m_settleTimer.setSingleShot(true);
    m_miscTimer.setInterval(1000);
    connect(&m_hubTimer, &QTimer::timeout, this, [this] {
        m_sinceRepublish.start();
        m_announceAll = true;
        MarkAll();
    });
    connect(&m_settleTimer, &QTimer::timeout, this, [this] {
        for (const std::string& name : std::exchange(m_settling, {}))
            Announce(name, false, true);
        WatchSocket();
    });
    connect(&m_retryTimer, &QTimer::timeout, this, &MqttBridge::Connect);
    connect(&m_connectTimer, &QTimer::timeout, this, [this] {
        Lost(QStringLiteral("no answer within %1 s").arg(kConnectTimeoutMs / 1000));
    });
    connect(&m_miscTimer, &QTimer::timeout, this, [this] {
        Pump([](mosquitto* client, int) { return mosquitto_loop_misc(client); }, 1);
    });
    connect(&m_flushTimer, &QTimer::timeout, this, [this] {
        ApplyIncoming();
        Flush();
    });
    m_store.AddListener(*this);
    m_retryTimer.start(0); // from the event loop, so the first report reaches connected slots
}

MqttBridge::~MqttBridge()
{
    {
        const std::lock_guard lock(m_handoff->mutex);
        m_handoff->bridge = nullptr;
    }
    m_store.RemoveListener(*this);
    m_readNotifier.reset();
    m_writeNotifier.reset();
    if (!m_connected)
        return;
    // Said at once rather than left to the will, which the broker sends only when it notices. A sweep
    // needs the broker's answer: the next connection's makes up for it.
    m_sweepWanted = false;
    PublishPending();
    Publish(m_stateTopic, "offline");
    for (int i = 0; i < 100 && mosquitto_want_write(m_client.get()); ++i)
        mosquitto_loop_write(m_client.get(), 1);
    // Closing with bytes unread makes the kernel reset the connection, and the broker then drops what it
    // has not read yet; so the bridge ends its side and reads until the broker closes (briefly, if it never
    // does). The will the broker then sends says "offline" too.
    const int fd = mosquitto_socket(m_client.get());
    char discarded[4096];
    pollfd readable{fd, POLLIN, 0};
    ::shutdown(fd, SHUT_WR);
    for (int i = 0; fd >= 0 && i < 50; ++i) {
        if (::poll(&readable, 1, 20) > 0 && ::recv(fd, discarded, sizeof discarded, 0) <= 0)
            break;
    }
}

void MqttBridge::SetLinkState(const QString& state)
{
    if (state == m_linkState)
        return;
    m_linkState = state;
    if (m_connected)
        Publish(m_options.prefix + "/$link", m_linkState.toStdString());
    WatchSocket();
}

void MqttBridge::VariableSet(const Variable& variable)
{
    MarkDirty(variable.name);
}

void MqttBridge::VariableUnset(std::string_view name)
{
    MarkDirty(name);
}

// What waits collapses to the store's names (each removal, said before anything set after the reset) and
// one sweep for the names removed before, whose removal was still waiting.
void MqttBridge::StoreReset()
{
    if (!m_connected)
        return;
    m_dirty.clear();
    m_dirtyNames.clear();
    std::erase_if(m_announced, [this](const auto& entry) { return !m_store.Exists(entry.first); });
    MarkAll();
    m_sweepWanted = true;
}

// The lookup and connect block, so they run on a thread of their own; the client comes back
// through the event loop, and is dropped there if the bridge has gone meanwhile.
void MqttBridge::Connect()
{
    QString problem;
    Client client = NewClient(problem);
    if (!client) {
        Lost(problem);
        return;
    }
    std::thread([handoff = m_handoff, client = std::move(client), host = m_options.host, port = m_options.port]() mutable {
        errno = 0;
        const int rc = mosquitto_connect_async(client.get(), host.c_str(), port, kKeepAliveSeconds);
        const int savedErrno = errno;
        auto result = std::make_shared<Client>(std::move(client));
        const std::lock_guard lock(handoff->mutex);
        if (MqttBridge* const bridge = handoff->bridge) {
            QMetaObject::invokeMethod(
                bridge, [bridge, result, rc, savedErrno] { bridge->ClientReady(std::move(*result), rc, savedErrno); },
                Qt::QueuedConnection);
        }
    }).detach();
}

MqttBridge::Client MqttBridge::NewClient(QString& problem)
{
    Client client(mosquitto_new(nullptr, true, this), mosquitto_destroy);
    problem = QStringLiteral("cannot create an MQTT client");
    if (!client)
        return client;
    mosquitto* const raw = client.get();
    mosquitto_int_option(raw, MOSQ_OPT_PROTOCOL_VERSION, m_protocol);
    mosquitto_connect_callback_set(raw, &MqttBridge::OnConnect);
    mosquitto_message_callback_set(raw, &MqttBridge::OnMessage);
    mosquitto_will_set(raw, m_stateTopic.c_str(), 7, "offline", 1, true);
    if (!m_options.user.empty())
        mosquitto_username_pw_set(raw, m_options.user.c_str(),
                                  m_options.password.empty() ? nullptr : m_options.password.c_str());
    // The library checks the certificate against the name it connects to.
    const int rc = m_options.tls ? mosquitto_tls_set(raw, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr)
                                 : MOSQ_ERR_SUCCESS;
    problem = QStringLiteral("TLS: ") + ErrorText(rc, errno);
    if (rc != MOSQ_ERR_SUCCESS)
        client.reset();
    return client;
}

void MqttBridge::ClientReady(Client client, int rc, int savedErrno)
{
    if (rc != MOSQ_ERR_SUCCESS) {
        const QString host = QString::fromStdString(m_options.host);
        Lost(rc == MOSQ_ERR_EAI ? QStringLiteral("cannot find host %1").arg(host)
                                : (m_options.tls ? QStringLiteral("TLS: ") : QString()) + ErrorText(rc, savedErrno));
        return;
    }
    m_client = std::move(client);
    m_connectTimer.start(kConnectTimeoutMs);
    WatchSocket();
}

// Reads repeat until the socket is drained: TLS can hold bytes the socket no longer signals.
void MqttBridge::Pump(int (*step)(mosquitto*, int), int rounds)
{
    int rc = MOSQ_ERR_SUCCESS;
    int savedErrno = 0;
    for (int i = 0; i < rounds && m_client && rc == MOSQ_ERR_SUCCESS; ++i) {
        errno = 0;
        rc = step(m_client.get(), 1);
        savedErrno = errno;
        if (savedErrno == EAGAIN || savedErrno == EWOULDBLOCK)
            break;
    }
    AfterLoop(rc, savedErrno);
}

void MqttBridge::AfterLoop(int rc, int savedErrno)
{
    const int connack = std::exchange(m_connackCode, -1);
    if (connack > 0 && m_protocol == MQTT_PROTOCOL_V5 && RefusesMqtt5(connack)) {
        m_protocol = MQTT_PROTOCOL_V311;
        Lost(QStringLiteral("the broker speaks MQTT 3.1.1 only; connecting with that"));
        return;
    }
    if (connack > 0) {
        Lost(QStringLiteral("the broker refused the connection: ") + RefusalText(connack));
        return;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        Lost(ErrorText(rc, savedErrno));
        return;
    }
    if (connack == 0)
        OnConnected();
    if (m_connected && (!m_dirty.empty() || m_sweepWanted) && !mosquitto_want_write(m_client.get()))
        Flush();
    WatchSocket();
}

void MqttBridge::OnConnected()
{
    m_connected = true;
    m_connectTimer.stop();
    m_miscTimer.start();
    m_retry.Succeeded();
    m_outageReported = false;
    m_announced.clear();
    m_sweeps = 0;
    Publish(m_options.prefix + "/$link", m_linkState.toStdString());
    const std::string sets = m_options.prefix + "/+/set";
    mosquitto_subscribe(m_client.get(), nullptr, sets.c_str(), 1);
    if (!m_options.discovery.empty())
        mosquitto_subscribe(m_client.get(), nullptr, m_site.StatusTopic().c_str(), 0);
    Sweep(); // also says "online"
    MarkAll();
    Report(QStringLiteral("MQTT broker %1 connected; topics under %2/")
               .arg(QString::fromStdString(m_options.url), QString::fromStdString(m_options.prefix)),
           true);
}

void MqttBridge::Lost(const QString& reason)
{
    m_readNotifier.reset();
    m_writeNotifier.reset();
    m_client.reset();
    m_connected = false;
    m_connackCode = -1;
    m_dirty.clear();
    m_dirtyNames.clear();
    m_sweepWanted = false;
    m_settling.clear();
    m_settleTimer.stop();
    m_hubTimer.stop();
    m_miscTimer.stop();
    m_connectTimer.stop();
    if (!m_outageReported) {
        m_outageReported = true;
        Report(QStringLiteral("MQTT broker %1 unavailable: %2 (retrying, at most every %3 s)")
                   .arg(QString::fromStdString(m_options.url), reason)
                   .arg(RetrySchedule::kLongestWaitMs / 1000),
               false);
    }
    m_retryTimer.start(m_retry.NextWaitMs());
}

// Notifiers follow the library's socket: it closes and replaces it inside its own calls,
// so they are checked after every call, before the event loop polls again.
void MqttBridge::WatchSocket()
{
    const int fd = m_client ? mosquitto_socket(m_client.get()) : -1;
    if (fd < 0) {
        m_readNotifier.reset();
        m_writeNotifier.reset();
        return;
    }
    if (!m_readNotifier || m_readNotifier->socket() != fd) {
        m_readNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        m_writeNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
        connect(m_readNotifier.get(), &QSocketNotifier::activated, this, [this] { Pump(mosquitto_loop_read, 64); });
        connect(m_writeNotifier.get(), &QSocketNotifier::activated, this, [this] { Pump(mosquitto_loop_write, 1); });
    }
    m_writeNotifier->setEnabled(mosquitto_want_write(m_client.get()));
}

// Nothing waits while the broker is away: connecting publishes every name anyway.
void MqttBridge::MarkDirty(std::string_view name)
{
    if (!m_connected)
        return;
    if (m_dirtyNames.emplace(name).second)
        m_dirty.emplace_back(name);
    if (!m_flushTimer.isActive())
        m_flushTimer.start(0);
}

void MqttBridge::MarkAll()
{
    m_store.ForEach([this](const std::string& name, const std::string&) { MarkDirty(name); });
}

// Hands the library one batch at a time, only when its queue is empty: a slow broker leaves
// the names marked here, each with its latest value, instead of a growing queue of messages.
void MqttBridge::Flush()
{
    if (!m_connected || mosquitto_want_write(m_client.get()))
        return;
    PublishPending();
    WatchSocket();
}

void MqttBridge::PublishPending()
{
    if (std::exchange(m_sweepWanted, false))
        Sweep();
    const bool announceAll = m_announceAll;
    const auto batchEnd = m_dirty.begin() + static_cast<std::ptrdiff_t>(std::min(m_dirty.size(), kBatchNames));
    const std::vector<std::string> names(std::make_move_iterator(m_dirty.begin()), std::make_move_iterator(batchEnd));
    m_dirty.erase(m_dirty.begin(), batchEnd);
    for (const std::string& name : names)
        m_dirtyNames.erase(name);
    m_announceAll = announceAll && !m_dirty.empty();
    for (const std::string& name : names) {
        Publish(ValueTopic(m_options.prefix, name), m_store.Exists(name) ? std::string_view(m_store.Item(name)) : "");
        if (m_options.discovery.empty())
            continue;
        Announce(name, announceAll);
        if (!name.empty() && name.front() == '$') // a description: its variable's config changes
            Announce(name.substr(1), false);
    }
}

// A described button has a config of its own: pressing it needs no value first.
std::optional<DiscoveryConfig> MqttBridge::ConfigOf(const std::string& name) const
{
    const std::string descriptionName = '$' + name;
    const bool described = m_store.Exists(descriptionName);
    const std::optional<std::string_view> description =
        described ? std::optional<std::string_view>(m_store.Item(descriptionName)) : std::nullopt;
    const bool button = described && EntityDescription::Parse(*description).value_or(EntityDescription{}).kind ==
                                         EntityDescription::Kind::Button;
    if (!m_store.Exists(name) && !button)
        return std::nullopt;
    return DiscoveryConfig::For(m_site, name, description);
}

// Publishes the config of `name` when it differs from the one the broker has (or `always`), and
// removes a config that no longer applies (the variable went, or its kind changed). A new entity past
// --mqtt-entities is left out; a changed config waits to settle, so a flipping description costs little.
void MqttBridge::Announce(const std::string& name, bool always, bool settled)
{
    std::optional<DiscoveryConfig> config = ConfigOf(name);
    const auto old = m_announced.find(name);
    const bool changed = old != m_announced.end() && config &&
                         (old->second.topic != config->topic || old->second.payload != config->payload);
    if (changed && !settled) {
        m_settling.insert(name);
        if (!m_settleTimer.isActive())
            m_settleTimer.start(kSettleMs);
        return;
    }
    if (old == m_announced.end() && config && m_announced.size() >= m_options.maxEntities) {
        if (!std::exchange(m_entityCapReported, true))
            Report(QStringLiteral("MQTT discovery: %1 entities announced, as many as --mqtt-entities allows; further "
                                  "variables are not announced").arg(m_options.maxEntities), m_connected);
        return;
    }
    if (config && !config->ignoredClass.empty() && !std::exchange(m_classReported, true))
        Report(QStringLiteral("MQTT discovery: '%1' (in $%2) is not one of Home Assistant's device classes for that "
                              "kind; it is left out").arg(QString::fromStdString(config->ignoredClass),
                                                          QString::fromStdString(name)), m_connected);
    if (old != m_announced.end() && (!config || old->second.topic != config->topic))
        Publish(old->second.topic, "");
    if (!config) {
        if (old != m_announced.end())
            m_announced.erase(old);
        return;
    }
    if (always || old == m_announced.end() || changed)
        Publish(config->topic, config->payload);
    m_announced.insert_or_assign(name, std::move(*config));
}

// The hub says "online" when it starts and has forgotten what it was told.
void MqttBridge::HubOnline()
{
    if (m_hubTimer.isActive())
        return; // the republish already waiting covers this one
    const qint64 since = m_sinceRepublish.isValid() ? m_sinceRepublish.elapsed() : kRepublishGapMs;
    m_hubTimer.start(static_cast<int>(std::max<qint64>(kRepublishGapMs - since, 0)));
}

// Retained messages under the bridge's topics come on subscribing, before the echo of the
// "online" published after; the ones the store does not account for are removed.
void MqttBridge::Sweep()
{
    ++m_sweeps;
    mosquitto_subscribe(m_client.get(), nullptr, (m_options.prefix + "/+").c_str(), 0);
    if (!m_options.discovery.empty())
        mosquitto_subscribe(m_client.get(), nullptr, m_site.ConfigFilter().c_str(), 0);
    Publish(m_stateTopic, "online");
}

void MqttBridge::Received(std::string_view topic, std::string_view payload, bool retained)
{
    if (auto name = NameFromSetTopic(m_options.prefix, topic)) {
        // A retained set would be applied again at every connection, long after it was meant.
        if (retained && !std::exchange(m_retainedSetReported, true))
            Report(QStringLiteral("MQTT: retained sets are ignored (%1 is one); clear it with an empty retained "
                                  "message").arg(QString::fromUtf8(topic.data(), static_cast<qsizetype>(topic.size()))),
                   m_connected);
        if (!retained) {
            m_incoming.emplace_back(std::move(*name), std::string(payload));
            m_flushTimer.start(0);
        }
        return;
    }
    if (!m_options.discovery.empty() && topic == m_site.StatusTopic()) {
        if (!retained && payload == "online")
            HubOnline();
        return;
    }
    if (m_sweeps == 0)
        return;
    if (!retained && topic == m_stateTopic && --m_sweeps == 0) {
        mosquitto_unsubscribe(m_client.get(), nullptr, (m_options.prefix + "/+").c_str());
        if (!m_options.discovery.empty())
            mosquitto_unsubscribe(m_client.get(), nullptr, m_site.ConfigFilter().c_str());
    }
    if (retained && Stale(topic, payload))
        Publish(std::string(topic), "");
}

// A retained value of a name the store lacks, or a config of ours the store would not announce there.
bool MqttBridge::Stale(std::string_view topic, std::string_view payload) const
{
    // PREFIX/LEVEL names what PREFIX/LEVEL/set does.
    if (const auto name = NameFromSetTopic(m_options.prefix, std::string(topic) + "/set"))
        return !m_store.Exists(*name);
    const auto name = m_options.discovery.empty() ? std::nullopt : DiscoveryConfig::NameFromTopic(m_site, topic);
    if (!name || !DiscoveryConfig::Ours(m_site, payload))
        return false;
    const std::optional<DiscoveryConfig> config = ConfigOf(*name);
    return !config || config->topic != topic;
}

void MqttBridge::ApplyIncoming()
{
    for (const auto& [name, value] : std::exchange(m_incoming, {}))
        m_set(name, value);
}

// Everything is retained: a subscriber that comes later still gets the state. A message the
// library refuses (a topic over 65,535 bytes, a packet over the broker's limit) is said once
// for each reason and left out; it is not retried.
void MqttBridge::Publish(const std::string& topic, std::string_view payload)
{
    const int rc = mosquitto_publish(m_client.get(), nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), 0, true);
    if (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN || !m_publishErrorsReported.insert(rc).second)
        return;
    const QString shown = QString::fromUtf8(topic.data(), std::min<qsizetype>(topic.size(), kShownTopicBytes));
    Report(QStringLiteral("MQTT: %1%2 is not published: %3; such messages are left out")
               .arg(shown, topic.size() > kShownTopicBytes ? QStringLiteral("...") : QString(), ErrorText(rc, errno)),
           m_connected);
}

void MqttBridge::Report(const QString& text, bool connected)
{
    emit stateChanged(text, connected);
}

void MqttBridge::OnConnect(mosquitto*, void* self, int rc)
{
    static_cast<MqttBridge*>(self)->m_connackCode = rc;
}

void MqttBridge::OnMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    const auto* payload = static_cast<const char*>(message->payload);
    static_cast<MqttBridge*>(self)->Received(
        message->topic, payload ? std::string_view(payload, static_cast<std::size_t>(message->payloadlen)) : std::string_view(),
        message->retain);
}

} // namespace pontivo
