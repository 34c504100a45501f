#include "server/HeadlessRunner.h"

#include "serial/DeviceResolver.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace pontivo {
namespace {

void SayLine(const QString& text)
{
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

#ifdef Q_OS_UNIX
int g_stopSignalPipe[2] = {-1, -1};

// Only async-signal-safe work here: wake the event loop through the pipe. A write that fails
// finds the pipe full, so the loop has been woken already.
void OnSignal(int signal)
{
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const auto written = ::write(g_stopSignalPipe[0], &byte, 1);
}
#endif

} // namespace

HeadlessRunner::HeadlessRunner(const ServerSettings& settings, const ServerOptions& options, QObject* parent)
    : QObject(parent)
    , m_core(settings)
{
    connect(&m_core, &ServerCore::startWarning, this, [this](const QString& message) {
        SayLine(ServerCore::Caption() + QStringLiteral(": ") + message);
        m_exitStatus = 1;
    });
    // The window would show a cross over the board; here one line per failure streak says why.
    connect(&m_core, &ServerCore::serialFailed, this, [this](const QString& device, const QString& reason) {
        if (m_serialFailing)
            return;
        m_serialFailing = true;
        const QString text = m_core.Settings().comPort;
        const QString port = !device.isEmpty() ? device : IsAutoPort(text) ? text : QStringLiteral("COM") + text;
        SayLine(QStringLiteral("%1: serial port %2 cannot be opened: %3 (retrying every second)")
                    .arg(ServerCore::Caption(), port, reason));
    });
    connect(&m_core, &ServerCore::serialLost, this, [this](const QString& device, const QString& reason) {
        m_serialFailing = false; // the retries that follow say once why the port cannot be opened
        SayLine(QStringLiteral("%1: serial port %2 lost: %3 (retrying every second)")
                    .arg(ServerCore::Caption(), device, reason));
    });
    connect(&m_core, &ServerCore::serialOpened, this, [this](const QString& device) {
        m_serialFailing = false;
        SayLine(QStringLiteral("%1: serial port %2 open (%3)").arg(ServerCore::Caption(), device, m_core.Settings().comSettings));
    });
    connect(&m_core, &ServerCore::serverStateChanged, this, [this](bool running) {
        const QString bound = m_core.Guard().bindAddress;
        const QString host = bound.isEmpty() ? QStringLiteral("localhost")
                             : bound.contains(u':') ? u'[' + bound + u']' : bound;
        if (running) {
            const QString address = QStringLiteral("http://%1:%2/").arg(host).arg(m_core.ListeningPort());
            SayLine(QStringLiteral("%1: serving %2 on %3 (Ctrl+C stops); open %2files/examples/; dashboard: %2ui/")
                        .arg(ServerCore::Caption(), address,
                             bound.isEmpty() ? QStringLiteral("all interfaces") : bound + QStringLiteral(" only")));
        }
    });
    connect(&m_core, &ServerCore::notice, this,
            [](const QString& text) { SayLine(ServerCore::Caption() + QStringLiteral(": ") + text); });
    connect(&m_core, &ServerCore::mqttStateChanged, this,
            [](const QString& text) { SayLine(ServerCore::Caption() + QStringLiteral(": ") + text); });
    if (!m_core.ApplyOptions(options))
        m_exitStatus = 1;
}

int HeadlessRunner::Run()
{
    if (m_exitStatus != 0)
        return m_exitStatus;
    WatchStopSignals();
    m_core.ChangeState();
    if (!m_core.ServerRunning())
        return m_exitStatus == 0 ? 1 : m_exitStatus;
    return QCoreApplication::exec();
}

void HeadlessRunner::WatchStopSignals()
{
#ifdef Q_OS_UNIX
    // Without it the server still serves; Ctrl+C and SIGTERM then end it without its last words.
    const auto refused = [](const char* call) {
        SayLine(QStringLiteral("%1: Ctrl+C and SIGTERM will not stop the server cleanly: %2: %3")
                    .arg(ServerCore::Caption(), QLatin1String(call), QString::fromLocal8Bit(std::strerror(errno))));
    };
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_stopSignalPipe) != 0) {
        refused("socketpair");
        return;
    }
    m_stopNotifier = new QSocketNotifier(g_stopSignalPipe[1], QSocketNotifier::Read, this);
    connect(m_stopNotifier, &QSocketNotifier::activated, this, &HeadlessRunner::OnStopSignal);
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0)
        refused("sigaction");
    // SIGHUP rereads the users file and the certificate; without a handler it would end the program.
    sigaction(SIGHUP, &action, nullptr);
#endif
}

void HeadlessRunner::OnStopSignal()
{
#ifdef Q_OS_UNIX
    char signal = 0;
    if (::read(g_stopSignalPipe[1], &signal, 1) == 1 && signal == SIGHUP) {
        m_core.RereadFiles();
        return;
    }
#endif
    m_stopNotifier->setEnabled(false);
    if (m_core.ServerRunning())
        m_core.ChangeState();
    SayLine(ServerCore::Caption() + QStringLiteral(": stopped"));
    QCoreApplication::exit(0);
}

} // namespace pontivo
