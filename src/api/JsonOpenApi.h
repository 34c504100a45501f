#pragma once

#include <string_view>

namespace pontivo {

// src/http/openapi.json as built in: the JSON API's description, served at /api/openapi.json.
std::string_view OpenApiDocument();

} // namespace pontivo
