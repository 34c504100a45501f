#include "server/BrokerBridge.h"

namespace pontivo {

// Out of line: the class's vtable and meta-object live in the core library alone.
BrokerBridge::~BrokerBridge() = default;

} // namespace pontivo
