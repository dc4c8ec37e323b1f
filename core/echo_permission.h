// What the station says when this machine does not let it send an ICMP echo at all, so the
// operator mends the station instead of failing a good unit as dead.
#pragma once

#include <string>

namespace tolvek {

// The run's message (UTF-8) for an echo that could not be sent: says so, and names the two
// ways to allow it, the capability with this program's own path.
std::string NoEchoPermissionMessage();

} // namespace tolvek
