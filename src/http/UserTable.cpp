#include "http/UserTable.h"

#include <algorithm>

namespace pontivo {
namespace {

bool NameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '@' || c == '-';
}

bool HexDigits(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool ValidSecret(std::string_view secret)
{
    if (secret.starts_with(UserEntry::kTokenPrefix)) {
        const std::string_view digest = secret.substr(UserEntry::kTokenPrefix.size());
        return digest.size() == 64 && HexDigits(digest);
    }
    // The hash's own parameters are checked when it verifies.
    return secret.starts_with("$argon2id$") && secret.size() < 128 && secret.find(' ') == std::string_view::npos;
}

// "NAME ROLE SECRET" with single blanks; an empty reason when it reads.
std::string ReadEntry(std::string_view line, UserEntry& entry)
{
    const auto first = line.find(' ');
    const auto second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos)
        return "expected NAME ROLE SECRET";
    entry.name = line.substr(0, first);
    const auto role = RoleFromText(line.substr(first + 1, second - first - 1));
    entry.secret = line.substr(second + 1);
    if (!ValidUserName(entry.name))
        return "the name is not 1 to 64 letters, digits or ._@-";
    if (!role)
        return "the role is not read or write";
    entry.role = *role;
    return ValidSecret(entry.secret) ? std::string() : "the secret is neither an argon2id hash nor a token digest";
}

} // namespace

bool ValidUserName(std::string_view name)
{
    return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), NameChar);
}

std::optional<Role> RoleFromText(std::string_view text)
{
    if (text == "read")
        return Role::Read;
    if (text == "write")
        return Role::Write;
    return std::nullopt;
}

std::string_view RoleText(Role role)
{
    return role == Role::Write ? "write" : "read";
}

std::string ReadUserTable(std::string_view text, std::vector<UserEntry>& into)
{
    std::vector<UserEntry> entries;
    std::size_t number = 0;
    for (std::size_t start = 0; start < text.size();) {
        const auto end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (line.empty() || line.starts_with('#'))
            continue;
        UserEntry entry;
        if (const std::string reason = ReadEntry(line, entry); !reason.empty())
            return "line " + std::to_string(number) + ": " + reason;
        if (std::any_of(entries.begin(), entries.end(), [&](const UserEntry& e) { return e.name == entry.name; }))
            return "line " + std::to_string(number) + ": " + entry.name + " is there twice";
        entries.push_back(std::move(entry));
    }
    into = std::move(entries);
    return {};
}

std::string WriteUserTable(const std::vector<UserEntry>& entries)
{
    std::string text = "# Pontivo users: NAME ROLE SECRET (pontivo --add-user, --add-token, --remove-user)\n";
    for (const UserEntry& entry : entries)
        text.append(entry.name).append(" ").append(RoleText(entry.role)).append(" ").append(entry.secret).append("\n");
    return text;
}

void PutUser(std::vector<UserEntry>& entries, UserEntry entry)
{
    const auto same = std::find_if(entries.begin(), entries.end(), [&](const UserEntry& e) { return e.name == entry.name; });
    if (same != entries.end())
        *same = std::move(entry);
    else
        entries.push_back(std::move(entry));
}

bool RemoveUser(std::vector<UserEntry>& entries, std::string_view name)
{
    return std::erase_if(entries, [name](const UserEntry& e) { return e.name == name; }) > 0;
}

} // namespace pontivo
