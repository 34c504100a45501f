#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The pairs a board reader gives for the stream fed whole, or in pieces of 1 to 300 bytes drawn from `seed`.
template <typename Reader>
Pairs ReadInPieces(Reader& reader, const std::string& stream, std::uint32_t seed, bool whole)
{
    Pairs pairs;
    const auto sink = [&](std::string_view name, std::string_view value) { pairs.emplace_back(name, value); };
    std::minstd_rand random(seed);
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t piece = whole ? stream.size() : 1 + random() % 300;
        reader.Feed(std::string_view(stream).substr(at, piece), sink);
        at += piece;
    }
    return pairs;
}
