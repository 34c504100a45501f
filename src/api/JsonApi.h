#pragma once

#include "http/AccessRules.h"
#include "http/HttpResponse.h"

#include <nlohmann/json_fwd.hpp>

#include <functional>
#include <string>
#include <string_view>

namespace pontivo {

class HistorySource;
class VariableCommands;
class VariableStore;
struct ApiAnswer;
struct Variable;

// The JSON API under /api/: variables, their recorded history and the API's own description, with
// status codes and content types. Writes go through the URL commands, so every rule of /set and
// /unset holds here too.
class JsonApi {
public:
    // "open DEVICE" or "closed REASON".
    using LinkStateFunction = std::function<std::string()>;
    static constexpr std::size_t kMaxHistoryPoints = 10'000;

    JsonApi(VariableStore& store, VariableCommands& commands, std::string caption, LinkStateFunction linkState);

    // Null: nothing is recorded, and history answers say how to start a recording.
    void SetHistorySource(const HistorySource* history) { m_history = history; }

    // PUT and DELETE change the store; every other method only reads.
    static Effect EffectOf(std::string_view requestText);
    // The whole answer to a request whose target IsApiTarget; `cors` as for the URL commands.
    std::string Reply(std::string_view requestText, std::string_view cors) const;

private:
    ApiAnswer Route(std::string_view requestText) const;
    ApiAnswer Variables(std::string_view method, std::string_view query) const;
    ApiAnswer OneVariable(std::string_view method, const std::string& name, std::string_view requestText) const;
    ApiAnswer Put(const std::string& name, std::string_view requestText) const;
    ApiAnswer History(std::string_view method, const std::string* name, std::string_view query) const;
    ApiAnswer Points(const std::string& name, std::string_view query) const;
    nlohmann::json LinkObject() const;

    VariableStore& m_store;
    VariableCommands& m_commands;
    std::string m_caption;
    LinkStateFunction m_linkState;
    const HistorySource* m_history = nullptr;
};

} // namespace pontivo
