#include "SimulatedPort.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace pontivo {
namespace {

std::runtime_error SystemError(const std::string& what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

} // namespace

SimulatedPort::SimulatedPort(const std::string& linkPath)
    : m_linkPath(linkPath)
{
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        throw SystemError("cannot create a pseudo-terminal");
    m_master = UniqueFd(master);
    const UniqueFd slaveFd(slave);
    m_slavePath = name;
    // Raw from the start, so nothing is echoed or translated before the program sets its own mode.
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    if (!m_linkPath.empty())
        MakeLink();
    // slaveFd closes here: with no slave open, PeerOpen() tells when the program opens it.
}

SimulatedPort::~SimulatedPort()
{
    RemoveLink();
}

bool SimulatedPort::PeerOpen() const
{
    // The master reports a hang-up while no process holds the slave open.
    pollfd p{m_master.Get(), 0, 0};
    return ::poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
}

void SimulatedPort::MakeLink()
{
    struct stat existing{};
    if (::lstat(m_linkPath.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode))
        throw std::runtime_error(m_linkPath + " exists and is not a symbolic link; not replacing it");
    // A link left by an earlier run is replaced in one step, so the name never dangles.
    const std::string temporary = m_linkPath + ".new" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(m_slavePath.c_str(), temporary.c_str()) != 0)
        throw SystemError("cannot create the link " + m_linkPath);
    if (::rename(temporary.c_str(), m_linkPath.c_str()) != 0) {
        const auto error = SystemError("cannot create the link " + m_linkPath);
        ::unlink(temporary.c_str());
        throw error;
    }
}

void SimulatedPort::RemoveLink()
{
    if (m_linkPath.empty())
        return;
    // Leave the name alone if another simulator has taken it over since.
    char target[256] = {};
    const ssize_t length = ::readlink(m_linkPath.c_str(), target, sizeof target - 1);
    if (length > 0 && m_slavePath == std::string(target, static_cast<std::size_t>(length)))
        ::unlink(m_linkPath.c_str());
}

} // namespace pontivo
