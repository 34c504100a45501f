#include "FakeSerialOutput.h"
#include "api/RequestDispatcher.h"
#include "http/HttpRequest.h"
#include "store/VariableCommands.h"
#include "store/VariableStore.h"

#include <gtest/gtest.h>

using namespace pontivo;

namespace {

enum class Port { Open, Closed, Failing, OpenStoreFull };

struct World {
    explicit World(Port state = Port::Open)
    {
        port.open = state != Port::Closed;
        port.failWrites = state == Port::Failing;
        using Pairs = std::initializer_list<std::pair<const char*, const char*>>;
        for (const auto& [name, value] : Pairs{{"t1", "1"}, {"T2", "2"}, {"x", "9"}, {"t3", "3"}})
            store.Add(name, value);
        if (state == Port::OpenStoreFull)
            store.SetCapacity(store.SizeBytes());
        dispatcher.SetFilesHandler(
            [](const Segments& all, std::string& body, FileBody&) { body = ::testing::PrintToString(all); });
    }
    // Every request carries a body, which no command reads.
    std::string Body(const std::string& start)
    {
        const std::string response = dispatcher.Reply(ParseRequest(start + " HTTP/1.1\r\nContent-Length: 8\r\n\r\n/reset/x")).text;
        return response.substr(response.find("\r\n\r\n") + 4);
    }
    std::string Contents() const
    {
        std::string text;
        store.ForEach([&text](const std::string& name, const std::string& v) { text += " " + name + "=" + v; });
        return text.empty() ? text : text.substr(1);
    }

