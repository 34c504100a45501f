#include "desktop/CacheDumpFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

namespace pontivo {
namespace {

const QString kFileName = QStringLiteral("Pontivo.txt");

bool writeWhole(const QString& path, const std::string& text, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error = file.errorString();
        return false;
    }
    const auto size = static_cast<qint64>(text.size());
    if (file.write(text.data(), size) != size || !file.flush()) {
        error = file.errorString();
        return false;
    }
    return true;
}

} // namespace

CacheDumpWrite writeCacheDump(const std::string& text)
{
    const QString here = QDir::current().absoluteFilePath(kFileName);
    QString hereError;
    if (writeWhole(here, text, hereError))
        return {here, {}};
    const QString temporary = QDir(QDir::tempPath()).absoluteFilePath(kFileName);
    QString temporaryError;
    if (writeWhole(temporary, text, temporaryError))
        return {temporary, {}};
    const QString error = QCoreApplication::translate("pontivo::CacheDumpFile",
                                                      "The cache could not be written to %1 (%2) nor to %3 (%4).");
    return {{},
            error.arg(QDir::toNativeSeparators(here), hereError, QDir::toNativeSeparators(temporary), temporaryError)};
}

} // namespace pontivo
