// The test children listen on port 0 and say in a line of their output which
// port they got ("... listening on https://127.0.0.1:PORT"): no port is
// guessed free and then lost to another process before the child binds it.
#pragma once

#include <QRegularExpression>
#include <QString>

namespace testsupport {

// The loopback port named in `line`, or 0.
inline quint16 loopbackPortIn(const QString& line) {
  static const QRegularExpression port(QStringLiteral("127\\.0\\.0\\.1:(\\d{1,5})\\b"));
  const auto match = port.match(line);
  const uint value = match.hasMatch() ? match.captured(1).toUInt() : 0;
  return value <= 65535 ? quint16(value) : 0;
}

}  // namespace testsupport
