#pragma once

#include "SettingsDialog.h"

namespace pontivo {

// Edits the board's port number (at most two characters) and its line settings.
class SerialSettingsDialog : public SettingsDialog {
    Q_OBJECT

public:
    explicit SerialSettingsDialog(QWidget* parent);

    QString txtCOMPort() const;
    QString txtCOMSettings() const;

private:
    void ShowDeviceHint();

    QLineEdit* m_txtCOMPort;
    QLineEdit* m_txtCOMSettings;
};

} // namespace pontivo
