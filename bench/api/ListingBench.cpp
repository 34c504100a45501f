// pontivo-listing-bench [VARIABLES]: times GET /api/variables of a store of VARIABLES variables (default 100,000,
// filled as /put fills it) through the parse and the dispatcher, without a socket: the median and the slowest of
// 15 answers, each checked once (every entry parsed). Then the same for 100,000 requests of /get/v1, per request.
#include "FakeSerialOutput.h"
#include "api/JsonApi.h"
#include "api/RequestDispatcher.h"
#include "http/HttpRequest.h"
#include "store/VariableCommands.h"
#include "store/VariableStore.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace pontivo;

namespace {

using Clock = std::chrono::steady_clock;

// "v" + the number, without the operator GCC 12 warns about wrongly.
std::string NameOf(std::size_t number)
{
    std::string name("v");
    return name.append(std::to_string(number));
}

double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool ListingChecks(const std::string& answer, std::size_t count)
{
    const auto variables = nlohmann::json::parse(answer.substr(answer.find("\r\n\r\n") + 4))["variables"];
    std::size_t i = 0;
    for (const auto& variable : variables) {
        if (variable["name"] != NameOf(i) || variable["value"] != std::to_string(i))
            return false;
        ++i;
    }
    return i == count;
}

} // namespace

int main(int argc, char** argv)
{
    const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100'000;
    VariableStore store;
    FakeSerialOutput port;
    VariableCommands commands(store, port);
    for (std::size_t i = 0; i < count; ++i)
        commands.PutValue(NameOf(i), std::to_string(i));
    RequestDispatcher dispatcher(commands, "Pontivo", {}, {});
    JsonApi api(store, commands, [] { return std::string("open /dev/ttyACM0"); });
    dispatcher.SetJsonApi(&api);

    const std::string listing = "GET /api/variables HTTP/1.1\r\nHost: localhost\r\n\r\n";
    std::vector<double> took;
    std::string answer;
    for (int round = 0; round < 15; ++round) {
        const auto start = Clock::now();
        answer = dispatcher.Reply(ParseRequest(listing)).text;
        took.push_back(MsSince(start));
        if (round == 0 && !ListingChecks(answer, count)) {
            std::fprintf(stderr, "the listing is not the store's %zu variables\n", count);
            return 1;
        }
    }
    std::sort(took.begin(), took.end());
    std::printf("GET /api/variables, %zu variables, %zu bytes: median %.1f ms, slowest %.1f ms (15 answers)\n", count,
                answer.size(), took[took.size() / 2], took.back());

    constexpr int kRequests = 100'000;
    const std::string get = "GET /get/v1 HTTP/1.1\r\nHost: localhost:8085\r\nUser-Agent: curl/8.5.0\r\nAccept: */*\r\n\r\n";
    std::size_t bytes = 0;
    const auto start = Clock::now();
    for (int i = 0; i < kRequests; ++i)
        bytes += dispatcher.Reply(ParseRequest(get)).text.size();
    std::printf("GET /get/v1 parsed and answered: %.0f ns per request (%d requests, %zu bytes)\n",
                MsSince(start) * 1e6 / kRequests, kRequests, bytes);
    return 0;
}
