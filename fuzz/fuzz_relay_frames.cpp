// Feeds arbitrary messages to the relay's reading of frames, as a binary
// message (routing by the data frame's session) and as a text message (a JSON
// control operation, and for "relay" the forward the relay writes from it).
#include "protocol/data_frame.h"
#include "relay_frames.h"
#include "wire_models.h"

#include <QCoreApplication>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

void asBinary(const QByteArray& bytes) {
  const auto route = kelvor::routeOfDataFrame(bytes);
  const auto* session = std::get_if<QByteArrayView>(&route);
  const auto whole = protocol::decodeDataFrame(bytes);
  // A frame that reads whole routes to the session of its header.
  if (whole && (!session || *session != QByteArrayView(whole->header.session))) std::abort();
  if (session) (void)QString::fromUtf8(*session);
}

void asText(const QByteArray& bytes) {
  // The WebSocket hands the relay valid UTF-8 only.
  const QString text = QString::fromUtf8(bytes);
  auto read = kelvor::readControlFrame(text.toUtf8());
  auto* frame = std::get_if<kelvor::ControlFrame>(&read);
  if (!frame) return;
  (void)kelvor::textField(frame->body, "Token");
  const auto body = frame->body.find("frame");
  if (frame->op != QLatin1String("relay") || body == frame->body.end()) return;
  kelvor::RelayForward forward;
  forward.Session = kelvor::textField(frame->body, "Session");
  forward.from = QStringLiteral("C1|C2");
  forward.frame = *body;
  (void)vex::dump(forward.toJSONModel());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static QCoreApplication app(*argc, *argv);
  std::fflush(stdout);
  if (std::FILE* null = std::fopen("/dev/null", "w")) ::dup2(::fileno(null), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
  asBinary(bytes);
  asText(bytes);
  return 0;
}
