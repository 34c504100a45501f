#include "desktop/SerialSettingsDialog.h"

#include "serial/DeviceResolver.h"
#include "serial/PortList.h"
#include "server/ServerSettings.h"

#include <QLineEdit>

namespace pontivo {

SerialSettingsDialog::SerialSettingsDialog(QWidget* parent)
    : SettingsDialog(tr("Configure Serial/COM"), {3150, 1995}, parent)
{
    const ServerSettings defaults;
    m_portEdit = addBox("serialPortLabel", tr("&Port:"), {240, 300}, "serialPortEdit", {1200, 240, 1680, 315},
                        defaults.comPort, 2);
    m_lineSettingsEdit = addBox("serialSettingsLabel", tr("&Settings:"), {240, 780}, "serialSettingsEdit",
                                {1200, 720, 1680, 315}, defaults.comSettings, 0);
    addButtons(1320);
    connect(m_portEdit, &QLineEdit::textChanged, this, &SerialSettingsDialog::showDeviceHint);
    showDeviceHint();
}

QString SerialSettingsDialog::port() const
{
    return m_portEdit->text();
}

QString SerialSettingsDialog::lineSettings() const
{
    return m_lineSettingsEdit->text();
}

// A port number means little off Windows; say which device it stands for here, and which
// number each port the system lists has.
void SerialSettingsDialog::showDeviceHint()
{
    const DeviceResolution resolution = ResolveSerialDevice(m_portEdit->text());
    const QString hint =
        resolution.device.isEmpty() ? resolution.error : tr("This port is %1 on this machine.").arg(resolution.device);
    const QString ports = QString::fromStdString(PortLines(AvailablePorts(), DeviceExists)).trimmed();
    m_portEdit->setToolTip(hint + QStringLiteral("\n\n") + ports);
}

} // namespace pontivo
