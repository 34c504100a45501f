#pragma once

#include <string_view>

namespace pontivo {

// What the variable commands need of the board's port. The Qt side implements it
// and lights the board-traffic arrow after each line it writes.
class SerialOutput {
public:
    virtual ~SerialOutput() = default;
    virtual bool PortOpen() const = 0;
    // Sends the text unchanged; false when the write failed.
    virtual bool Output(std::string_view text) = 0;
    // A line was not written: it held CR or LF inside and would read as two on the board.
    virtual void LineSkipped() {}
};

} // namespace pontivo
