#pragma once

#include "MqttOptions.h"
#include "NetworkGuard.h"
#include "ServerSettings.h"

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
    NetworkGuard guard;            // --bind, --allow-origin, --allowed-hosts, --client-connections, --client-streams
    MqttOptions mqtt; // enabled by --mqtt
    std::string error; // non-empty when the arguments could not be read
};

// Arguments without the program name.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

std::string UsageText();

} // namespace pontivo
