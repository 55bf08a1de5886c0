// The settings records through which a host raises the common dialogs. A
// caller writes the fields it needs, then sets the host's show flag. The
// dialogs never reset a record: a field keeps the last value written into it.
// Every setter publishes the change (changed()) so an open dialog follows it.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

using DialogAction = std::function<void()>;  // empty means "no action"

class DialogConfirmSetting : public QObject {
  Q_OBJECT
 public:
  explicit DialogConfirmSetting(QObject* parent = nullptr) : QObject(parent) {}

  QString title() const { return title_; }
  QString info() const { return info_; }
  bool isBtnOK() const { return isBtnOK_; }  // held only: the OK button is always shown
  bool isBtnCancel() const { return isBtnCancel_; }
  DialogAction okAction() const { return okAction_; }
  DialogAction cancelAction() const { return cancelAction_; }

  void setTitle(const QString& value);
  void setInfo(const QString& value);
  void setIsBtnOK(bool value);
  void setIsBtnCancel(bool value);
  void setOkAction(DialogAction action);
  void setCancelAction(DialogAction action);

 signals:
  void changed();

 private:
  QString title_ = QStringLiteral("Confirm");
  QString info_ = QStringLiteral("Are you sure?");
  bool isBtnOK_ = true;
  bool isBtnCancel_ = true;
  DialogAction okAction_;
  DialogAction cancelAction_;
};

class DialogLoadingSetting : public QObject {
  Q_OBJECT
 public:
  explicit DialogLoadingSetting(QObject* parent = nullptr) : QObject(parent) {}
  explicit DialogLoadingSetting(const QString& title, QObject* parent = nullptr) : QObject(parent), title_(title) {}

  QString title() const { return title_; }
  int maxWaiting() const { return maxWaiting_; }  // time limit in one-second ticks
  DialogAction actionTimeout() const { return actionTimeout_; }  // held; the dialog never calls it

  void setTitle(const QString& value);
  void setMaxWaiting(int value);
  void setActionTimeout(DialogAction action);

 signals:
  void changed();

 private:
  QString title_ = QStringLiteral("Loading...");
  int maxWaiting_ = 8;
  DialogAction actionTimeout_;
};

// The kind of text the input dialog asks for.
enum class DialogInput_Setting_ValidType { dsvNone, dsvPassword, dsvEmail };

class DialogInput_Setting : public QObject {
  Q_OBJECT
 public:
  explicit DialogInput_Setting(QObject* parent = nullptr) : QObject(parent) {}

  QString title() const { return title_; }
  QString value() const { return value_; }
  QString tips() const { return tips_; }
  int lenMin() const { return lenMin_; }
  int lenMax() const { return lenMax_; }
  bool isAllowEmpty() const { return isAllowEmpty_; }
  DialogInput_Setting_ValidType validType() const { return validType_; }
  DialogAction okAction() const { return okAction_; }

  void setTitle(const QString& value);
  void setValue(const QString& value);
  void setTips(const QString& value);
  void setLenMin(int value);
  void setLenMax(int value);
  void setIsAllowEmpty(bool value);
  void setValidType(DialogInput_Setting_ValidType value);
  void setOkAction(DialogAction action);

  // Writes these seven fields in this order; `tips` is left as it is.
  void setAll(const QString& title, const QString& value, DialogAction okAction, int lenMin, int lenMax,
              DialogInput_Setting_ValidType validType, bool isAllowEmpty);

 signals:
  void changed();

 private:
  QString title_;
  QString value_;
  QString tips_;
  int lenMin_ = 0;
  int lenMax_ = 30;
  bool isAllowEmpty_ = true;
  DialogInput_Setting_ValidType validType_ = DialogInput_Setting_ValidType::dsvNone;
  DialogAction okAction_;
};
