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

bool ChunkedReader::takeTrailer() {
  for (const auto& [name, value] : reader_.trailer()) {
    if (name == kReasonField) {
      trailerReason_ = value.left(32);
      continue;
    }
    if (name == kWhyField) {
      trailerWhy_ = value.left(kMaxWhyBytes);
      continue;
    }
    if (name != "repr-digest") continue;
    const auto digest = digestOf(value);
    if (!digest || !trailerDigest_.label.isEmpty()) return false;
    trailerDigest_ = *digest;
  }
  return true;
}

}  // namespace vantrel::lan
