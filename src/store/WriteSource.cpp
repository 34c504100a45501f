#include "store/WriteSource.h"

#include <array>

namespace pontivo {
namespace {

constexpr std::array<std::string_view, 4> kNames{"board", "http", "mqtt", "restore"};

} // namespace

std::string_view SourceName(WriteSource source)
{
    return kNames[static_cast<std::size_t>(source)];
}

std::optional<WriteSource> SourceFromName(std::string_view name)
{
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (kNames[i] == name)
            return static_cast<WriteSource>(i);
    }
    return std::nullopt;
}

} // namespace pontivo
