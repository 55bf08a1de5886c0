// What the relay takes in one message, for the service that enforces it and
// the bridges that must stay within it.
#pragma once

#include <QtGlobal>

namespace protocol {

// Largest text (JSON control) message the relay takes; on a larger one it
// closes the sender's connection, with every session on it.
inline constexpr qint64 kMaxRelayControlMessage = 2 * 1024 * 1024;

}  // namespace protocol
