#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pontivo {

// Written with this, invalid UTF-8 in a string reads U+FFFD instead of failing the whole answer.
std::string DumpJson(const nlohmann::json& value);
// `bytes` under `key`; bytes that are not valid UTF-8 also go exactly under `key`_base64 beside it,
// since the JSON text itself can only carry them replaced.
void PutBytes(nlohmann::json& object, const std::string& key, std::string_view bytes);
std::string Base64(std::string_view bytes);

// What a '%' that does not start two hex digits makes of the text.
enum class StrayPercent { Refused, Kept };
// %XX decoded, nothing else ('+' stays a plus); a stray '%' refuses the whole text (nothing) or stays as it is.
std::optional<std::string> PercentDecoded(std::string_view text, StrayPercent stray = StrayPercent::Refused);

// UTC with milliseconds: "2026-12-08T16:00:00.123Z"; times beyond years 0 and 9999 are shown as those.
std::string IsoTime(std::int64_t ms);
// Milliseconds since 1970 as digits, or UTC as "YYYY-MM-DD[THH:MM[:SS[.fff]]][Z]".
std::optional<std::int64_t> ParseTime(std::string_view text);

// One field of a CSV row, quoted (quotes doubled) when it holds a comma, quote, CR or LF; a field a spreadsheet
// would run as a formula (it starts with = + - @ TAB or CR and is no plain number) also gets a leading '.
std::string CsvField(std::string_view text);

} // namespace pontivo
