#pragma once

#include <string>
#include <vector>

namespace pontivo {

// The "/"-separated pieces of a request target; element 0 is the command.
using Segments = std::vector<std::string>;

} // namespace pontivo
