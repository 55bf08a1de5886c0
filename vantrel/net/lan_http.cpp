#include "lan_http.h"

#include <QList>

namespace vantrel::lan {

namespace {
bool isLabel(QByteArrayView label) {
  if (label.isEmpty() || label.size() > 32) return false;
  for (const char c : label)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
  return true;
}
}  // namespace

QByteArray digestField(const Digest& digest) { return digest.label + "=:" + digest.bytes.toBase64() + ':'; }

// One "label=:BASE64:" member; the digest between 16 and 64 bytes.
std::optional<Digest> digestOf(const QByteArray& fieldValue) {
  const qsizetype equals = fieldValue.indexOf("=:");
  if (equals <= 0 || !fieldValue.endsWith(':') || fieldValue.size() < equals + 3) return std::nullopt;
  const QByteArray label = fieldValue.left(equals).toLower();
  if (!isLabel(label)) return std::nullopt;
  const auto decoded = QByteArray::fromBase64Encoding(fieldValue.mid(equals + 2, fieldValue.size() - equals - 3),
                                                      QByteArray::AbortOnBase64DecodingErrors);
  if (!decoded || decoded.decoded.size() < 16 || decoded.decoded.size() > 64) return std::nullopt;
  return Digest{label, decoded.decoded};
}

bool wantsDigest(const QByteArray& fieldValue, const QByteArray& label) {
  for (const QByteArray& member : fieldValue.split(',')) {
    const QList<QByteArray> parts = member.split('=');
    if (parts.size() == 2 && parts[0].trimmed().toLower() == label) {
      bool ok = false;
      const int preference = parts[1].trimmed().toInt(&ok);
      return ok && preference > 0;
    }
  }
  return false;
}

QByteArray chunkStart(qint64 size) { return QByteArray::number(size, 16) + "\r\n"; }

QByteArray lastChunk(const Digest& digest) { return "0\r\nRepr-Digest: " + digestField(digest) + "\r\n\r\n"; }

QByteArray brokenOff(const QByteArray& code, const QString& why) {
  QByteArray line = why.toUtf8().left(kMaxWhyBytes);
  for (char& c : line)
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  return "0\r\nX-Zarkelo-Reason: " + code + "\r\nX-Zarkelo-Why: " + line + "\r\n\r\n";
}

bool ChunkedReader::lineDone(const char* data, qint64 size, qint64* i) {
  while (*i < size) {
    const char c = data[(*i)++];
    if (c == '\n') {
      if (!line_.endsWith('\r')) return line_.append('\x01'), true;  // a bare LF: refused in onLine
      line_.chop(1);
      return true;
    }
    line_.append(c);
    if (line_.size() > 1024) return false;
  }
  return false;
}

ChunkedReader::Status ChunkedReader::onLine() {
  const QByteArray line = line_;
  line_.clear();
  if (line.contains('\x01')) return Status::Bad;
  switch (state_) {
    case State::Size: {
      // No chunk extensions are sent by our side; refuse them.
      bool ok = false;
      const qint64 size = line.toLongLong(&ok, 16);
      if (!ok || line.isEmpty() || line.size() > 8 || size < 0 || size > kMaxChunkBytes) return Status::Bad;
      for (char c : line)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return Status::Bad;
      remaining_ = size;
      state_ = size == 0 ? State::Trailer : State::Data;
      return Status::More;
    }
    case State::DataEnd:
      if (!line.isEmpty()) return Status::Bad;
      state_ = State::Size;
      return Status::More;
    case State::Trailer: {
      if (line.isEmpty()) {
        state_ = State::Done;
        return Status::Done;
      }
      const qsizetype colon = line.indexOf(':');
      if (colon <= 0 || ++trailerLines_ > 8) return Status::Bad;
      const QByteArray name = line.left(colon).trimmed().toLower();
      const QByteArray value = line.mid(colon + 1).trimmed();
      if (name == "repr-digest") {
        const auto digest = digestOf(value);
        if (!digest || !trailerDigest_.label.isEmpty()) return Status::Bad;
        trailerDigest_ = *digest;
      } else if (name == kReasonField) {
        trailerReason_ = value.left(32);
      } else if (name == kWhyField) {
        trailerWhy_ = value.left(kMaxWhyBytes);
      }
      return Status::More;
    }
    default:
      return Status::Bad;
  }
}

}  // namespace vantrel::lan
