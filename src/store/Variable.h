#pragma once

#include "store/WriteSource.h"

#include <cstdint>
#include <string>

namespace pontivo {

// One variable and its last write: UTC milliseconds since 1970 and who wrote it.
struct Variable {
    std::string name;
    std::string value;
    std::int64_t updatedMs = 0;
    WriteSource source = WriteSource::Http;
    // Its place in the store's order, given when it was added: a walk in slices goes on from it.
    std::uint64_t order = 0;
};

} // namespace pontivo
