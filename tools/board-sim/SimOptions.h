#pragma once

#include <string>
#include <vector>

namespace pontivo {

struct SimOptions {
    std::string linkPath;            // empty: no link
    std::vector<std::string> frames; // empty: send standard input instead
    int everyMs = 0;                 // pause between rounds of frames
    long rounds = 1;                 // rounds of frames; 0 repeats until stopped
    bool help = false;
    std::string error;               // set when the arguments cannot be used
};

SimOptions ParseSimOptions(const std::vector<std::string>& arguments);
std::string SimUsage();

} // namespace pontivo
