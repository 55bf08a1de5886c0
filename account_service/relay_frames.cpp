#include "relay_frames.h"

#include "protocol/data_frame.h"

namespace kelvor {

qint64 maxDataMessage() {
  // version, kind, session size, session, transfer size, transfer, file, offset, payload size
  return qint64(protocol::kMaxDataFramePayload) + 4 + protocol::kMaxDataFrameSession + 1 + 255 + 16;
}

bool jsonDepthWithin(const QByteArray& text, int limit) {
  return vex::nestingDepth(std::string_view(text.constData(), std::size_t(text.size()))) <= std::size_t(limit);
}

QString textField(const vex::Json& frame, const char* key) {
  const auto it = frame.find(key);
  if (it == frame.end() || !it->is_string()) return {};
  return QString::fromStdString(it->get<std::string>());
}

std::variant<ControlFrame, FrameRefusal> readControlFrame(const QByteArray& utf8) {
  if (utf8.size() > kMaxControlMessage) return FrameRefusal{QStringLiteral("frame too large"), true};
  if (!jsonDepthWithin(utf8, kMaxJsonDepth)) return FrameRefusal{QStringLiteral("frame nested too deeply")};
  auto body = vex::Json::parse(utf8.constData(), utf8.constData() + utf8.size(), nullptr, false);
  if (!body.is_object()) return FrameRefusal{QStringLiteral("not a JSON object")};
  ControlFrame frame;
  frame.op = textField(body, "op");
  frame.body = std::move(body);
  return frame;
}

std::variant<QByteArrayView, FrameRefusal> routeOfDataFrame(QByteArrayView message) {
  if (message.size() > maxDataMessage()) return FrameRefusal{QStringLiteral("data frame too large"), true};
  const auto session = protocol::dataFrameSession(message);
  if (!session) return FrameRefusal{QStringLiteral("malformed data frame")};
  return *session;
}

}  // namespace kelvor
