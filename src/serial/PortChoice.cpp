#include "serial/PortChoice.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>
#include <tuple>

namespace pontivo {
namespace {

constexpr int kHighestComNumber = 99;
constexpr std::string_view kNoPorts = "No serial ports found.\n";

struct NumberedName {
    std::string_view stem;
    std::optional<int> number; // none without trailing digits, or too many to be a port
};

NumberedName SplitTrailingNumber(std::string_view name)
{
    std::size_t digits = 0;
    while (digits < name.size() && name[name.size() - 1 - digits] >= '0' && name[name.size() - 1 - digits] <= '9')
        ++digits;
    const std::string_view stem = name.substr(0, name.size() - digits);
    if (digits == 0 || digits > 4)
        return {stem, std::nullopt};
    int number = 0;
    for (const char c : name.substr(stem.size()))
        number = number * 10 + (c - '0');
    return {stem, number};
}

std::string ComText(const PortRecord& port, const PathExists& exists)
{
    const auto number = ComNumberOf(port.device, exists);
    return number ? "COM" + std::to_string(*number) : "-";
}

std::string UsbId(const PortRecord& port)
{
    if (!port.vendorId)
        return "-";
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%04x:%04x", *port.vendorId, port.productId.value_or(0));
    return text.data();
}

std::string OrDash(const std::string& text)
{
    return text.empty() ? "-" : text;
}

// What to put in each board's options file: the names that survive replugging.
std::string StableOptions(const std::vector<PortRecord>& ports)
{
    std::string lines;
    for (const PortRecord& port : ports)
        if (!port.byIdLink.empty())
            lines += "  PONTIVO_OPTS=\"--com-port " + port.byIdLink + "\"\n";
    return lines.empty() ? lines : "\nOne service per board reads /etc/default/pontivo-NAME (each with its own --http-port):\n" + lines;
}

} // namespace

std::vector<std::string> ComCandidates(int number, const std::string& folder)
{
    std::vector<std::string> candidates;
    for (const char* family : {"ttyACM", "ttyUSB", "ttyS"})
        candidates.push_back(folder + "/" + family + std::to_string(number - 1));
    return candidates;
}

std::optional<int> ComNumberOf(const std::string& device, const PathExists& exists)
{
    const NumberedName name = SplitTrailingNumber(device);
    if (!name.number)
        return std::nullopt;
    if (name.stem == "COM")
        return *name.number >= 1 && *name.number <= kHighestComNumber ? name.number : std::nullopt;
    const int number = *name.number + 1;
    const auto slash = device.rfind('/');
    if (slash == std::string::npos || number > kHighestComNumber)
        return std::nullopt;
    for (const std::string& candidate : ComCandidates(number, device.substr(0, slash))) {
        if (candidate == device)
            return number;
        if (exists(candidate))
            return std::nullopt;
    }
    return std::nullopt;
}

void SortPorts(std::vector<PortRecord>& ports)
{
    std::stable_sort(ports.begin(), ports.end(), [](const PortRecord& a, const PortRecord& b) {
        const NumberedName left = SplitTrailingNumber(a.device);
        const NumberedName right = SplitTrailingNumber(b.device);
        return std::tuple(left.stem, left.number.value_or(-1), a.device) <
               std::tuple(right.stem, right.number.value_or(-1), b.device);
    });
}

const PortRecord* PickAuto(const std::vector<PortRecord>& ports)
{
    const auto usb = std::find_if(ports.begin(), ports.end(), [](const PortRecord& port) { return port.vendorId.has_value(); });
    return usb == ports.end() ? nullptr : &*usb;
}

const PortRecord* FindDevice(const std::vector<PortRecord>& ports, const std::string& device)
{
    const auto found = std::find_if(ports.begin(), ports.end(), [&](const PortRecord& port) {
        return port.device == device || (!port.byIdLink.empty() && port.byIdLink == device);
    });
    return found == ports.end() ? nullptr : &*found;
}

std::optional<BoardIdentity> IdentityOf(const PortRecord& port)
{
    if (!port.vendorId || port.serialNumber.empty())
        return std::nullopt;
    return BoardIdentity{*port.vendorId, port.productId.value_or(0), port.serialNumber};
}

const PortRecord* FindBoard(const std::vector<PortRecord>& ports, const BoardIdentity& board)
{
    const auto found = std::find_if(ports.begin(), ports.end(), [&](const PortRecord& port) { return IdentityOf(port) == board; });
    return found == ports.end() ? nullptr : &*found;
}

std::string PortTable(const std::vector<PortRecord>& ports, const PathExists& exists)
{
    if (ports.empty())
        return std::string(kNoPorts);
    using Row = std::array<std::string, 7>;
    std::vector<Row> rows{{"COM", "DEVICE", "USB ID", "SERIAL", "MANUFACTURER", "DESCRIPTION", "BY-ID"}};
    for (const PortRecord& port : ports)
        rows.push_back({ComText(port, exists), port.device, UsbId(port), OrDash(port.serialNumber),
                        OrDash(port.manufacturer), OrDash(port.description), OrDash(port.byIdLink)});
    constexpr std::size_t columns = std::tuple_size_v<Row>;
    std::array<std::size_t, columns> widths{};
    for (const Row& row : rows)
        for (std::size_t i = 0; i < columns; ++i)
            widths[i] = std::max(widths[i], row[i].size());
    std::string table;
    for (const Row& row : rows) {
        for (std::size_t i = 0; i + 1 < columns; ++i)
            table += row[i] + std::string(widths[i] - row[i].size() + 2, ' ');
        table += row.back() + "\n";
    }
    return table + StableOptions(ports);
}

std::string PortLines(const std::vector<PortRecord>& ports, const PathExists& exists)
{
    if (ports.empty())
        return std::string(kNoPorts);
    std::string lines = "Ports found:\n";
    for (const PortRecord& port : ports) {
        const std::string number = ComText(port, exists);
        lines += (number == "-" ? "no COM number" : number) + ": " + port.device;
        lines += port.description.empty() ? "\n" : " (" + port.description + ")\n";
    }
    return lines;
}

std::string BoardsPresentHint(const std::vector<PortRecord>& ports)
{
    std::string named;
    std::string byId;
    for (const PortRecord& port : ports) {
        if (!port.vendorId)
            continue;
        named += (named.empty() ? "" : ", ") + port.device + (port.description.empty() ? "" : " (" + port.description + ")");
        if (byId.empty())
            byId = port.byIdLink;
    }
    if (named.empty())
        return {};
    return "; boards present: " + named + "; open one with --com-port auto" + (byId.empty() ? "" : " or --com-port " + byId);
}

} // namespace pontivo
