#include "shell/login_view.h"

#include "bridge/env.h"
#include "core/localized.h"
#include "shell/dialog_views.h"
#include "shell/login_controller.h"
#include "shell/palette.h"
#include "shell/sheet_overlay.h"
#include "shell/symbols.h"
#include "shell/font_size.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {


QFrame* divider(QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFrameShape(QFrame::HLine);
  line->setStyleSheet(QStringLiteral("color: gray;"));
  return line;
}

QLabel* fieldLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setFixedWidth(90);
  return label;
}

QLineEdit* field(const QString& placeholder, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setPlaceholderText(placeholder);
  edit->setFixedSize(240, 38);
  setFontPixelSize(edit, 12);
  return edit;
}

}  // namespace

LoginView::LoginView(LoginController* controller, QWidget* parent)
    : QWidget(parent), controller_(controller), dialogLoadingSetting_(QStringLiteral("Initialing, Pleae wait...")) {
  setObjectName(QStringLiteral("LoginView"));
  setFixedSize(648, 468);
  setAutoFillBackground(true);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(buildBanner());
  layout->addWidget(divider(this));
  panes_ = new QStackedWidget(this);
  panes_->addWidget(buildQrPane());
  panes_->addWidget(buildEmailPane());
  layout->addWidget(panes_, 1);

  // A person without a phone can sign in with e-mail and password.
  switchPane_ = new QPushButton(this);
  switchPane_->setObjectName(QStringLiteral("switchPane"));
  switchPane_->setFlat(true);
  switchPane_->setCursor(Qt::PointingHandCursor);
  switchPane_->setStyleSheet(QStringLiteral("color: %1; text-decoration: underline; border: none;")
                                 .arg(shellpalette::color(QStringLiteral("activeButton")).name()));
  connect(switchPane_, &QPushButton::clicked, this, [this] {
    if (controller_) controller_->setLoginByQR(!controller_->isLoginByQR());
  });
  layout->addWidget(switchPane_, 0, Qt::AlignHCenter);

  auto* footer = new QLabel(L("Login_Footer"), this);
  footer->setAlignment(Qt::AlignCenter);
  layout->addWidget(footer);

  // The loading indicator, the message box and the upgrade question, each
  // presented over the sheet while its flag is set.
  overlays_ << new SheetOverlay(
      isShowLoading_, [this](QWidget* host) { return new DialogLoadingView(isShowLoading_, dialogLoadingSetting_, host); },
      this);
  overlays_ << new SheetOverlay(
      isShowConfirmDialog_,
      [this](QWidget* host) { return new DialogConfirmView(isShowConfirmDialog_, dialogConfirmSetting_, host); }, this);
  upgradeQuestion_.setTitle(L("Settings_UpgradeConfirm"));
  upgradeQuestion_.setInfo(QString());
  upgradeQuestion_.setIsBtnCancel(true);
  upgradeQuestion_.setOkAction([this] {
    if (controller_) controller_->onUpgradeNow();
  });
  overlays_ << new SheetOverlay(
      isShowUpgradeDialog_,
      [this](QWidget* host) {
        // The question names the version on offer.
        const QString number = controller_ ? controller_->upgradeVersion() : QString();
        upgradeQuestion_.setInfo(number.isEmpty() ? QString() : L("Upgrade_Version").arg(number, Env::AppVersion));
        auto* question = new DialogConfirmView(isShowUpgradeDialog_, upgradeQuestion_, host);
        question->okButton()->setText(L("Settings_UpgradeNow"));
        question->okButton()->setObjectName(QStringLiteral("upgradeNow"));
        question->okButton()->setStyleSheet(QStringLiteral("color: red;"));
        return question;
      },
      this);
  // A dialog that closes itself (the loading limit, OK, cancel) tells the controller.
  connect(&isShowLoading_, &ShowFlag::changed, this, [this](bool shown) {
    if (!shown && controller_ && controller_->isShowLoading()) controller_->hideLoading();
  });
  connect(&isShowConfirmDialog_, &ShowFlag::changed, this, [this](bool shown) {
    if (!shown && controller_ && controller_->isShowConfirmDialog()) controller_->dismissMessage();
  });
  connect(&isShowUpgradeDialog_, &ShowFlag::changed, this, [this](bool shown) {
    if (!shown && controller_ && controller_->isShowUpgradeDialog()) controller_->dismissUpgradeQuestion();
  });

  if (controller_) connect(controller_, &LoginController::changed, this, &LoginView::refresh);
  refresh();
}

