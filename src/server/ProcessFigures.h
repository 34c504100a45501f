#pragma once

#include "api/MetricsText.h"

namespace pontivo {

// This process's memory, CPU time and descriptors as the system tells them now.
ProcessFigures ReadProcessFigures(double startTime);

} // namespace pontivo
