#include "server/ServerCore.h"

#include "server/BrokerModule.h"
#include "store/CacheDump.h"
#include "api/ClockText.h"
#include "serial/LeadingNumber.h"
#include "api/MetricsText.h"
#include "server/ModuleLoader.h"
#include "http/SecureRedirect.h"
#include "net/ClientCounts.h"
#include "net/NativeSocket.h"
#include "server/ProcessFigures.h"

#include <QLocale>
#include <QSysInfo>
#include <QTime>

#include <cstdio>
#include <utility>

namespace pontivo {
namespace {

// Taken as the core library is loaded, when the program starts.
const double kProcessStartSeconds =
    std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();

std::string ClockNow()
{
    const float seconds = static_cast<float>(QTime::currentTime().msecsSinceStartOfDay()) / 1000.0f;
    return ClockText(seconds, QLocale::system().decimalPoint().toStdString());
}

void SayOnce(bool& said, const char* text)
{
    if (std::exchange(said, true))
        return;
    std::fprintf(stderr, "pontivo: %s\n", text);
    std::fflush(stderr);
}

// At most once per period: a flood of the same event must not fill the log.
bool DueAgain(qint64& lastMs, qint64 nowMs, qint64 periodMs)
{
    if (lastMs >= 0 && nowMs - lastMs < periodMs)
        return false;
    lastMs = nowMs;
    return true;
}

} // namespace

ServerCore::ServerCore(ServerSettings settings, HttpTimings timings, QString filesFolder, QObject* parent)
    : QObject(parent)
    , m_settings(std::move(settings))
    , m_link([this](std::string_view name, std::string_view value) {
        m_lastFrame = std::chrono::steady_clock::now();
        {
            const VariableStore::SourceScope board(m_store, WriteSource::Board);
            m_store.SetVariable(name, std::string(value));
        }
        if (m_boardRestore.IsHello(name))
            BoardCameBack();
    })
    , m_commands(m_store, *this)
    , m_api(m_store, m_commands, [this] { return m_linkState.toStdString(); })
    , m_files(std::move(filesFolder))
    , m_dispatcher(m_commands, Caption().toStdString(), ClockNow, [this] { return m_link.Port().CommPort(); })
    , m_http([this](const HttpRequest& request) { return m_dispatcher.Reply(request); }, timings)
    , m_streams(m_store, m_http.Timings(), m_http.Poller(), [this] { return m_linkState.toStdString(); })
{
    RaiseDescriptorLimit();
    m_clock.start();
    m_store.SetRefusalHandler([this](std::string_view) { SayStoreFull(); });
    m_dispatcher.SetJsonApi(&m_api);
    m_dispatcher.SetEventsHandler(
        [this](const std::string& pattern, std::string head, std::string_view lastEventId) {
            return m_streams.Open(pattern, std::move(head), lastEventId);
        });
    m_http.SetStreamTaker([this](qintptr descriptor, const std::string& client, Response response) {
        m_streams.Adopt(descriptor, client, std::move(response));
    });
    connect(&m_streams, &EventStreams::sent, this, [this] { emit arrowLit(1); });
    m_dispatcher.SetFilesHandler([this](const Segments& segments, std::string& body, FileBody& file) {
        m_files.Serve(segments, body, file, m_http.Port());
    });
    m_dispatcher.SetMetricsHandler([this] { return MetricsAnswer(); });
    connect(&m_http, &HttpServer::requestArrived, this, [this] { emit arrowLit(0); });
    connect(&m_http, &HttpServer::responseSent, this, [this] { emit arrowLit(1); });
    connect(&m_link, &SerialLink::boardRead, this, [this] { emit arrowLit(3); });
    connect(&m_recordFlush, &QTimer::timeout, this, [this] { m_recorder->Check(); });
    m_restoreLater.setSingleShot(true);
    connect(&m_restoreLater, &QTimer::timeout, this, &ServerCore::RestoreBoard);
    connect(&m_link, &SerialLink::crossChanged, this, &ServerCore::crossChanged);
    connect(&m_link, &SerialLink::portOpened, this, &ServerCore::serialOpened);
    connect(&m_link, &SerialLink::portFailed, this, &ServerCore::serialFailed);
    connect(&m_link, &SerialLink::portLost, this, &ServerCore::serialLost);
    connect(&m_link, &SerialLink::portOpened, this, [this](const QString& device) { SetLink(true, device); });
    const auto closed = [this](const QString&, const QString& reason) { SetLink(false, reason); };
    connect(&m_link, &SerialLink::portFailed, this, closed);
    connect(&m_link, &SerialLink::portLost, this, closed);
}

ServerCore::~ServerCore() = default;

QString ServerCore::Caption()
{
    return QStringLiteral("Pontivo %1.%2").arg(PONTIVO_VERSION_MAJOR).arg(PONTIVO_VERSION_MINOR);
}

void ServerCore::ChangeState()
{
    if (m_serverRunning) {
        StopServer();
        m_serverRunning = false;
        emit serverStateChanged(false);
        return;
    }
    StopServer();
    m_link.Open(m_settings.comPort, m_settings.comSettings);
    const auto port = m_anyPort ? std::optional<std::uint16_t>(0) : HttpPortFromText(m_settings.httpPort.toStdString());
    if (!port) {
        FailStart(QStringLiteral("The port \"%1\" is not a number from 1 to 65535.").arg(m_settings.httpPort));
        return;
    }
    if (const std::string refused = m_auth ? m_auth->Reload() : std::string(); !refused.empty()) {
        FailStart(QString::fromStdString(refused));
        return;
    }
    QString error;
    if (!m_http.Listen(*port, error, m_guard.bindAddress.toStdString())) {
        FailStart(error);
        return;
    }
    if (m_https && !StartHttps())
        return;
    m_serverRunning = true;
    m_link.SetServerRunning(true);
    emit serverStateChanged(true);
}

void ServerCore::SetNetworkGuard(const NetworkGuard& guard)
{
    m_guard = guard;
    m_dispatcher.SetAccessRules(guard.access);
    m_http.SetClientLimits(guard.perClient);
}

void ServerCore::FailStart(const QString& description)
{
    StopServer();
    m_serverRunning = false;
    emit startWarning(QStringLiteral("HTTP Server - ") + description);
}

void ServerCore::StopServer()
{
    m_link.SetServerRunning(false);
    m_link.Stop();
    m_http.CloseAll();
    if (m_https)
        m_https->Close();
    m_streams.CloseAll();
    SetLink(false, QStringLiteral("stopped"));
}

void ServerCore::SetLink(bool open, const QString& detail)
{
    const bool flipped = open != m_linkOpen;
    const QString state = (open ? QStringLiteral("open ") : QStringLiteral("closed ")) + detail;
    m_linkOpen = open;
    if (state == m_linkState)
        return;
    m_linkState = state;
    if (m_recorder)
        m_recorder->LinkChanged(state.toStdString());
    // Pages hear of openings and closings only; the broker keeps the latest reason too.
    if (flipped)
        m_streams.LinkChanged(m_linkState.toStdString());
    emit linkChanged(m_linkState);
}

bool ServerCore::PortOpen() const
{
    return m_link.Port().PortOpen();
}

bool ServerCore::Output(std::string_view text)
{
    const bool written = m_link.Port().Output(text);
    if (written) {
        ++m_linesSent;
        emit arrowLit(2);
    }
    return written;
}

void ServerCore::LineSkipped()
{
    SayOnce(m_lineSkipSaid, "a line for the board held CR or LF inside and was not written (the value is kept); "
                            "later ones are skipped silently");
}

bool ServerCore::EnableMqtt(const MqttOptions& options)
{
    QString error;
    m_mqttConnected = false;
    BrokerModule* const module = LoadModule<BrokerModule>(kBrokerModuleFile, error);
    if (!module) {
        emit mqttStateChanged(QStringLiteral("MQTT is not available: ") + error, false);
        return false;
    }
    // A set from the broker is the URL command itself: the board gets the line, the feed republishes it.
    // One that could not go to the board as one line is refused whole, as the broker has no answer to show.
    auto set = [this](const std::string& name, const std::string& value) {
        const VariableStore::SourceScope broker(m_store, WriteSource::Mqtt);
        if (m_commands.SetValue(name, value, UnsafeLine::Refuse) == StoreWrite::Refused)
            SayOnce(m_mqttRefusalSaid, "a set from MQTT with CR or LF in its name or value was refused; "
                                       "later ones are refused silently");
    };
    MqttOptions withUrl = options;
    if (withUrl.publicUrl.empty())
        withUrl.publicUrl = "http://" + QSysInfo::machineHostName().toStdString() + ":" + m_settings.httpPort.toStdString();
    m_mqtt = module->MakeBridge(m_store, std::move(set), withUrl);
    m_mqtt->SetLinkState(m_linkState);
    connect(this, &ServerCore::linkChanged, m_mqtt.get(), &BrokerBridge::SetLinkState);
    connect(m_mqtt.get(), &BrokerBridge::stateChanged, this, &ServerCore::mqttStateChanged);
    connect(m_mqtt.get(), &BrokerBridge::stateChanged, this,
            [this](const QString&, bool connected) { m_mqttConnected = connected; });
    return true;
}

bool ServerCore::ApplyOptions(const ServerOptions& options)
{
    SetNetworkGuard(options.guard);
    m_link.SetFormat(options.frames);
    m_store.SetCapacity(options.storeMaxBytes);
    if (options.restoreBoard || !options.boardHello.empty()) {
        m_boardRestore.SetHello(options.boardHello);
        m_store.AddListener(m_boardRestore);
        m_commands.SetSetObserver([this](std::string_view name) { m_boardRestore.ClientSet(name); });
        // A board that says hello says when it listens: an opening alone may reach its boot loader.
        if (options.boardHello.empty())
            connect(&m_link, &SerialLink::portOpened, this, &ServerCore::BoardCameBack);
    }
    if (!options.record.file.empty())
        EnableRecording(options.record);
    if (!options.usersFile.empty())
        EnableUsers(options.usersFile);
    if (!options.tls.certFile.empty())
        EnableTls(options.tls);
    return !options.mqtt.enabled || EnableMqtt(options.mqtt);
}

// A hello or a reopened port: from here the board's boot state ends no claim, until the restore is written.
void ServerCore::BoardCameBack()
{
    m_boardRestore.BoardBack();
    RestoreBoard();
}

void ServerCore::RestoreBoard()
{
    const qint64 now = m_clock.elapsed();
    if (const std::int64_t wait = m_boardRestore.WaitMs(now); wait > 0) {
        if (!m_restoreLater.isActive())
            m_restoreLater.start(static_cast<int>(wait));
        return;
    }
    m_restoreLater.stop();
    if (!PortOpen())
        return;
    const std::vector<BoardRestore::Line> lines = m_boardRestore.Restore(now);
    QStringList said;
    for (const BoardRestore::Line& line : lines) {
        m_commands.WriteLine(line.name, line.value);
        if (said.size() < 5)
            said << QString::fromStdString(line.name);
    }
    if (lines.size() > 5)
        said << QStringLiteral("...");
    if (!lines.empty() && DueAgain(m_restoreSaidMs, now, 60'000))
        emit notice(QStringLiteral("the board came back: %1 variable(s) set by clients written again (%2)")
                        .arg(lines.size())
                        .arg(said.join(QStringLiteral(", "))));
}

bool ServerCore::EnableRecording(const RecordOptions& options)
{
    m_recordFlush.stop();
    m_recordWanted = true;
    m_recorder = std::make_unique<Recorder>(m_store, options, [this](const std::string& text) { emit notice(QString::fromStdString(text)); });
    std::string error;
    if (!m_recorder->Start(error)) {
        m_recorder.reset();
        emit notice(QStringLiteral("recording is off: ") + QString::fromStdString(error));
        return false;
    }
    SetHistorySource(m_recorder->History());
    m_recorder->LinkChanged(m_linkState.toStdString());
    m_recordFlush.start(Recorder::kCheckInterval);
    return true;
}

void ServerCore::EnableUsers(const std::string& usersFile)
{
    m_auth = std::make_unique<AuthService>(Caption().toStdString(), usersFile,
                                           [this](const HttpRequest& head) { return m_dispatcher.RequestEffect(head); });
    connect(m_auth.get(), &AuthService::notice, this, &ServerCore::notice);
    SetGate();
}

void ServerCore::EnableTls(const TlsOptions& options)
{
    m_tls = options;
    m_https = std::make_unique<HttpsListener>(m_http);
    SetGate();
}

// Before anything is answered: plain HTTP from elsewhere goes to HTTPS, then the login.
void ServerCore::SetGate()
{
    m_http.SetGate([this](const HttpRequest& head, const std::string& client, bool secure, auto later) {
        if (m_https && !secure && !LoopbackClient(client))
            return ConnectionSlot::Admission{false, HttpsRedirect(Caption().toStdString(), head, m_tls.httpsPort)};
        return m_auth ? m_auth->Admit(head, client, std::move(later)) : ConnectionSlot::Admission{};
    });
}

bool ServerCore::StartHttps()
{
    std::string error = m_https->Load(m_tls.certFile, m_tls.keyFile);
    if (error.empty() && !m_https->Listen(m_tls.httpsPort, error, m_guard.bindAddress.toStdString()))
        error = "HTTPS port " + std::to_string(m_tls.httpsPort) + ": " + error;
    if (!error.empty()) {
        FailStart(QString::fromStdString(error));
        return false;
    }
    emit notice(QStringLiteral("serving HTTPS on port %1").arg(m_https->Port()));
    return true;
}

void ServerCore::RereadFiles()
{
    if (m_auth) {
        const std::string error = m_auth->Reload();
        emit notice(QString::fromStdString(error.empty() ? "users file " + m_auth->UsersFile() + " read again"
                                                         : error + "; the users read before stay"));
    }
    if (m_https) {
        const std::string error = m_https->Load(m_tls.certFile, m_tls.keyFile);
        emit notice(QString::fromStdString(error.empty() ? "certificate " + m_tls.certFile + " read again"
                                                         : error + "; the certificate read before stays"));
    }
}

void ServerCore::SayStoreFull()
{
    if (!DueAgain(m_storeFullSaidMs, m_clock.elapsed(), 60'000))
        return;
    emit notice(QStringLiteral("the store is full (--store-max %1 bytes): new names are refused, existing ones "
                               "still update")
                    .arg(m_store.Capacity()));
}

std::string ServerCore::MetricsAnswer() const
{
    MetricsFigures figures;
    figures.linkUp = m_linkOpen;
    figures.framesReceived = m_link.Frames().Received();
    figures.framesMalformed = m_link.Frames().Malformed();
    figures.linesSent = m_linesSent;
    figures.requests = m_dispatcher.RequestCounts();
    figures.eventStreams = m_streams.Count();
    figures.mqttConnected = m_mqttConnected;
    if (m_lastFrame)
        figures.secondsSinceLastFrame = std::chrono::duration<double>(std::chrono::steady_clock::now() - *m_lastFrame).count();
    if (m_recordWanted)
        figures.recording = m_recorder ? RecordingFigures{m_recorder->Up(), m_recorder->Dropped(), m_recorder->FileBytes()}
                                       : RecordingFigures{};
    figures.process = ReadProcessFigures(kProcessStartSeconds);
    return MetricsText(figures, m_store);
}

std::string ServerCore::CacheDump() const
{
    return CacheDumpText(m_store);
}

} // namespace pontivo
