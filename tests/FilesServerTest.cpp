#include "CoreHarness.h"
#include "HttpServer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

namespace fs = std::filesystem;

namespace pontivo {
namespace {

using namespace pontivo::testing;

std::string RandomBytes(std::size_t size)
{
    std::mt19937 random(11);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

class FilesServerTest : public ::testing::Test {
protected:
    FilesServerTest()
        : root(fs::temp_directory_path() / ("pontivo-served-" + std::to_string(std::random_device{}())))
        , core(SettingsFor(), {}, QString::fromStdString((root / "files").string()))
    {
        fs::create_directories(root / "files" / "sub");
        WriteFile(root / "secret.txt", "secret-content");
        core.ChangeState();
    }
    ~FilesServerTest() override { fs::remove_all(root); }

    std::string Get(const std::string& target, const std::string& headers = "")
    {
        auto future = StartClient(core.ListeningPort(), {{{"GET " + target + " HTTP/1.1\r\n" + headers + "\r\n"}}});
        return Await(future).received;
    }

    const fs::path root;
    ServerCore core;
};

TEST_F(FilesServerTest, FilesOfAnySizeComeBackByteForByte)
{
    // Small files are answered from memory, large ones from the file: both must be exact.
    for (const std::size_t size : {std::size_t{0}, std::size_t{5000}, std::size_t{3 * 1024 * 1024 + 7}}) {
        std::string bytes = RandomBytes(size);
        for (std::size_t at = bytes.find('['); at != std::string::npos; at = bytes.find('[', at))
            bytes[at] = ']'; // no placeholder by chance
        WriteFile(root / "files" / "sub" / "blob.bin", bytes);
        EXPECT_EQ(Get("/files/sub/blob.bin", "Origin: http://o.test\r\n"),
                  kHead + "Access-Control-Allow-Origin: http://o.test\r\nContent-Length: " + std::to_string(size) +
                      "\r\n\r\n" + bytes)
            << size;
    }
}

TEST_F(FilesServerTest, PlaceholdersCarryTheListeningPort)
{
    WriteFile(root / "files" / "page.html", "port=[server_port]");
    EXPECT_EQ(BodyOf(Get("/files/page.html")), "port=" + std::to_string(core.ListeningPort()));
}

TEST_F(FilesServerTest, TraversalAttemptsGetTheNotFoundPage)
{
    for (const std::string target :
         {"/files/../secret.txt", "/files/%2e%2e/secret.txt", "/files/sub/../../secret.txt", "/files/..%2fsecret.txt"}) {
        const std::string response = Get(target);
        EXPECT_EQ(response.rfind(kHead, 0), 0u) << target;
        EXPECT_EQ(BodyOf(response).rfind("Sorry! <b>", 0), 0u) << target;
        EXPECT_EQ(response.find("secret-content"), std::string::npos) << target;
    }
}

// The server sends a file body piece by piece; one that ends early must not leave the client waiting.
TEST(FileBodyTest, IsSentWholeAndAFileEndingEarlyClosesTheConnection)
{
    const fs::path path = fs::temp_directory_path() / ("pontivo-body-" + std::to_string(std::random_device{}()));
    const std::string bytes = RandomBytes(2 * 1024 * 1024 + 3);
    WriteFile(path, bytes);
    std::uint64_t announced = bytes.size();
    HttpServer server(
        [&](std::string_view) {
            FileBody file;
            file.file.reset(std::fopen(path.c_str(), "rb"));
            file.size = announced;
            return Response("head|", std::move(file));
        },
        {});
    QString error;
    ASSERT_TRUE(server.Listen(FreePort(), error)) << error.toStdString();

    auto whole = StartClient(server.Port(), {{{"GET / HTTP/1.1\r\n\r\n"}}});
    EXPECT_EQ(Await(whole).received, "head|" + bytes);

    announced = bytes.size() + 100;
    auto cut = StartClient(server.Port(), {{{"GET / HTTP/1.1\r\n\r\n"}}});
    const Exchange exchange = Await(cut);
    EXPECT_TRUE(exchange.closedByServer);
    EXPECT_EQ(exchange.received, "head|" + bytes);
    fs::remove(path);
}

} // namespace
} // namespace pontivo
