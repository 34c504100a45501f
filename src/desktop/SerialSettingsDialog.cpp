#include "SerialSettingsDialog.h"

#include "DeviceResolver.h"
#include "PortList.h"

#include <QLineEdit>

namespace pontivo {

SerialSettingsDialog::SerialSettingsDialog(QWidget* parent)
    : SettingsDialog(QStringLiteral("Configure Serial/COM"), {3150, 1995}, parent)
{
    m_txtCOMPort = AddBox("Label3", QStringLiteral("&Port:"), {240, 300}, "txtCOMPort", {1200, 240, 1680, 315},
                          QStringLiteral("16"), 2);
    m_txtCOMSettings = AddBox("Label4", QStringLiteral("&Settings:"), {240, 780}, "txtCOMSettings",
                              {1200, 720, 1680, 315}, QStringLiteral("9600,n,8,1"), 0);
    AddButtons(1320);
    connect(m_txtCOMPort, &QLineEdit::textChanged, this, &SerialSettingsDialog::ShowDeviceHint);
    ShowDeviceHint();
}

QString SerialSettingsDialog::txtCOMPort() const
{
    return m_txtCOMPort->text();
}

QString SerialSettingsDialog::txtCOMSettings() const
{
    return m_txtCOMSettings->text();
}

// A port number means little off Windows; say which device it stands for here, and which
// number each port the system lists has.
void SerialSettingsDialog::ShowDeviceHint()
{
    const DeviceResolution resolution = ResolveSerialDevice(m_txtCOMPort->text());
    const QString hint = resolution.device.isEmpty()
                             ? resolution.error
                             : QStringLiteral("This port is %1 on this machine.").arg(resolution.device);
    const QString ports = QString::fromStdString(PortLines(AvailablePorts(), DeviceExists)).trimmed();
    m_txtCOMPort->setToolTip(hint + QStringLiteral("\n\n") + ports);
}

} // namespace pontivo
