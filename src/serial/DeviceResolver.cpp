#include "DeviceResolver.h"

#include "LeadingNumber.h"

#include <QFileInfo>
#include <QStringList>

namespace pontivo {

DeviceResolution ResolveSerialDevice(const QString& comPortText, const QString& deviceFolder)
{
    if (comPortText.startsWith(QLatin1Char('/')))
        return {comPortText, {}};
    const auto number = CommPortFromText(comPortText.toStdString());
    if (!number || *number < 1 || *number > 99)
        return {{}, QStringLiteral("the COM port \"%1\" is not a number from 1 to 99").arg(comPortText)};
#ifdef Q_OS_WIN
    Q_UNUSED(deviceFolder);
    return {QStringLiteral("COM%1").arg(*number), {}};
#else
    QStringList tried;
    for (const char* family : {"ttyACM", "ttyUSB", "ttyS"}) {
        const QString device = QStringLiteral("%1/%2%3").arg(deviceFolder, QLatin1String(family)).arg(*number - 1);
        if (QFileInfo::exists(device))
            return {device, {}};
        tried << device;
    }
    return {{}, QStringLiteral("no device for COM%1 (none of %2 exists)").arg(*number).arg(tried.join(QStringLiteral(", ")))};
#endif
}

} // namespace pontivo
