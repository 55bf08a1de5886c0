#include "bridge/env.h"

#include <QLocale>
#include <QRandomGenerator>
#include <QRegularExpression>

namespace envconfig {

int envModeFromEnvironment() {
  bool ok = false;
  const int mode = qEnvironmentVariableIntValue("ZARKELO_ENV_MODE", &ok);
  return ok && mode >= 0 ? mode : 2;
}

quint16 bridgePortFromEnvironment() {
  bool ok = false;
  const int port = qEnvironmentVariableIntValue("ZARKELO_BRIDGE_PORT", &ok);
  return ok && port > 0 && port < 65536 ? quint16(port) : quint16(19961);
}

QString bridgePortVariable() {
  static const QRegularExpression name(QStringLiteral("^[A-Z][A-Z0-9_]{0,63}$"));
  const QString given = qEnvironmentVariable("ZARKELO_BRIDGE_PORT_VARIABLE");
  return name.match(given).hasMatch() ? given : QStringLiteral("ZARKELO_BRIDGE_PORT");
}

QString bridgeSecretFor(int envMode) {
  if (envMode < 2) return qEnvironmentVariable("ZARKELO_BRIDGE_SECRET");
  QString secret;
  for (int i = 0; i < 4; ++i)
    secret += QStringLiteral("%1").arg(QRandomGenerator::system()->generate(), 8, 16, QLatin1Char('0'));
  return secret.toUpper();
}

QString appVersion() { return QStringLiteral(ZARKELO_APP_VERSION); }

QString currentLanguageCode() {
  const QString name = QLocale().name();  // "en_US", "zh_CN", "C"
  const QString code = name.section(QLatin1Char('_'), 0, 0);
  return code == QStringLiteral("C") ? QStringLiteral("en") : code;
}

}  // namespace envconfig
