#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pontivo {

// "9600,n,8,1": speed, parity letter (n e o m s), data bits (5-8), stop bits (1, 1.5, 2).
struct LineSettings {
    enum class Parity { None, Even, Odd, Mark, Space };
    enum class StopBits { One, OneAndHalf, Two };

    int baudRate = 9600;
    Parity parity = Parity::None;
    int dataBits = 8;
    StopBits stopBits = StopBits::One;
};

struct LineSettingsResult {
    std::optional<LineSettings> settings;
    std::string error; // why the text was refused
};

LineSettingsResult ParseLineSettings(std::string_view text);

} // namespace pontivo
