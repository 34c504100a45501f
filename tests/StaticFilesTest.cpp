#include "HttpRequest.h"
#include "StaticFiles.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace pontivo {
namespace {

void Write(const fs::path& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

class StaticFilesTest : public ::testing::Test {
protected:
    StaticFilesTest()
        : root(fs::temp_directory_path() / ("pontivo-files-" + std::to_string(std::random_device{}())))
        , folder(root / "files")
    {
        fs::create_directories(folder / "sub" / "inner");
        fs::create_directories(folder / "site");
        Write(root / "secret.txt", "secret");
        Write(folder / "page.html", "[server] [server_ip] [server_port] [Server]");
        Write(folder / "empty.txt", "");
        Write(folder / "a b#%'.txt", "odd");
        Write(folder / "sub" / "z.txt", "z");
        Write(folder / "sub" / "a.txt", "a");
        Write(folder / "site" / "index.html", "home [server_port]");
        fs::create_symlink(folder / "page.html", folder / "inside-link");
        fs::create_symlink(root / "secret.txt", folder / "out-file");
        fs::create_directory_symlink(root, folder / "out-dir");
    }
    ~StaticFilesTest() override { fs::remove_all(root); }

    std::string Serve(const Segments& segments)
    {
        std::string body;
        FileBody file;
        files.ServeFiles(segments, body, file);
        while (ReadFileBody(file, body, 1 << 20)) {
        }
        return body;
    }

    std::string NotFound(const std::string& relative) const
    {
        return "Sorry! <b>" + folder.string() + "/" + relative + "</b> not found.";
    }

    const fs::path root;
    const fs::path folder;
    int addressLookups = 0;
    StaticFiles files{folder, [this] {
                          ++addressLookups;
                          return ServerAddress{"host", "10.1.2.3", 8085};
                      }};
};

TEST_F(StaticFilesTest, MapsTargetsToFilesIndexPagesAndNotFound)
{
    const std::vector<std::pair<Segments, std::string>> cases{
        {{"files", "page.html"}, "host:8085 10.1.2.3 8085 [Server]"},
        {{"FILES", "page.html?v=2"}, "host:8085 10.1.2.3 8085 [Server]"},
        {{"files", "pa%67e.html"}, "host:8085 10.1.2.3 8085 [Server]"},
        {{"files", "inside-link"}, "host:8085 10.1.2.3 8085 [Server]"},
        {{"files", "site"}, "home 8085"},
        {{"files", "site", "?x=1/y"}, "home 8085"},
        {{"files", "a%20b%23%25%27.txt"}, "odd"},
        {{"files", "empty.txt"}, ""},
        {{"files", "nosuch"}, NotFound("nosuch")},
        {{"files", "sub", "nosuch"}, NotFound("sub/nosuch")},
        {{"files", "%3Ci%3E'"}, NotFound("&lt;i&gt;&#39;")},
    };
    for (const auto& [segments, body] : cases)
        EXPECT_EQ(Serve(segments), body) << segments.back();
}

TEST_F(StaticFilesTest, NothingOutsideTheFolderIsReached)
{
    const std::vector<Segments> cases{
        {"files", ".."},
        {"files", "..", "secret.txt"},
        {"files", "%2E%2e", "secret.txt"},
        {"files", "sub", "..", "..", "secret.txt"},
        {"files", "..%2Fsecret.txt"},
        {"files", "out-file"},
        {"files", "out-dir"},
        {"files", "out-dir", "secret.txt"},
    };
    for (const Segments& segments : cases) {
        const std::string body = Serve(segments);
        EXPECT_EQ(body.rfind("Sorry! <b>", 0), 0u) << body;
        EXPECT_TRUE(body.ends_with("</b> not found.")) << body;
    }
}

TEST_F(StaticFilesTest, ListsSubFoldersThenFilesByNameWithAParentLinkBelowTheTop)
{
    EXPECT_EQ(Serve({"files", "sub"}), "<a href='/files'>..</a><br/>"
                                       "<a href='/files/sub/inner'>inner</a><br/>"
                                       "<a href='/files/sub/a.txt'>a.txt</a><br/>"
                                       "<a href='/files/sub/z.txt'>z.txt</a><br/>");
    EXPECT_EQ(Serve({"files", "sub", "inner"}), "<a href='/files/sub'>..</a><br/>");
    // Links that lead outside are left out; the top has no parent link.
    EXPECT_EQ(Serve({"files"}), "<a href='/files/site'>site</a><br/>"
                                "<a href='/files/sub'>sub</a><br/>"
                                "<a href='/files/a%20b%23%25%27.txt'>a b#%&#39;.txt</a><br/>"
                                "<a href='/files/empty.txt'>empty.txt</a><br/>"
                                "<a href='/files/inside-link'>inside-link</a><br/>"
                                "<a href='/files/page.html'>page.html</a><br/>");
    EXPECT_EQ(Serve({"files", "?x"}), Serve({"files"}));
}

TEST_F(StaticFilesTest, EveryListedEntryOpensFromItsOwnLink)
{
    Write(folder / "sub" / "100% \"q\" <&>.txt", "found");
    const std::string listing = Serve({"files", "sub"});
    int links = 0;
    for (std::size_t at = listing.find("href='"); at != std::string::npos; at = listing.find("href='", at)) {
        at += 6;
        const std::string href = listing.substr(at, listing.find('\'', at) - at);
        EXPECT_EQ(Serve(SplitTarget(href)).rfind("Sorry!", 0), std::string::npos) << href;
        ++links;
    }
    EXPECT_EQ(links, 5);
}

TEST_F(StaticFilesTest, PlaceholdersAreReplacedInOrderAndLookedUpOnlyWhenPresent)
{
    std::string text = "[server]|[server_ip]|[server_port]|[SERVER]";
    FillPlaceholders(text, [] { return ServerAddress{"h[server_port]", "ip", 80}; });
    EXPECT_EQ(text, "h80:80|ip|80|[SERVER]"); // the host name's own "[server_port]" is replaced too

    Serve({"files", "empty.txt"});
    Serve({"files", "sub"});
    EXPECT_EQ(addressLookups, 0);
}

TEST_F(StaticFilesTest, LargeFilesGoOutFromTheFileUnlessTheyHoldAPlaceholder)
{
    std::string bytes(StaticFiles::kSendFromFileBytes + 100, '\0');
    std::mt19937 random(7);
    for (char& c : bytes)
        c = static_cast<char>(random() % 91); // below '[': no placeholder by chance
    Write(folder / "plain.bin", bytes);
    std::string body;
    FileBody file;
    files.ServeFiles({"files", "plain.bin"}, body, file);
    ASSERT_TRUE(file);
    EXPECT_EQ(file.size, bytes.size());
    EXPECT_EQ(Serve({"files", "plain.bin"}), bytes);

    // A placeholder across the boundary of the pieces it is scanned in still counts.
    bytes.replace(256 * 1024 - 3, 13, "[server_port]");
    Write(folder / "templated.bin", bytes);
    EXPECT_EQ(Serve({"files", "templated.bin"}).substr(256 * 1024 - 3, 4), "8085");
    EXPECT_EQ(addressLookups, 1);
}

TEST_F(StaticFilesTest, OversizedFileIsRefusedWithoutReadingIt)
{
    const fs::path huge = folder / "huge.bin";
    Write(huge, "");
    fs::resize_file(huge, StaticFiles::kMaxFileBytes + 1); // sparse: costs no disk
    EXPECT_EQ(Serve({"files", "huge.bin"}), "Sorry! <b>" + huge.string() + "</b> could not be read.");
}

} // namespace
} // namespace pontivo
