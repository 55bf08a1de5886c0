#include "remote_sharing/view_sharing_remote.h"

#include "core/localized.h"
#include "remote_sharing/view_remote_file_list.h"
#include "remote_sharing/view_remote_host.h"
#include "shell/dialog_views.h"
#include "shell/main_view.h"
#include "shell/sheet_overlay.h"
#include "shell/symbol_button.h"
#include "shell/wrapping_bar.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

ViewSharingRemote::ViewSharingRemote(QWidget* parent) : QWidget(parent), browser_(&hosts_.rhActive()) {
  setObjectName(QStringLiteral("ViewSharingRemote"));
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(15, 5, 20, 0);
  column->setSpacing(4);

  // One row of 50 when the picker and the buttons fit side by side, else two.
  auto* bar = new WrappingBar(50, QMargins(15, 5, 20, 0));
  title_ = new QLabel;
  title_->setObjectName(QStringLiteral("pickerTitle"));
  picker_ = new QComboBox;
  picker_->setObjectName(QStringLiteral("hostPicker"));
  picker_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  picker_->setMinimumWidth(160);
  bar->addLeading(title_);
  bar->addLeading(picker_);
  const QString tint = QStringLiteral("activeButton");
  reconnect_ = new SymbolButton(QStringLiteral("arrow.clockwise.icloud.fill"), tint, 18, L("RS_Reconnect"));
  add_ = new SymbolButton(QStringLiteral("plus.app.fill"), tint, 18, L("Sys_Button_Add"));
  edit_ = new SymbolButton(QStringLiteral("square.and.pencil"), tint, 18, L("Sys_Button_Edit"));
  remove_ = new SymbolButton(QStringLiteral("minus.square.fill"), tint, 18, L("Sys_Button_Remove"));
  for (SymbolButton* b : {reconnect_, add_, edit_, remove_}) bar->addTrailing(b);
  column->addWidget(bar);

  notice_ = new QLabel;
  notice_->setAlignment(Qt::AlignCenter);
  notice_->setWordWrap(true);
  column->addWidget(notice_);
  browserView_ = new ViewSharingRemoteFileList(browser_);
  column->addWidget(browserView_, 1);

  connect(picker_, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (!refreshing_) hosts_.setSelectedRemoteHost(index);
  });
  connect(reconnect_, &SymbolButton::clicked, this, [this] { hosts_.reconnect(); });
  connect(add_, &SymbolButton::clicked, this, [this] { hosts_.addHost(); });
  connect(edit_, &SymbolButton::clicked, this, [this] { hosts_.editHost(); });
  connect(remove_, &SymbolButton::clicked, this, [this] {
    removeConfirm_.setTitle(L("RS_RemoveConfirm"));
    removeConfirm_.setInfo(hosts_.selectedDisplayName());
    removeConfirm_.setOkAction([this] { hosts_.removeHostDone(); });
    hosts_.askRemoveHost();
  });
  new SheetOverlay(hosts_.isShowingDialog, [this](QWidget* parent) {
    return new DialogConfirmView(hosts_.isShowingDialog, removeConfirm_, parent);
  }, this);
  new SheetOverlay(hosts_.isShowEditor, [this](QWidget* parent) {
    return new ViewSharingRemoteHost(hosts_.rhCtl(), hosts_.isShowEditor, parent);
  }, this);

  connect(&hosts_, &RemoteHostsController::changed, this, &ViewSharingRemote::refresh);
  refresh();
}

void ViewSharingRemote::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (appeared_) return;
  appeared_ = true;
  hosts_.onAppear();
}

void ViewSharingRemote::refresh() {
  refreshing_ = true;
  title_->setText(hosts_.pickerTitle());
  picker_->clear();
  for (const RemoteSharing& host : hosts_.rsList()) picker_->addItem(HelperRemoteSharing::hostDisplayName(host));
  picker_->setCurrentIndex(hosts_.selectedRemoteHost());
  refreshing_ = false;
  const bool chosen = hosts_.hasSelection();
  reconnect_->setEnabled(chosen);
  edit_->setEnabled(chosen);
  remove_->setEnabled(chosen);
  notice_->setText(hosts_.strNoticeInfo);
  notice_->setVisible(!hosts_.strNoticeInfo.isEmpty());
  browserView_->setVisible(!hosts_.isLoading && hosts_.strNoticeInfo.isEmpty());
  // The active host changed under the browser: redraw it.
  emit browser_.stateChanged();
}

void installRemoteSharingPage(MainView& window) {
  window.setPageFactory(MainViewState::pageRemoteSharing,
                        [](MainViewState&, QWidget* parent) { return new ViewSharingRemote(parent); });
}
