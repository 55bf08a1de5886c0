#include "shell/main_view.h"

#include "core/localized.h"
#include "shell/dialog_views.h"
#include "shell/main_view_parts.h"
#include "shell/palette.h"
#include "shell/sheet_overlay.h"
#include "shell/toast_view.h"
#include "shell/font_size.h"

#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

const char* const kNavIcons[MainViewState::kPageCount] = {"globe", "person.icloud.fill", "paperplane.fill",
                                                          "gearshape.circle.fill"};
const char* const kPageSymbols[MainViewState::kPageCount] = {"globe", "person.icloud.fill", "paperplane.fill",
                                                             "gearshape.circle.fill"};

}  // namespace

MainView::MainView(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("MainView"));
  setWindowTitle(L("Zarkelo"));
  setMinimumSize(640, 480);
  resize(900, 620);
  QPalette background = palette();
  background.setColor(QPalette::Window, shellpalette::color(QStringLiteral("windowBG")));
  setPalette(background);
  setAutoFillBackground(true);
  // The platform's system font size, in the device-independent pixels of the window's sizes.
  setFontPixelSize(this, 13);

  auto* root = new QVBoxLayout(this);
  root->setContentsMargins(0, 0, 0, 0);
  root->setSpacing(4);
  banner_ = new BannerView(state_);
  root->addWidget(banner_);
  root->addWidget(new BannerSeparator);

  auto* body = new QHBoxLayout;
  body->setSpacing(0);
  sideNav_ = new QWidget;
  sideNav_->setObjectName(QStringLiteral("sideNavigation"));
  auto* nav = new QVBoxLayout(sideNav_);
  nav->setContentsMargins(13, 10, 5, 0);
  nav->setSpacing(10);
  for (const int index : MainViewState::navigationPages()) {
    auto* item = new SideNavItemView(state_, QString::fromLatin1(kNavIcons[index]), index);
    navItems_ << item;
    nav->addWidget(item, 0, Qt::AlignHCenter);
  }
  nav->addStretch(1);
  quit_ = new QPushButton(L("退出"));
  quit_->setObjectName(QStringLiteral("quitButton"));
  nav->addWidget(quit_, 0, Qt::AlignHCenter);
  version_ = new QLabel(state_.versionLine());
  version_->setObjectName(QStringLiteral("versionLine"));
  version_->setContentsMargins(0, 10, 0, 5);
  setFontPixelSize(version_, 11);
  nav->addWidget(version_, 0, Qt::AlignHCenter);
  body->addWidget(sideNav_);

  auto* divider = new QFrame;
  divider->setFrameShape(QFrame::VLine);
  divider->setFrameShadow(QFrame::Plain);
  divider->setStyleSheet(QStringLiteral("color: %1").arg(shellpalette::color(QStringLiteral("bannerBorder")).name()));
  body->addWidget(divider);

  auto* pageHolder = new QWidget;
  pageArea_ = new QVBoxLayout(pageHolder);
  pageArea_->setContentsMargins(0, 0, 0, 0);
  body->addWidget(pageHolder, 1);
  root->addLayout(body, 1);

  connect(quit_, &QPushButton::clicked, &state_, &MainViewState::requestQuit);
  connect(&state_, &MainViewState::pageChanged, this, &MainView::showPage);
  // The side navigation shows only while the login sheet is closed.
  connect(&state_.isShowLogin, &ShowFlag::changed, this, [this](bool shown) { sideNav_->setVisible(!shown); });
  sideNav_->setVisible(state_.isSideNavVisible());

  // Modals, bottom to top in the order the window lays them over its content.
  toast_ = new ToastView(state_.toast, this);
  addSheet(state_.isShowConfirmDialog, [this](QWidget* parent) {
    return new DialogConfirmView(state_.isShowConfirmDialog, state_.dialogConfirmSetting, parent);
  });
  addSheet(state_.isShowDialog_Input, [this](QWidget* parent) {
    return new DialogInputView(state_.isShowDialog_Input, state_.dialogInputSetting, true, parent);
  });
  addSheet(state_.isShowLogin, [this](QWidget* parent) -> QWidget* {
    if (loginSheet_) return loginSheet_(state_, parent);
    return new PlaceholderSheet(L("Sys_LoginIn"), state_.isShowLogin, QSize(480, 160), parent);
  });
  addSheet(state_.isShowReceiveFile, [this](QWidget* parent) -> QWidget* {
    if (receiveFileSheet_) return receiveFileSheet_(state_, parent);
    const QString title = QStringLiteral("[%1] ").arg(state_.ctlViewReceiveFile().FromUser) + L("Receive_SendingToYou");
    return new PlaceholderSheet(title, state_.isShowReceiveFile, QSize(480, 160), parent);
  });
  addSheet(state_.isShowQRSettings, [this](QWidget* parent) -> QWidget* {
    if (qrSheet_) return qrSheet_(state_, parent);
    return new PlaceholderSheet(L("高级设置"), state_.isShowQRSettings, QSize(480, 400), parent);
  });
  addSheet(state_.isShowingExitDialog, [this](QWidget* parent) { return new QuitQuestionView(state_, parent); });

  showPage(state_.iViewIndex());
}

