#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pontivo {

struct HttpRequest;

// Who may use the server. Each list, when empty, lets everything through.
struct AccessRules {
    std::vector<std::string> allowedHosts;   // lower case, without brackets or port
    std::vector<std::string> allowedOrigins; // lower case, scheme://host[:port], or "self": http:// + the Host line
};

enum class Access {
    Serve,            // as without rules: the Origin echoed, the command run
    ServeWithoutCors, // a listed-out Origin: its page cannot read the answer
    Refuse,           // 403, nothing run
};

// What a command does besides answering.
enum class Effect {
    Reads,
    Writes, // to the store or the board
};

// Hosts are checked first: a page reached through a rebound DNS name runs nothing at all.
// A listed-out Origin may still read-only commands, since its page never sees the answer. With
// origins listed, a browser's request from another site that changes something needs a listed Origin.
Access DecideAccess(const AccessRules& rules, const HttpRequest& request, Effect effect);

// Comma-separated lists from the command line; on a wrong entry, a one-line reason.
std::string ReadHostList(std::string_view text, std::vector<std::string>& hosts);
std::string ReadOriginList(std::string_view text, std::vector<std::string>& origins);

} // namespace pontivo
