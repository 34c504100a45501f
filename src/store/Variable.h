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
};

} // namespace pontivo
