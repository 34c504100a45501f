#pragma once

#include <QString>

namespace pontivo {

// The window and the broker bridge live in modules loaded on demand, so that a headless
// server maps neither the widget libraries nor the broker's TLS stack.
// Returns the module's entry point, or null with `error` saying what was looked for where.
// A loaded module stays loaded for the life of the process.
QFunctionPointer ModuleEntry(const QString& module, const char* entry, QString& error);

} // namespace pontivo
