#pragma once

#include "http/AccessRules.h"
#include "http/HttpResponse.h"

#include <nlohmann/json_fwd.hpp>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace pontivo {

class HistorySource;
class VariableCommands;
class VariableStore;
struct HttpRequest;

// What the API answers, framed by the one writer of heads.
struct ApiAnswer {
    int status = 200;
    std::string body;
    std::string headers; // whole lines, each ended by CR LF
    // As in a Response: the rest of a body too large to build whole, and its share of the budget.
    std::function<bool(std::string& text)> more{};
    std::shared_ptr<const void> hold{};
};

// The JSON API under /api/: variables, their recorded history and the API's own description, with
// status codes and content types. Writes are the store operations of /set and /unset, so every rule of
// those holds here too.
class JsonApi {
public:
    // "open DEVICE" or "closed REASON".
    using LinkStateFunction = std::function<std::string()>;
    static constexpr std::size_t kMaxHistoryPoints = 10'000;

    JsonApi(VariableStore& store, VariableCommands& commands, LinkStateFunction linkState);

    // Null: nothing is recorded, and history answers say how to start a recording.
    void SetHistorySource(const HistorySource* history) { m_history = history; }
    bool Records() const { return m_history != nullptr; }

    // PUT and DELETE change the store; every other method only reads.
    static Effect EffectOf(std::string_view method);
    // The answer to a request under /api/; `shared` when the request's origin may read it.
    ApiAnswer Reply(const HttpRequest& request, bool shared) const;

private:
    ApiAnswer Route(const HttpRequest& request) const;
    ApiAnswer Variables(std::string_view method, std::string_view query) const;
    ApiAnswer OneVariable(const HttpRequest& request, const std::string& name) const;
    ApiAnswer Put(const HttpRequest& request, const std::string& name) const;
    ApiAnswer History(std::string_view method, const std::string* name, std::string_view query) const;
    ApiAnswer Points(const std::string& name, std::string_view query) const;
    nlohmann::json LinkObject() const;
    // Appends to a text up to a size; true once the body is complete.
    using Slicer = std::function<bool(std::string& text, std::size_t bytes)>;
    // The answer whole when it fits kWholeAnswerBytes, else what was built and the rest in slices; 503 past
    // what large answers may hold together.
    ApiAnswer Sliced(std::string body, std::string_view headers, Slicer slice) const;

    VariableStore& m_store;
    VariableCommands& m_commands;
    LinkStateFunction m_linkState;
    const HistorySource* m_history = nullptr;
    // Bytes that answers over kSliceBytes hold until they have gone out; shared with their holds.
    std::shared_ptr<std::size_t> m_largeBytes = std::make_shared<std::size_t>(0);
};

} // namespace pontivo
