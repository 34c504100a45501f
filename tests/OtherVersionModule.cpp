#include <QObject>
#include <QtPlugin>

// A module built for another version of the program's interface (PONTIVO_OTHER_IID): the program must
// refuse it from its declaration alone.
class OtherVersionModule : public QObject {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID PONTIVO_OTHER_IID)
};

#include "OtherVersionModule.moc"
