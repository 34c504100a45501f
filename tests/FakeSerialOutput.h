#pragma once

#include "store/SerialOutput.h"

#include <functional>
#include <string>
#include <vector>

namespace pontivo {

// Records what would go to the board, "(skipped)" for a line left out; can be closed or made to fail its writes.
struct FakeSerialOutput : SerialOutput {
    bool open = true;
    bool failWrites = false; // the line is attempted, and recorded, but reported as not written
    std::function<void()> afterOutput;
    std::vector<std::string> lines;

    bool PortOpen() const override { return open; }
    bool Output(std::string_view text) override
    {
        lines.emplace_back(text);
        if (afterOutput)
            afterOutput();
        return !failWrites;
    }
    void LineSkipped() override { lines.emplace_back("(skipped)\n"); }
};

} // namespace pontivo
