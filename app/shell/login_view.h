// The sign-in sheet: banner, the QR pane or the e-mail pane (with a plain
// switch between them), its loading indicator, message box and the upgrade
// question. A thin view over LoginController, built afresh for each showing.
#pragma once

#include <QPointer>
#include <QWidget>

class LoginController;
class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;

class LoginView : public QWidget {
  Q_OBJECT
 public:
  explicit LoginView(LoginController* controller, QWidget* parent = nullptr);

  // Ticks of the loading indicator after which it closes itself.
  static constexpr int kLoadingLimitTicks = 8;

 private:
  QWidget* buildBanner();
  QWidget* buildQrPane();
  QWidget* buildEmailPane();
  QFrame* buildCard(QLabel** title, QLabel** info, QPushButton** primary, QPushButton** secondary);
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
  QFrame* loading_ = nullptr;
  QLabel* loadingTitle_ = nullptr;
  int loadingTicks_ = 0;
  bool loadingShown_ = false;
  QFrame* message_ = nullptr;
  QLabel* messageTitle_ = nullptr;
  QLabel* messageInfo_ = nullptr;
  QFrame* upgrade_ = nullptr;
};
