#include "api/JsonText.h"

#include "store/HistorySource.h"
#include "store/Utf8.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <iterator>
#include <utility>

namespace pontivo {
namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    const char lower = static_cast<char>(c | 0x20);
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads `digits` decimal digits at `at` and moves past them; a sign is no digit.
std::optional<int> Digits(std::string_view text, std::size_t& at, std::size_t digits)
{
    if (at + digits > text.size())
        return std::nullopt;
    int value = 0;
    for (const char c : text.substr(at, digits)) {
        if (!IsDigit(c))
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    at += digits;
    return value;
}

// What a spreadsheet reads as a number rather than a formula: an optional sign, digits with at most one
// point, an optional exponent.
bool PlainNumber(std::string_view text)
{
    std::size_t at = text.starts_with('+') || text.starts_with('-') ? 1 : 0;
    const std::size_t start = at;
    while (at < text.size() && IsDigit(text[at]))
        ++at;
    const std::size_t whole = at - start;
    if (at < text.size() && text[at] == '.')
        ++at;
    const std::size_t fractionStart = at;
    while (at < text.size() && IsDigit(text[at]))
        ++at;
    if (whole == 0 && at == fractionStart)
        return false;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        at += at + 1 < text.size() && (text[at + 1] == '+' || text[at + 1] == '-') ? 2 : 1;
        const std::size_t exponent = at;
        while (at < text.size() && IsDigit(text[at]))
            ++at;
        if (at == exponent)
            return false;
    }
    return at == text.size();
}

bool Skip(std::string_view text, std::size_t& at, char c)
{
    if (at >= text.size() || text[at] != c)
        return false;
    ++at;
    return true;
}

// The part after the date: "THH:MM[:SS[.fff]]", as milliseconds into the day.
std::optional<std::int64_t> TimeOfDay(std::string_view text, std::size_t& at)
{
    const auto hours = Digits(text, at, 2);
    const auto minutes = Skip(text, at, ':') ? Digits(text, at, 2) : std::nullopt;
    if (!hours || !minutes || *hours > 23 || *minutes > 59)
        return std::nullopt;
    std::int64_t ms = (*hours * 60 + *minutes) * 60'000;
    if (!Skip(text, at, ':'))
        return ms;
    const auto seconds = Digits(text, at, 2);
    if (!seconds || *seconds > 59)
        return std::nullopt;
    ms += *seconds * 1000;
    if (!Skip(text, at, '.'))
        return ms;
    int scale = 100;
    const std::size_t start = at;
    for (; at < text.size() && IsDigit(text[at]); ++at, scale /= 10)
        ms += (text[at] - '0') * scale;
    return at > start ? std::optional(ms) : std::nullopt;
}

// Writes the number with at least `width` characters, zeros after any sign, as "%0*d" does.
char* Padded(char* at, int number, int width)
{
    char digits[16];
    const long long magnitude = number < 0 ? -static_cast<long long>(number) : number;
    const char* const end = std::to_chars(std::begin(digits), std::end(digits), magnitude).ptr;
    const auto count = static_cast<int>(end - digits) + (number < 0 ? 1 : 0);
    if (number < 0)
        *at++ = '-';
    for (int pad = count; pad < width; ++pad)
        *at++ = '0';
    return std::copy(static_cast<const char*>(digits), end, at);
}

} // namespace

std::string DumpJson(const nlohmann::json& value)
{
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void PutBytes(nlohmann::json& object, const std::string& key, std::string_view bytes)
{
    object[key] = std::string(bytes);
    if (!IsValidUtf8(bytes))
        object[key + "_base64"] = Base64(bytes);
}

std::string Base64(std::string_view bytes)
{
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 3; ++k)
            group = group << 8 | (k < count ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k)
            text += k <= count ? kAlphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
    return text;
}

std::optional<std::string> PercentDecoded(std::string_view text, StrayPercent stray)
{
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int high = text[i] == '%' && i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
        const int low = high >= 0 ? HexDigit(text[i + 2]) : -1;
        if (text[i] == '%' && low < 0 && stray == StrayPercent::Refused)
            return std::nullopt;
        if (low < 0) {
            decoded += text[i];
            continue;
        }
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return decoded;
}

std::string IsoTime(std::int64_t ms)
{
    using namespace std::chrono;
    const sys_time<milliseconds> time{milliseconds(ClampedTimeMs(ms))};
    const auto day = floor<days>(time);
    const year_month_day date(day);
    const hh_mm_ss clock(time - day);
    // Digits by hand, not snprintf: a long listing of variables spends most of its time here otherwise.
    char text[64];
    char* at = Padded(text, static_cast<int>(date.year()), 4);
    const std::pair<int, char> parts[] = {{static_cast<int>(static_cast<unsigned>(date.month())), '-'},
                                          {static_cast<int>(static_cast<unsigned>(date.day())), '-'},
                                          {static_cast<int>(clock.hours().count()), 'T'},
                                          {static_cast<int>(clock.minutes().count()), ':'},
                                          {static_cast<int>(clock.seconds().count()), ':'}};
    for (const auto& [number, before] : parts) {
        *at++ = before;
        at = Padded(at, number, 2);
    }
    *at++ = '.';
    at = Padded(at, static_cast<int>(clock.subseconds().count()), 3);
    *at++ = 'Z';
    return std::string(text, at);
}

std::optional<std::int64_t> ParseTime(std::string_view text)
{
    std::int64_t ms = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), ms);
    if (error == std::errc() && end == text.data() + text.size())
        return ms;
    std::size_t at = 0;
    const auto year = Digits(text, at, 4);
    const auto month = Skip(text, at, '-') ? Digits(text, at, 2) : std::nullopt;
    const auto day = Skip(text, at, '-') ? Digits(text, at, 2) : std::nullopt;
    if (!year || !month || !day)
        return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year(*year), std::chrono::month(static_cast<unsigned>(*month)),
                                           std::chrono::day(static_cast<unsigned>(*day))};
    const auto inDay = Skip(text, at, 'T') ? TimeOfDay(text, at) : std::optional<std::int64_t>(0);
    Skip(text, at, 'Z');
    if (!date.ok() || !inDay || at != text.size())
        return std::nullopt;
    return std::chrono::sys_days(date).time_since_epoch() / std::chrono::milliseconds(1) + *inDay;
}

std::string CsvField(std::string_view text)
{
    // A spreadsheet runs a cell that starts like a formula: shown as text instead.
    const bool formula = !text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos &&
                         !PlainNumber(text);
    if (!formula && text.find_first_of(",\"\r\n") == std::string_view::npos)
        return std::string(text);
    std::string field = formula ? "\"'" : "\"";
    for (const char c : text)
        field.append(c == '"' ? 2 : 1, c);
    return field + '"';
}

} // namespace pontivo
