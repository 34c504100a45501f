#include "FakeSerialOutput.h"
#include "RequestDispatcher.h"
#include "VariableCommands.h"
#include "VariableStore.h"

#include <gtest/gtest.h>

namespace pontivo {
namespace {

class RequestDispatcherTest : public ::testing::Test {
protected:
    VariableStore store;
    FakeSerialOutput port;
    VariableCommands commands{store, port};
    RequestDispatcher dispatcher{commands, "Pontivo 2.0", [] { return std::string("75600.5"); },
                                 [] { return std::int16_t{16}; }};

    std::string Body(const std::string& target)
    {
        const std::string response = dispatcher.Respond("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
        return response.substr(response.find("\r\n\r\n") + 4);
    }
};

TEST_F(RequestDispatcherTest, TestAnswersExactBytes)
{
    EXPECT_EQ(dispatcher.Respond("GET /test/ HTTP/1.1\r\n\r\n"),
              "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: Pontivo 2.0\r\nContent-Length: 2\r\n\r\nOK");
}

TEST_F(RequestDispatcherTest, BuiltInCommands)
{
    const std::vector<std::pair<std::string, std::string>> cases{
        {"/", "OK"},          {"//", "OK"},           {"/TEST/a/b", "OK"}, {"/timer", "75600.5"},
        {"/Timer/x", "75600.5"}, {"/com", "16"},      {"/nosuch", ""},     {"/test?x=1", ""},
        {"/get/a/b/c", ""},   {"/files/x", ""},
    };
    for (const auto& [target, body] : cases)
        EXPECT_EQ(Body(target), body) << target;
}

TEST_F(RequestDispatcherTest, OtherMethodsGetAnEmptyBodyButStillTheCorsLine)
{
    for (const std::string method : {"HEAD", "OPTIONS", "get", "DELETE"}) {
        const std::string response = dispatcher.Respond(method + " /test HTTP/1.1\r\nOrigin: o\r\n\r\n");
        EXPECT_EQ(response, "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: Pontivo 2.0\r\n"
                            "Access-Control-Allow-Origin: o\r\nContent-Length: 0\r\n\r\n")
            << method;
    }
}

TEST_F(RequestDispatcherTest, PostBodyIsNotRead)
{
    const std::string response = dispatcher.Respond("POST /test HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc");
    EXPECT_EQ(response.substr(response.size() - 2), "OK");
}

TEST_F(RequestDispatcherTest, VariableCommandsReachTheStoreWithNamesKeepingTheirCase)
{
    EXPECT_EQ(Body("/SET/Temp/5"), "5");
    EXPECT_EQ(port.lines, (std::vector<std::string>{"Temp=5\n"}));
    EXPECT_EQ(Body("/get/Temp"), "5");
    EXPECT_EQ(Body("/get/temp"), "");
    EXPECT_EQ(Body("/put/b/2"), "2");
    EXPECT_EQ(Body("/get/"), "Temp=5\r\nb=2\r\n");
    EXPECT_EQ(Body("/reset/x/y"), "");
    EXPECT_EQ(store.Count(), 0u);
}

TEST_F(RequestDispatcherTest, FilesCommandGoesToItsHandlerWithAllSegments)
{
    Segments seen;
    dispatcher.SetFilesHandler([&](const Segments& segments, std::string& body, FileBody&) {
        seen = segments;
        body = "page";
    });
    EXPECT_EQ(Body("/FILES/Examples/"), "page");
    EXPECT_EQ(seen, (Segments{"FILES", "Examples"}));
}

} // namespace
} // namespace pontivo
