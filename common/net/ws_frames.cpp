#include "ws_frames.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QtEndian>

#include <cstring>

namespace znet::ws {

namespace {

constexpr char kAcceptMagic[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

int lengthBytesFor(qint64 size) { return size < 126 ? 0 : size <= 0xFFFF ? 2 : 8; }

// Writes the header at `out`; the bytes it took.
int writeHeader(quint8* out, quint8 opcode, qint64 size, bool masked) {
  const int lengthBytes = lengthBytesFor(size);
  out[0] = quint8(0x80 | opcode);
  out[1] = quint8((masked ? 0x80 : 0) | (lengthBytes == 0 ? size : lengthBytes == 2 ? 126 : 127));
  if (lengthBytes == 2) qToBigEndian<quint16>(quint16(size), out + 2);
  if (lengthBytes == 8) qToBigEndian<quint64>(quint64(size), out + 2);
  return 2 + lengthBytes;
}

}  // namespace

QByteArray acceptFor(const QByteArray& key) {
  return QCryptographicHash::hash(key + kAcceptMagic, QCryptographicHash::Sha1).toBase64();
}

namespace {

// 32 bytes at a time, at any alignment; built for AVX2 where the processor has
// it (one pass over every relayed byte), SSE2 otherwise.
using Block = unsigned long long __attribute__((vector_size(32)));

// The choice between the builds is made by a resolver that the dynamic loader
// runs before ThreadSanitizer's runtime is set up, which crashes the process:
// a ThreadSanitizer build has one plain build.
#if defined(__SANITIZE_THREAD__)
#define ZARKELO_MASK_BUILDS
#else
#define ZARKELO_MASK_BUILDS __attribute__((target_clones("avx2", "default")))
#endif

ZARKELO_MASK_BUILDS void maskBlocks(char* to, const char* from, qint64 blocks, quint64 k64) {
  const Block key = {k64, k64, k64, k64};
  for (qint64 i = 0; i < blocks; ++i) {
    Block v;  // copied in and out: unaligned loads and stores
    std::memcpy(&v, from + i * 32, 32);
    v ^= key;
    std::memcpy(to + i * 32, &v, 32);
  }
}

}  // namespace

void maskCopy(char* to, const char* from, qint64 size, const quint8 key[4], int phase) {
  // The mask repeats every four bytes, so k[i % 8] is the mask byte of position i.
  quint8 k[8];
  for (int i = 0; i < 8; ++i) k[i] = key[(phase + i) % 4];
  quint64 k64;
  std::memcpy(&k64, k, 8);
  const qint64 blocks = size / 32;
  maskBlocks(to, from, blocks, k64);
  for (qint64 i = blocks * 32; i < size; ++i) to[i] = char(quint8(from[i]) ^ k[i % 8]);
}

QByteArray frame(quint8 opcode, QByteArrayView head, QByteArrayView body, bool masked) {
  const qint64 size = head.size() + body.size();
  QByteArray out(2 + lengthBytesFor(size) + (masked ? 4 : 0) + size, Qt::Uninitialized);
  auto* bytes = reinterpret_cast<quint8*>(out.data());
  int at = writeHeader(bytes, opcode, size, masked);
  char* payload = out.data() + at;
  if (!masked) {
    if (!head.isEmpty()) std::memcpy(payload, head.data(), size_t(head.size()));
    if (!body.isEmpty()) std::memcpy(payload + head.size(), body.data(), size_t(body.size()));
    return out;
  }
  quint8* key = bytes + at;
  const quint32 random = QRandomGenerator::global()->generate();
  std::memcpy(key, &random, 4);
  payload += 4;
  maskCopy(payload, head.data(), head.size(), key, 0);
  maskCopy(payload + head.size(), body.data(), body.size(), key, int(head.size() % 4));
  return out;
}

QByteArray header(quint8 opcode, qint64 size) {
  quint8 bytes[10];
  const int used = writeHeader(bytes, opcode, size, false);
  return QByteArray(reinterpret_cast<const char*>(bytes), used);
}

FrameReader::Result FrameReader::fault(const char* why) {
  error_ = QString::fromLatin1(why);
  return Result::Fault;
}

FrameReader::Result FrameReader::feed(const char* data, qint64 size, Sink& sink) {
  while (size > 0) {
    if (stage_ == Stage::Header) {
      const int take = int(std::min<qint64>(headerNeed_ - headerHave_, size));
      std::memcpy(header_ + headerHave_, data, size_t(take));
      headerHave_ += take, data += take, size -= take;
      if (headerHave_ < headerNeed_) continue;
      if (const Result r = headerDone(sink); r != Result::More) return r;
      continue;
    }
    const qint64 take = std::min(remaining_, size);
    QByteArray& into = opcode_ >= kClose ? control_ : message_;
    const qsizetype at = into.size();
    into.resize(at + take);
    if (masked_)
      maskCopy(into.data() + at, data, take, key_, phase_);
    else
      std::memcpy(into.data() + at, data, size_t(take));
    phase_ = int((phase_ + take) % 4);
    data += take, size -= take, remaining_ -= take;
    if (remaining_ == 0)
      if (const Result r = frameDone(sink); r != Result::More) return r;
  }
  return Result::More;
}

FrameReader::Result FrameReader::headerDone(Sink& sink) {
  if (headerHave_ == 2) {
    const bool isMasked = header_[1] & 0x80;
    if (isMasked != masked_) return fault(masked_ ? "an unmasked frame" : "a masked frame");
    if (header_[0] & 0x70) return fault("reserved bits set");
    const quint8 length = header_[1] & 0x7F;
    headerNeed_ = 2 + (length == 126 ? 2 : length == 127 ? 8 : 0) + (masked_ ? 4 : 0);
    if (headerNeed_ > 2) return Result::More;  // the extended length and the key follow
  }
  fin_ = header_[0] & 0x80;
  opcode_ = header_[0] & 0x0F;
  const quint8 length = header_[1] & 0x7F;
  quint64 size = length;
  int at = 2;
  if (length == 126) size = qFromBigEndian<quint16>(header_ + 2), at = 4;
  if (length == 127) size = qFromBigEndian<quint64>(header_ + 2), at = 10;
  if (masked_) std::memcpy(key_, header_ + at, 4);
  headerHave_ = 0;
  headerNeed_ = 2;
  phase_ = 0;
  if (opcode_ >= kClose) {
    if (opcode_ != kClose && opcode_ != kPing && opcode_ != kPong) return fault("an unknown frame");
    if (!fin_ || size > quint64(kMaxControlPayload)) return fault("a malformed control frame");
    control_.clear();
  } else {
    if (opcode_ != kContinuation && opcode_ != kText && opcode_ != kBinary) return fault("an unknown frame");
    if ((opcode_ == kContinuation) != (messageOpcode_ != 0)) return fault("frames out of order");
    // Checked from the header, before any of the payload is kept.
    if (size > quint64(maxMessage_) || quint64(message_.size()) + size > quint64(maxMessage_))
      return fault("a message that is too large");
    if (opcode_ != kContinuation) messageOpcode_ = opcode_, message_.clear();
    // Room for this frame, and a little for a short frame that may follow.
    message_.reserve(message_.size() + qsizetype(size) + (fin_ ? 0 : 4096));
  }
  remaining_ = qint64(size);
  stage_ = Stage::Payload;
  return remaining_ > 0 ? Result::More : frameDone(sink);
}

FrameReader::Result FrameReader::frameDone(Sink& sink) {
  stage_ = Stage::Header;
  if (opcode_ >= kClose) return sink.onControl(opcode_, control_) ? Result::More : Result::Stopped;
  if (!fin_) return Result::More;
  const quint8 opcode = messageOpcode_;
  messageOpcode_ = 0;
  return sink.onMessage(opcode, std::exchange(message_, QByteArray())) ? Result::More : Result::Stopped;
}

}  // namespace znet::ws
