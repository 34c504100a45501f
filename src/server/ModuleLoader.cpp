#include "server/ModuleLoader.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QPluginLoader>
#include <QStringList>

#include <cstdio>
#include <filesystem>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace pontivo {
namespace {

// Known before any application object exists: the window's module creates that. Empty when
// unknown: the working folder is never a place to run code from.
QString ProgramFolder()
{
#ifdef Q_OS_WIN
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return QFileInfo(QString::fromWCharArray(path, static_cast<int>(length))).absolutePath();
#else
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? QString() : QString::fromStdString(program.parent_path().string());
#endif
}

// An override (tests, relocated installs), the build folder beside the program, an installed
// tree relative to bin/, then the folder it was built to be installed in. Only absolute folders:
// a relative one would load whatever the working folder holds.
QStringList ModuleFolders()
{
    QStringList folders;
    const QString overridden = qEnvironmentVariable("PONTIVO_MODULE_DIR");
    if (!overridden.isEmpty() && QDir::isRelativePath(overridden))
        std::fprintf(stderr, "pontivo: PONTIVO_MODULE_DIR=%s is ignored: it must be an absolute path\n",
                     qUtf8Printable(overridden));
    const QString program = ProgramFolder();
    folders << overridden << program;
    if (!program.isEmpty())
        folders << QDir::cleanPath(program + QStringLiteral("/../" PONTIVO_MODULE_SUBDIR));
    folders << QStringLiteral(PONTIVO_MODULE_INSTALL_DIR);
    folders.removeIf([](const QString& folder) { return folder.isEmpty() || QDir::isRelativePath(folder); });
    folders.removeDuplicates();
    return folders;
}

// The declaration is read from the file before anything in it runs: a module of another version never runs.
QObject* LoadDeclared(const QString& path, const char* iid, QString& error)
{
    const QString shown = QDir::toNativeSeparators(path);
    const QString expected = QLatin1String(iid);
    QPluginLoader loader(path);
    const QString declared = loader.metaData().value(QLatin1String("IID")).toString();
    if (declared.isEmpty()) {
        error = QStringLiteral("cannot load %1: %2 (expected %3)").arg(shown, loader.errorString(), expected);
        return nullptr;
    }
    if (declared != expected) {
        error = QStringLiteral("%1 is %2, expected %3").arg(shown, declared, expected);
        return nullptr;
    }
    QObject* const root = loader.instance();
    if (!root) {
        error = QStringLiteral("cannot load %1: %2").arg(shown, loader.errorString());
        return nullptr;
    }
    if (!root->qt_metacast(iid)) { // what qobject_cast to the interface asks
        error = QStringLiteral("%1 declares %2 but does not implement it").arg(shown, expected);
        return nullptr;
    }
    return root;
}

} // namespace

QObject* LoadModule(const QString& module, const char* iid, QString& error)
{
#ifdef Q_OS_WIN
    const QString file = module + QStringLiteral(".dll");
#else
    const QString file = module + QStringLiteral(".so");
#endif
    static const QStringList folders = ModuleFolders(); // said once, however many modules load
    for (const QString& folder : folders) {
        const QString path = folder + u'/' + file;
        if (QFileInfo::exists(path))
            return LoadDeclared(path, iid, error);
    }
    error = QStringLiteral("%1 was not found in %2").arg(file, folders.join(QStringLiteral(", ")));
    return nullptr;
}

} // namespace pontivo
