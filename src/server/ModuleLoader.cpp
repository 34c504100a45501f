#include "ModuleLoader.h"

#include <QDir>
#include <QFileInfo>
#include <QLibrary>
#include <QStringList>

#include <filesystem>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace pontivo {
namespace {

// Known before any application object exists: the window's module creates that.
QString ProgramFolder()
{
#ifdef Q_OS_WIN
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return QFileInfo(QString::fromWCharArray(path, static_cast<int>(length))).absolutePath();
#else
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? QDir::currentPath() : QString::fromStdString(program.parent_path().string());
#endif
}

// An override (tests, relocated installs), the build folder beside the program, an installed
// tree relative to bin/, then the folder it was built to be installed in.
QStringList ModuleFolders()
{
    QStringList folders;
    const QString overridden = qEnvironmentVariable("PONTIVO_MODULE_DIR");
    if (!overridden.isEmpty())
        folders << overridden;
    const QString program = ProgramFolder();
    folders << program << QDir::cleanPath(program + QStringLiteral("/../" PONTIVO_MODULE_SUBDIR))
            << QStringLiteral(PONTIVO_MODULE_INSTALL_DIR);
    folders.removeDuplicates();
    return folders;
}

} // namespace

QFunctionPointer ModuleEntry(const QString& module, const char* entry, QString& error)
{
#ifdef Q_OS_WIN
    const QString file = module + QStringLiteral(".dll");
#else
    const QString file = module + QStringLiteral(".so");
#endif
    const QStringList folders = ModuleFolders();
    for (const QString& folder : folders) {
        const QString path = folder + u'/' + file;
        if (!QFileInfo::exists(path))
            continue;
        QLibrary library(path);
        const QFunctionPointer function = library.load() ? library.resolve(entry) : nullptr;
        if (!function)
            error = QStringLiteral("cannot load %1: %2").arg(QDir::toNativeSeparators(path), library.errorString());
        return function;
    }
    error = QStringLiteral("%1 was not found in %2").arg(file, folders.join(QStringLiteral(", ")));
    return nullptr;
}

} // namespace pontivo
