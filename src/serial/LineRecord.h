#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pontivo {

// The name=value pairs of one line from the board, in order; read whole before any is applied,
// so a line found malformed half-way changes nothing.
using LinePairs = std::vector<std::pair<std::string, std::string>>;

// A serial-plotter line: "name:value" or "name=value" fields separated by commas, tabs, spaces
// or a CR; the n-th unlabelled number is "valueN"; "label:" alone is skipped. False (and no
// pairs) when a field has no name or is a bare word.
bool ReadPlotterLine(std::string_view line, LinePairs& pairs);

// One JSON object: strings, numbers, booleans and null as their text, nested objects as
// "outer.inner", arrays as "name.0", "name.1". False (and no pairs) for anything else, for
// nesting deeper than kMaxJsonDepth, and for a pair longer than `maxPairBytes`.
inline constexpr int kMaxJsonDepth = 16;
bool ReadJsonLine(std::string_view line, std::size_t maxPairBytes, LinePairs& pairs);

// Whether a number as a plotter prints it: an optional sign, digits with at most one point,
// and an optional exponent.
bool IsPlainNumber(std::string_view text);

} // namespace pontivo
