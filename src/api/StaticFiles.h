#pragma once

#include "http/HttpResponse.h"
#include "store/Segments.h"
#include "api/StaticFilesFolder.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace pontivo {

// What the placeholders of a served page stand for: the listener that answered.
struct ServerAddress {
    std::string hostName;
    std::string ip;
    std::uint16_t port = 0;
};

// The `files` command: maps a target onto the `files` folder and answers the file (its
// placeholders filled in), a folder's index.html, a folder listing or a not-found text.
// Nothing outside the folder is ever reached, whatever the segments or symlinks say.
class StaticFiles {
public:
    // Asked only when a served file holds a placeholder, so binary files cost no lookups.
    using AddressFunction = std::function<ServerAddress()>;

    static constexpr std::uintmax_t kMaxFileBytes = 256u * 1024 * 1024;
    // From this size on, a file goes out straight from the file as it stands, placeholders too.
    static constexpr std::uintmax_t kSendFromFileBytes = 256u * 1024;

    StaticFiles(std::filesystem::path filesFolder, AddressFunction address,
                StaticFilesFolder::Resolution resolution = StaticFilesFolder::Resolution::Kernel);

    // Segment 0 is the command. Sets the body, or opens `file` for a large file served as it is.
    void ServeFiles(const Segments& segments, std::string& body, FileBody& file) const;

private:
    void ServeFile(const std::string& path, FileBody opened, std::string& body, FileBody& file) const;
    static void ListFolder(const StaticFilesFolder& folder, const Segments& relative,
                           const std::vector<std::string>& names, std::string& body);

    std::filesystem::path m_folder;
    AddressFunction m_address;
    StaticFilesFolder::Resolution m_resolution;
};

// "[server]", then "[server_ip]", then "[server_port]", each replaced everywhere, case-sensitively.
void FillPlaceholders(std::string& text, const StaticFiles::AddressFunction& address);

} // namespace pontivo
