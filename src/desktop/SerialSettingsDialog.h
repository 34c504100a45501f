#pragma once

#include "desktop/SettingsDialog.h"

namespace pontivo {

// Edits the board's port number (at most two characters) and its line settings.
class SerialSettingsDialog : public SettingsDialog {
    Q_OBJECT

public:
    explicit SerialSettingsDialog(QWidget* parent);

    QString port() const;
    QString lineSettings() const;

private slots:
    void showDeviceHint();

private:
    QLineEdit* m_portEdit;
    QLineEdit* m_lineSettingsEdit;
};

} // namespace pontivo
