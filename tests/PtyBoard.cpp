#include "PtyBoard.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <fcntl.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace pontivo::testing {

PtyBoard::PtyBoard()
{
    int slave = -1;
    char name[256] = {};
    if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    ::close(slave); // the program opens it by name
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // A program started by the test must not keep the board plugged in.
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    m_slavePath = QString::fromLocal8Bit(name);
}

PtyBoard::~PtyBoard()
{
    Unplug();
}

void PtyBoard::Write(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

std::string PtyBoard::ReadAvailable(std::size_t expected, int timeoutMs)
{
    std::string received;
    QElapsedTimer timer;
    timer.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(m_master, buffer, sizeof buffer)) > 0)
            received.append(buffer, static_cast<std::size_t>(n));
    } while (received.size() < expected && timer.elapsed() < timeoutMs);
    return received;
}

void PtyBoard::Unplug()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

} // namespace pontivo::testing
