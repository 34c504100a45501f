#include "http/UsersFile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pontivo {
namespace {

// A users file of thousands of lines is far below this; a larger one is no users file.
constexpr off_t kMaxFileBytes = 1024 * 1024;

std::string Failure(const std::string& path, const std::string& what)
{
    return "users file " + path + ": " + what;
}

std::string SystemFailure(const std::string& path, const char* action)
{
    return Failure(path, std::string(action) + ": " + std::strerror(errno));
}

class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor) : m_descriptor(descriptor) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor()
    {
        if (m_descriptor >= 0)
            ::close(m_descriptor);
    }
    int Get() const { return m_descriptor; }

private:
    const int m_descriptor;
};

bool WriteAll(int descriptor, const std::string& text)
{
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t written = ::write(descriptor, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace

std::string LoadUsersFile(const std::string& path, std::vector<UserEntry>& into, bool missingIsEmpty)
{
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0 && errno == ENOENT && missingIsEmpty) {
        into.clear();
        return {};
    }
    struct stat status = {};
    if (file.Get() < 0 || ::fstat(file.Get(), &status) != 0)
        return SystemFailure(path, "cannot be read");
    if (!S_ISREG(status.st_mode) || status.st_size > kMaxFileBytes)
        return Failure(path, "not a users file (a regular file under 1 MiB)");
    // Whoever can write it can let themselves in.
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return Failure(path, "others can write it; refused (chmod 600 " + path + ")");
    std::string text(static_cast<std::size_t>(status.st_size), '\0');
    const ssize_t got = ::read(file.Get(), text.data(), text.size());
    if (got < 0)
        return SystemFailure(path, "cannot be read");
    text.resize(static_cast<std::size_t>(got));
    const std::string reason = ReadUserTable(text, into);
    return reason.empty() ? reason : Failure(path, reason);
}

std::string SaveUsersFile(const std::string& path, const std::vector<UserEntry>& entries)
{
    const std::string fresh = path + ".new";
    ::unlink(fresh.c_str());
    {
        const FileDescriptor file(::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (file.Get() < 0)
            return SystemFailure(fresh, "cannot be created");
        if (!WriteAll(file.Get(), WriteUserTable(entries)) || ::fsync(file.Get()) != 0) {
            const std::string failure = SystemFailure(fresh, "cannot be written");
            ::unlink(fresh.c_str());
            return failure;
        }
    }
    if (::rename(fresh.c_str(), path.c_str()) != 0) {
        const std::string failure = SystemFailure(path, "cannot be replaced");
        ::unlink(fresh.c_str());
        return failure;
    }
    return {};
}

} // namespace pontivo
