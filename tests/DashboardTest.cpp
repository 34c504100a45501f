#include "api/Dashboard.h"
#include "http/HttpRequest.h"

#include <gtest/gtest.h>

#include <string_view>

using namespace pontivo;

namespace {

std::string Answer(std::string_view target, bool recording = false)
{
    return DashboardAnswer("Pontivo", SplitTarget(target), {}, recording);
}

std::string HeadLine(const std::string& answer, std::string_view name)
{
    const std::size_t start = answer.find(std::string(name) + ": ");
    return start == std::string::npos ? std::string() : answer.substr(start, answer.find("\r\n", start) - start);
}

} // namespace

TEST(DashboardTest, AnswersItsFilesWithTheirTypesAndNothingElse)
{
    const struct {
        std::string_view target;
        std::string_view status;
        std::string_view type;
    } cases[] = {
        {"/ui", "200", "text/html; charset=utf-8"}, {"/ui/", "200", "text/html; charset=utf-8"},
        {"/UI/?reload=1", "200", "text/html; charset=utf-8"}, {"/ui/dashboard.css", "200", "text/css; charset=utf-8"},
        {"/ui/dashboard.js", "200", "text/javascript; charset=utf-8"}, {"/ui/chart.js?v=2", "200", "text/javascript; charset=utf-8"},
        {"/ui/missing.js", "404", "text/plain; charset=utf-8"}, {"/ui/x/index.html", "404", "text/plain; charset=utf-8"},
        {"/ui/..%2Findex.html", "404", "text/plain; charset=utf-8"},
    };
    for (const auto& [target, status, type] : cases) {
        SCOPED_TRACE(target);
        const std::string answer = Answer(target);
        EXPECT_EQ(answer.substr(9, 3), status);
        EXPECT_EQ(HeadLine(answer, "Content-Type"), "Content-Type: " + std::string(type));
        EXPECT_TRUE(status != "200" || HeadLine(answer, "Content-Security-Policy").find("default-src 'self'") != std::string::npos);
    }
}

// The page asks for history only when told the server records.
TEST(DashboardTest, ThePageSaysWhetherTheServerRecords)
{
    EXPECT_NE(Answer("/ui/", false).find(R"(data-recording="no")"), std::string::npos);
    EXPECT_NE(Answer("/ui/", true).find(R"(data-recording="yes")"), std::string::npos);
    EXPECT_EQ(Answer("/ui/dashboard.js", true).find(R"(data-recording="yes")"), std::string::npos);
}
