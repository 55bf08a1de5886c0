#include "contacts/view_contact.h"

#include "contacts/view_contact_add_person.h"
#include "core/localized.h"
#include "shell/dialog_views.h"
#include "shell/elided_field.h"
#include "shell/palette.h"
#include "shell/sheet_overlay.h"
#include "shell/symbol_button.h"
#include "shell/symbols.h"
#include "shell/toast_view.h"
#include "shell/wrapping_bar.h"
#include "shell/font_size.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {

constexpr int kContactColumnWidth = 300;
constexpr int kContactColumnMinWidth = 200;

}  // namespace

ContactRow::ContactRow(const ContactPerson& contact, int index, QWidget* parent) : QWidget(parent), index_(index) {
  setObjectName(QStringLiteral("contactRow%1").arg(index));
  setFixedHeight(32);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(6, 2, 6, 2);
  auto* icon = new SymbolButton(QStringLiteral("person.icloud.fill"), QString(), 20);
  icon->setAttribute(Qt::WA_TransparentForMouseEvents);
  row->addWidget(icon);
  auto* text = new QLabel(contactDisplayText(contact), this);
  text->setObjectName(QStringLiteral("contactText"));
  row->addWidget(text, 1);
}

void ContactRow::setSelected(bool selected) {
  if (selected_ == selected) return;
  selected_ = selected;
  update();
}

void ContactRow::paintEvent(QPaintEvent*) {
  if (!selected_) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QColor green(Qt::green);
  green.setAlphaF(0.3);
  painter.setPen(Qt::NoPen);
  painter.setBrush(green);
  painter.drawRoundedRect(QRectF(rect()).adjusted(2, 2, -2, -2), 3, 3);
}

void ContactRow::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) emit tapped(index_);
}

