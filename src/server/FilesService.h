#pragma once

#include "http/HttpResponse.h"
#include "store/Segments.h"

#include <QString>

#include <string>

namespace pontivo {

// Answers the `files` command from the `files` folder: pages with their placeholders
// filled in, folder listings, index.html, the not-found text.
class FilesService {
public:
    // An empty folder means: `files` beside the executable, else the installed data folder.
    explicit FilesService(QString filesFolder = {});

    // Looked up afresh for each request, so a folder created while running is found.
    QString Folder() const;
    // A large file without placeholders is handed back open, to be sent as it is read.
    void Serve(const Segments& segments, std::string& body, FileBody& file, quint16 listeningPort) const;

private:
    QString m_filesFolder;
};

} // namespace pontivo
