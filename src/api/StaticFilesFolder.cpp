#include "api/StaticFilesFolder.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <system_error>
#include <utility>

#ifndef _WIN32
#include <atomic>
#include <cerrno>
#include <climits>
#include <deque>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#ifdef SYS_openat2
#include <linux/openat2.h>
#endif
#endif

namespace fs = std::filesystem;

namespace pontivo {
namespace {

// What `relative` names under `root`, when it does: both sides taken as they stand.
bool Below(const fs::path& root, const fs::path& path, Segments& rest)
{
    const auto [r, p] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    if (r != root.end())
        return false;
    rest.clear();
    std::transform(p, path.end(), std::back_inserter(rest), [](const fs::path& part) { return part.string(); });
    return true;
}

#ifndef _WIN32
constexpr int kMaxLinks = 40; // as many as the kernel follows in one lookup
// A folder passed through is searched, never read; the entry at the end is read, never waited on
// (a FIFO) and never made the controlling terminal; a look at what is there opens nothing.
constexpr int kPassFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr int kLookFlags = O_PATH | O_CLOEXEC;

// Cleared for good once the kernel (or a seccomp filter) turns openat2 down.
std::atomic<bool> g_kernelBeneath{true};

class Descriptor {
public:
    explicit Descriptor(int descriptor) : m_descriptor(descriptor) {}
    Descriptor(Descriptor&& other) noexcept : m_descriptor(std::exchange(other.m_descriptor, -1)) {}
    Descriptor& operator=(Descriptor&&) = delete;
    ~Descriptor()
    {
        if (m_descriptor >= 0)
            ::close(m_descriptor);
    }
    int Get() const { return m_descriptor; }
    int Release() { return std::exchange(m_descriptor, -1); }

private:
    int m_descriptor;
};

int OpenBeneath(int folder, const std::string& path, int flags)
{
#ifdef SYS_openat2
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(::syscall(SYS_openat2, folder, path.c_str(), &how, sizeof how));
#else
    (void)folder, (void)path, (void)flags;
    errno = ENOSYS;
    return -1;
#endif
}

// False for anything but a link, and for a link too long to be read (opening it then fails).
bool ReadLink(int folder, const std::string& name, std::string& target)
{
    char buffer[PATH_MAX];
    const ssize_t length = ::readlinkat(folder, name.c_str(), buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) == sizeof buffer)
        return false;
    target.assign(buffer, static_cast<std::size_t>(length));
    return true;
}

Segments Split(const std::string& path)
{
    Segments parts;
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

StaticFilesFolder::Kind KindOfMode(mode_t mode)
{
    if (S_ISREG(mode))
        return StaticFilesFolder::Kind::File;
    return S_ISDIR(mode) ? StaticFilesFolder::Kind::Folder : StaticFilesFolder::Kind::Missing;
}

void ListNames(Descriptor folder, std::vector<std::string>& names)
{
    const std::unique_ptr<DIR, int (*)(DIR*)> entries(::fdopendir(folder.Get()), ::closedir);
    if (!entries)
        return;
    folder.Release();
    while (const dirent* entry = ::readdir(entries.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
}
#endif

} // namespace

#ifndef _WIN32

StaticFilesFolder::StaticFilesFolder(fs::path folder, Resolution resolution)
    : m_descriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) // the folder itself may be a link
    , m_folder(fs::absolute(folder).lexically_normal())
    , m_resolution(resolution)
{
}

StaticFilesFolder::~StaticFilesFolder()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

StaticFilesFolder::Entry StaticFilesFolder::Open(const Segments& relative) const
{
    Entry entry;
    Descriptor opened(Resolve(relative, kReadFlags));
    struct stat status {};
    if (opened.Get() < 0 || ::fstat(opened.Get(), &status) != 0) {
        entry.kind = KindOf(relative); // there, but not readable: "could not be read", an empty listing
        return entry;
    }
    entry.kind = KindOfMode(status.st_mode);
    if (entry.kind == Kind::Folder) {
        ListNames(std::move(opened), entry.names);
    } else if (entry.kind == Kind::File) {
        entry.file.file.reset(::fdopen(opened.Get(), "rb"));
        if (entry.file)
            opened.Release();
        entry.file.size = static_cast<std::uint64_t>(status.st_size);
    }
    return entry;
}

StaticFilesFolder::Kind StaticFilesFolder::KindOf(const Segments& relative) const
{
    const Descriptor opened(Resolve(relative, kLookFlags));
    struct stat status {};
    if (opened.Get() < 0 || ::fstat(opened.Get(), &status) != 0)
        return Kind::Missing;
    return KindOfMode(status.st_mode);
}

// The kernel confines the whole lookup where it can; an absolute link (refused there even when
// it names a place inside) and a kernel without openat2 go the walk.
int StaticFilesFolder::Resolve(const Segments& relative, int flags) const
{
    if (m_descriptor < 0)
        return -1;
    if (m_resolution == Resolution::Kernel && g_kernelBeneath) {
        std::string path = ".";
        for (const std::string& part : relative)
            path.append("/").append(part);
        const int opened = OpenBeneath(m_descriptor, path, flags);
        if (opened >= 0 || (errno != EXDEV && errno != EAGAIN && errno != ENOSYS && errno != EPERM && errno != E2BIG))
            return opened;
        if (errno != EXDEV && errno != EAGAIN)
            g_kernelBeneath = false;
    }
    return Walk(relative, flags);
}

// Each component is opened from the folder entered last, never following a link; a link is read
// and its target walked in its place, a ".." leaves the folder entered last. Nothing is ever
// looked up by a path from elsewhere, so nothing done meanwhile can lead the walk out.
int StaticFilesFolder::Walk(const Segments& relative, int flags) const
{
    std::deque<std::string> pending(relative.begin(), relative.end());
    std::vector<Descriptor> entered; // below the folder, innermost last
    int links = 0;
    const auto current = [&] { return entered.empty() ? m_descriptor : entered.back().Get(); };
    while (!pending.empty()) {
        const std::string name = std::move(pending.front());
        pending.pop_front();
        std::string target;
        Segments parts;
        if (name.empty() || name == ".")
            continue;
        if (name == "..") {
            if (entered.empty())
                return -1;
            entered.pop_back();
        } else if (ReadLink(current(), name, target)) {
            const bool absolute = target.front() == '/';
            if (++links > kMaxLinks || (absolute && !InsideRoot(target, parts)))
                return -1;
            if (absolute)
                entered.clear();
            else
                parts = Split(target);
            pending.insert(pending.begin(), parts.begin(), parts.end());
        } else if (pending.empty()) {
            return ::openat(current(), name.c_str(), flags | O_NOFOLLOW);
        } else {
            entered.emplace_back(::openat(current(), name.c_str(), kPassFlags));
            if (entered.back().Get() < 0)
                return -1;
        }
    }
    return ::openat(current(), ".", flags);
}

// An absolute link leads inside when it names the folder by the path it was given or by its
// real one; the rest is walked from the folder.
bool StaticFilesFolder::InsideRoot(const std::string& target, Segments& rest) const
{
    const fs::path wanted = fs::path(target).lexically_normal();
    std::error_code error;
    const fs::path real = fs::canonical(m_folder, error);
    return Below(m_folder.has_filename() ? m_folder : m_folder.parent_path(), wanted, rest) ||
           (!error && Below(real, wanted, rest));
}

#else // Windows: no descriptor-relative opening; both sides resolved, then the path opened.

StaticFilesFolder::StaticFilesFolder(fs::path folder, Resolution resolution)
    : m_folder(std::move(folder))
    , m_resolution(resolution)
{
}

StaticFilesFolder::~StaticFilesFolder() = default;

namespace {

fs::path Confined(const fs::path& folder, const Segments& relative)
{
    std::wstring path = folder.wstring();
    for (const std::string& part : relative)
        path.append(L"\\").append(fs::path(part).wstring());
    std::error_code error;
    const fs::path root = fs::canonical(folder, error);
    const fs::path target = error ? fs::path() : fs::canonical(path, error);
    Segments rest;
    return !error && Below(root, target, rest) ? target : fs::path();
}

} // namespace

StaticFilesFolder::Entry StaticFilesFolder::Open(const Segments& relative) const
{
    Entry entry;
    const fs::path path = Confined(m_folder, relative);
    entry.kind = KindOf(relative);
    std::error_code error;
    if (entry.kind == Kind::File) {
        entry.file.file.reset(_wfopen(path.c_str(), L"rb"));
        entry.file.size = fs::file_size(path, error);
        if (error)
            entry.file.file.reset();
    } else if (entry.kind == Kind::Folder) {
        for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error))
            entry.names.push_back(it->path().filename().string());
    }
    return entry;
}

StaticFilesFolder::Kind StaticFilesFolder::KindOf(const Segments& relative) const
{
    const fs::path path = Confined(m_folder, relative);
    std::error_code error;
    if (path.empty())
        return Kind::Missing;
    if (fs::is_regular_file(path, error))
        return Kind::File;
    return fs::is_directory(path, error) ? Kind::Folder : Kind::Missing;
}

#endif

} // namespace pontivo
