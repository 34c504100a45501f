#pragma once

#include "http/UserTable.h"
#include "server/ServerOptions.h"
#include "server/ServerSettings.h"

#include <cstdint>
#include <optional>
#include <string_view>

#include <string>
#include <vector>

namespace pontivo {

// The users file commands; each runs alone and exits.
struct UserCommand {
    enum class Kind { None, AddUser, AddToken, Remove, List };
    Kind kind = Kind::None;
    std::string name;
    Role role = Role::Read;
    std::string file; // --users, or kDefaultUsersFile
};

constexpr const char* kDefaultUsersFile = "/etc/pontivo/users";

struct CommandLine {
    bool headless = false;
    bool help = false;
    bool version = false;
    bool listPorts = false;
    std::string httpPort = ServerSettings().httpPort.toStdString();
    std::string comPort = ServerSettings().comPort.toStdString();
    std::string comSettings = ServerSettings().comSettings.toStdString();
    bool serverTextsGiven = false; // any of the three texts above on the command line
    ServerOptions options;
    UserCommand users;
    std::string error; // non-empty when the arguments could not be read
};

// Arguments without the program name.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

std::string UsageText();

// "64MB", "512KB", "1GB", "1000" (bytes); units are powers of 1024. Nothing for a bad text or 0.
std::optional<std::uint64_t> ParseByteSize(std::string_view text);

} // namespace pontivo
