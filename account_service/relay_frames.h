// Reading what a bridge sends on the relay, without any connection state:
// text frames are JSON control operations, binary frames are file data routed
// by the session in their header. Shared by the relay and its fuzzer.
#pragma once

#include "core/vex_json.h"
#include "protocol/relay_limits.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <variant>

namespace kelvor {

// Largest text (JSON control) message; larger ones are refused and the connection closed.
inline constexpr qint64 kMaxControlMessage = protocol::kMaxRelayControlMessage;
// Largest binary message: one data frame with the largest payload and header.
qint64 maxDataMessage();
inline constexpr int kMaxJsonDepth = 64;

struct ControlFrame {
  QString op;
  vex::Json body;
};
// Why a frame was refused, and whether the connection goes with it.
struct FrameRefusal {
  QString why;
  bool close = false;
};

// A text message as a control operation (a JSON object with "op"), or why not.
std::variant<ControlFrame, FrameRefusal> readControlFrame(const QByteArray& utf8);

// The session a binary message is for, or why it cannot be routed.
std::variant<QByteArrayView, FrameRefusal> routeOfDataFrame(QByteArrayView message);

// Whether the JSON text nests arrays/objects no deeper than `limit`
// (deep nesting would exhaust the stack when the frame is written again).
bool jsonDepthWithin(const QByteArray& text, int limit);

// A text member of a frame, empty when absent or not a text.
QString textField(const vex::Json& frame, const char* key);

}  // namespace kelvor