LoginView::~LoginView() {
  // The controller outlives this view and tells of its own closing while the
  // view is going: no signal of it may reach this half-destroyed object. The
  // overlays draw the records below, so they go first.
  if (controller_) disconnect(controller_, nullptr, this, nullptr);
  qDeleteAll(overlays_);
  overlays_.clear();
}

QWidget* LoginView::presentedOverlay(const ShowFlag& flag) const {
  const ShowFlag* flags[] = {&isShowLoading_, &isShowConfirmDialog_, &isShowUpgradeDialog_};
  for (int i = 0; i < 3; ++i)
    if (flags[i] == &flag) return overlays_[i]->content();
  return nullptr;
}

QWidget* LoginView::buildBanner() {
  auto* banner = new QWidget(this);
  auto* row = new QHBoxLayout(banner);
  auto* logo = new QLabel(banner);
  logo->setPixmap(shellsymbols::image(QStringLiteral("kelvor"), 72, devicePixelRatioF()));
  logo->setFixedWidth(72);
  row->addWidget(logo);
  auto* title = new QLabel(L("Zarkelo"), banner);
  QFont titleFont = title->font();
  titleFont.setPixelSize(32);
  titleFont.setBold(true);
  title->setFont(titleFont);
  row->addWidget(title);
  auto* version = new QLabel(QStringLiteral("V") + Env::AppVersion, banner);
  setFontPixelSize(version, 9);
  version->setAlignment(Qt::AlignTop);
  row->addWidget(version);
  auto* subtitle = new QLabel(L("Login_SubTitle"), banner);
  setFontPixelSize(subtitle, 16);
  row->addWidget(subtitle);
  row->addStretch();
  return banner;
}

QWidget* LoginView::buildQrPane() {
  auto* pane = new QWidget(this);
  pane->setFixedHeight(240);
  auto* layout = new QVBoxLayout(pane);
  layout->setContentsMargins(0, 0, 0, 0);
  qrStack_ = new QStackedWidget(pane);
  auto* initialising = new QWidget(pane);
  auto* initialisingLayout = new QVBoxLayout(initialising);
  auto* initialisingTitle = new QLabel(L("正在初始化"), initialising);
  QFont bold = initialisingTitle->font();
  bold.setBold(true);
  initialisingTitle->setFont(bold);
  initialisingTitle->setAlignment(Qt::AlignCenter);
  initialisingLayout->addStretch();
  initialisingLayout->addWidget(initialisingTitle);
  initialisingLayout->addWidget(new LoadingDots(initialising), 0, Qt::AlignHCenter);
  initialisingLayout->addStretch();
  qrStack_->addWidget(initialising);
  auto* shown = new QWidget(pane);
  auto* shownLayout = new QVBoxLayout(shown);
  shownLayout->setContentsMargins(0, 0, 0, 0);
  qrImage_ = new QLabel(shown);
  qrImage_->setObjectName(QStringLiteral("loginQR"));
  qrImage_->setFixedSize(200, 200);
  shownLayout->addWidget(qrImage_, 0, Qt::AlignHCenter);
  auto* caption = new QLabel(L("无须注册，微信扫码，直接登录"), shown);
  caption->setAlignment(Qt::AlignCenter);
  shownLayout->addWidget(caption);
  qrStack_->addWidget(shown);
  layout->addWidget(qrStack_);
  return pane;
}

