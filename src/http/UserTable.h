#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pontivo {

enum class Role {
    Read,  // the reading commands, /events, GET under /api/, /metrics, /files/
    Write, // everything
};

// One line of the users file: a person's argon2id password hash, or a script's token digest.
struct UserEntry {
    std::string name;
    Role role = Role::Read;
    std::string secret; // "$argon2id$..." or "token:" + 64 hex digits

    bool IsToken() const { return secret.starts_with(kTokenPrefix); }
    static constexpr std::string_view kTokenPrefix = "token:";
};

// 1 to 64 of letters, digits and ._@- : nothing a Basic login or a log line could misread.
bool ValidUserName(std::string_view name);
std::optional<Role> RoleFromText(std::string_view text);
std::string_view RoleText(Role role);

// The file's text: "NAME ROLE SECRET" lines, blank lines and # comments. On a wrong line, nothing is
// kept and the reason names the line.
std::string ReadUserTable(std::string_view text, std::vector<UserEntry>& into);
std::string WriteUserTable(const std::vector<UserEntry>& entries);

// Adds the entry or replaces the one of the same name.
void PutUser(std::vector<UserEntry>& entries, UserEntry entry);
// False when there was none of that name.
bool RemoveUser(std::vector<UserEntry>& entries, std::string_view name);

} // namespace pontivo
