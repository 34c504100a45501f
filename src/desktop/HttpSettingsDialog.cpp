#include "desktop/HttpSettingsDialog.h"

#include "server/ServerSettings.h"

#include <QLineEdit>

namespace pontivo {

HttpSettingsDialog::HttpSettingsDialog(QWidget* parent)
    : SettingsDialog(tr("Configure HTTP/Web Server"), {3150, 1500}, parent)
{
    const ServerSettings defaults;
    m_portEdit = addBox("httpPortLabel", tr("&Port:"), {240, 240}, "httpPortEdit", {1200, 180, 1680, 315},
                        defaults.httpPort, 4);
    addButtons(720);
}

QString HttpSettingsDialog::port() const
{
    return m_portEdit->text();
}

} // namespace pontivo
