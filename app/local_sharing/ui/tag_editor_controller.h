// The tag editor without widgets: the tag being typed, its checks, the rename
// in the database and the sheet's own toast. The sheet is open while the
// card's flag is true; the editor closes it by clearing the flag.
#pragma once

#include "local_sharing/sharing_obj.h"
#include "shell/show_flag.h"
#include "shell/toast_state.h"

#include <QObject>
#include <QPointer>
#include <QString>

class TagEditorController : public QObject {
  Q_OBJECT
 public:
  // The sheet's toast shows for 1.88 s.
  static constexpr int kToastMs = 1880;

  TagEditorController(ShowFlag& isShowDialog, SharingObjPtr share, QObject* parent = nullptr);

  const SharingObjPtr& share() const { return share_; }
  QString tagValue() const { return tagValue_; }
  void setTagValue(const QString& value);
  // The access URL with the saved tag.
  QString shareURL() const { return share_->buildShareURL(); }
  ToastState& toast() { return toast_; }

  // OK and Return: an unchanged tag closes; a bad or taken tag keeps the sheet
  // open with a message; a new one renames the share and closes the sheet.
  // A rename the database refuses keeps the old tag and the sheet open.
  void save();
  void cancel();
  void close();

 signals:
  void tagValueChanged(const QString& value);

 private:
  void showMessage(const QString& text);

  QPointer<ShowFlag> isShowDialog_;
  SharingObjPtr share_;
  QString tagValue_;
  ToastState toast_{kToastMs};
};
