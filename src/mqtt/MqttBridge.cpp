#include "MqttBridge.h"

#include "MqttTopics.h"
#include "VariableStore.h"

#include <QHostAddress>
#include <QHostInfo>

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pontivo {
namespace {

constexpr int kConnectTimeoutMs = 10000;
constexpr int kKeepAliveSeconds = 30;

QString ErrorText(int rc, int savedErrno)
{
    return QString::fromLocal8Bit(rc == MOSQ_ERR_ERRNO ? std::strerror(savedErrno) : mosquitto_strerror(rc));
}

// Plain connections go to an address looked up without blocking; TLS needs the name to check the certificate.
QString ChooseAddress(const QHostInfo& info, const MqttOptions& options)
{
    if (options.tls)
        return QString::fromStdString(options.host);
    const QList<QHostAddress> addresses = info.addresses();
    const auto v4 = std::find_if(addresses.begin(), addresses.end(), [](const QHostAddress& address) {
        return address.protocol() == QAbstractSocket::IPv4Protocol;
    });
    return (v4 != addresses.end() ? *v4 : addresses.front()).toString();
}

} // namespace

MqttBridge::MqttBridge(VariableStore& store, SetHandler set, MqttOptions options, QObject* parent)
    : BrokerBridge(parent)
    , m_store(store)
    , m_set(std::move(set))
    , m_options(std::move(options))
    , m_client(nullptr, mosquitto_destroy)
    , m_linkState(QStringLiteral("closed stopped"))
{
    static const int initialised = mosquitto_lib_init();
    Q_UNUSED(initialised);
    m_retryTimer.setSingleShot(true);
    m_connectTimer.setSingleShot(true);
    m_flushTimer.setSingleShot(true);
    m_miscTimer.setInterval(1000);
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
    m_store.RemoveListener(*this);
    m_readNotifier.reset();
    m_writeNotifier.reset();
    if (!m_connected)
        return;
    // Said at once rather than left to the will, which the broker sends only when it notices.
    Publish(m_options.prefix + "/$state", "offline");
    mosquitto_disconnect(m_client.get());
    for (int i = 0; i < 100 && mosquitto_want_write(m_client.get()); ++i)
        mosquitto_loop_write(m_client.get(), 1);
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

void MqttBridge::VariableSet(std::string_view name, std::string_view)
{
    MarkDirty(name);
}

void MqttBridge::VariableUnset(std::string_view name)
{
    MarkDirty(name);
}

void MqttBridge::StoreReset()
{
    m_store.ForEach([this](const std::string& name, const std::string&) { MarkDirty(name); });
}

void MqttBridge::Connect()
{
    QHostInfo::lookupHost(QString::fromStdString(m_options.host), this, [this](const QHostInfo& info) {
        if (info.error() != QHostInfo::NoError || info.addresses().isEmpty())
            Lost(QStringLiteral("cannot find host %1: %2").arg(QString::fromStdString(m_options.host), info.errorString()));
        else
            StartClient(ChooseAddress(info, m_options));
    });
}

void MqttBridge::StartClient(const QString& address)
{
    m_client.reset(mosquitto_new(nullptr, true, this));
    if (!m_client) {
        Lost(QStringLiteral("cannot create an MQTT client"));
        return;
    }
    mosquitto* const client = m_client.get();
    mosquitto_connect_callback_set(client, &MqttBridge::OnConnect);
    mosquitto_message_callback_set(client, &MqttBridge::OnMessage);
    const std::string stateTopic = m_options.prefix + "/$state";
    mosquitto_will_set(client, stateTopic.c_str(), 7, "offline", 1, true);
    if (!m_options.user.empty())
        mosquitto_username_pw_set(client, m_options.user.c_str(),
                                  m_options.password.empty() ? nullptr : m_options.password.c_str());
    int rc = MOSQ_ERR_SUCCESS;
    if (m_options.tls)
        rc = mosquitto_tls_set(client, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr);
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_connect_async(client, address.toUtf8().constData(), m_options.port, kKeepAliveSeconds);
    const int savedErrno = errno;
    if (rc != MOSQ_ERR_SUCCESS) {
        Lost((m_options.tls ? QStringLiteral("TLS: ") : QString()) + ErrorText(rc, savedErrno));
        return;
    }
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
    if (connack > 0) {
        Lost(QStringLiteral("the broker refused the connection: ") + QString::fromUtf8(mosquitto_connack_string(connack)));
        return;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        Lost(ErrorText(rc, savedErrno));
        return;
    }
    if (connack == 0)
        OnConnected();
    if (m_connected && !m_dirty.empty() && !mosquitto_want_write(m_client.get()))
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
    Publish(m_options.prefix + "/$state", "online");
    Publish(m_options.prefix + "/$link", m_linkState.toStdString());
    const std::string sets = m_options.prefix + "/+/set";
    mosquitto_subscribe(m_client.get(), nullptr, sets.c_str(), 1);
    m_store.ForEach([this](const std::string& name, const std::string&) { MarkDirty(name); });
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

void MqttBridge::MarkDirty(std::string_view name)
{
    if (m_dirtyNames.emplace(name).second)
        m_dirty.emplace_back(name);
    if (m_connected && !m_flushTimer.isActive())
        m_flushTimer.start(0);
}

// Hands the library one batch at a time, only when its queue is empty: a slow broker leaves
// the names marked here, each with its latest value, instead of a growing queue of messages.
void MqttBridge::Flush()
{
    if (!m_connected || mosquitto_want_write(m_client.get()))
        return;
    const std::vector<std::string> names = std::exchange(m_dirty, {});
    m_dirtyNames.clear();
    for (const std::string& name : names)
        Publish(ValueTopic(m_options.prefix, name), m_store.Exists(name) ? std::string_view(m_store.Item(name)) : "");
    WatchSocket();
}

void MqttBridge::ApplyIncoming()
{
    for (const auto& [name, value] : std::exchange(m_incoming, {}))
        m_set(name, value);
}

// Everything is retained: a subscriber that comes later still gets the state.
void MqttBridge::Publish(const std::string& topic, std::string_view payload)
{
    mosquitto_publish(m_client.get(), nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 0, true);
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
    auto* bridge = static_cast<MqttBridge*>(self);
    if (auto name = NameFromSetTopic(bridge->m_options.prefix, message->topic)) {
        const auto* payload = static_cast<const char*>(message->payload);
        bridge->m_incoming.emplace_back(std::move(*name),
                                        payload ? std::string(payload, static_cast<std::size_t>(message->payloadlen))
                                                : std::string());
        bridge->m_flushTimer.start(0);
    }
}

} // namespace pontivo
