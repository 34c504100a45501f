#include "api/StaticFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <thread>

namespace fs = std::filesystem;

using namespace pontivo;

namespace {

void Write(const fs::path& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// Every case runs on the kernel's confined lookup and on the walk used where the kernel lacks it.
class StaticFilesTest : public ::testing::TestWithParam<StaticFilesFolder::Resolution> {
protected:
    StaticFilesTest()
    {
        fs::create_directories(folder / "sub" / "inner");
        fs::create_directories(folder / "site");
        for (const auto& [path, text] : std::vector<std::pair<fs::path, std::string>>{
                 {root / "secret", "secret"}, {folder / "page.html", "[server] [server_ip] [server_port] [Server]"},
                 {folder / "a b#%'&.txt", "odd"}, {folder / "sub" / "z", "z"}, {folder / "sub" / "a", "a"},
                 {folder / "site" / "index.html", "home [server_port]"}, {folder / "site" / "huge.bin", ""}})
            Write(path, text);
        fs::resize_file(folder / "site" / "huge.bin", StaticFiles::kMaxFileBytes + 1); // sparse: costs no disk
        fs::create_symlink(folder / "page.html", folder / "link");
        fs::create_symlink(root / "secret", folder / "out-file");
        fs::create_directory_symlink(root, folder / "out-dir");
        ::mkfifo((folder / "pipe").c_str(), 0600);
        fs::create_symlink(folder / "pipe", folder / "via-link");
        fs::create_symlink("../page.html", folder / "sub" / "up.html");
        fs::create_symlink("inner/../../../secret", folder / "sub" / "esc");
        fs::create_directory_symlink(".", folder / "sub" / "inner" / "self");
    }
    ~StaticFilesTest() override { fs::remove_all(root); }

    std::string Serve(const Segments& segments)
    {
        std::string body;
        FileBody file;
        files.ServeFiles(segments, body, file);
        fromFile = bool(file);
        ReadFileBody(file, body, file.size);
        return body;
    }
    std::string Sorry(const std::string& relative, const std::string& what = "not found.") const
    {
        return "Sorry! <b>" + folder.string() + "/" + relative + "</b> " + what;
    }

    const fs::path root = fs::temp_directory_path() / ("pontivo-files-" + std::to_string(::getpid()));
    const fs::path folder = root / "files";
    int addressLookups = 0;
    bool fromFile = false; // the last body was left in its file, to be sent from there
    StaticFiles files{folder, [this] {
                          ++addressLookups;
                          return ServerAddress{"host", "10.1.2.3", 8085};
                      },
                      GetParam()};
};

TEST_P(StaticFilesTest, MapsTargetsOntoTheFolderAndNeverOutOfIt)
{
    const std::string page = "host:8085 10.1.2.3 8085 [Server]";
    const std::vector<std::pair<Segments, std::string>> rows{
        {{"files", "page.html"}, page}, {{"FILES", "pa%67e.html?v=2"}, page}, {{"files", "link"}, page},
        {{"files", "site", "?x=1/y"}, "home 8085"}, {{"files", "a%20b%23%25%27%26.txt"}, "odd"},
        {{"files", "sub", "nosuch"}, Sorry("sub/nosuch")}, {{"files", "%3Ci%3E'%22"}, Sorry("&lt;i&gt;&#39;&quot;")},
        {{"files", "site", "huge.bin"}, Sorry("site/huge.bin", "could not be read.")},
        {{"files", "pipe"}, Sorry("pipe")}, {{"files", "via-link"}, Sorry("via-link")}, // FIFOs wait for writers
        {{"files", "..", "secret"}, Sorry("../secret")}, {{"files", "%2E%2e", "secret"}, Sorry("../secret")},
        {{"files", "..%2Fsecret"}, Sorry("../secret")}, {{"files", "out-file"}, Sorry("out-file")},
        {{"files", "out-dir"}, Sorry("out-dir")}, {{"files", "out-dir", "secret"}, Sorry("out-dir/secret")},
        {{"files", "sub", "..", "page.html"}, Sorry("sub/../page.html")}, {{"files", "sub", ".", "a"}, "a"},
        {{"files", "%2E%2E", "secret"}, Sorry("../secret")}, {{"files", ".%2e", "secret"}, Sorry("../secret")},
        {{"files", "%2e.", "secret"}, Sorry("../secret")}, {{"files", "sub", "%2e%2e", "..", "secret"}, Sorry("sub/../../secret")},
        {{"files", "sub", "up.html"}, page}, {{"files", "sub", "esc"}, Sorry("sub/esc")},
    };
    for (const auto& [segments, body] : rows)
        EXPECT_EQ(Serve(segments), body) << ::testing::PrintToString(segments);
    EXPECT_EQ(addressLookups, 5); // only the pages holding a placeholder
}

// Neither links leading out nor the FIFO are offered; the top has no parent link.
TEST_P(StaticFilesTest, ListsSubFoldersThenFilesWithAParentLinkBelowTheTop)
{
    EXPECT_EQ(Serve({"files", "sub"}), "<a href='/files'>..</a><br/><a href='/files/sub/inner'>inner</a><br/>"
                                       "<a href='/files/sub/a'>a</a><br/><a href='/files/sub/up.html'>up.html</a><br/>"
                                       "<a href='/files/sub/z'>z</a><br/>");
    EXPECT_EQ(Serve({"files", "sub", "inner", "self"}),
              "<a href='/files/sub/inner'>..</a><br/><a href='/files/sub/inner/self/self'>self</a><br/>");
    EXPECT_EQ(Serve({"files"}), "<a href='/files/site'>site</a><br/><a href='/files/sub'>sub</a><br/>"
                                "<a href='/files/a%20b%23%25%27%26.txt'>a b#%&#39;&amp;.txt</a><br/>"
                                "<a href='/files/link'>link</a><br/><a href='/files/page.html'>page.html</a><br/>");
}

// Placeholders are filled in below the bound; from it on the file goes out as it stands.
TEST_P(StaticFilesTest, FilesFromTheBoundOnGoOutFromTheFileAsTheyStand)
{
    for (const std::size_t size : {StaticFiles::kSendFromFileBytes - 1, StaticFiles::kSendFromFileBytes}) {
        const bool whole = size < StaticFiles::kSendFromFileBytes;
        std::string bytes(size - 13, '\0');
        Write(folder / "t.bin", bytes + "[server_port]");
        EXPECT_EQ(Serve({"files", "t.bin"}), bytes + (whole ? "8085" : "[server_port]")) << size;
        EXPECT_EQ(fromFile, !whole) << size;
    }
}

// An entry swapped for a FIFO while requests are served is found as one or the other, never
// waited on. The swaps go on until requests have met both, so the test cannot pass without them.
TEST_P(StaticFilesTest, EntrySwappedForAFifoWhileServedNeverBlocks)
{
    const fs::path target = folder / "swap.txt", fifo = folder / "pipe";
    Write(target, "content");
    using Clock = std::chrono::steady_clock;
    std::atomic<Clock::time_point> requestStarted{Clock::time_point::max()}; // max: none running
    std::atomic<int> stuckRequests{0};
    std::jthread racer([&](const std::stop_token& stop) {
        for (bool fifoAtTarget = true; !stop.stop_requested(); fifoAtTarget = !fifoAtTarget) {
            ::renameat2(AT_FDCWD, target.c_str(), AT_FDCWD, fifo.c_str(), RENAME_EXCHANGE);
            // A request this old waits on the FIFO: a writer releases it, and it counts.
            const int writer = Clock::now() - requestStarted.load() > std::chrono::seconds(5)
                ? ::open((fifoAtTarget ? target : fifo).c_str(), O_WRONLY | O_NONBLOCK) : -1;
            if (writer >= 0 && ::close(writer) == 0)
                ++stuckRequests;
        }
    });
    std::map<std::string, int> bodies;
    for (int i = 0; i < 100000 && bodies.size() < 2 && stuckRequests == 0; ++i) {
        requestStarted = Clock::now();
        ++bodies[Serve({"files", "swap.txt"})];
        requestStarted = Clock::time_point::max();
    }
    EXPECT_EQ(stuckRequests, 0);
    EXPECT_EQ(bodies.size(), 2u);
    bodies.erase("content");
    bodies.erase(Sorry("swap.txt"));
    EXPECT_TRUE(bodies.empty()) << bodies.begin()->first;
}

INSTANTIATE_TEST_SUITE_P(Resolutions, StaticFilesTest,
                         ::testing::Values(StaticFilesFolder::Resolution::Kernel, StaticFilesFolder::Resolution::Walk));

} // namespace
