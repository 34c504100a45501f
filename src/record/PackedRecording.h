#pragma once

#include <string>

namespace pontivo {

// A recording of the packed format (2), where a row held many writes: its rows are moved into the present
// format once, and the original is kept beside the file.
class PackedRecording {
public:
    static constexpr const char* kKeptSuffix = ".format2";

    // Moves the file to FILE.format2 and writes its writes, removals, resets and link changes as rows of a
    // new FILE. False with a one-line reason (the file then is as it was).
    static bool Convert(const std::string& path, std::string& error);

private:
    static bool Copy(const std::string& from, const std::string& to, std::string& error);
};

} // namespace pontivo
