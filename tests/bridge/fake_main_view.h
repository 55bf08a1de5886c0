// The main window as the bridge layer sees it, for tests: remembers the toasts
// and alerts raised on it and owns the receive-file panel's record.
#pragma once

#include "shell/view_handles.h"

#include <QList>
#include <QStringList>

namespace bridgetest {

class FakeMainView : public MainViewHandle {
 public:
  void showToast(const QString& text) override { toasts << text; }
  void showUpdateResult(bool) override {}
  void showAlertToast(const AlertToast& toast) override { alerts << toast; }
  void openQRSettings() override {}
  CtlViewReceiveFile& ctlViewReceiveFile() override { return panel; }
  void receiveFilePanelChanged() override { ++panelChanges; }
  SharingObjList* sharingObjList() override { return nullptr; }

  QStringList toasts;
  QList<AlertToast> alerts;
  CtlViewReceiveFile panel;
  int panelChanges = 0;
};

}  // namespace bridgetest
