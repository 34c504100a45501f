#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pontivo {

// A serial port as the system lists it; texts are empty and ids absent where unknown.
struct PortRecord {
    std::string device; // "/dev/ttyACM0", or "COM3" on Windows
    std::optional<std::uint16_t> vendorId; // present only for USB devices
    std::optional<std::uint16_t> productId;
    std::string serialNumber;
    std::string manufacturer;
    std::string description;
    std::string byIdLink; // the stable /dev/serial/by-id/ name, where there is one
};

// What tells one USB board from another whatever device name the system gives it.
struct BoardIdentity {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string serialNumber;
    bool operator==(const BoardIdentity&) const = default;
};

using PathExists = std::function<bool(const std::string& path)>;

// The devices COM n may stand for in `folder`, in the order they are tried: ttyACM first,
// so COM1 is the first USB board whichever driver it uses.
std::vector<std::string> ComCandidates(int number, const std::string& folder);

// The COM number (1..99) that opens this device: "COMn" itself, or the n whose first existing
// candidate it is. None when an earlier candidate exists or the name fits no family.
std::optional<int> ComNumberOf(const std::string& device, const PathExists& exists);

// Natural order of device names (ttyACM2 before ttyACM10): the order `auto` takes them in.
void SortPorts(std::vector<PortRecord>& ports);

// The port `auto` opens: the first one that is a USB device.
const PortRecord* PickAuto(const std::vector<PortRecord>& ports);

// The port listed under this device path (or its by-id link).
const PortRecord* FindDevice(const std::vector<PortRecord>& ports, const std::string& device);

// A USB port with a serial number has an identity; boards without one cannot be told apart,
// so following them under a new name could take another board.
std::optional<BoardIdentity> IdentityOf(const PortRecord& port);

// This board's port under whatever name it has now.
const PortRecord* FindBoard(const std::vector<PortRecord>& ports, const BoardIdentity& board);

// The --list-ports table: a header and one line per port, or "No serial ports found."; then an
// options line for each port with a by-id link.
std::string PortTable(const std::vector<PortRecord>& ports, const PathExists& exists);

// A short list for a tooltip, one "COM1: /dev/ttyACM0 (description)" line a port.
std::string PortLines(const std::vector<PortRecord>& ports, const PathExists& exists);

// For a port that is not there: the USB boards that are, and the options that open them, as
// "; boards present: /dev/ttyACM0 (Uno); open one with --com-port auto or --com-port BY-ID-PATH".
// Empty without a USB board.
std::string BoardsPresentHint(const std::vector<PortRecord>& ports);

} // namespace pontivo
