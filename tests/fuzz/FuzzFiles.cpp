// Targets of the files command over a folder with links leading out of it and a
// sibling folder sharing its name's prefix: nothing outside may ever be served.
#include "FuzzCheck.h"
#include "http/HttpRequest.h"
#include "api/StaticFiles.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace fs = std::filesystem;

namespace {

// Pages echo paths HTML-escaped, so only the content of an outside file can hold this.
constexpr std::string_view kSecret = "<outside-7f3a>";

struct Fixture {
    fs::path root;
    fs::path files;

    Fixture()
    {
        std::string pattern = (fs::temp_directory_path() / "pontivo-fuzz-files-XXXXXX").string();
        root = fs::canonical(mkdtemp(pattern.data()));
        files = root / "files";
        fs::create_directories(files / "sub" / "deep");
        fs::create_directories(root / "secret");
        fs::create_directories(root / "files-x");
        Write(files / "a.txt", "alpha [server_port]");
        Write(files / "sub" / "index.html", "<p>[server]</p>");
        Write(files / "sub" / "deep" / "b.txt", "beta");
        Write(root / "secret" / "s.txt", kSecret);
        Write(root / "files-x" / "x.txt", kSecret);
        Write(root / "top.txt", kSecret);
        // Large enough to go out straight from the file, inside and outside.
        Write(files / "big.bin", std::string(pontivo::StaticFiles::kSendFromFileBytes, 'b'));
        Write(root / "secret" / "big.bin", std::string(pontivo::StaticFiles::kSendFromFileBytes, 's'));
        fs::create_directory_symlink("../secret", files / "out");
        fs::create_symlink("../top.txt", files / "out.txt");
        fs::create_directory_symlink(".", files / "sub" / "self");
        fs::create_symlink("deep/b.txt", files / "sub" / "in.txt");
        fs::create_symlink(files / "a.txt", files / "abs.txt");  // absolute, inside
        fs::create_symlink(root / "top.txt", files / "abs-out"); // absolute, outside
    }
    ~Fixture() { fs::remove_all(root); }

    static void Write(const fs::path& path, std::string_view text) { std::ofstream(path) << text; }
};

const Fixture& TheFixture()
{
    static const Fixture fixture;
    return fixture;
}

// Where the descriptor of an opened file really leads.
fs::path OpenedPath(std::FILE* file)
{
    return fs::read_symlink("/proc/self/fd/" + std::to_string(fileno(file)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Fixture& fixture = TheFixture();
    // Odd lengths take the walk used where the kernel has no confined lookup.
    const pontivo::StaticFiles files(fixture.files, [] { return pontivo::ServerAddress{"host", "10.0.0.1", 8085}; },
                                     size % 2 ? pontivo::StaticFilesFolder::Resolution::Walk
                                              : pontivo::StaticFilesFolder::Resolution::Kernel);
    const std::string target(reinterpret_cast<const char*>(data), size);
    pontivo::Segments segments = pontivo::SplitTarget("/files/" + target);

    std::string body;
    pontivo::FileBody file;
    files.ServeFiles(segments, body, file);
    FUZZ_CHECK(body.find(kSecret) == std::string::npos);
    if (file) {
        const fs::path opened = OpenedPath(file.file.get());
        const std::string prefix = fixture.files.string() + "/";
        FUZZ_CHECK(opened.string().starts_with(prefix));
    }
    return 0;
}
