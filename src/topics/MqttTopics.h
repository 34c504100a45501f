#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pontivo {

// A variable's name as one topic level. Names that could not stand as a level as they are
// (empty, a leading '$', '/', '+', '#', bytes a broker refuses in a topic) are percent-encoded,
// and '%' always is, so a name can never reach another variable's topic or a command topic.
std::string EncodeTopicLevel(std::string_view name);
// The name behind a level; nothing unless the level is exactly what EncodeTopicLevel makes.
std::optional<std::string> DecodeTopicLevel(std::string_view level);

std::string ValueTopic(std::string_view prefix, std::string_view name);
// The name addressed by PREFIX/LEVEL/set; nothing for any other topic.
std::optional<std::string> NameFromSetTopic(std::string_view prefix, std::string_view topic);

// An empty reason when the prefix can start topics (no wildcards, no leading '$', no empty level).
std::string PrefixProblem(std::string_view prefix);

} // namespace pontivo
