// The local-sharing page: the button row (change host, create share) over
// one card per share in a scrolling column, or a notice when there is none.
// Cards keep their identity (the share's id) across redraws; a reload of the
// list makes new shares and so new cards.
#pragma once

#include "local_sharing/ui/local_share_page_controller.h"

#include <QHash>
#include <QUuid>
#include <QWidget>

class MainViewState;
class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;
class ViewSharingDetail;

class ViewSharingLocal : public QWidget {
  Q_OBJECT
 public:
  // `window` is handed to the cards for their toasts, dialogs and the list.
  ViewSharingLocal(LocalSharePageController* controller, MainViewState* window, QWidget* parent = nullptr);

  LocalSharePageController* controller() const { return controller_; }
  QPushButton* changeHostButton() const { return changeHost_; }
  QPushButton* createShareButton() const { return createShare_; }
  QLabel* noSharesLabel() const { return noShares_; }
  QScrollArea* scrollArea() const { return scroll_; }
  // The cards in the order shown.
  QList<ViewSharingDetail*> cards() const;

 private:
  void scheduleRefresh();
  void refresh();

  LocalSharePageController* controller_;
  MainViewState* window_;
  QPushButton* changeHost_;
  QPushButton* createShare_;
  QLabel* noShares_;
  QWidget* noSharesBox_;
  QScrollArea* scroll_;
  QVBoxLayout* cardColumn_;
  QHash<QUuid, ViewSharingDetail*> cards_;
  bool refreshPending_ = false;
};
