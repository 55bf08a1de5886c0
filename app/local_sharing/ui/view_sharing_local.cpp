#include "local_sharing/ui/view_sharing_local.h"

#include "core/localized.h"
#include "local_sharing/ui/share_card_controller.h"
#include "local_sharing/ui/view_sharing_detail.h"
#include "shell/symbols.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace {

QPushButton* pageButton(const QString& symbol, const QString& objectName) {
  auto* button = new QPushButton;
  button->setObjectName(objectName);
  button->setIcon(shellsymbols::symbolIcon(symbol, QStringLiteral("activeButton")));
  button->setIconSize(QSize(18, 18));
  button->setAutoDefault(false);
  return button;
}

}  // namespace

ViewSharingLocal::ViewSharingLocal(LocalSharePageController* controller, MainViewState* window, QWidget* parent)
    : QWidget(parent), controller_(controller), window_(window) {
  setObjectName(QStringLiteral("ViewSharingLocal"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  auto* buttons = new QHBoxLayout;
  buttons->setContentsMargins(15, 20, 5, 0);
  buttons->setSpacing(8);
  buttons->addStretch(1);
  changeHost_ = pageButton(QStringLiteral("square.and.pencil"), QStringLiteral("changeHost"));
  createShare_ = pageButton(QStringLiteral("plus.rectangle.fill"), QStringLiteral("createShare"));
  buttons->addWidget(changeHost_);
  buttons->addWidget(createShare_);
  column->addLayout(buttons);

  scroll_ = new QScrollArea;
  scroll_->setObjectName(QStringLiteral("shareCards"));
  scroll_->setWidgetResizable(true);
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  auto* holder = new QWidget;
  holder->setAutoFillBackground(false);
  cardColumn_ = new QVBoxLayout(holder);
  cardColumn_->setContentsMargins(0, 0, 0, 0);
  cardColumn_->setSpacing(0);
  cardColumn_->addStretch(1);
  scroll_->setWidget(holder);
  scroll_->viewport()->setAutoFillBackground(false);
  column->addWidget(scroll_, 1);

  noSharesBox_ = new QWidget;
  auto* notice = new QVBoxLayout(noSharesBox_);
  notice->addStretch(1);
  noShares_ = new QLabel;
  noShares_->setObjectName(QStringLiteral("noShares"));
  noShares_->setContentsMargins(5, 0, 0, 20);
  notice->addWidget(noShares_, 0, Qt::AlignHCenter);
  notice->addStretch(1);
  column->addWidget(noSharesBox_, 1);
  column->addStretch(0);

  connect(changeHost_, &QPushButton::clicked, controller_, &LocalSharePageController::changeHost);
  connect(createShare_, &QPushButton::clicked, controller_, &LocalSharePageController::createShare);
  connect(controller_, &LocalSharePageController::changed, this, &ViewSharingLocal::scheduleRefresh);
  refresh();
}

QList<ViewSharingDetail*> ViewSharingLocal::cards() const {
  QList<ViewSharingDetail*> shown;
  for (int i = 0; i < cardColumn_->count(); ++i)
    if (auto* card = qobject_cast<ViewSharingDetail*>(cardColumn_->itemAt(i)->widget())) shown << card;
  return shown;
}

// Changes often arrive from inside a card's own action (a save announces the
// list): redraw after it has returned, so no card is removed under its caller.
void ViewSharingLocal::scheduleRefresh() {
  if (refreshPending_) return;
  refreshPending_ = true;
  QMetaObject::invokeMethod(this, [this] { refresh(); }, Qt::QueuedConnection);
}

void ViewSharingLocal::refresh() {
  refreshPending_ = false;
  changeHost_->setVisible(controller_->isChangeHostVisible());
  changeHost_->setText(controller_->changeHostText());
  createShare_->setVisible(controller_->isCreateShareVisible());
  createShare_->setText(controller_->createShareText());

  const auto content = controller_->content();
  scroll_->setVisible(content == LocalSharePageController::Content::shareCards);
  noSharesBox_->setVisible(content == LocalSharePageController::Content::noShares);
  noShares_->setText(L("LS_NoHost"));

  // One card per share, in the list's order; a card keeps its identity.
  QHash<QUuid, ViewSharingDetail*> kept;
  const QList<SharingObjPtr> shares = controller_->shares();
  for (const SharingObjPtr& share : shares) {
    ViewSharingDetail* card = cards_.take(share->id);
    if (card)
      card->controller()->scheduleRefreshTagURL();  // a new card schedules its own
    else
      card = new ViewSharingDetail(new ShareCardController(share, window_));
    kept.insert(share->id, card);
  }
  for (ViewSharingDetail* gone : std::as_const(cards_)) {
    cardColumn_->removeWidget(gone);
    gone->hide();
    gone->deleteLater();
  }
  cards_ = kept;
  for (int i = 0; i < shares.size(); ++i) {
    ViewSharingDetail* card = cards_.value(shares[i]->id);
    cardColumn_->removeWidget(card);
    cardColumn_->insertWidget(i, card);
    card->show();
  }
}
