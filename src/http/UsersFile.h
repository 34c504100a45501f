#pragma once

#include "http/UserTable.h"

#include <string>
#include <vector>

namespace pontivo {

// The users file on disk. Every failure is one line that names the file.

// `missingIsEmpty`: the user commands start a new file; the server wants one that exists.
std::string LoadUsersFile(const std::string& path, std::vector<UserEntry>& into, bool missingIsEmpty = false);
// Replaces the file whole (a new file renamed over it), mode 0600.
std::string SaveUsersFile(const std::string& path, const std::vector<UserEntry>& entries);

} // namespace pontivo
