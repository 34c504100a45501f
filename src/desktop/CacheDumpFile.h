#pragma once

#include <QString>

#include <string>

namespace pontivo {

struct CacheDumpWrite {
    QString path;  // where the dump now lies; empty when it could not be written
    QString error; // why not, when path is empty
};

// Writes the dump as "Pontivo.txt" in the current directory, or in the temporary folder
// when the current directory cannot take it (a read-only folder, a program started from /).
CacheDumpWrite writeCacheDump(const std::string& text);

} // namespace pontivo
