// The saved remote hosts page without widgets: the account's saved hosts, the
// chosen one made active and handed to the file browser, and the add, edit
// and remove actions with the editor sheet's record. Main thread only.
#pragma once

#include "remote_sharing/saved_hosts.h"
#include "shell/show_flag.h"

#include <QList>
#include <QObject>
#include <QString>

#include <optional>

class RemoteFileListController;

// The record shared by the page and the host editor sheet.
struct ViewSharingRemoteHostCtrl {
  bool isShowView = false;
  bool isEdit = false;
  bool isESaved = false;  // the editor was confirmed with OK
  RemoteSharing remoteSharing;
};

// The editor sheet's checks, over the page's record.
class RemoteHostEditorLogic {
 public:
  enum class FocusedField { none, hostName, hostTag };

  // A host name must match; a tag may be empty.
  static bool isHostNameValid(const QString& name);
  static bool isHostTagValid(const QString& tag);

  // OK: confirms and closes when both checks pass; otherwise gives the field
  // to focus and leaves the record as it is.
  static FocusedField onOK(ViewSharingRemoteHostCtrl& ctl);
  // The close symbol and Cancel.
  static void closeSheet(ViewSharingRemoteHostCtrl& ctl) { ctl.isShowView = !ctl.isShowView; }
};

class RemoteHostsController : public QObject {
  Q_OBJECT
 public:
  explicit RemoteHostsController(QObject* parent = nullptr);

  const QList<RemoteSharing>& rsList() const { return rsList_; }
  int selectedRemoteHost() const { return selectedRemoteHost_; }
  // The picker: a change to an index of 0 or more loads that host.
  void setSelectedRemoteHost(int index);
  std::optional<RemoteSharing>& rhActive() { return rhActive_; }
  // The editor's record; after the sheet changes it, call editorDismissed() when it closes.
  ViewSharingRemoteHostCtrl& rhCtl() { return rhCtl_; }
  ShowFlag isShowEditor;     // mirrors rhCtl().isShowView
  ShowFlag isShowingDialog;  // the removal confirmation
  bool isLoading = false;
  QString strNoticeInfo;
  // "RS_RemoteHost (n)"
  QString pickerTitle() const;
  // The selected host's display text, or nothing without a valid selection.
  QString selectedDisplayName() const;
  bool hasSelection() const { return !rsList_.isEmpty() && selectedRemoteHost_ >= 0; }

  void reloadHostList(int index);
  // Re-reads the list and opens the host `hostid`.
  void reloadHostListSelecting(const QString& hostid);
  void loadRemoteHostFileList(int index);
  // The page appears: the list is re-read, and after `delayMs` the first host is opened.
  void onAppear(int delayMs = 500);
  void reconnect();
  void addHost();
  void editHost();
  void askRemoveHost();
  void removeHostDone();
  void saveRemoteHost();

 signals:
  void changed();

 private:
  RemoteFileListController* browser() const;

  QList<RemoteSharing> rsList_;
  int selectedRemoteHost_ = -1;
  ViewSharingRemoteHostCtrl rhCtl_;
  std::optional<RemoteSharing> rhActive_;
};
