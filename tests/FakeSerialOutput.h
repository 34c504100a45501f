#pragma once

#include "SerialOutput.h"

#include <string>
#include <vector>

namespace pontivo {

// Records what would go to the board; can be closed or made to fail its writes.
class FakeSerialOutput : public SerialOutput {
public:
    bool open = true;
    bool failWrites = false;
    std::vector<std::string> lines;

    bool PortOpen() const override { return open; }
    bool Output(std::string_view text) override
    {
        if (failWrites)
            return false;
        lines.emplace_back(text);
        return true;
    }
};

} // namespace pontivo
