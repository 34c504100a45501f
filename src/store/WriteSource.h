#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace pontivo {

// Who made a variable's last write: the board's frame, a client over HTTP, the broker, or the
// recording at start.
enum class WriteSource : std::uint8_t { Board, Http, Mqtt, Restore };

std::string_view SourceName(WriteSource source);
std::optional<WriteSource> SourceFromName(std::string_view name);

} // namespace pontivo
