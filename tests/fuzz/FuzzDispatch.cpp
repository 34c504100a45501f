// Random request texts through the whole dispatch against one store: every response
// keeps the framing, and the store stays consistent with itself.
#include "http/CorsHeader.h"
#include "FakeSerialOutput.h"
#include "FuzzCheck.h"
#include "http/HttpRequest.h"
#include "api/RequestDispatcher.h"
#include "store/VariableCommands.h"
#include "store/VariableStore.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <charconv>
#include <set>
#include <string>
#include <string_view>

namespace {

using namespace pontivo;

constexpr std::string_view kCaption = "Pontivo 2.0";

// Returns the next header line and moves past it; fails the run when there is no CR LF.
std::string_view TakeLine(std::string_view& rest)
{
    const auto end = rest.find("\r\n");
    FUZZ_CHECK(end != std::string_view::npos);
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end + 2);
    return line;
}

void CheckFraming(std::string_view request, std::string_view response)
{
    std::string_view rest = response;
    const HttpRequest parsed = ParseRequest(request);
    const bool page = parsed.command == "ui"; // the dashboard's files: an unknown one is a 404, each has its type
    const std::string_view status = TakeLine(rest);
    FUZZ_CHECK(status == "HTTP/1.1 200 OK" || (page && status == "HTTP/1.1 404 Not Found"));
    FUZZ_CHECK(TakeLine(rest) == "Connection: close");
    FUZZ_CHECK(TakeLine(rest) == "Server: " + std::string(kCaption));
    std::string_view line = TakeLine(rest);
    const std::string cors = BuildCorsHeader(parsed);
    if (!cors.empty()) {
        FUZZ_CHECK(line == cors);
        line = TakeLine(rest);
    }
    if (line == "X-Content-Type-Options: nosniff")
        line = TakeLine(rest);
    constexpr std::string_view lengthName = "Content-Length: ";
    while (page && !line.empty() && !line.starts_with(lengthName))
        line = TakeLine(rest);
    FUZZ_CHECK(line.starts_with(lengthName));
    line.remove_prefix(lengthName.size());
    std::size_t length = 0;
    const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), length);
    FUZZ_CHECK(error == std::errc() && end == line.data() + line.size());
    FUZZ_CHECK(TakeLine(rest).empty());
    FUZZ_CHECK(rest.size() == length);
}

void CheckStore(const VariableStore& store)
{
    const std::vector<std::string> keys = store.Keys();
    FUZZ_CHECK(keys.size() == store.Count());
    FUZZ_CHECK(std::set<std::string>(keys.begin(), keys.end()).size() == keys.size());
    std::size_t visited = 0;
    store.ForEach([&](const std::string& name, const std::string& value) {
        FUZZ_CHECK(name == keys[visited++]);
        FUZZ_CHECK(store.Exists(name) && store.Item(name) == value);
    });
    FUZZ_CHECK(visited == keys.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    VariableStore store;
    FakeSerialOutput port;
    VariableCommands commands(store, port);
    RequestDispatcher dispatcher(commands, std::string(kCaption), [] { return std::string("75600.5"); },
                                 [] { return std::int16_t{16}; });
    dispatcher.SetFilesHandler([](const Segments& segments, std::string& body, FileBody&) {
        body = std::to_string(segments.size());
    });

    FuzzedDataProvider provider(data, size);
    while (provider.remaining_bytes() > 0) {
        port.open = provider.ConsumeBool();
        port.failWrites = provider.ConsumeBool();
        const std::string request = provider.ConsumeRandomLengthString(4096);
        const Response response = dispatcher.Reply(ParseRequest(request));
        FUZZ_CHECK(!response.file); // the files handler here answers in the text
        CheckFraming(request, response.text);
        CheckStore(store);
    }
    return 0;
}
