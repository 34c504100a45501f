#include "FilesService.h"

namespace pontivo {

FilesService::FilesService(QString filesFolder)
    : m_filesFolder(std::move(filesFolder))
{
}

void FilesService::Serve(const Segments& /*segments*/, std::string& /*body*/, quint16 /*listeningPort*/) const
{
    // The static files arrive with their own change; until then the command answers an empty body.
}

} // namespace pontivo
