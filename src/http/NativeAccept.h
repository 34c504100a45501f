#pragma once

#include <QtGlobal>

namespace pontivo {

enum class AcceptOutcome { Accepted, NothingPending, OutOfResources, Failed };

struct AcceptResult {
    AcceptOutcome outcome;
    qintptr descriptor = -1;
};

// One non-blocking accept on a listening socket, with the failure sorted by what the
// caller should do about it.
AcceptResult NativeAccept(qintptr listener);

// Releases a descriptor that no socket object took over.
void CloseDescriptor(qintptr descriptor);

} // namespace pontivo
