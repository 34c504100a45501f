#pragma once

#include "store/WriteSource.h"

#include <cstdint>
#include <string>

namespace pontivo {

// One thing to record, queued for the writer: a write, a removal, a reset, or the link's new state (in `name`).
struct RecordEvent {
    enum class Kind : std::uint8_t { Set, Unset, Reset, Link };
    Kind kind = Kind::Set;
    std::int64_t timeMs = 0;
    std::string name;
    std::string value;
    WriteSource source = WriteSource::Http;
};

} // namespace pontivo
