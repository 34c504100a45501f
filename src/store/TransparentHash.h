#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace pontivo {

// Lets a map keyed by std::string be searched with a string_view, without building a string each time.
struct TransparentHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};

} // namespace pontivo
