// Feeds arbitrary messages to the relay's reading of frames, as a binary
// message (routing by the data frame's session, and a frame of small files
// read as a bridge reads it) and as a text message (a JSON
// control operation, and for "relay" the forward the relay writes from it);
// and arbitrary bytes to its WebSocket framing as they come off a connection,
// whole and in two pieces, which must read the same.
#include "common/net/ws_frames.h"
#include "protocol/data_frame.h"
#include "relay_frames.h"
#include "wire_models.h"

#include <QCoreApplication>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

void asBinary(const QByteArray& bytes) {
  const auto route = kelvor::routeOfDataFrame(bytes);
  const auto* session = std::get_if<QByteArrayView>(&route);
  const auto whole = protocol::decodeDataFrame(bytes);
  // A frame that reads whole routes to the session of its header.
  if (whole && (!session || *session != QByteArrayView(whole->header.session))) std::abort();
  if (session) (void)QString::fromUtf8(*session);
  // A frame of several small files, as a receiving bridge reads it with
  // either width of check: every file read lies inside the payload.
  if (whole && whole->header.file == protocol::kPackedFiles)
    for (const qsizetype digestBytes : {16, 32})
      if (const auto files = protocol::decodePackedFiles(whole->payload, whole->header.offset, digestBytes))
        for (const protocol::PackedFile& f : *files)
          if (f.digest.size() != digestBytes || f.bytes.data() < whole->payload.data() ||
              f.bytes.data() + f.bytes.size() > whole->payload.data() + whole->payload.size())
            std::abort();
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

// What a reader handed on: each message or control frame with its opcode.
struct Collected : znet::ws::FrameReader::Sink {
  std::vector<std::pair<quint8, QByteArray>> got;
  bool onMessage(quint8 opcode, QByteArray&& message) override {
    got.emplace_back(opcode, std::move(message));
    return true;
  }
  bool onControl(quint8 opcode, const QByteArray& payload) override {
    got.emplace_back(opcode, payload);
    return opcode != znet::ws::kClose;
  }
};

void asStream(const QByteArray& bytes) {
  constexpr qint64 kLimit = 64 * 1024;
  Collected whole, split;
  znet::ws::FrameReader one(true, kLimit), two(true, kLimit);
  const auto a = one.feed(bytes.constData(), bytes.size(), whole);
  const qint64 cut = bytes.isEmpty() ? 0 : quint8(bytes[0]) % (bytes.size() + 1);
  auto b = two.feed(bytes.constData(), cut, split);
  if (b == znet::ws::FrameReader::Result::More) b = two.feed(bytes.constData() + cut, bytes.size() - cut, split);
  if (a != b || whole.got != split.got) std::abort();
  for (const auto& [opcode, payload] : whole.got)
    if (payload.size() > kLimit) std::abort();
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
  asStream(bytes);
  return 0;
}
