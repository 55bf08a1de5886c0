// The version check made on every bridge connection, the download of a newer
// installer through the bridge, and the hand-over to that installer.
//
// The service names the newest version ("number"), where its installer is
// ("url", https only) and the installer's SHA-256 ("sha256"). A version that is
// not three plain dot-separated numbers never becomes part of a file name, and
// an installer is offered only when its digest matches the one the service gave.
#pragma once

#include "core/vex_json.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

enum class VersionOrder { newer, notNewer, notComparable };

// Compares a version text with the application's own by three numeric components
// (split on ".", empty components dropped; a component that is no decimal integer
// counts as 0). Other than three components on either side: not comparable.
VersionOrder compareVersion(const QString& number, const QString& appVersion);

// True for exactly three dot-separated runs of ASCII digits, e.g. "1.0.10".
bool isPlainVersionNumber(const QString& number);

// The payload of "CallHttpDownload".
struct CallHttpDownloadInfo {
  QString URL;
  QString SaveAt;
  VEX_FIELDS(URL, SaveAt)
};

class UpgradeController : public QObject {
  Q_OBJECT
 public:
  using ReplyHandler = std::function<void(const vex::Json& reply)>;
  struct Hooks {
    // "CallHttp" {URL, Timeout} through the bridge, waiting for its reply.
    std::function<void(const QString& url, int timeout, ReplyHandler)> callHttp;
    // "CallHttpDownload" {URL, SaveAt} through the bridge, waiting for its reply.
    std::function<void(const CallHttpDownloadInfo& info, ReplyHandler)> callHttpDownload;
    // Asks the login window, when one is open, whether to upgrade to `number` now.
    std::function<void(const QString& installerPath, const QString& number)> showUpgradeDialog;
    // Opens a file with the system's default handler, without a shell;
    // `started` tells whether that handler started.
    std::function<void(const QUrl& file, std::function<void(bool started)> started)> openFile;
    std::function<void()> clearBridge;
    std::function<void()> quitApp;
    // The installer could not be opened: the application stays and says so.
    std::function<void(const QString& installerPath)> notOpened;
  };

  // `kelvorDir` is the application's own folder in the documents folder.
  UpgradeController(Hooks hooks, QString appVersion, QString kelvorDir, QObject* parent = nullptr);

  void checkNewVersion();
  void checkNewVersionResult(const vex::Json& reply);
  // Quits (after quitDelayMs) only once the installer's handler started.
  void openInstaller(const QString& path);

  // The file names a version uses in the versions folder.
  QString versionsDir() const;
  QString tmpPathFor(const QString& number) const;
  QString installerPathFor(const QString& number) const;

  // Hex SHA-256 of a file, or the empty text when it cannot be read.
  static QString fileSha256(const QString& path);

  int quitDelayMs = 1000;

 signals:
  // An installer whose digest matched is ready at `path` (also after the question was asked).
  void installerReady(const QString& path);

 private:
  void onDownloadResult(const vex::Json& reply, const QString& url, const QString& dmg,
                        const QString& tmp, const QString& sha256, const QString& number);
  // Hashes `path` off the main thread and calls `done(matches)` back on it.
  void verifyDigest(const QString& path, const QString& expected, std::function<void(bool)> done);
  void offer(const QString& dmg, const QString& number);

  Hooks hooks_;
  QString appVersion_;
  QString kelvorDir_;
};
