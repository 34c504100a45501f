#include "store/Utf8.h"

#include <cstddef>
#include <cstdint>

namespace pontivo {

bool IsValidUtf8(std::string_view bytes)
{
    // The smallest code point each length may carry: a shorter form is a forbidden overlong one.
    static constexpr std::uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    for (std::size_t at = 0; at < bytes.size();) {
        const auto lead = static_cast<std::uint8_t>(bytes[at]);
        const std::size_t extra = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 4;
        if (extra > 3 || bytes.size() - at <= extra)
            return false;
        std::uint32_t code = lead & (0x7Fu >> extra);
        for (std::size_t i = 1; i <= extra; ++i) {
            const auto next = static_cast<std::uint8_t>(bytes[at + i]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = code << 6 | (next & 0x3Fu);
        }
        if (code < kLeast[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        at += extra + 1;
    }
    return true;
}

} // namespace pontivo
