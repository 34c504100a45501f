#pragma once

#include "NetworkGuard.h"
#include "MqttOptions.h"

#include <string>
#include <vector>

namespace pontivo {

struct CommandLine {
    bool headless = false;
    bool help = false;
    bool version = false;
    bool listPorts = false;
    std::string httpPort = "8085";
    std::string comPort = "16";
    std::string comSettings = "9600,n,8,1";
    bool serverTextsGiven = false; // any of the three texts above on the command line
    NetworkGuard guard;            // --bind, --allow-origin, --allowed-hosts
    MqttOptions mqtt; // enabled by --mqtt
    std::string error; // non-empty when the arguments could not be read
};

// Arguments without the program name.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

std::string UsageText();

} // namespace pontivo
