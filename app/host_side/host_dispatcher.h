// The host side of the peer protocol: requests of remote clients, handed over
// by the inbound "WSDC" dispatcher, answered from this machine's shares; and
// the bridge's direct calls of a host function ("P2PCallHostFunc").
// Main thread only.
#pragma once

#include <QString>
#include <cstdint>

#include "core/vex_json.h"

namespace hostside {

// One request frame (the parsed "Data" of a "WSDC" frame): dispatched by its
// "Code" to one of the twenty handlers, in its account's turn
// (host_side/host_turns.h). Unknown codes are logged, unanswered.
void handleRequest(const vex::Json& frame);

// One host function call (the parsed "Data" of a "P2PCallHostFunc" frame),
// served in its account's turn too.
void handleHostFunction(const vex::Json& frame);

// Sessions count for "ClientTouch" when they pinged within this many seconds.
inline constexpr uint64_t kSessionActiveSeconds = 60;
// The number of sessions that pinged within the window, as of `now`.
int64_t activeSessionCount(uint64_t now);

}  // namespace hostside