QWidget* LoginView::buildEmailPane() {
  auto* pane = new QWidget(this);
  auto* layout = new QVBoxLayout(pane);

  auto* emailRow = new QHBoxLayout;
  emailRow->addStretch();
  emailRow->addWidget(fieldLabel(L("Login_Email"), pane));
  email_ = field(L("Login_YourEmail"), pane);
  email_->setObjectName(QStringLiteral("email"));
  emailRow->addWidget(email_);
  emailRow->addStretch();
  layout->addLayout(emailRow);

  auto* passwordRow = new QHBoxLayout;
  passwordRow->addStretch();
  passwordRow->addWidget(fieldLabel(L("Login_Password"), pane));
  password_ = field(L("Login_YourPassword"), pane);
  password_->setObjectName(QStringLiteral("password"));
  password_->setEchoMode(QLineEdit::Password);
  passwordRow->addWidget(password_);
  passwordRow->addStretch();
  layout->addLayout(passwordRow);

  rememberMe_ = new QCheckBox(L("Login_Check_RememberMe"), pane);
  rememberMe_->setObjectName(QStringLiteral("rememberMe"));
  rememberMe_->setChecked(controller_ ? controller_->isRememberMe() : true);
  layout->addWidget(rememberMe_, 0, Qt::AlignHCenter);

  buttonStack_ = new QStackedWidget(pane);
  buttonStack_->addWidget(new LoadingDots(pane));
  auto* buttons = new QWidget(pane);
  auto* buttonRow = new QHBoxLayout(buttons);
  auto* login = new QPushButton(L("Login_Button_Login"), buttons);
  login->setObjectName(QStringLiteral("loginButton"));
  login->setFixedWidth(80);
  login->setDefault(true);
  auto* cancel = new QPushButton(L("Login_Button_Cancel"), buttons);
  cancel->setObjectName(QStringLiteral("cancelButton"));
  cancel->setFixedWidth(80);
  buttonRow->addStretch();
  buttonRow->addWidget(login);
  buttonRow->addWidget(cancel);
  buttonRow->addStretch();
  buttonStack_->addWidget(buttons);
  layout->addWidget(buttonStack_);
  layout->addWidget(divider(pane));

  connect(email_, &QLineEdit::textEdited, this, [this](const QString& text) {
    if (controller_) controller_->setEmail(text);
  });
  connect(password_, &QLineEdit::textEdited, this, [this](const QString& text) {
    if (controller_) controller_->setPassword(text);
  });
  connect(rememberMe_, &QCheckBox::toggled, this, [this](bool on) {
    if (controller_) controller_->onRememberMeChanged(on);
  });
  connect(login, &QPushButton::clicked, this, [this] {
    if (controller_) controller_->onLoginButton();
  });
  connect(password_, &QLineEdit::returnPressed, login, &QPushButton::click);
  // Cancel ends the application.
  connect(cancel, &QPushButton::clicked, this, [] { QCoreApplication::exit(0); });
  return pane;
}

void LoginView::refresh() {
  if (!controller_) return;
  const LoginController& c = *controller_;
  panes_->setCurrentIndex(c.isLoginByQR() ? 0 : 1);
  switchPane_->setText(c.isLoginByQR() ? L("Login_UseEmail") : L("Login_UseQR"));
  qrStack_->setCurrentIndex(c.timerCounter() <= 3 ? 0 : 1);
  if (!c.loginQR().isNull()) qrImage_->setPixmap(QPixmap::fromImage(c.loginQR()));
  buttonStack_->setCurrentIndex(c.timerCounter() <= 2 ? 0 : 1);
  if (email_->text() != c.email()) email_->setText(c.email());
  if (password_->text() != c.password()) password_->setText(c.password());

  dialogLoadingSetting_.setTitle(c.loadingTitle());
  isShowLoading_.set(c.isShowLoading());
  dialogConfirmSetting_.setTitle(c.messageTitle());
  dialogConfirmSetting_.setInfo(c.messageInfo());
  dialogConfirmSetting_.setIsBtnCancel(false);
  isShowConfirmDialog_.set(c.isShowConfirmDialog());
  isShowUpgradeDialog_.set(c.isShowUpgradeDialog());
}
