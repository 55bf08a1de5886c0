#include "core/localized.h"

#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibraryInfo>
#include <QMutex>
#include <QTranslator>

namespace {

// Tables are read from the compiled-in resources once and kept: they never change.
const QHash<QString, QString>& table(const QString& name) {
  static QMutex mutex;
  static QHash<QString, QHash<QString, QString>> tables;
  QMutexLocker lock(&mutex);
  auto it = tables.find(name);
  if (it == tables.end()) {
    QHash<QString, QString> entries;
    QFile file(QStringLiteral(":/l10n/%1.json").arg(name));
    if (file.open(QIODevice::ReadOnly)) {
      const QJsonObject object = QJsonDocument::fromJson(file.readAll()).object();
      for (auto entry = object.begin(); entry != object.end(); ++entry)
        entries.insert(entry.key(), entry.value().toString());
    }
    it = tables.insert(name, entries);
  }
  return *it;
}

}  // namespace

QString localizedKeyString(const LocalizedStringKey& key) { return key.key; }

QString localizedTableName(const QLocale& locale) {
  return locale.language() == QLocale::Chinese ? QStringLiteral("zh-Hans") : QStringLiteral("en");
}

QString localizedString(const QString& key, const QLocale& locale) {
  const auto& entries = table(localizedTableName(locale));
  const auto it = entries.constFind(key);
  return it == entries.cend() || it->isEmpty() ? key : *it;
}

bool installQtTranslations(QCoreApplication* app, const QLocale& locale) {
  auto* qt = new QTranslator(app);
  if (!qt->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete qt;
    return false;
  }
  return QCoreApplication::installTranslator(qt);
}
