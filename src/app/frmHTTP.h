#pragma once

#include "SettingsDialog.h"

namespace pontivo {

// Edits the HTTP port text, at most four characters.
class frmHTTP : public SettingsDialog {
    Q_OBJECT

public:
    explicit frmHTTP(QWidget* parent);

    QString txtSCKPort() const;

private:
    QLineEdit* m_txtSCKPort;
};

} // namespace pontivo
