// One share's card: the path row, the access row and, for a folder, the
// visitor row, outlined by a rounded frame. A thin view over its controller,
// which it owns; the tag editor opens as a sheet over the whole window.
#pragma once

#include "local_sharing/ui/share_card_controller.h"

#include <QPointer>
#include <QWidget>

class ElidedField;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class SheetOverlay;
class SymbolButton;

class ViewSharingDetail : public QWidget {
  Q_OBJECT
 public:
  explicit ViewSharingDetail(ShareCardController* controller, QWidget* parent = nullptr);
  ~ViewSharingDetail() override;

  ShareCardController* controller() const { return controller_; }
  QLabel* pathCaption() const { return pathCaption_; }
  ElidedField* pathField() const { return path_; }
  ElidedField* urlField() const { return url_; }
  QLineEdit* accessCodeField() const { return accessCode_; }
  QCheckBox* defaultToggle() const { return default_; }
  QCheckBox* enabledToggle() const { return enabled_; }
  QCheckBox* downloadToggle() const { return download_; }
  QCheckBox* uploadToggle() const { return upload_; }
  QCheckBox* deleteToggle() const { return delete_; }
  QWidget* visitorRow() const { return visitorRow_; }
  QWidget* defaultBadge() const { return badge_; }
  SymbolButton* editTagButton() const { return editTag_; }
  QPushButton* removeButton() const { return remove_; }
  // The tag editor while it is open, else nullptr.
  QWidget* tagEditor() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void refresh();
  void presentTagEditor(bool shown);

  ShareCardController* controller_;
  QLabel* pathCaption_;
  ElidedField* path_;
  ElidedField* url_;
  QLineEdit* accessCode_;
  QCheckBox* default_;
  QCheckBox* enabled_;
  QCheckBox* download_;
  QCheckBox* upload_;
  QCheckBox* delete_;
  QWidget* visitorRow_;
  QWidget* badge_;
  SymbolButton* editTag_;
  QPushButton* remove_;
  QPointer<SheetOverlay> tagSheet_;
};
