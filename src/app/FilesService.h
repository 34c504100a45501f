#pragma once

#include "Segments.h"

#include <QString>

#include <string>

namespace pontivo {

// Answers the `files` command from the `files` folder: pages with their placeholders
// filled in, folder listings, index.html, the not-found text.
class FilesService {
public:
    // An empty folder means: `files` beside the executable, else the installed data folder.
    explicit FilesService(QString filesFolder = {});

    void Serve(const Segments& segments, std::string& body, quint16 listeningPort) const;

private:
    QString m_filesFolder;
};

} // namespace pontivo
