// The remote-sharing page: the saved-hosts bar (picker, Reconnect, Add, Edit,
// Remove) above the file browser of the active host, the host editor sheet and
// the removal confirmation. Built afresh each time the page is shown.
#pragma once

#include "remote_sharing/remote_file_list.h"
#include "remote_sharing/remote_hosts.h"
#include "shell/dialog_settings.h"

#include <QWidget>

class MainView;
class QComboBox;
class QLabel;
class SymbolButton;
class ViewSharingRemoteFileList;

class ViewSharingRemote : public QWidget {
  Q_OBJECT
 public:
  explicit ViewSharingRemote(QWidget* parent = nullptr);

  RemoteHostsController& hosts() { return hosts_; }
  RemoteFileListController& browser() { return browser_; }
  ViewSharingRemoteFileList* browserView() const { return browserView_; }
  QComboBox* picker() const { return picker_; }
  QLabel* pickerTitle() const { return title_; }
  SymbolButton* reconnectButton() const { return reconnect_; }
  SymbolButton* addButton() const { return add_; }
  SymbolButton* editButton() const { return edit_; }
  SymbolButton* removeButton() const { return remove_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void refresh();

  RemoteHostsController hosts_;
  RemoteFileListController browser_;
  DialogConfirmSetting removeConfirm_;
  QLabel* title_;
  QComboBox* picker_;
  SymbolButton* reconnect_;
  SymbolButton* add_;
  SymbolButton* edit_;
  SymbolButton* remove_;
  QLabel* notice_;
  ViewSharingRemoteFileList* browserView_;
  bool appeared_ = false;
  bool refreshing_ = false;
};

// Plugs the page into the main window as its remote-sharing page.
void installRemoteSharingPage(MainView& window);
