#pragma once

#include "desktop/SettingsDialog.h"

namespace pontivo {

// Edits the HTTP port text, at most four characters.
class HttpSettingsDialog : public SettingsDialog {
    Q_OBJECT

public:
    explicit HttpSettingsDialog(QWidget* parent);

    QString port() const;

private:
    QLineEdit* m_portEdit;
};

} // namespace pontivo
