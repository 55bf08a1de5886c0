// The sign-in sheet: banner, the QR pane or the e-mail pane (with a plain
// switch between them), and over it the loading indicator, the message box and
// the upgrade question. A thin view over LoginController, built afresh for
// each showing.
#pragma once

#include "shell/dialog_settings.h"
#include "shell/show_flag.h"

#include <QPointer>
#include <QWidget>

class LoginController;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class SheetOverlay;

class LoginView : public QWidget {
  Q_OBJECT
 public:
  explicit LoginView(LoginController* controller, QWidget* parent = nullptr);
  ~LoginView() override;

  // The overlays' flags, for tests.
  const ShowFlag& loadingFlag() const { return isShowLoading_; }
  const ShowFlag& messageFlag() const { return isShowConfirmDialog_; }
  const ShowFlag& upgradeFlag() const { return isShowUpgradeDialog_; }
  QWidget* presentedOverlay(const ShowFlag& flag) const;

 private:
  QWidget* buildBanner();
  QWidget* buildQrPane();
  QWidget* buildEmailPane();
  void refresh();

  QPointer<LoginController> controller_;
  QStackedWidget* panes_ = nullptr;
  QStackedWidget* qrStack_ = nullptr;
  QLabel* qrImage_ = nullptr;
  QStackedWidget* buttonStack_ = nullptr;
  QLineEdit* email_ = nullptr;
  QLineEdit* password_ = nullptr;
  QCheckBox* rememberMe_ = nullptr;
  QPushButton* switchPane_ = nullptr;

  ShowFlag isShowLoading_;
  DialogLoadingSetting dialogLoadingSetting_;
  ShowFlag isShowConfirmDialog_;
  DialogConfirmSetting dialogConfirmSetting_;
  ShowFlag isShowUpgradeDialog_;
  DialogConfirmSetting upgradeQuestion_;
  QList<SheetOverlay*> overlays_;
};
