#pragma once

#include "http/AccessRules.h"
#include "http/HttpTimings.h"

#include <QString>

namespace pontivo {

// Fixed for the program's run, for the window's server as for the headless one.
struct NetworkGuard {
    QString bindAddress; // empty: every interface, IPv4 and IPv6
    AccessRules access;
    ClientLimits perClient{};
};

} // namespace pontivo