ViewContact::ViewContact(ContactsPort& port, QWidget* parent)
    : QWidget(parent), list_(port), send_(port) {
  setObjectName(QStringLiteral("ViewContact"));
  auto* page = new QHBoxLayout(this);
  page->setContentsMargins(10, 0, 10, 10);

  // Left column: header and the contact list.
  // The contact column is 300 wide, narrower when the window is.
  auto* left = new QWidget(this);
  left->setMaximumWidth(kContactColumnWidth);
  left->setMinimumWidth(kContactColumnMinWidth);
  auto* column = new QVBoxLayout(left);
  column->setContentsMargins(0, 15, 0, 0);
  auto* header = new QHBoxLayout;
  title_ = new QLabel(left);
  title_->setObjectName(QStringLiteral("contactHeaderTitle"));
  QFont bold = title_->font();
  bold.setPixelSize(14);
  bold.setBold(true);
  title_->setFont(bold);
  header->addWidget(title_, 1);
  add_ = new SymbolButton(QStringLiteral("plus.app.fill"), QStringLiteral("activeButton"), 20);
  add_->setObjectName(QStringLiteral("addContact"));
  edit_ = new SymbolButton(QStringLiteral("square.and.pencil"), QString(), 20);
  edit_->setObjectName(QStringLiteral("editContact"));
  remove_ = new SymbolButton(QStringLiteral("minus.circle.fill"), QString(), 20);
  remove_->setObjectName(QStringLiteral("removeContact"));
  header->addWidget(add_);
  header->addWidget(edit_);
  header->addWidget(remove_);
  column->addLayout(header);

  auto* frame = new QFrame(left);
  frame->setObjectName(QStringLiteral("contactListFrame"));
  frame->setStyleSheet(QStringLiteral("#contactListFrame { border: 1px solid rgba(128,128,128,0.5); }"));
  auto* frameLayout = new QVBoxLayout(frame);
  frameLayout->setContentsMargins(1, 1, 1, 1);
  auto* scroll = new QScrollArea(frame);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidgetResizable(true);
  auto* rowsHolder = new QWidget;
  rowsLayout_ = new QVBoxLayout(rowsHolder);
  rowsLayout_->setContentsMargins(2, 2, 2, 2);
  rowsLayout_->setSpacing(0);
  rowsLayout_->addStretch(1);
  scroll->setWidget(rowsHolder);
  frameLayout->addWidget(scroll);
  column->addWidget(frame, 1);
  page->addWidget(left, 1000);

  // Right column: the notice, or the send panel.
  right_ = new QStackedWidget(this);
  pleaseAdd_ = new QWidget;
  auto* noticeLayout = new QVBoxLayout(pleaseAdd_);
  auto* notice = new QLabel(L("Contact_PleaseAdd"), pleaseAdd_);
  notice->setObjectName(QStringLiteral("pleaseAdd"));
  notice->setWordWrap(true);
  notice->setContentsMargins(10, 10, 10, 10);
  notice->setStyleSheet(QStringLiteral("#pleaseAdd { border: 1px solid rgba(128,128,128,0.2); border-radius: 3px; }"));
  noticeLayout->addWidget(notice, 0, Qt::AlignCenter);
  right_->addWidget(pleaseAdd_);

  sendPanel_ = new QWidget;
  sendPanel_->setObjectName(QStringLiteral("sendPanel"));
  auto* panel = new QVBoxLayout(sendPanel_);
  panel->setContentsMargins(10, 10, 10, 20);
  panel->addStretch(1);
  logInfo_ = new QLabel(sendPanel_);
  logInfo_->setObjectName(QStringLiteral("logInfo"));
  logInfo_->setContentsMargins(20, 20, 20, 20);
  logInfo_->setAlignment(Qt::AlignCenter);
  logInfo_->setWordWrap(true);
  panel->addWidget(logInfo_);  // the whole width, so that its lines wrap
  target_ = new ElidedField(sendPanel_);
  target_->setObjectName(QStringLiteral("uploadTarget"));
  target_->setPlaceholderText(L("RS_Upload_Choose"));
  target_->setMinimumWidth(240);
  target_->setMaximumWidth(500);
  target_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  target_->setEnabled(false);
  panel->addWidget(target_);

  // The two buttons share a row while they fit, else Send Now goes under.
  auto* buttons = new WrappingBar(30, QMargins(0, 20, 0, 0));
  stoppedButtons_ = buttons;
  auto* choose = new SymbolButton(QStringLiteral("rectangle.and.pencil.and.ellipsis"), QStringLiteral("activeButton"),
                                  20, L("RS_Upload_Choose"));
  choose->setObjectName(QStringLiteral("chooseTargets"));
  auto* sendNow =
      new SymbolButton(QStringLiteral("paperplane.fill"), QStringLiteral("activeButton"), 20, L("Contact_SendNow"));
  sendNow->setObjectName(QStringLiteral("sendNow"));
  buttons->addLeading(choose);
  buttons->addTrailing(sendNow);
  panel->addWidget(stoppedButtons_);

  connecting_ = new QWidget(sendPanel_);
  auto* connectingLayout = new QVBoxLayout(connecting_);
  connectingLayout->setContentsMargins(30, 30, 30, 30);
  connectingLayout->addWidget(new LoadingDots(connecting_), 0, Qt::AlignHCenter);
  connectingLayout->addWidget(new QLabel(L("Connectting..."), connecting_), 0, Qt::AlignHCenter);
  panel->addWidget(connecting_);

  countdown_ = new QLabel(sendPanel_);
  countdown_->setObjectName(QStringLiteral("countdown"));
  countdown_->setContentsMargins(30, 30, 30, 30);
  setFontPixelSize(countdown_, 18);
  panel->addWidget(countdown_, 0, Qt::AlignHCenter);

  waitingBox_ = new QWidget(sendPanel_);
  auto* waitingLayout = new QVBoxLayout(waitingBox_);
  waitingLayout->addWidget(new LoadingDots(waitingBox_), 0, Qt::AlignHCenter);
  cancel_ = new QPushButton(L("Cancel"), waitingBox_);
  cancel_->setObjectName(QStringLiteral("cancelSend"));
  waitingLayout->addWidget(cancel_, 0, Qt::AlignHCenter);
  panel->addWidget(waitingBox_);
  panel->addStretch(1);
  right_->addWidget(sendPanel_);
  page->addWidget(right_, 1);

  // Over the page: the toast, the editor sheet and the removal question.
  auto* editorSheet = new SheetOverlay(
      list_.ctlCP.isShow,
      [this](QWidget* parent) { return new ViewContactAddPerson(list_.ctlCP, list_.contactPerson, parent); }, this);
  auto* removeSheet = new SheetOverlay(
      list_.isShowDeleteContactConfirm,
      [this](QWidget* parent) { return new DialogConfirmView(list_.isShowDeleteContactConfirm, removeQuestion_, parent); },
      this);
  auto* toast = new ToastView(list_.toast, this);
  Q_UNUSED(editorSheet);
  Q_UNUSED(removeSheet);
  connect(&list_.toast.isShowToast(), &ShowFlag::changed, toast, [toast] { toast->raise(); });

  connect(add_, &QAbstractButton::clicked, &list_, &ContactList::addContact);
  connect(edit_, &QAbstractButton::clicked, &list_, &ContactList::editContact);
  connect(remove_, &QAbstractButton::clicked, this, [this] {
    removeQuestion_.setTitle(L("Remove Contact?"));
    removeQuestion_.setInfo(contactDisplayText(list_.cpSelected));
    removeQuestion_.setOkAction([this] { list_.removeContact(); });
    list_.askRemoveContact();
  });
  connect(choose, &QAbstractButton::clicked, &send_, &ContactSend::chooseTargets);
  connect(sendNow, &QAbstractButton::clicked, &send_, &ContactSend::sendNowPressed);
  connect(cancel_, &QPushButton::clicked, &send_, &ContactSend::CancelContactSend);
  connect(&send_, &ContactSend::toastRequested, &list_, &ContactList::showToast);
  connect(&send_, &ContactSend::changed, this, &ViewContact::refreshSend);
  connect(&list_, &ContactList::changed, this, [this] {
    send_.cpSelected = list_.cpSelected;
    refreshList();
  });
  refreshList();
  refreshSend();
}