    VariableStore store;
    FakeSerialOutput port;
    VariableCommands commands{store, port};
    RequestDispatcher dispatcher{commands, "Pontivo 2.0", [] { return std::string("75600.5"); },
                                 [] { return std::int16_t{16}; }};
};

using Lines = std::vector<std::string>;

TEST(CommandsTest, EachRequestFromTheSameStore)
{
    constexpr Port O = Port::Open;
    const std::string start = "t1=1 T2=2 x=9 t3=3";
    const std::string t1Is0 = "t1=0 T2=2 x=9 t3=3";
    // request, port, body, store afterwards, lines to the board
    std::vector<std::tuple<std::string, Port, std::string, std::string, Lines>> rows{
        {"GET /", O, "OK", start, {}}, {"GET /TEST/a/b", O, "OK", start, {}}, {"GET /com", O, "16", start, {}},
        {"GET /timer", O, "75600.5", start, {}}, {"GET /Get/T2", O, "2", start, {}},
        {"GET /get", O, "t1=1\r\nT2=2\r\nx=9\r\nt3=3\r\n", start, {}},
        {"GET /getlike/t#", O, "t1=1\r\nt3=3\r\n", start, {}},
        {"GET /set/t1/0", O, "0", t1Is0, {"t1=0\n"}}, {"GET /set/t1/0", Port::Closed, "0", t1Is0, {}},
        {"GET /set/New/x=y", O, "x=y", start + " New=x=y", {"New=x=y\n"}},
        {"GET /setlike/t#/0", Port::Failing, "", "t1=0 T2=2 x=9 t3=0", {"t1=0\n", "t3=0\n"}},
        {"GET /put/t1/z", O, "z", "t1=z T2=2 x=9 t3=3", {}}, {"GET /putlike/t#/z", O, "", "t1=z T2=2 x=9 t3=z", {}},
        {"GET /push/x", O, "", start, {"x=9\n"}}, {"GET /pushlike/t#", O, "", start, {"t1=1\n", "t3=3\n"}},
        {"GET /unset/x", O, "", "t1=1 T2=2 t3=3", {}}, {"GET /unsetlike/t#", O, "", "T2=2 x=9", {}},
        {"GET /reset/x/y", O, "", "", {}}, {"GET /FILES/Ex/a", O, R"({ "FILES", "Ex", "a" })", start, {}},
        {"GET /set/New/1", Port::OpenStoreFull, "", start, {}}, {"GET /put/New/1", Port::OpenStoreFull, "", start, {}},
        {"GET /set/t1/10", Port::OpenStoreFull, "10", "t1=10 T2=2 x=9 t3=3", {"t1=10\n"}},
        {"PUT /set/t1/0", O, "0", t1Is0, {"t1=0\n"}}, {"POST /set/t1/0", O, "0", t1Is0, {"t1=0\n"}},
        {"GET /set/t1/a\rb", O, "a\rb", "t1=a\rb T2=2 x=9 t3=3", {"(skipped)\n"}}, // kept, but no line with CR inside
    };
    // A wrong segment count, an unknown name or command, another method: nothing at all.
    for (const char* request : {"GET /get/t2", "GET /get/t1/x", "GET /getlike", "GET /getlike/t#/x", "GET /set/t1",
                                "GET /set/t1/0/x", "GET /setlike/t#", "GET /setlike/t#/0/x", "GET /put/t1",
                                "GET /putlike/t#", "GET /push/missing", "GET /push", "GET /push/x/y", "GET /pushlike",
                                "GET /pushlike/t#/x", "GET /unset", "GET /unset/x/y", "GET /unsetlike",
                                "GET /unsetlike/t#/x", "GET /nosuch/t1", "HEAD /set/t1/0", "OPTIONS /set/t1/0",
                                "get /set/t1/0"})
        rows.emplace_back(request, O, "", start, Lines{});
    for (const auto& [request, port, body, contents, lines] : rows) {
        World world(port);
        const std::string answer = world.Body(request);
        EXPECT_EQ(std::tuple(answer, world.Contents(), world.port.lines), std::tie(body, contents, lines)) << request;
    }
    EXPECT_EQ(World().dispatcher.Reply(ParseRequest("HEAD /test HTTP/1.1\r\nOrigin: o\r\n\r\n")).text,
              "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: Pontivo 2.0\r\n"
              "Access-Control-Allow-Origin: o\r\nX-Content-Type-Options: nosniff\r\nContent-Length: 0\r\n\r\n");
}

// The table's flag against what each command really does: run with one and with two
// arguments, a command changes the store or writes to the board exactly when it is
// flagged as writing, and exactly then a page from a listed-out origin is refused it.
TEST(CommandsTest, TheWritersFlaggedInTheTableAreTheOnesRefusedToAForeignOrigin)
{
    AccessRules foreignOnly;
    ASSERT_EQ(ReadOriginList("http://a", foreignOnly.allowedOrigins), "");
    const std::string untouched = World().Contents();
    for (const RequestDispatcher::Command& command : RequestDispatcher::Commands()) {
        bool changed = false;
        for (const char* arguments : {"/t1", "/t1/0"}) {
            const std::string request = "GET /" + std::string(command.name) + arguments;
            World open;
            open.Body(request);
            changed |= open.Contents() != untouched || !open.port.lines.empty();
            World guarded;
            guarded.dispatcher.SetAccessRules(foreignOnly);
            const Response answer = guarded.dispatcher.Reply(ParseRequest(request + " HTTP/1.1\r\nHost: b\r\nOrigin: http://b\r\n\r\n"));
            EXPECT_EQ(answer.text.starts_with("HTTP/1.1 403 "), command.effect == Effect::Writes) << request;
        }
        EXPECT_EQ(changed, command.effect == Effect::Writes) << command.name;
    }
}

// The writes by name report what became of them: the JSON API's 507 and the broker's refusal come from here.
TEST(CommandsTest, WritesByNameSayWhetherTheyWereDoneRefusedOrFoundTheStoreFull)
{
    const auto [done, full, refused] = std::tuple(StoreWrite::Done, StoreWrite::StoreFull, StoreWrite::Refused);
    const auto [keep, refuse] = std::tuple(UnsafeLine::KeepValue, UnsafeLine::Refuse);
    const std::string start = "t1=1 T2=2 x=9 t3=3";
    // set or put, port, name, value, on an unsafe line, result, store afterwards, lines to the board
    const std::vector<std::tuple<bool, Port, std::string, std::string, UnsafeLine, StoreWrite, std::string, Lines>> rows{
        {true, Port::Open, "x", "0", refuse, done, "t1=1 T2=2 x=0 t3=3", {"x=0\n"}},
        {true, Port::OpenStoreFull, "n", "0", keep, full, start, {}}, {false, Port::OpenStoreFull, "n", "0", keep, full, start, {}},
        {true, Port::OpenStoreFull, "x", "0", keep, done, "t1=1 T2=2 x=0 t3=3", {"x=0\n"}},
        {true, Port::Open, "x", "a\nb", refuse, refused, start, {}}, {true, Port::Open, "x\r", "0", refuse, refused, start, {}},
        {true, Port::Open, "x", "a\nb", keep, done, "t1=1 T2=2 x=a\nb t3=3", {"(skipped)\n"}},
        {false, Port::Open, "n", "1", keep, done, start + " n=1", {}},
    };
    for (const auto& [set, port, name, value, unsafe, result, contents, lines] : rows) {
        World world(port);
        const StoreWrite wrote = set ? world.commands.SetValue(name, value, unsafe) : world.commands.PutValue(name, value);
        EXPECT_EQ(std::tuple(wrote, world.Contents(), world.port.lines), std::tie(result, contents, lines)) << name << value;
    }
    World world;
    const bool first = world.commands.UnsetName("x");
    EXPECT_EQ(std::pair(first, world.commands.UnsetName("x")), std::pair(true, false));
}

TEST(CommandsTest, BoardLineSafeOnlyWithoutCrOrLfAnywhere)
{
    for (const auto& [name, value, safe] : std::vector<std::tuple<std::string, std::string, bool>>{{"", "", true},
             {"a b", "=\t\x7f", true}, {"\ra", "b", false}, {"a\n", "b", false}, {"a", "\nb", false}, {"a", "b\r", false}})
        EXPECT_EQ(BoardLineSafe(name, value), safe) << name << value;
}

// The port can close between two lines of one request.
TEST(CommandsTest, SetLikeAsksThePortBeforeEachLine)
{
    World world;
    world.port.afterOutput = [&world] { world.port.open = false; };
    world.Body("GET /setlike/t#/0");
    EXPECT_EQ(world.port.lines, Lines{"t1=0\n"});
}

} // namespace
