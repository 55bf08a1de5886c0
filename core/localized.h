// Localised text: user-facing texts are looked up by key in the table of the
// user's language ("zh-Hans" when the language is Chinese, "en" otherwise).
// A key the table lacks shows as the key itself.
#pragma once

#include <QCoreApplication>
#include <QLocale>
#include <QString>

// A localisable key, made from a literal key text.
struct LocalizedStringKey {
  QString key;
  explicit LocalizedStringKey(QString text) : key(std::move(text)) {}
};

// The key text of a key value.
QString localizedKeyString(const LocalizedStringKey& key);

// The display text of `key` in the table chosen by `locale`.
QString localizedString(const QString& key, const QLocale& locale = QLocale());

// The table folder chosen for a locale: "zh-Hans" or "en".
QString localizedTableName(const QLocale& locale);

// Loads Qt's own texts (the buttons and labels of its dialogs) in the user's
// language beside ours, where they are installed (Debian: qt6-translations-l10n);
// the translator belongs to `app`. Whether they were found.
bool installQtTranslations(QCoreApplication* app, const QLocale& locale = QLocale());

// Shorthand used by the screens: the text of `key` for the current locale.
inline QString L(const char* key) { return localizedString(QString::fromUtf8(key)); }
