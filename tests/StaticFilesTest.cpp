#include "StaticFiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

using namespace pontivo;

namespace {

void Write(const fs::path& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

class StaticFilesTest : public ::testing::Test {
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
                      }};
};

TEST_F(StaticFilesTest, MapsTargetsOntoTheFolderAndNeverOutOfIt)
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
    };
    for (const auto& [segments, body] : rows)
        EXPECT_EQ(Serve(segments), body) << ::testing::PrintToString(segments);
    EXPECT_EQ(addressLookups, 4); // only the pages holding a placeholder
}

// Neither links leading out nor the FIFO are offered; the top has no parent link.
TEST_F(StaticFilesTest, ListsSubFoldersThenFilesWithAParentLinkBelowTheTop)
{
    EXPECT_EQ(Serve({"files", "sub"}), "<a href='/files'>..</a><br/><a href='/files/sub/inner'>inner</a><br/>"
                                       "<a href='/files/sub/a'>a</a><br/><a href='/files/sub/z'>z</a><br/>");
    EXPECT_EQ(Serve({"files", "sub", "inner"}), "<a href='/files/sub'>..</a><br/>");
    EXPECT_EQ(Serve({"files"}), "<a href='/files/site'>site</a><br/><a href='/files/sub'>sub</a><br/>"
                                "<a href='/files/a%20b%23%25%27%26.txt'>a b#%&#39;&amp;.txt</a><br/>"
                                "<a href='/files/link'>link</a><br/><a href='/files/page.html'>page.html</a><br/>");
}

TEST_F(StaticFilesTest, LargeFilesGoOutFromTheFileUnlessTheyHoldAPlaceholder)
{
    std::string bytes(StaticFiles::kSendFromFileBytes + 100, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i % 91); // below '[': no placeholder
    Write(folder / "plain.bin", bytes);
    EXPECT_EQ(Serve({"files", "plain.bin"}), bytes);
    EXPECT_TRUE(fromFile);
    // A placeholder across the boundary of the pieces it is looked for in still counts.
    bytes.replace(256 * 1024 - 3, 13, "[server_port]");
    Write(folder / "templated.bin", bytes);
    EXPECT_EQ(Serve({"files", "templated.bin"}).substr(256 * 1024 - 3, 4), "8085");
}

// A FIFO swapped in between the look at an entry and its opening is refused, never waited on.
// The swaps go on until requests have met them there, so the test cannot pass without the race.
TEST_F(StaticFilesTest, EntrySwappedForAFifoWhileServedNeverBlocks)
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
    std::vector<std::string> raced; // neither the file nor not-found: the swap came in between
    for (int i = 0; i < 100000 && raced.size() < 5 && stuckRequests == 0; ++i) {
        requestStarted = Clock::now();
        const std::string body = Serve({"files", "swap.txt"});
        requestStarted = Clock::time_point::max();
        if (body != "content" && body != Sorry("swap.txt"))
            raced.push_back(body);
    }
    EXPECT_EQ(stuckRequests, 0);
    EXPECT_FALSE(raced.empty()) << "no swap came between the look and the opening";
    EXPECT_EQ(raced, std::vector<std::string>(raced.size(), Sorry("swap.txt", "could not be read.")));
}

} // namespace
