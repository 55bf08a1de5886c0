// The client's one WebSocket connection to its bridge process and the frame
// writers. Main thread only.
#pragma once

#include "core/vex_json.h"

#include <QString>
#include <QUrl>

#include <functional>
#include <string>

namespace bridgelink {

// Frames larger than this are dropped by the dispatcher; the socket refuses
// messages beyond kMaxSocketMessageBytes outright.
inline constexpr qsizetype kMaxFrameBytes = 16 * 1024 * 1024;
inline constexpr qint64 kMaxSocketMessageBytes = 64 * 1024 * 1024;
// Handshake time-out of a connection attempt.
inline constexpr int kHandshakeTimeoutMs = 5000;

// "ws://127.0.0.1:<port>/ws"
QUrl bridgeUrl();

// Called on each connected event to start the version check; installed by the shell.
void setVersionCheckStarter(std::function<void()> starter);

// Drops the current socket without a close handshake (used before a new attempt
// and when the process ends).
void dropSocket();

}  // namespace bridgelink

// Starts a connection attempt unless the bridge is already connected; the
// outcome arrives as socket events.
void ConnectBridge();

// Writes one frame whose "Data" is a JSON string holding `text`. Nothing is
// written while the bridge is not connected.
void SendToBridge(const QString& code, const QString& text);
void SendToBridge(const QString& code, const std::string& text);

// Writes one frame whose "Data" is `data` nested as it is.
void SendObjectToBridge(const QString& code, const vex::Json& data);

template <class Model>
  requires vex::Model<Model>
void SendObjectToBridge(const QString& code, const Model& object) {
  SendObjectToBridge(code, object.toJSONModel());
}
