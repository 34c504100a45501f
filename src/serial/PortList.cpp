#include "serial/PortList.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSerialPortInfo>

namespace pontivo {
namespace {

// Device path -> its link in the by-id folder (udev's names, stable across replugging).
QHash<QString, QString> StableLinks(const QString& byIdFolder)
{
    QHash<QString, QString> links;
    const QFileInfoList entries = QDir(byIdFolder).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries)
        if (entry.isSymLink() && !entry.canonicalFilePath().isEmpty())
            links.insert(entry.canonicalFilePath(), entry.absoluteFilePath());
    return links;
}

} // namespace

std::vector<PortRecord> AvailablePorts(const QString& byIdFolder)
{
    const QHash<QString, QString> links = StableLinks(byIdFolder);
    std::vector<PortRecord> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
#ifdef Q_OS_WIN
        const QString device = info.portName();
#else
        const QString device = info.systemLocation();
#endif
        PortRecord port;
        port.device = device.toStdString();
        if (info.hasVendorIdentifier())
            port.vendorId = info.vendorIdentifier();
        if (info.hasProductIdentifier())
            port.productId = info.productIdentifier();
        port.serialNumber = info.serialNumber().toStdString();
        port.manufacturer = info.manufacturer().toStdString();
        port.description = info.description().toStdString();
        port.byIdLink = links.value(QFileInfo(device).canonicalFilePath()).toStdString();
        ports.push_back(std::move(port));
    }
    SortPorts(ports);
    return ports;
}

bool DeviceExists(const std::string& path)
{
    return QFileInfo::exists(QString::fromStdString(path));
}

} // namespace pontivo
