#include "password_hash.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QStringList>

#include <openssl/evp.h>

namespace kelvor {

namespace {

constexpr int kKeyLength = 32;
constexpr int kSaltLength = 16;

QByteArray randomBytes(int count) {
  QByteArray out(count, Qt::Uninitialized);
  auto* generator = QRandomGenerator::system();
  for (int i = 0; i < count; ++i) out[i] = static_cast<char>(generator->bounded(256));
  return out;
}

// OpenSSL's PBKDF2 gives the same key as any other in a fraction of the time,
// so the checks the service can afford keep up with more sign-ins.
QByteArray derive(const QString& password, const QByteArray& salt, int iterations) {
  const QByteArray secret = password.toUtf8();
  QByteArray key(kKeyLength, Qt::Uninitialized);
  if (PKCS5_PBKDF2_HMAC(secret.constData(), int(secret.size()), reinterpret_cast<const unsigned char*>(salt.constData()),
                        int(salt.size()), iterations, EVP_sha256(), kKeyLength,
                        reinterpret_cast<unsigned char*>(key.data())) != 1)
    return {};
  return key;
}

}  // namespace

QString hashPassword(const QString& password, int iterations) {
  const QByteArray salt = randomBytes(kSaltLength);
  const QByteArray key = derive(password, salt, iterations);
  return QStringLiteral("pbkdf2-sha256$%1$%2$%3")
      .arg(iterations)
      .arg(QString::fromLatin1(salt.toBase64()), QString::fromLatin1(key.toBase64()));
}

bool verifyPassword(const QString& password, const QString& record) {
  const QStringList parts = record.split(QLatin1Char('$'));
  if (parts.size() != 4 || parts[0] != QLatin1String("pbkdf2-sha256")) return false;
  bool ok = false;
  const int iterations = parts[1].toInt(&ok);
  if (!ok || iterations < 1 || iterations > 10'000'000) return false;
  const QByteArray salt = QByteArray::fromBase64(parts[2].toLatin1());
  const QByteArray expected = QByteArray::fromBase64(parts[3].toLatin1());
  if (salt.isEmpty() || expected.size() != kKeyLength) return false;
  return constantTimeEquals(derive(password, salt, iterations), expected);
}

bool constantTimeEquals(const QByteArray& a, const QByteArray& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (qsizetype i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

QString randomHex(int bytes) { return QString::fromLatin1(randomBytes(bytes).toHex()); }

QString sha256Hex(const QString& text) {
  return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex());
}

}  // namespace kelvor