MainView::~MainView() {
  // Sheets and pages refer to the state: remove them before it goes.
  qDeleteAll(sheets_);
  delete page_;
}

SheetOverlay* MainView::addSheet(ShowFlag& flag, std::function<QWidget*(QWidget*)> build) {
  auto* sheet = new SheetOverlay(flag, std::move(build), this);
  connect(&flag, &ShowFlag::changed, this, [this] {
    if (toast_->isVisible()) toast_->raise();  // the toast stays above any sheet
  });
  sheets_ << sheet;
  return sheet;
}

QWidget* MainView::presentedSheet(const ShowFlag& flag) const {
  for (const SheetOverlay* sheet : sheets_)
    if (&sheet->flag() == &flag) return sheet->content();
  return nullptr;
}

SideNavItemView* MainView::navItem(int index) const {
  for (SideNavItemView* item : navItems_)
    if (item->index() == index) return item;
  return nullptr;
}

void MainView::setPageFactory(int index, Factory factory) {
  if (index < 0 || index >= MainViewState::kPageCount) return;
  pages_[index] = std::move(factory);
  if (index == pageIndex_) {
    pageIndex_ = -1;
    showPage(index);
  }
}

void MainView::setSheetFactory(Sheet sheet, Factory factory) {
  switch (sheet) {
    case Sheet::login:
      loginSheet_ = std::move(factory);
      break;
    case Sheet::receiveFile:
      receiveFileSheet_ = std::move(factory);
      break;
    case Sheet::qrSettings:
      qrSheet_ = std::move(factory);
      break;
  }
}

void MainView::showPage(int index) {
  // Selecting the page already shown rebuilds nothing.
  if (index == pageIndex_ && page_) return;
  if (page_) {
    // The old page may be the one whose control asked for the switch: remove it
    // once control is back in the event loop.
    page_->hide();
    pageArea_->removeWidget(page_);
    page_->deleteLater();
    page_ = nullptr;
  }
  pageIndex_ = index;
  if (index < 0 || index >= MainViewState::kPageCount || !state_.isShowingView().value(index)) return;
  if (pages_[index])
    page_ = pages_[index](state_, nullptr);
  else
    page_ = new PlaceholderPage(state_.subViewTitles().value(index), QString::fromLatin1(kPageSymbols[index]));
  if (page_) pageArea_->addWidget(page_);
}

void MainView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (appeared_) return;
  appeared_ = true;
  state_.onAppear();
}

void MainView::closeEvent(QCloseEvent* event) {
  // Once the application is ending (the quit question answered, a termination
  // signal, the upgrade) the window closes; before that the close box asks the
  // quit question.
  if (state_.isQuitting()) {
    event->accept();
    return;
  }
  event->ignore();
  state_.requestQuit();
}
