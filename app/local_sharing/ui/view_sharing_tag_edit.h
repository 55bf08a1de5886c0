// The tag editor sheet: the share's access URL, its QR code and a field for
// the new tag, with OK and Cancel. A thin view over its controller, which it
// owns.
#pragma once

#include "local_sharing/ui/tag_editor_controller.h"
#include "shell/dialog_card.h"

class QLabel;
class QLineEdit;
class QPushButton;
class ToastView;

class SharingTagEditView : public DialogCard {
  Q_OBJECT
 public:
  explicit SharingTagEditView(TagEditorController* controller, QWidget* parent = nullptr);

  TagEditorController* controller() const { return controller_; }
  QLabel* urlLabel() const { return url_; }
  QLabel* qrImage() const { return qr_; }
  QLineEdit* tagField() const { return field_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }

 private:
  TagEditorController* controller_;
  QLabel* qr_;
  QLabel* url_;
  QLineEdit* field_;
  QPushButton* ok_;
  QPushButton* cancel_;
  ToastView* toast_;
};
