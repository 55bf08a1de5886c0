// The start-up code shared by the client and its bridge process: the bridge
// starts only when given "-scode=" followed by this code, and the same text
// marks the client's bridge in the process list.
#pragma once

namespace bridgelink {

inline constexpr char kBridgeStartupCode[] = "16DE78C53A8137BAD8EBCE876D6F5F72";

// The bridge's exit code when another program holds its port (any other
// failure to start ends it with 1 or 2).
inline constexpr int kBridgeExitPortTaken = 3;

}  // namespace bridgelink
