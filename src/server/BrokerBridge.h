#pragma once

#include <QObject>
#include <QString>

namespace pontivo {

// What the server holds of a bridge made by the broker module (BrokerModule.h).
class BrokerBridge : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    ~BrokerBridge() override;

    // "open DEVICE" or "closed REASON": the board's link, told again at every reconnection.
    virtual void SetLinkState(const QString& state) = 0;

signals:
    // Once when connected, once per outage, once for each kind of message the broker is not given;
    // `text` is a whole sentence.
    void stateChanged(const QString& text, bool connected);
};

} // namespace pontivo
