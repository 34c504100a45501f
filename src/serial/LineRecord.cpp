#include "serial/LineRecord.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>

namespace pontivo {
namespace {

constexpr std::string_view kFieldSeparators = ", \t\r";

bool AllDigits(std::string_view text)
{
    for (const char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// Flattens one object into pairs as the parser walks it, without building a document.
class JsonFlattener : public nlohmann::json_sax<nlohmann::json> {
public:
    JsonFlattener(std::size_t maxPairBytes, LinePairs& pairs) : m_maxPairBytes(maxPairBytes), m_pairs(pairs) {}

    bool null() override { return Value("null"); }
    bool boolean(bool value) override { return Value(value ? "true" : "false"); }
    bool number_integer(number_integer_t value) override { return Value(std::to_string(value)); }
    bool number_unsigned(number_unsigned_t value) override { return Value(std::to_string(value)); }
    bool number_float(number_float_t, const string_t& text) override { return Value(text); }
    bool string(string_t& value) override { return Value(value); }
    bool binary(binary_t&) override { return false; }
    bool start_object(std::size_t) override { return Open(false); }
    bool key(string_t& key) override
    {
        m_name.resize(Top().prefix);
        m_name += key;
        return m_name.size() < m_maxPairBytes;
    }
    bool end_object() override { return Close(); }
    bool start_array(std::size_t) override { return m_depth > 0 && Open(true); }
    bool end_array() override { return Close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception&) override { return false; }

private:
    struct Level {
        std::size_t prefix; // length of the name so far, with its final '.'
        bool array;
        std::size_t next = 0; // the next element's index in an array
    };

    // A value's name: the key just read, or the array's next index.
    void NameElement()
    {
        Level& level = Top();
        if (!level.array)
            return;
        m_name.resize(level.prefix);
        m_name += std::to_string(level.next++);
    }

    bool Open(bool array)
    {
        if (m_depth >= kMaxJsonDepth)
            return false;
        if (m_depth > 0) {
            NameElement();
            m_name += '.';
        }
        m_levels[m_depth++] = {m_name.size(), array};
        return true;
    }

    bool Close()
    {
        --m_depth;
        return true;
    }

    bool Value(std::string_view text)
    {
        if (m_depth == 0) // the line is a bare value, not an object
            return false;
        NameElement();
        if (m_name.size() + text.size() >= m_maxPairBytes)
            return false;
        m_pairs.emplace_back(m_name, text);
        return true;
    }

    Level& Top() { return m_levels[m_depth - 1]; }

    std::size_t m_maxPairBytes;
    LinePairs& m_pairs;
    std::array<Level, kMaxJsonDepth> m_levels{}; // no allocation per line
    std::size_t m_depth = 0;
    std::string m_name;
};

} // namespace

bool IsPlainNumber(std::string_view text)
{
    if (!text.empty() && (text.front() == '+' || text.front() == '-'))
        text.remove_prefix(1);
    const auto exponent = text.find_first_of("eE");
    if (exponent != std::string_view::npos) {
        std::string_view power = text.substr(exponent + 1);
        if (!power.empty() && (power.front() == '+' || power.front() == '-'))
            power.remove_prefix(1);
        if (power.empty() || !AllDigits(power))
            return false;
        text = text.substr(0, exponent);
    }
    const auto point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view part = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    return whole.size() + part.size() > 0 && AllDigits(whole) && AllDigits(part);
}

bool ReadPlotterLine(std::string_view line, LinePairs& pairs)
{
    pairs.clear();
    int unlabelled = 0;
    for (std::size_t start = 0; start <= line.size();) {
        const std::size_t end = std::min(line.find_first_of(kFieldSeparators, start), line.size());
        const std::string_view field = line.substr(start, end - start);
        start = end + 1;
        if (field.empty())
            continue;
        const std::size_t mark = field.find_first_of(":=");
        if (mark == std::string_view::npos && IsPlainNumber(field)) {
            pairs.emplace_back("value" + std::to_string(++unlabelled), field);
            continue;
        }
        if (mark == std::string_view::npos || mark == 0) { // a bare word, or a value without its name
            pairs.clear();
            return false;
        }
        if (mark + 1 < field.size()) // "label:" alone names a graph, it holds no value
            pairs.emplace_back(field.substr(0, mark), field.substr(mark + 1));
    }
    return true;
}

bool ReadJsonLine(std::string_view line, std::size_t maxPairBytes, LinePairs& pairs)
{
    pairs.clear();
    JsonFlattener flattener(maxPairBytes, pairs);
    if (nlohmann::json::sax_parse(line, &flattener))
        return true;
    pairs.clear();
    return false;
}

} // namespace pontivo
