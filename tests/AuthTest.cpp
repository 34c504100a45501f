#include "FakeSerialOutput.h"
#include "api/JsonApi.h"
#include "api/RequestDispatcher.h"
#include "http/Authenticator.h"
#include "http/HttpRequest.h"
#include "http/Secrets.h"
#include "http/UsersFile.h"
#include "store/VariableCommands.h"
#include "store/VariableStore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <sys/stat.h>

using namespace pontivo;

namespace {

std::string Basic(std::string_view userAndPassword)
{
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < userAndPassword.size(); i += 3) {
        unsigned value = 0;
        for (std::size_t k = 0; k < 3; ++k)
            value = value << 8 | (i + k < userAndPassword.size() ? static_cast<unsigned char>(userAndPassword[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k)
            out += k <= (userAndPassword.size() - i) ? kDigits[(value >> (18 - 6 * k)) & 63] : '=';
    }
    return "Basic " + out;
}

TEST(AuthorizationTest, SchemesAndMalformedLines)
{
    using Kind = Credentials::Kind;
    const std::string tooLong = Basic("a:" + std::string(kMaxAuthorizationBytes, 'x'));
    const std::vector<std::tuple<std::optional<std::string>, Kind, std::string, std::string>> table{
        {std::nullopt, Kind::None, "", ""},
        {Basic("alice:s3cret"), Kind::Basic, "alice", "s3cret"},
        {"bAsIc  " + Basic("a:b:c").substr(6), Kind::Basic, "a", "b:c"}, // any case, the password may hold colons
        {Basic("a:"), Kind::Basic, "a", ""},
        {"Bearer 0123abcdef", Kind::Bearer, "", "0123abcdef"},
        {"Digest username=alice", Kind::Malformed, "", ""},  // wrong scheme
        {"Basic", Kind::Malformed, "", ""},                  // nothing after it
        {"Basic YWxpY2U6cHc", Kind::Malformed, "", ""},      // padding missing
        {"Basic YWxp!2U6cHc=", Kind::Malformed, "", ""},     // not base64
        {Basic("alicepw"), Kind::Malformed, "", ""},         // no colon
        {Basic(":pw"), Kind::Malformed, "", ""},             // empty user
        {Basic(std::string("al\0ce:pw", 8)), Kind::Malformed, "", ""},
        {Basic("alice:p\tw"), Kind::Malformed, "", ""},
        {tooLong, Kind::Malformed, "", ""},                  // an 8 KB line goes the same way
        {"Bearer two words", Kind::Malformed, "", ""},
        {"Bearer ", Kind::Malformed, "", ""},
    };
    for (const auto& [line, kind, user, secret] : table) {
        const Credentials read = ReadAuthorization(line ? std::optional<std::string_view>(*line) : std::nullopt);
        EXPECT_EQ(read.kind, kind) << line.value_or("(none)");
        EXPECT_EQ(read.user, user) << line.value_or("(none)");
        EXPECT_EQ(read.secret, secret) << line.value_or("(none)");
    }
}

TEST(UserTableTest, ReadsWhatItWritesAndNamesTheWrongLine)
{
    const std::string hash = "$argon2id$v=19$m=19456,t=2,p=1$c2FsdA$aGFzaA";
    const std::string token = "token:" + std::string(64, 'a');
    std::vector<UserEntry> users{{"alice", Role::Write, hash}, {"ci.bot@x-1", Role::Read, token}};
    std::vector<UserEntry> read;
    ASSERT_EQ(ReadUserTable("# c\r\n\n" + WriteUserTable(users), read), "");
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[1].name, "ci.bot@x-1");
    EXPECT_TRUE(read[1].IsToken());
    EXPECT_EQ(read[0].role, Role::Write);

    const std::vector<std::pair<std::string, std::string>> wrong{
        {"alice write", "line 1: expected NAME ROLE SECRET"},
        {"alice admin " + hash, "line 1: the role is not read or write"},
        {"al ice read " + hash, "line 1: the role is not read or write"},
        {std::string(65, 'a') + " read " + hash, "line 1: the name is not 1 to 64 letters, digits or ._@-"},
        {"a:b read " + hash, "line 1: the name is not 1 to 64 letters, digits or ._@-"},
        {"a read $2y$10$bcrypt", "line 1: the secret is neither an argon2id hash nor a token digest"},
        {"a read token:" + std::string(63, 'a'), "line 1: the secret is neither an argon2id hash nor a token digest"},
        {"a read token:" + std::string(64, 'A'), "line 1: the secret is neither an argon2id hash nor a token digest"},
        {"\na read " + hash + "\na write " + token, "line 3: a is there twice"},
    };
    for (const auto& [text, reason] : wrong) {
        EXPECT_EQ(ReadUserTable(text, read), reason) << text;
        EXPECT_EQ(read.size(), 2u) << "nothing kept from a wrong file";
    }
    PutUser(users, {"alice", Role::Read, token});
    EXPECT_EQ(users.size(), 2u);
    EXPECT_EQ(users[0].role, Role::Read);
    EXPECT_TRUE(RemoveUser(users, "alice"));
    EXPECT_FALSE(RemoveUser(users, "alice"));
}

TEST(UsersFileTest, CreatedPrivateAndRefusedWhenOthersCanWriteIt)
{
    const auto folder = std::filesystem::temp_directory_path() / ("pontivo-users-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string path = (folder / "users").string();
    std::vector<UserEntry> users;
    EXPECT_TRUE(LoadUsersFile(path, users).starts_with("users file " + path + ": cannot be read: No such file"));
    EXPECT_EQ(LoadUsersFile(path, users, true), "");
    users = {{"bob", Role::Read, "token:" + std::string(64, 'f')}};
    ::umask(0);
    ASSERT_EQ(SaveUsersFile(path, users), "");
    ::umask(022);
    struct stat status = {};
    ::stat(path.c_str(), &status);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    users.clear();
    EXPECT_EQ(LoadUsersFile(path, users), "");
    EXPECT_EQ(users.size(), 1u);
    for (const mode_t mode : {0620, 0602}) {
        ::chmod(path.c_str(), mode);
        EXPECT_EQ(LoadUsersFile(path, users), "users file " + path + ": others can write it; refused (chmod 600 " + path + ")");
    }
    ::chmod(path.c_str(), 0644); // others reading hashes is no way in
    EXPECT_EQ(LoadUsersFile(path, users), "");
    std::ofstream(path) << std::string(1024 * 1024 + 1, '#');
    EXPECT_EQ(LoadUsersFile(path, users), "users file " + path + ": not a users file (a regular file under 1 MiB)");
    std::filesystem::remove_all(folder);
}

TEST(SecretsTest, HashesVerifyOnlyTheirPasswordAndTokensAreRandom)
{
    const auto hash = HashPassword("pässword");
    ASSERT_TRUE(hash);
    EXPECT_TRUE(hash->starts_with("$argon2id$v=19$m=19456,t=2,p=1$"));
    EXPECT_TRUE(VerifyPassword(*hash, "pässword"));
    EXPECT_FALSE(VerifyPassword(*hash, "pässwort"));
    EXPECT_FALSE(VerifyPassword(*hash, std::string_view("pässword\0x", 11)));
    EXPECT_FALSE(VerifyPassword("$argon2id$garbage", "pässword"));
    const std::string a = NewToken();
    EXPECT_EQ(a.size(), 64u);
    EXPECT_NE(a, NewToken());
    EXPECT_EQ(TokenDigest(a), TokenDigest(a));
    EXPECT_NE(TokenDigest(a), TokenDigest(a + "0"));
    EXPECT_FALSE(SameSecret("abc", "abd"));
    EXPECT_FALSE(SameSecret("abc", "ab"));
}

TEST(LoginGuardTest, MoreThanTenFailuresInAMinuteBlockThatClientForAMinute)
{
    LoginGuard guard;
    for (int i = 0; i < LoginGuard::kMaxFailures; ++i)
        EXPECT_FALSE(guard.Failed("a", 1000 + i));
    EXPECT_EQ(guard.BlockedForMs("a", 2000), 0);
    EXPECT_TRUE(guard.Failed("a", 2000));
    EXPECT_FALSE(guard.Failed("a", 2001)) << "said once";
    EXPECT_EQ(guard.BlockedForMs("a", 2000), LoginGuard::kBlockMs);
    EXPECT_EQ(guard.BlockedForMs("a", 2000 + LoginGuard::kBlockMs - 1), 1);
    EXPECT_EQ(guard.BlockedForMs("a", 2001 + LoginGuard::kBlockMs), 0);
    EXPECT_EQ(guard.BlockedForMs("b", 2000), 0);
    // Ten in one minute and one in the next are no attack.
    for (int i = 0; i < LoginGuard::kMaxFailures; ++i)
        guard.Failed("c", 0);
    EXPECT_FALSE(guard.Failed("c", LoginGuard::kWindowMs));

    // Many addresses: the records stay bounded and a blocked one is not crowded out.
    for (int i = 0; i < 10'000; ++i)
        guard.Failed("x" + std::to_string(i), 3000);
    EXPECT_LE(guard.Clients(), LoginGuard::kMaxClients);
    EXPECT_GT(guard.BlockedForMs("a", 3000), 0);
}

TEST(VerifiedCacheTest, RemembersByKeyedHashForAWhileAndWithinItsBound)
{
    VerifiedCache cache;
    EXPECT_NE(cache.KeyOf("ab", "c"), cache.KeyOf("a", "bc"));
    EXPECT_NE(cache.KeyOf("a", "b"), VerifiedCache().KeyOf("a", "b")) << "a key of its own each run";
    const std::string key = cache.KeyOf("a", "b");
    cache.Remember(key, "a", 100);
    EXPECT_EQ(cache.Find(key, 100 + VerifiedCache::kKeepMs - 1), "a");
    EXPECT_EQ(cache.Find(key, 100 + VerifiedCache::kKeepMs), std::nullopt);
    for (std::size_t i = 0; i < VerifiedCache::kMaxEntries; ++i)
        cache.Remember(cache.KeyOf("u" + std::to_string(i), "p"), "u", 200 + static_cast<long long>(i));
    EXPECT_EQ(cache.Size(), VerifiedCache::kMaxEntries);
    EXPECT_EQ(cache.Find(key, 300), std::nullopt) << "the oldest made room";
    EXPECT_EQ(cache.Find(cache.KeyOf("u1", "p"), 300), "u");
    cache.Forget();
    EXPECT_EQ(cache.Size(), 0u);
}

class AuthenticatorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_hash = *HashPassword("pw"); }

    void SetUp() override
    {
        m_auth.SetUsers({{"reader", Role::Read, s_hash}, {"writer", Role::Write, s_hash},
                         {"ro-token", Role::Read, "token:" + TokenDigest(kReadToken)},
                         {"rw-token", Role::Write, "token:" + TokenDigest(kWriteToken)}});
    }
    AuthStep Check(const std::string& head, Effect effect, long long nowMs = 0, const std::string& client = "c")
    {
        m_text = head + "\r\n\r\n";
        return m_auth.Check(ParseRequest(m_text), effect, client, nowMs);
    }
    // Runs the verification the way the server does, off the check.
    AuthStep Login(const std::string& userAndPassword, Effect effect, long long nowMs = 0)
    {
        AuthStep step = Check("GET / HTTP/1.1\r\nAuthorization: " + Basic(userAndPassword), effect, nowMs);
        if (step.verdict != AuthVerdict::Verify)
            return step;
        return m_auth.Finish(step.check, VerifyPassword(step.check.hash, step.check.password), effect, "c", nowMs);
    }

    static constexpr const char* kReadToken = "1111";
    static constexpr const char* kWriteToken = "2222";
    static std::string s_hash;
    Authenticator m_auth;
    std::string m_text;
};
std::string AuthenticatorTest::s_hash;

TEST_F(AuthenticatorTest, RolesDecideWritesForPasswordsAndTokens)
{
    const std::vector<std::tuple<std::string, Effect, AuthVerdict>> table{
        {"reader:pw", Effect::Reads, AuthVerdict::Pass},  {"reader:pw", Effect::Writes, AuthVerdict::Forbidden},
        {"writer:pw", Effect::Writes, AuthVerdict::Pass}, {"writer:px", Effect::Reads, AuthVerdict::Challenge},
        {"nobody:pw", Effect::Reads, AuthVerdict::Challenge}, {"ro-token:pw", Effect::Reads, AuthVerdict::Challenge},
    };
    for (const auto& [login, effect, verdict] : table)
        EXPECT_EQ(Login(login, effect).verdict, verdict) << login;
    const std::vector<std::tuple<std::string, Effect, AuthVerdict>> tokens{
        {kReadToken, Effect::Reads, AuthVerdict::Pass}, {kReadToken, Effect::Writes, AuthVerdict::Forbidden},
        {kWriteToken, Effect::Writes, AuthVerdict::Pass}, {"3333", Effect::Reads, AuthVerdict::Challenge},
        {TokenDigest(kReadToken), Effect::Reads, AuthVerdict::Challenge}, // what the file keeps is no token
    };
    for (const auto& [token, effect, verdict] : tokens)
        EXPECT_EQ(Check("GET / HTTP/1.1\r\nAuthorization: Bearer " + token, effect).verdict, verdict) << token;
    EXPECT_EQ(Check("OPTIONS /api/variables HTTP/1.1", Effect::Reads).verdict, AuthVerdict::Pass);
    EXPECT_EQ(Check("GET /get/a HTTP/1.1", Effect::Reads).verdict, AuthVerdict::Challenge);
}

TEST_F(AuthenticatorTest, AVerifiedLoginIsRememberedUntilItExpiresOrTheUsersAreReadAgain)
{
    ASSERT_EQ(Login("writer:pw", Effect::Writes, 0).verdict, AuthVerdict::Pass);
    const std::string head = "GET / HTTP/1.1\r\nAuthorization: " + Basic("writer:pw");
    EXPECT_EQ(Check(head, Effect::Writes, VerifiedCache::kKeepMs - 1).verdict, AuthVerdict::Pass);
    EXPECT_EQ(Check(head, Effect::Writes, VerifiedCache::kKeepMs).verdict, AuthVerdict::Verify) << "expired";
    EXPECT_EQ(Check("GET / HTTP/1.1\r\nAuthorization: " + Basic("writer:px"), Effect::Reads, 0).verdict,
              AuthVerdict::Verify) << "another password is another login";

    // Read again without the user (SIGHUP): the remembered login goes, and so does a verification under way.
    SetUp(); // read again, the same users: nothing remembered
    const AuthStep pending = Check(head, Effect::Reads, 0);
    ASSERT_EQ(pending.verdict, AuthVerdict::Verify);
    m_auth.SetUsers({{"reader", Role::Read, s_hash}});
    EXPECT_EQ(m_auth.Finish(pending.check, true, Effect::Reads, "c", 0).verdict, AuthVerdict::Challenge);
    EXPECT_EQ(Login("writer:pw", Effect::Reads).verdict, AuthVerdict::Challenge);
    EXPECT_EQ(Login("reader:pw", Effect::Reads).verdict, AuthVerdict::Pass);
}

TEST_F(AuthenticatorTest, UnknownNamesCostAVerificationThatNeverPasses)
{
    const AuthStep step = Check("GET / HTTP/1.1\r\nAuthorization: " + Basic("nobody:pw"), Effect::Reads);
    ASSERT_EQ(step.verdict, AuthVerdict::Verify);
    EXPECT_FALSE(step.check.known);
    EXPECT_EQ(step.check.hash, s_hash);
    EXPECT_EQ(m_auth.Finish(step.check, true, Effect::Reads, "c", 0).verdict, AuthVerdict::Challenge);
}

TEST_F(AuthenticatorTest, FailedAttemptsBlockTheirClientOnlyAndEachRefusalSaysWhy)
{
    for (int i = 0; i < 30; ++i) // a browser's requests before its prompt are no failures
        EXPECT_EQ(Check("GET / HTTP/1.1", Effect::Reads, 0, "a").verdict, AuthVerdict::Challenge);
    const std::string wrong = "GET / HTTP/1.1\r\nAuthorization: Bearer 9999";
    for (int i = 0; i < LoginGuard::kMaxFailures; ++i)
        EXPECT_EQ(Check(wrong, Effect::Reads, 0, "a").verdict, AuthVerdict::Challenge);
    const AuthStep blocked = Check("GET / HTTP/1.1\r\nAuthorization: Basic !", Effect::Reads, 0, "a");
    EXPECT_EQ(blocked.verdict, AuthVerdict::TooMany);
    EXPECT_TRUE(blocked.newlyBlocked);
    const AuthStep still = Check("GET / HTTP/1.1\r\nAuthorization: Bearer 2222", Effect::Reads, 1500, "a");
    EXPECT_EQ(still.verdict, AuthVerdict::TooMany) << "even with the right token";
    EXPECT_FALSE(still.newlyBlocked);
    EXPECT_EQ(Check("GET / HTTP/1.1\r\nAuthorization: Bearer 2222", Effect::Reads, 1500, "b").verdict, AuthVerdict::Pass);

    const std::vector<std::pair<AuthStep, std::string>> refusals{
        {{AuthVerdict::Challenge, 0, false, {}},
         "HTTP/1.1 401 Unauthorized\r\nConnection: close\r\nServer: P\r\nX-Content-Type-Options: nosniff\r\nContent-Type: text/plain; charset=utf-8\r\n"
         "WWW-Authenticate: Basic realm=\"Pontivo\", charset=\"UTF-8\"\r\nContent-Length: 50\r\n\r\n"
         "Log in with a user name and password, or a token.\n"},
        {{AuthVerdict::Forbidden, 0, false, {}}, "HTTP/1.1 403 Forbidden\r\n"},
        {still, "HTTP/1.1 429 Too Many Requests\r\n"},
        {{AuthVerdict::Busy, 0, false, {}}, "HTTP/1.1 503 Service Unavailable\r\n"},
    };
    for (const auto& [step, start] : refusals)
        EXPECT_EQ(AuthRefusal("P", step).substr(0, start.size()), start);
    EXPECT_NE(AuthRefusal("P", still).find("\r\nRetry-After: 59\r\n"), std::string::npos);
    EXPECT_NE(AuthRefusal("P", {AuthVerdict::Busy, 0, false, {}}).find("\r\nRetry-After: 1\r\n"), std::string::npos);
}

// What a reading user may do, for every command and API method: the expectation is written out,
// not derived from the tables that decide it.
TEST(RoleTableTest, ReadingUsersRunEveryReadingCommandAndNoWritingOne)
{
    VariableStore store;
    FakeSerialOutput port;
    VariableCommands commands(store, port);
    RequestDispatcher dispatcher(commands, "P", {}, {});
    JsonApi api(store, commands, [] { return std::string("open /dev/x"); });
    dispatcher.SetJsonApi(&api);
    Authenticator auth;
    auth.SetUsers({{"r", Role::Read, "token:" + TokenDigest("r")}, {"w", Role::Write, "token:" + TokenDigest("w")}});
    const std::vector<std::pair<std::string, bool>> readerMay{
        {"GET /", true}, {"GET /test", true}, {"GET /timer", true}, {"GET /com", true}, {"GET /get/a", true},
        {"GET /getlike/a*", true}, {"GET /events", true}, {"GET /metrics", true}, {"GET /files/index.html", true},
        {"GET /nonsense", true}, {"GET /set/a/1", false}, {"POST /setlike/a*/1", false}, {"PUT /put/a/1", false},
        {"GET /putlike/a*/1", false}, {"GET /push/a/1", false}, {"GET /pushlike/a*/1", false}, {"GET /unset/a", false},
        {"GET /UNSETLIKE/a*", false}, {"GET /reset", false}, {"GET /api/variables", true},
        {"HEAD /api/variables/a", true}, {"GET /api/history/a", true}, {"PUT /api/variables/a", false},
        {"DELETE /api/variables/a", false}, {"OPTIONS /api/variables/a", true},
    };
    for (const auto& [line, allowed] : readerMay) {
        for (const std::string token : {"r", "w"}) {
            const std::string text = line + " HTTP/1.1\r\nAuthorization: Bearer " + token + "\r\n\r\n";
            const HttpRequest request = ParseRequest(text);
            const AuthVerdict verdict = auth.Check(request, dispatcher.RequestEffect(request), "c", 0).verdict;
            EXPECT_EQ(verdict, allowed || token == "w" ? AuthVerdict::Pass : AuthVerdict::Forbidden) << line << " " << token;
        }
    }
}

} // namespace
