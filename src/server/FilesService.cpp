#include "server/FilesService.h"

#include "net/NativeSocket.h"
#include "api/StaticFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

namespace pontivo {
namespace {

// Beside the executable when built or unpacked; an installed program in bin/ finds its data in share/,
// or else in the data folder it was built for (a program reached through a link from elsewhere).
QString LocateFilesFolder()
{
    const QString programFolder = QCoreApplication::applicationDirPath();
    const QString beside = programFolder + QStringLiteral("/files");
    const QString candidates[] = {beside, QDir::cleanPath(programFolder + QStringLiteral("/../share/pontivo/files")),
                                  QStringLiteral(PONTIVO_DATA_DIR "/files")};
    for (const QString& folder : candidates) {
        if (QFileInfo(folder).isDir())
            return folder;
    }
    return beside;
}

std::filesystem::path NativePath(const QString& path)
{
#ifdef Q_OS_WIN
    return std::filesystem::path(QDir::toNativeSeparators(path).toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(path).toStdString());
#endif
}

} // namespace

FilesService::FilesService(QString filesFolder)
    : m_filesFolder(std::move(filesFolder))
{
}

QString FilesService::Folder() const
{
    return m_filesFolder.isEmpty() ? LocateFilesFolder() : m_filesFolder;
}

void FilesService::Serve(const Segments& segments, std::string& body, FileBody& file, quint16 listeningPort) const
{
    const StaticFiles files(NativePath(Folder()), [listeningPort] {
        return ServerAddress{QSysInfo::machineHostName().toStdString(), FirstIpv4Address(), listeningPort};
    });
    files.ServeFiles(segments, body, file);
}

} // namespace pontivo
