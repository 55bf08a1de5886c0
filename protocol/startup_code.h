// The start-up code shared by the client and its bridge process: the bridge
// starts only when given "-scode=" followed by this code, and the same text
// marks the client's bridge in the process list.
#pragma once

namespace bridgelink {

inline constexpr char kBridgeStartupCode[] = "16DE78C53A8137BAD8EBCE876D6F5F72";

}  // namespace bridgelink
