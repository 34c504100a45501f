#pragma once

#include <QObject>
#include <QString>

namespace pontivo {

// The window and the broker bridge live in modules loaded on demand, so that a headless
// server maps neither the widget libraries nor the broker's TLS stack.
// Returns the root object of `module` once its declared interface is `iid`, or null with `error`
// saying what was looked for where, or what was found instead. A loaded module stays loaded for
// the life of the process, and so does its root object.
QObject* LoadModule(const QString& module, const char* iid, QString& error);

// The module's root object as the interface it was declared with (Q_DECLARE_INTERFACE).
template <class Interface>
Interface* LoadModule(const char* module, QString& error)
{
    return qobject_cast<Interface*>(LoadModule(QString::fromLatin1(module), qobject_interface_iid<Interface*>(), error));
}

} // namespace pontivo
