#pragma once

#include "BrokerModule.h"
#include "ChangeListener.h"
#include "MqttOptions.h"
#include "RetrySchedule.h"

#include <QSocketNotifier>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace pontivo {

class VariableStore;

// Mirrors the store on a broker: PREFIX/NAME retained at every change, PREFIX/NAME/set as a
// set, PREFIX/$state and PREFIX/$link. Runs on the one event loop (socket notifiers, timers)
// and never blocks it: while the broker is slow or gone only the names still to publish are
// kept, and every name is published again on reconnecting.
class MqttBridge : public BrokerBridge, private ChangeListener {
    Q_OBJECT

public:
    using SetHandler = BrokerModule::SetHandler;

    MqttBridge(VariableStore& store, SetHandler set, MqttOptions options, QObject* parent = nullptr);
    ~MqttBridge() override;

    // Retained on PREFIX/$link, now and on every reconnection.
    void SetLinkState(const QString& state) override;

private:
    using Client = std::unique_ptr<mosquitto, void (*)(mosquitto*)>;

    void VariableSet(std::string_view name, std::string_view value) override;
    void VariableUnset(std::string_view name) override;
    void StoreReset() override;

    void Connect();
    void StartClient(const QString& address);
    void Pump(int (*step)(mosquitto*, int), int rounds);
    void AfterLoop(int rc, int savedErrno);
    void OnConnected();
    void Lost(const QString& reason);
    void WatchSocket();
    void MarkDirty(std::string_view name);
    void Flush();
    void ApplyIncoming();
    void Publish(const std::string& topic, std::string_view payload);
    void Report(const QString& text, bool connected);

    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);

    VariableStore& m_store;
    SetHandler m_set;
    const MqttOptions m_options;
    Client m_client;
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    QTimer m_miscTimer;    // keep-alive pings
    QTimer m_retryTimer;   // backoff between attempts
    QTimer m_connectTimer; // a broker that never answers
    QTimer m_flushTimer;   // publishes from the event loop, not from inside the store's callbacks
    RetrySchedule m_retry;
    bool m_connected = false;
    bool m_outageReported = false;
    int m_connackCode = -1; // set by the callback, acted on after the library returns
    QString m_linkState;
    std::vector<std::string> m_dirty;
    std::unordered_set<std::string> m_dirtyNames;
    std::vector<std::pair<std::string, std::string>> m_incoming;
};

} // namespace pontivo
