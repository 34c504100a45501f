#pragma once

#include "server/BrokerModule.h"
#include "store/ChangeListener.h"
#include "broker/DiscoveryConfig.h"
#include "topics/MqttOptions.h"
#include "broker/RetrySchedule.h"

#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace pontivo {

class VariableStore;

// Mirrors the store on a broker: PREFIX/NAME retained at every change, PREFIX/NAME/set as a
// set, PREFIX/$state and PREFIX/$link, and with a discovery prefix each variable's config for a
// home-automation hub. Runs on the one event loop (socket notifiers, timers) and never blocks it:
// the connect (its name lookup) runs on a thread of its own; while the broker is gone nothing is
// kept, and on connecting every name is published again and whatever else the broker retains
// under the bridge's topics is removed (a sweep); a reset also ends in a sweep.
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
    // Shared with a connecting thread, which hands its client back only while the bridge is there.
    struct Handoff {
        std::mutex mutex;
        MqttBridge* bridge = nullptr;
    };

    void VariableSet(const Variable& variable) override;
    void VariableUnset(std::string_view name) override;
    void StoreReset() override;

    void Connect();
    Client NewClient(QString& problem);
    void ClientReady(Client client, int rc, int savedErrno);
    void Pump(int (*step)(mosquitto*, int), int rounds);
    void AfterLoop(int rc, int savedErrno);
    void OnConnected();
    void Lost(const QString& reason);
    void WatchSocket();
    void MarkDirty(std::string_view name);
    void MarkAll();
    void Flush();
    void PublishPending();
    std::optional<DiscoveryConfig> ConfigOf(const std::string& name) const;
    // `settled`: a changed config may go out now; otherwise it waits for the settle timer.
    void Announce(const std::string& name, bool always, bool settled = false);
    void HubOnline();
    void Sweep();
    void Received(std::string_view topic, std::string_view payload, bool retained);
    bool Stale(std::string_view topic, std::string_view payload) const;
    void ApplyIncoming();
    void Publish(const std::string& topic, std::string_view payload);
    void Report(const QString& text, bool connected);

    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);

    VariableStore& m_store;
    SetHandler m_set;
    const MqttOptions m_options;
    const std::string m_stateTopic;
    const DiscoveryConfig::Site m_site;
    Client m_client;
    std::shared_ptr<Handoff> m_handoff = std::make_shared<Handoff>();
    std::unique_ptr<QSocketNotifier> m_readNotifier;
    std::unique_ptr<QSocketNotifier> m_writeNotifier;
    QTimer m_miscTimer;    // keep-alive pings
    QTimer m_retryTimer;   // backoff between attempts
    QTimer m_connectTimer; // a broker that never answers
    QTimer m_flushTimer;   // publishes from the event loop, not from inside the store's callbacks
    QTimer m_hubTimer;     // the republish a hub's "online" asks for, at most one per kRepublishGapMs
    QElapsedTimer m_sinceRepublish;
    QTimer m_settleTimer;  // changed configs go out at most once per kSettleMs
    std::set<std::string> m_settling;
    RetrySchedule m_retry;
    int m_protocol;        // MQTT 5 (the broker's packet limit is known), 3.1.1 for brokers without it
    bool m_connected = false;
    bool m_outageReported = false;
    bool m_retainedSetReported = false;
    bool m_classReported = false;
    bool m_entityCapReported = false;
    std::set<int> m_publishErrorsReported; // each kind of refused message is said once
    int m_connackCode = -1; // set by the callback, acted on after the library returns
    QString m_linkState;
    // Names to publish: at most those in the store and the ones removed since connecting or the last reset.
    std::deque<std::string> m_dirty; // in the order marked; published from the front
    std::unordered_set<std::string> m_dirtyNames;
    std::map<std::string, DiscoveryConfig> m_announced; // the configs on the broker, by name
    bool m_sweepWanted = false;
    bool m_announceAll = false;
    int m_sweeps = 0; // sweeps whose own $state message has not come back yet
    std::vector<std::pair<std::string, std::string>> m_incoming;
};

} // namespace pontivo