void ViewContact::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (appeared_) return;
  appeared_ = true;
  list_.onAppear();
  send_.startTimer();
}

void ViewContact::refreshList() {
  title_->setText(list_.headerTitle());
  const bool selected = list_.hasSelection();
  edit_->setSymbol(QStringLiteral("square.and.pencil"), selected ? QStringLiteral("activeButton") : QString());
  remove_->setSymbol(QStringLiteral("minus.circle.fill"), selected ? QStringLiteral("btnRed") : QString());
  edit_->setEnabled(selected);
  remove_->setEnabled(selected);

  // A row may be the one whose tap asked for this: remove rows once control is back in the event loop.
  for (ContactRow* row : rows_) {
    row->hide();
    rowsLayout_->removeWidget(row);
    row->deleteLater();
  }
  rows_.clear();
  for (int i = 0; i < list_.itemList.size(); ++i) {
    auto* row = new ContactRow(list_.itemList.at(i), i);
    row->setSelected(i == list_.indexCPSelected);
    connect(row, &ContactRow::tapped, &list_, &ContactList::selectContact);
    rowsLayout_->insertWidget(i, row);
    rows_ << row;
  }
  right_->setCurrentWidget(list_.itemList.isEmpty() ? pleaseAdd_ : sendPanel_);
}

void ViewContact::refreshSend() {
  const ViewContactState state = send_.vcsState;
  logInfo_->setText(send_.logInfo);
  target_->setFullText(send_.uploadTarget);
  stoppedButtons_->setVisible(state == ViewContactState::vcsStopped);
  connecting_->setVisible(state == ViewContactState::vcsConnecting);
  countdown_->setVisible(state == ViewContactState::vcsWaitingUser);
  countdown_->setText(QString::number(send_.countdown()));
  waitingBox_->setVisible(state == ViewContactState::vcsWaitingUser || state == ViewContactState::vcsSending);
}
