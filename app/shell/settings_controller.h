// The settings page's logic: the download folder (changed with the chooser
// only), the clipboard-push switch
// and the user's own contact access code (fetched through the bridge).
#pragma once

#include "core/vex_json.h"

#include <QObject>
#include <QString>

#include <functional>

class SettingsController : public QObject {
  Q_OBJECT
 public:
  struct Hooks {
    std::function<QString(const QString& key)> getValue;
    std::function<bool(const QString& key, const QString& value)> setValue;
    // Toasts of the main window; they do nothing while it is not shown.
    std::function<void(const QString& text)> showToast;
    std::function<void(bool success)> showUpdateResult;
    // "CallHttp" {URL, Timeout} through the bridge, waiting for its reply.
    std::function<void(const QString& url, int timeout, std::function<void(const vex::Json&)>)> callHttp;
    std::function<QString()> accountToken;
  };

  explicit SettingsController(Hooks hooks, QObject* parent = nullptr);

  // The page is shown: read the settings, fetch the access code, arm after 0.5 s.
  void loadSettings();
  void onFolderChosen(const QString& path);
  void onClipboardToggled(bool on);
  void fetchContactCode();

  const QString& downloadSaveAt() const { return downloadSaveAt_; }
  const QString& receiveSaveAt() const { return receiveSaveAt_; }
  const QString& contactCode() const { return contactCode_; }
  bool isClipboard() const { return isClipboard_; }
  bool isInited() const { return isInited_; }

  int armDelayMs = 500;

 signals:
  void changed();

 private:
  void confirmStored(bool stored);

  Hooks hooks_;
  QString downloadSaveAt_;
  QString receiveSaveAt_;
  QString contactCode_;
  bool isClipboard_ = false;
  bool isInited_ = false;
};
