#pragma once

#include "server/ServerOptions.h"
#include "server/ServerSettings.h"

#include <cstdint>
#include <optional>
#include <string_view>

#include <string>
#include <vector>

namespace pontivo {

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
    std::string error; // non-empty when the arguments could not be read
};

// Arguments without the program name.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

std::string UsageText();

// "64MB", "512KB", "1GB", "1000" (bytes); units are powers of 1024. Nothing for a bad text or 0.
std::optional<std::uint64_t> ParseByteSize(std::string_view text);

} // namespace pontivo
