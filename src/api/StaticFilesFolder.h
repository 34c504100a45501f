#pragma once

#include "http/HttpResponse.h"
#include "store/Segments.h"

#include <filesystem>
#include <string>
#include <vector>

namespace pontivo {

// The files folder, held open while a request is served. An entry is reached from the folder's
// descriptor in one resolution that both confines and opens it, so neither "..", nor a link, nor
// an entry swapped while it is looked at leads outside. Links that stay inside are followed, an
// absolute one too when it names a place inside the folder.
class StaticFilesFolder {
public:
    enum class Kind { Missing, File, Folder }; // Missing: absent, outside, or neither file nor folder
    // Kernel: openat2 confined beneath the folder where the kernel has it, else Walk: a component
    // at a time from the folder's descriptor, links read and resolved by hand.
    enum class Resolution { Kernel, Walk };

    struct Entry {
        Kind kind = Kind::Missing;
        FileBody file;                  // a file, open (never waited on); empty when it cannot be read
        std::vector<std::string> names; // a folder's entries, unsorted, "." and ".." left out
    };

    StaticFilesFolder(std::filesystem::path folder, Resolution resolution);
    ~StaticFilesFolder();
    StaticFilesFolder(const StaticFilesFolder&) = delete;
    StaticFilesFolder& operator=(const StaticFilesFolder&) = delete;

    // Components below the folder: "" and "." stay, ".." goes up but never above the folder.
    Entry Open(const Segments& relative) const;
    Kind KindOf(const Segments& relative) const;

private:
#ifndef _WIN32
    int Resolve(const Segments& relative, int flags) const;
    int Walk(const Segments& relative, int flags) const;
    bool InsideRoot(const std::string& target, Segments& rest) const;
    int m_descriptor = -1;
#endif
    std::filesystem::path m_folder;
    Resolution m_resolution;
};

} // namespace pontivo
