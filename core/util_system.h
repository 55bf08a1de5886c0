// File-system, path and format helpers shared by every part of the client.
//
// Paths come in two kinds, because remote hosts report their own: a path whose
// first character is "/" is a slash path; any other is a backslash path, whose
// drive is two characters such as "C:". "The separator of a path" below is the
// one its kind uses.
#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QStringList>

#include <functional>

// The user's documents folder with `name` appended as one path component.
QString documentsPath(const QString& name);
// Where downloads go while the user has chosen no folder ("SaveAtDir" unset):
// Documents/Kelvor/Downloads. The download sheet makes and stores it on first
// use; the settings page shows it.
QString defaultDownloadFolder();
// Creates the folder (and missing parents) unless it is an existing folder;
// a failure is logged and the caller goes on.
void ensureDirectory(const QString& path);

// The last piece of `text` split at every `separator`; the text unchanged for
// an empty separator.
QString lastComponent(const QString& separator, const QString& text);

// The one date formatter of the process (the user's locale); use it from the
// main thread.
const QLocale& sharedDateFormatter();

class UtilSystem {
 public:
  // Paths (pure text).
  static QString separatorOf(const QString& path);
  static QString trimTrailingSeparator(const QString& path);
  static QString ensureTrailingSeparator(const QString& path);
  static QString joinPath(const QString& path, const QString& name, const QString& separator = QString());
  static QString fileNameOfPath(const QString& path);
  static QString fileExtension(const QString& path);
  static QString parentPath(const QString& path);
  // The local path under `localRoot` matching `remotePath` under `remoteRoot`.
  static QString mapPathToRoot(const QString& localRoot, const QString& remoteRoot, const QString& remotePath);

  // Files. Mode 0 lists every entry, 1 folders only, anything else files only.
  static QStringList listDirectory(const QString& path, int mode, const QString& filter);
  static QStringList filterByName(const QStringList& names, const QString& filter);
  static bool isExistingFile(const QString& path);
  static qint64 getFileSize(const QString& path);
  // Creation date shifted by the local zone's offset (local wall-clock time
  // read as UTC); now when unknown.
  static QDateTime getFileCreationDate(const QString& path);
  static bool removeFile(const QString& path);
  // Removes every "|"-separated path, only when `operation` is "delete".
  static void removeFiles(const QString& operation, const QString& paths);
  static void renameFile(const QString& source, const QString& target);
  // Puts the finished file `source` in the place of `target` in one step: a
  // reader sees the old file or the new one, never a part. False (and `source`
  // left as it was) when it cannot. Both must lie on one file system.
  static bool replaceFile(const QString& source, const QString& target);

  // Choosers. Mode 0 picks files, 1 folders, 2 both; several items at once.
  // The result is the chosen paths joined with "|", or "" when cancelled.
  static void openPanel(const QString& title, int mode, std::function<void(const QString&)> completion);
  static QString openPanelModal(const QString& title, int mode);
  static void openURL(const QString& text);
  // Opens a local file with the desktop's default handler (xdg-open, no
  // shell); `done(true)` once the handler started, `done(false)` when none
  // could be started. Runs `done` on the main thread.
  static void openFileWithDefaultHandler(const QString& path, std::function<void(bool started)> done);

  // Display and validation.
  static QString formatSize(quint64 bytes);
  // Seconds, or milliseconds when the value has 13 or 14 digits.
  static QString formatTimestamp(qint64 timestamp);
  // n + 1 random characters of 0-9 and A-Z ("" for negative n).
  static QString randomString(int n);
  // A text of another party as a view shows it: at most `maxChars`
  // characters (never half a pair), "…" marking a cut.
  static QString clipText(const QString& text, qsizetype maxChars);
  static bool isValidEmail(const QString& text);
  static bool isValidAccountName(const QString& text);
  static bool isAlnumInLengthRange(const QString& text, int minimum, int maximum);
};
