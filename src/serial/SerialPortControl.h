#pragma once

#include "SerialOutput.h"

#include <cstdint>
#include <string>

namespace pontivo {

// The board's port as the rest of the program sees it: the port number and line
// settings written before opening, whether it is open, and output. Until a serial
// backend is attached the port stays closed, so nothing is written to a board.
class SerialPortControl : public SerialOutput {
public:
    std::int16_t CommPort() const { return m_commPort; }
    void SetCommPort(std::int16_t port) { m_commPort = port; }
    const std::string& Settings() const { return m_settings; }
    void SetSettings(std::string settings) { m_settings = std::move(settings); }

    bool PortOpen() const override { return false; }
    bool Output(std::string_view) override { return false; }
    void Close() {}

private:
    std::int16_t m_commPort = 0;
    std::string m_settings = "9600,n,8,1";
};

} // namespace pontivo
