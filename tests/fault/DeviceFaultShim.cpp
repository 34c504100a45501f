// Preloaded into the program under test: read() or write() on one device fails with EIO
// after a given number of calls, as a failing serial adapter does while its device node
// stays in place. The descriptor stays broken until it is closed; a reopened device works.
//
//   PONTIVO_FAULT_DEVICE=/dev/pts/N    the device (compared by device number)
//   PONTIVO_FAULT_READS=N              reads that succeed before the failure
//   PONTIVO_FAULT_WRITES=N             writes that succeed before the failure

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using ReadFunction = ssize_t (*)(int, void*, size_t);
using WriteFunction = ssize_t (*)(int, const void*, size_t);
using CloseFunction = int (*)(int);

template <typename Function>
Function Next(const char* name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

long Setting(const char* name)
{
    const char* text = std::getenv(name);
    return text ? std::atol(text) : -1;
}

struct Fault {
    std::atomic<long> left;
    std::atomic<bool> spent{false};
};

Fault g_reads{Setting("PONTIVO_FAULT_READS")};
Fault g_writes{Setting("PONTIVO_FAULT_WRITES")};
std::atomic<int> g_broken{-1};

bool OnDevice(int fd)
{
    const char* device = std::getenv("PONTIVO_FAULT_DEVICE");
    struct stat wanted {};
    struct stat actual {};
    return device && ::stat(device, &wanted) == 0 && ::fstat(fd, &actual) == 0 && S_ISCHR(actual.st_mode) &&
           actual.st_rdev == wanted.st_rdev;
}

// True when this call on fd must fail.
bool Fails(int fd, Fault& fault)
{
    if (g_broken.load() == fd)
        return true;
    if (fault.left.load() < 0 || fault.spent.load() || !OnDevice(fd))
        return false;
    if (fault.left.fetch_sub(1) > 0)
        return false;
    fault.spent = true;
    g_broken = fd;
    return true;
}

} // namespace

extern "C" {

ssize_t read(int fd, void* buffer, size_t size)
{
    static const auto next = Next<ReadFunction>("read");
    if (Fails(fd, g_reads)) {
        errno = EIO;
        return -1;
    }
    return next(fd, buffer, size);
}

ssize_t write(int fd, const void* buffer, size_t size)
{
    static const auto next = Next<WriteFunction>("write");
    if (Fails(fd, g_writes)) {
        errno = EIO;
        return -1;
    }
    return next(fd, buffer, size);
}

int close(int fd)
{
    static const auto next = Next<CloseFunction>("close");
    int expected = fd;
    g_broken.compare_exchange_strong(expected, -1);
    return next(fd);
}

} // extern "C"
