// The common dialogs' cards: thin views over their records and logic. Each is
// built for one showing, given the host's show flag and the record.
#pragma once

#include "shell/dialog_confirm_logic.h"
#include "shell/dialog_input_logic.h"
#include "shell/dialog_loading_logic.h"
#include "shell/dialog_card.h"

#include <QElapsedTimer>
#include <QTimer>

class QBoxLayout;
class QLabel;
class QSpacerItem;
class QLineEdit;
class QPushButton;
class ToastView;

class DialogConfirmView : public DialogCard {
  Q_OBJECT
 public:
  DialogConfirmView(ShowFlag& isShowConfirmDialog, DialogConfirmSetting& setting, QWidget* parent = nullptr);

  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }
  QLabel* infoLabel() const { return info_; }

 private:
  void refresh();

  DialogConfirmLogic logic_;
  QBoxLayout* buttons_;
  QSpacerItem* gap_;
  QLabel* info_;
  QPushButton* ok_;
  QPushButton* cancel_;
};

// Four dots pulsing between half and full size, each 0.2 s behind the one before.
class LoadingDots : public QWidget {
  Q_OBJECT
 public:
  explicit LoadingDots(QWidget* parent = nullptr);
  QSize sizeHint() const override { return {4 * 10 + 3 * 8, 14}; }
  qreal dotScale(int index) const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QElapsedTimer clock_;
  QTimer frames_;
};

class DialogLoadingView : public QWidget {
  Q_OBJECT
 public:
  DialogLoadingView(ShowFlag& isShowLoadingDialog, DialogLoadingSetting& setting, QWidget* parent = nullptr);

  DialogLoadingLogic& logic() { return logic_; }
  QLabel* titleLabel() const { return title_; }

 private:
  void refresh();

  DialogLoadingLogic logic_;
  QLabel* title_;
};

class DialogInputView : public DialogCard {
  Q_OBJECT
 public:
  DialogInputView(ShowFlag& isShowDialog, DialogInput_Setting& setting, bool isCanSubmiti = true,
                  QWidget* parent = nullptr);

  DialogInputLogic& logic() { return logic_; }
  QLineEdit* field() const { return field_; }
  QLabel* tipsLabel() const { return tips_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }
  // The dialog's own toast; it lies beside the card, over the sheet's layer.
  ToastView* toastView() const { return toast_; }

 private:
  void refresh();

  DialogInputLogic logic_;
  QLabel* tips_;
  QLineEdit* field_;
  QPushButton* ok_;
  QPushButton* cancel_;
  ToastView* toast_;
};
