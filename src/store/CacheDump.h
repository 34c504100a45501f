#pragma once

#include <string>

namespace pontivo {

class VariableStore;

// "N variables cached." CR LF CR LF, then "name = value" CR LF per variable in order.
std::string CacheDumpText(const VariableStore& store);

} // namespace pontivo
