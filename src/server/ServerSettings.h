#pragma once

#include <QString>

namespace pontivo {

// The three settings texts, read exactly as the dialogs' boxes would give them. The values
// below are the defaults for the window, its dialogs and the command line alike.
struct ServerSettings {
    QString httpPort = QStringLiteral("8085");
    QString comPort = QStringLiteral("16");
    QString comSettings = QStringLiteral("9600,n,8,1");
};

} // namespace pontivo
