// Salted PBKDF2-SHA256 password records: "pbkdf2-sha256$<iterations>$<salt>$<key>"
// with salt and key in Base64. Plain passwords are never stored.
#pragma once

#include <QByteArray>
#include <QString>

namespace kelvor {

inline constexpr int kPasswordIterations = 60000;

QString hashPassword(const QString& password, int iterations = kPasswordIterations);
// False for a wrong password and for a record that cannot be read.
bool verifyPassword(const QString& password, const QString& record);

// Comparison whose time does not depend on where the two differ.
bool constantTimeEquals(const QByteArray& a, const QByteArray& b);
// `bytes` random bytes from the system generator, as lower-case hex.
QString randomHex(int bytes);
// Lower-case hex SHA-256 of the UTF-8 text.
QString sha256Hex(const QString& text);

}  // namespace kelvor
