#pragma once

#include "server/CommandLine.h"

namespace pontivo {

// Runs --add-user, --add-token, --remove-user or --list-users on the users file; the exit status.
int RunUserCommand(const UserCommand& command);

} // namespace pontivo
