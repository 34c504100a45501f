#pragma once

#include "server/AuthService.h"
#include "store/BoardRestore.h"
#include "server/BrokerBridge.h"
#include "net/EventStreams.h"
#include "server/FilesService.h"
#include "net/HttpServer.h"
#include "net/HttpsListener.h"
#include "http/HttpTimings.h"
#include "api/JsonApi.h"
#include "topics/MqttOptions.h"
#include "server/NetworkGuard.h"
#include "server/ServerOptions.h"
#include "record/Recorder.h"
#include "api/RequestDispatcher.h"
#include "serial/SerialLink.h"
#include "server/ServerSettings.h"
#include "store/VariableCommands.h"
#include "store/VariableStore.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QObject>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

namespace pontivo {

// Owns the server state: the store, the HTTP side, the board's port and whether the
// server runs. The window and the headless runner drive it and draw its signals.
class ServerCore : public QObject, private SerialOutput {
    Q_OBJECT

public:
    explicit ServerCore(ServerSettings settings = {}, HttpTimings timings = {}, QString filesFolder = {},
                        QObject* parent = nullptr);
    // Out of line: the core library holds the one copy the program and the window share.
    ~ServerCore() override;

    static QString Caption();

    bool ServerRunning() const { return m_serverRunning; }
    // Starts when stopped, stops when running. A start that cannot arm the listener
    // emits startWarning and leaves everything stopped.
    void ChangeState();
    // Tears down the serial link and every connection; never fails.
    void StopServer();

    const ServerSettings& Settings() const { return m_settings; }
    void SetSettings(const ServerSettings& settings) { m_settings = settings; }
    // The address takes effect at the next start, the access rules at once.
    void SetNetworkGuard(const NetworkGuard& guard);
    const NetworkGuard& Guard() const { return m_guard; }
    quint16 ListeningPort() const { return m_http.Port(); }
    // Tests: later starts listen on a port the system picks, not the settings' one (which is never 0).
    void ListenOnAnyPort(bool any) { m_anyPort = any; }

    VariableStore& Store() { return m_store; }
    SerialLink& Link() { return m_link; }
    HttpServer& Http() { return m_http; }
    EventStreams& Streams() { return m_streams; }
    RequestDispatcher& Dispatcher() { return m_dispatcher; }

    // The recording /api/history reads, or null (the default) when nothing is recorded.
    void SetHistorySource(const HistorySource* history) { m_api.SetHistorySource(history); }

    // "open DEVICE" or "closed REASON": the board's link as pages and brokers see it.
    const QString& LinkState() const { return m_linkState; }

    std::string CacheDump() const;
    // The /metrics answer: the figures of this moment and the numeric variables.
    std::string MetricsAnswer() const;
    void ClearCache() { m_store.RemoveAll(); }

    // Mirrors the store on a broker from now on, for as long as the core lives. When the bridge
    // cannot be loaded, says why through mqttStateChanged and returns false.
    bool EnableMqtt(const MqttOptions& options);
    // The command line's options for this run: guard, store limit, broker. False when a wanted part
    // cannot start (said through the signals as for each part alone).
    bool ApplyOptions(const ServerOptions& options);
    // Records every change from now on (after filling the store from the file when asked to restore).
    // A file that cannot be used is said through notice; the server goes on without recording.
    bool EnableRecording(const RecordOptions& options);
    // Asks every request for a login from now on. The file is read at each start, which fails
    // when it cannot be, and by ReloadUsers.
    void EnableUsers(const std::string& usersFile);
    // HTTPS from the next start on (the certificate and key are read then).
    void EnableTls(const TlsOptions& options);
    // SIGHUP: reads the users file and the certificate again and says how that went; what was read
    // before stays on failure.
    void RereadFiles();

signals:
    void arrowLit(int index); // 0 request in, 1 response out, 2 line to the board, 3 read from the board
    void crossChanged(bool shown);
    void startWarning(const QString& message);
    void serialOpened(const QString& device);
    void serialFailed(const QString& device, const QString& reason);
    void serialLost(const QString& device, const QString& reason);
    void serverStateChanged(bool running);
    // The link's text changed: opened, closed, or still closed for another reason. A retry that
    // fails the same way again is no change.
    void linkChanged(const QString& state);
    // The broker connected, or an outage began (once per outage).
    void mqttStateChanged(const QString& text, bool connected);
    // Something the user should read (a full store ...); the window and the runner show it as a line.
    void notice(const QString& text);

private:
    bool PortOpen() const override;
    bool Output(std::string_view text) override;
    void LineSkipped() override;
    void FailStart(const QString& description);
    void SetLink(bool open, const QString& detail);
    void SayStoreFull();
    void BoardCameBack();
    void RestoreBoard();
    void SetGate();
    bool StartHttps();

    ServerSettings m_settings;
    NetworkGuard m_guard;
    bool m_serverRunning = false;
    bool m_anyPort = false;
    bool m_linkOpen = false;
    bool m_lineSkipSaid = false;   // each said once per run: a flood of them must not fill the log
    bool m_mqttRefusalSaid = false;
    bool m_recordWanted = false; // --record given: /metrics shows the recording, up or not
    std::uint64_t m_linesSent = 0;
    std::optional<std::chrono::steady_clock::time_point> m_lastFrame;
    std::optional<bool> m_mqttConnected; // set once --mqtt asks for the broker
    QString m_linkState = QStringLiteral("closed stopped");
    QElapsedTimer m_clock;
    qint64 m_storeFullSaidMs = -1; // monotonic; the refusal is said at most once a minute
    qint64 m_restoreSaidMs = -1;   // and a board restore likewise
    VariableStore m_store;
    SerialLink m_link;
    VariableCommands m_commands;
    BoardRestore m_boardRestore{m_store}; // listening only with --restore-board
    QTimer m_restoreLater;                // a restore asked for within a second of the last one
    JsonApi m_api;
    FilesService m_files;
    RequestDispatcher m_dispatcher;
    HttpServer m_http;
    EventStreams m_streams;
    std::unique_ptr<AuthService> m_auth; // after the server: gone first, with the verifications it waits on
    std::unique_ptr<HttpsListener> m_https; // after the server, whose slots serve its connections
    TlsOptions m_tls;
    std::unique_ptr<Recorder> m_recorder; // after the store: it leaves the store's listeners first
    QTimer m_recordFlush; // asks the recording whether its writer stopped
    std::unique_ptr<BrokerBridge> m_mqtt; // from its module; last: it leaves the store's listeners before the store goes
};

} // namespace pontivo
