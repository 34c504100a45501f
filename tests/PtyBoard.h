#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <utility>

namespace pontivo::testing {

// A pseudo-terminal standing in for a board: the program opens SlavePath(), the test
// writes frames into the master side and reads the lines the program sends.
class PtyBoard {
public:
    PtyBoard()
    {
        int slave = -1;
        char name[256] = {};
        termios raw{};
        if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0 || ::tcgetattr(slave, &raw) != 0)
            throw std::runtime_error("openpty failed");
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
        ::close(slave); // the program opens it by name
        ::fcntl(m_master, F_SETFL, O_NONBLOCK);
        ::fcntl(m_master, F_SETFD, FD_CLOEXEC); // a started program must not keep the board plugged in
        m_slavePath = QString::fromLocal8Bit(name);
    }
    ~PtyBoard() { Unplug(); }
    PtyBoard(const PtyBoard&) = delete;

    const QString& SlavePath() const { return m_slavePath; }
    void Write(const std::string& bytes)
    {
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<std::size_t>(n);
            else
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
    }
    // What the program has written, running the event loop until `expected` bytes are in or time runs out.
    std::string ReadAvailable(std::size_t expected = 0, int timeoutMs = 2000)
    {
        std::string received;
        QElapsedTimer timer;
        timer.start();
        do {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            char buffer[4096];
            for (ssize_t n = 0; (n = ::read(m_master, buffer, sizeof buffer)) > 0;)
                received.append(buffer, static_cast<std::size_t>(n));
        } while (received.size() < expected && timer.elapsed() < timeoutMs);
        return received;
    }
    // Like pulling the cable: the program's side sees the device fail.
    void Unplug()
    {
        if (m_master >= 0)
            ::close(std::exchange(m_master, -1));
    }

private:
    int m_master = -1;
    QString m_slavePath;
};

} // namespace pontivo::testing
