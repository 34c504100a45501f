#include "serial/DeviceResolver.h"

#include "serial/LeadingNumber.h"
#include "serial/PortList.h"

#include <QFileInfo>
#include <QStringList>

namespace pontivo {

bool IsAutoPort(const QString& comPortText)
{
    return comPortText.compare(QLatin1String("auto"), Qt::CaseInsensitive) == 0;
}

DeviceResolution ResolveSerialDevice(const QString& comPortText, const QString& deviceFolder)
{
    if (comPortText.startsWith(QLatin1Char('/')))
        return {comPortText, {}};
    if (IsAutoPort(comPortText)) {
        const std::vector<PortRecord> ports = AvailablePorts();
        const PortRecord* usb = PickAuto(ports);
        if (!usb)
            return {{}, QStringLiteral("no USB serial port found")};
        return {QString::fromStdString(usb->device), {}};
    }
    const auto number = CommPortFromText(comPortText.toStdString());
    if (!number || *number < 1 || *number > 99)
        return {{}, QStringLiteral("the COM port \"%1\" is not a number from 1 to 99").arg(comPortText)};
#ifdef Q_OS_WIN
    Q_UNUSED(deviceFolder);
    return {QStringLiteral("COM%1").arg(*number), {}};
#else
    QStringList tried;
    for (const std::string& candidate : ComCandidates(*number, deviceFolder.toStdString())) {
        const QString device = QString::fromStdString(candidate);
        if (QFileInfo::exists(device))
            return {device, {}};
        tried << device;
    }
    return {{}, QStringLiteral("no device for COM%1 (none of %2 exists)").arg(*number).arg(tried.join(QStringLiteral(", ")))};
#endif
}

} // namespace pontivo
