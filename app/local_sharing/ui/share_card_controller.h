// One share's card without widgets: its captions and field texts, and every
// change the user makes to the share. Each change is stored at once and its
// outcome shown as a toast of the main window. The toggle actions run on
// every change of the toggled value, whoever made it: when another card makes
// its share the default, this card stores its cleared mark too.
#pragma once

#include "local_sharing/sharing_obj.h"
#include "shell/main_view_state.h"
#include "shell/show_flag.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>


class ShareCardController : public QObject {
  Q_OBJECT
 public:
  // Opens a URL in the system (a folder in the file manager, a web address in
  // the browser).
  using UrlOpener = std::function<void(const QUrl&)>;

  // `window` is the main window the card reaches for toasts, dialogs and the
  // share list; without one the card still stores its changes.
  ShareCardController(SharingObjPtr share, MainViewState* window, QObject* parent = nullptr);

  const SharingObjPtr& share() const { return share_; }
  MainViewState* window() const { return window_; }

  QString pathCaption() const;  // folder or file
  bool isVisitorRowVisible() const { return share_->isdir; }

  // The toggles.
  void setDefault(bool on);
  void setEnabled(bool on);
  void setDownload(bool on);
  void setUpload(bool on);
  // Grants or withdraws deleting, creating and renaming together.
  void setDelete(bool on);

  // Stores the share, makes it the only default one when it is marked so,
  // shows the result and refreshes the shown URL afterwards.
  void saveToggles();
  // Delete toggle: creating and renaming follow deleting, then saveToggles().
  void toggleChanged(bool on);

  // Another file or folder: the chooser, then onPathChosen().
  void changePath();
  // Takes an existing folder or file; anything else ends without a message.
  void onPathChosen(const QString& text);
  void openFolder();
  void openAccessURL();

  // The access code through the main window's input dialog.
  void editAccessCode();
  void setAccessCode(const QString& value);

  // Asks through the main window's confirm dialog, then removeShare().
  void askRemoval();
  void removeShare();

  // Brings the shown URL up to date after the current update (each redraw of
  // the list asks for it, so a changed host name shows).
  void scheduleRefreshTagURL();

  // The tag editor sheet is open while this is true.
  ShowFlag isShowEditTagView;

  void setUrlOpener(UrlOpener opener) { openUrl_ = std::move(opener); }

 signals:
  // Something the card shows changed.
  void changed();

 private:
  struct Toggles {
    bool isDefault, isenabled, isdownload, isupload, isfiledel;
    bool operator==(const Toggles&) const = default;
  };
  Toggles current() const;
  // Runs the toggle actions for values changed since they were last seen.
  void onShareChanged();
  void store();  // saveShare, then the result toast
  void showUpdateResult(bool success);
  SharingObjList* list() const;

  SharingObjPtr share_;
  QPointer<MainViewState> window_;
  Toggles seen_;
  UrlOpener openUrl_;
};
