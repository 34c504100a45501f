// LikePattern against a plain reference matcher that reads the pattern text
// directly (memoised recursion), and a bound on the time of one call.
#include "FuzzCheck.h"
#include "store/LikePattern.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <time.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Quadratic at worst: a few thousand bytes each side stay far below this, even instrumented.
constexpr std::chrono::milliseconds kCallBound(200);

// CPU time of this thread: a busy machine may pause the fuzzer, but not bill it for the pause.
std::chrono::nanoseconds ThreadCpuTime()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// Whether the list "[...]" starting at `open` accepts c; nullopt when it is malformed.
std::optional<bool> ListAccepts(std::string_view pattern, std::size_t open, unsigned char c, std::size_t& next)
{
    const std::size_t close = pattern.find(']', open + 1);
    if (close == std::string_view::npos)
        return std::nullopt;
    next = close + 1;
    std::string_view list = pattern.substr(open + 1, close - open - 1);
    const bool negated = list.starts_with('!');
    if (negated)
        list.remove_prefix(1);
    bool in = false;
    for (std::size_t k = 0; k < list.size();) {
        const bool range = k > 0 || list[0] != '-' ? k + 2 < list.size() && list[k + 1] == '-' : false;
        if (range) {
            const auto low = static_cast<unsigned char>(list[k]);
            const auto high = static_cast<unsigned char>(list[k + 2]);
            if (low > high)
                return std::nullopt;
            in = in || (low <= c && c <= high);
            k += 3;
        } else {
            in = in || static_cast<unsigned char>(list[k]) == c;
            ++k;
        }
    }
    return in != negated;
}

bool Valid(std::string_view pattern)
{
    if (pattern.size() > pontivo::LikePattern::kMaxBytes)
        return false;
    for (std::size_t i = 0; i < pattern.size();) {
        std::size_t next = i + 1;
        if (pattern[i] == '[' && !ListAccepts(pattern, i, 0, next))
            return false;
        i = next;
    }
    return true;
}

class Reference {
public:
    Reference(std::string_view pattern, std::string_view name)
        : m_pattern(pattern), m_name(name), m_memo((pattern.size() + 1) * (name.size() + 1), -1)
    {
    }

    bool Matches(std::size_t p, std::size_t n)
    {
        signed char& memo = m_memo[p * (m_name.size() + 1) + n];
        if (memo < 0)
            memo = Step(p, n) ? 1 : 0;
        return memo == 1;
    }

private:
    bool Step(std::size_t p, std::size_t n)
    {
        if (p == m_pattern.size())
            return n == m_name.size();
        if (m_pattern[p] == '*')
            return Matches(p + 1, n) || (n < m_name.size() && Matches(p, n + 1));
        if (n == m_name.size())
            return false;
        const auto c = static_cast<unsigned char>(m_name[n]);
        std::size_t next = p + 1;
        bool accepted = false;
        switch (m_pattern[p]) {
        case '?': accepted = true; break;
        case '#': accepted = c >= '0' && c <= '9'; break;
        case '[': accepted = ListAccepts(m_pattern, p, c, next).value_or(false); break;
        default: accepted = static_cast<unsigned char>(m_pattern[p]) == c;
        }
        return accepted && Matches(next, n + 1);
    }

    std::string_view m_pattern;
    std::string_view m_name;
    std::vector<signed char> m_memo;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    const std::string pattern = provider.ConsumeRandomLengthString(2048);
    const std::string name = provider.ConsumeRemainingBytesAsString();

    const auto start = ThreadCpuTime();
    const bool matches = pontivo::LikePattern(pattern).Matches(name);
    auto took = ThreadCpuTime() - start;
    // A virtual machine bills stolen time to whichever thread was running, so a slow call
    // counts only when it is slow every time.
    for (int again = 0; again < 2 && took >= kCallBound; ++again) {
        const auto retry = ThreadCpuTime();
        pontivo::LikePattern(pattern).Matches(name);
        took = std::min(took, ThreadCpuTime() - retry);
    }
    FUZZ_CHECK(took < kCallBound);

    const bool expected = Valid(pattern) && Reference(pattern, name).Matches(0, 0);
    FUZZ_CHECK(matches == expected);
    return 0;
}
