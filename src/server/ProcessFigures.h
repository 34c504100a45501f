#pragma once

#include "api/MetricsText.h"

namespace pontivo {

// This process's memory, CPU time and descriptors as the system tells them now.
ProcessFigures ReadProcessFigures(double startTime);

// Gives the system back the heap's free pages. After a busy moment the heap is mostly free pieces
// between blocks still in use, which glibc keeps resident; the process then stays several MiB larger
// than what it holds. Does nothing elsewhere.
void ReturnFreeMemory();

} // namespace pontivo
