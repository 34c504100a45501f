#include "HttpSettingsDialog.h"

#include <QLineEdit>

namespace pontivo {

HttpSettingsDialog::HttpSettingsDialog(QWidget* parent)
    : SettingsDialog(QStringLiteral("Configure HTTP/Web Server"), {3150, 1500}, parent)
{
    m_txtSCKPort = AddBox("Label3", QStringLiteral("&Port:"), {240, 240}, "txtSCKPort", {1200, 180, 1680, 315},
                          QStringLiteral("8085"), 4);
    AddButtons(720);
}

QString HttpSettingsDialog::txtSCKPort() const
{
    return m_txtSCKPort->text();
}

} // namespace pontivo
