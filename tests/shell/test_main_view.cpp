#include "core/localized.h"
#include "shell/dialog_views.h"
#include "shell/main_view.h"
#include "shell/main_view_parts.h"
#include "shell/main_view_shared.h"
#include "shell/palette.h"
#include "shell/sheet_overlay.h"
#include "shell/symbol_button.h"
#include "shell/symbols.h"
#include "shell/toast_view.h"
#include "support/test_util.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

// Clicks the close symbol of a card.
void clickClose(QWidget* card) {
  auto* close = card->findChild<SymbolButton*>(QStringLiteral("closeSymbol"));
  ASSERT_NE(close, nullptr);
  QTest::mouseClick(close, Qt::LeftButton);
}

// Sheets are removed once control is back in the event loop.
bool gone(const QPointer<QWidget>& widget) {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return widget.isNull();
}

struct ShownWindow {
  MainView view;
  ShownWindow() {
    view.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&view));
  }
  MainViewState& state() { return view.state(); }
  // Closes the login sheet the window opens at start.
  void closeLogin() {
    QWidget* login = view.presentedSheet(state().isShowLogin);
    ASSERT_NE(login, nullptr);
    clickClose(login);
    ASSERT_FALSE(state().isShowLogin.value());
  }
};

}  // namespace

TEST(MainView, StartShowsLoginSheetAndHidesNavigation) {
  ShownWindow w;
  EXPECT_EQ(shell::mainViewShared(), &w.state());
  EXPECT_TRUE(w.state().isShowLogin.value());
  EXPECT_NE(w.view.presentedSheet(w.state().isShowLogin), nullptr);
  EXPECT_FALSE(w.view.sideNavigation()->isVisible());
  EXPECT_EQ(w.view.banner()->pageTitleLabel()->text(), L("Banner_Func_LocalSharing"));
  EXPECT_EQ(w.view.banner()->userNameLabel()->text(), QStringLiteral("Anonymous"));
  EXPECT_EQ(w.view.versionLabel()->text(), L("Ver. ") + Env::AppVersion);
  ASSERT_NE(w.view.currentPage(), nullptr);

  w.state().setUserName(QStringLiteral("Ann"));
  EXPECT_EQ(w.view.banner()->userNameLabel()->text(), QStringLiteral("Ann"));

  w.closeLogin();
  EXPECT_TRUE(w.view.sideNavigation()->isVisible());
  ASSERT_NE(w.view.navItem(2), nullptr);  // the send-file page has its own item

  // At the minimum size everything is still laid out inside the window.
  w.view.resize(w.view.minimumSize());
  QCoreApplication::processEvents();
  EXPECT_EQ(w.view.size(), QSize(640, 480));
  const QRect window = w.view.rect();
  for (QWidget* part : {static_cast<QWidget*>(w.view.banner()->userNameLabel()), w.view.sideNavigation(),
                        w.view.currentPage(), static_cast<QWidget*>(w.view.versionLabel())}) {
    const QRect box(part->mapTo(&w.view, QPoint(0, 0)), part->size());
    EXPECT_FALSE(box.isEmpty()) << part->objectName().toStdString();
    EXPECT_TRUE(window.contains(box)) << part->objectName().toStdString();
  }
}

TEST(MainView, NavigationSwitchesPagesAndBuildsThemAfresh) {
  ShownWindow w;
  w.closeLogin();
  int built = 0;
  for (int i = 0; i < MainViewState::kPageCount; ++i)
    w.view.setPageFactory(i, [&built, i](MainViewState&, QWidget* parent) {
      ++built;
      auto* page = new QLabel(QStringLiteral("page %1").arg(i), parent);
      page->setObjectName(QStringLiteral("page%1").arg(i));
      return page;
    });
  EXPECT_EQ(w.view.currentPage()->objectName(), QStringLiteral("page0"));  // plugging in replaces the placeholder

  QTest::mouseClick(w.view.navItem(3), Qt::LeftButton);
  EXPECT_EQ(w.state().iViewIndex(), 3);
  EXPECT_EQ(w.view.currentPage()->objectName(), QStringLiteral("page3"));
  EXPECT_EQ(w.view.banner()->pageTitleLabel()->text(), L("Banner_Func_Settings"));
  const QPointer<QWidget> settings = w.view.currentPage();
  const int before = built;
  QTest::mouseClick(w.view.navItem(3), Qt::LeftButton);  // the page already shown
  EXPECT_EQ(w.view.currentPage(), settings.data());
  EXPECT_EQ(built, before);

  QTest::mouseClick(w.view.navItem(1), Qt::LeftButton);
  EXPECT_EQ(w.view.currentPage()->objectName(), QStringLiteral("page1"));
  EXPECT_TRUE(gone(settings));
  QTest::mouseClick(w.view.navItem(3), Qt::LeftButton);  // selected again: a new page
  EXPECT_NE(w.view.currentPage(), nullptr);
  EXPECT_EQ(built, before + 2);

  w.state().selectTab(9);  // no such page: only the product name and "-" remain
  EXPECT_EQ(w.view.currentPage(), nullptr);
  EXPECT_FALSE(w.view.banner()->pageTitleLabel()->isVisible());
}

TEST(MainView, BannerTapOpensQrSettingsSheet) {
  ShownWindow w;
  w.closeLogin();
  QTest::mouseClick(w.view.banner(), Qt::LeftButton, {}, QPoint(300, 40));
  EXPECT_TRUE(w.state().isShowQRSettings.value());
  QWidget* sheet = w.view.presentedSheet(w.state().isShowQRSettings);
  ASSERT_NE(sheet, nullptr);
  clickClose(sheet);
  EXPECT_FALSE(w.state().isShowQRSettings.value());
}

TEST(MainView, ToastTimesOutOrIsDismissedByAClick) {
  ShownWindow w;
  ToastView* toast = w.view.toastView();
  QElapsedTimer clock;  // started first: it can only read longer than the toast's time
  clock.start();
  w.state().showToast(QStringLiteral("abc"));
  ASSERT_TRUE(toast->isVisible());
  ASSERT_TRUE(testutil::waitUntil([&] { return !toast->isVisible(); }, std::chrono::seconds(10)));
  EXPECT_GE(clock.elapsed(), 875);

  w.state().showUpdateResult(false);
  ASSERT_TRUE(toast->isVisible());
  // The toast stays above the login sheet, and a click on it removes it at once.
  QTest::mouseClick(toast, Qt::LeftButton, {}, toast->rect().center());
  EXPECT_FALSE(toast->isVisible());
  EXPECT_FALSE(w.state().toast.isShown());
}

TEST(MainView, ConfirmDialogCard) {
  ShownWindow w;
  w.closeLogin();
  int runs = 0;
  w.state().openConfirmDialog(QStringLiteral("Remove"), QStringLiteral("Remove this share?"), [&] { ++runs; });
  QPointer<QWidget> sheet = w.view.presentedSheet(w.state().isShowConfirmDialog);
  auto* card = qobject_cast<DialogConfirmView*>(sheet.data());
  ASSERT_NE(card, nullptr);
  EXPECT_EQ(card->title(), QStringLiteral("Remove"));
  EXPECT_EQ(card->infoLabel()->text(), QStringLiteral("Remove this share?"));
  EXPECT_TRUE(card->cancelButton()->isVisible());
  EXPECT_EQ(card->size(), QSize(482, 162));

  // The open card follows the record; without Cancel only OK shows.
  w.state().dialogConfirmSetting.setIsBtnCancel(false);
  EXPECT_FALSE(card->cancelButton()->isVisible());
  QTest::mouseClick(card->okButton(), Qt::LeftButton);
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(w.state().isShowConfirmDialog.value());
  EXPECT_TRUE(gone(sheet));

  // The close symbol runs nothing.
  w.state().isShowConfirmDialog.set(true);
  clickClose(w.view.presentedSheet(w.state().isShowConfirmDialog));
  EXPECT_FALSE(w.state().isShowConfirmDialog.value());
  EXPECT_EQ(runs, 1);
}

TEST(MainView, InputDialogCard) {
  ShownWindow w;
  w.closeLogin();
  QString handed;
  w.state().openInputDialog(QStringLiteral("Access code"), QString(), [&] { handed = w.state().dialogInputSetting.value(); },
                            0, 30, DialogInput_Setting_ValidType::dsvPassword, true);
  auto* card = qobject_cast<DialogInputView*>(w.view.presentedSheet(w.state().isShowDialog_Input));
  ASSERT_NE(card, nullptr);
  EXPECT_FALSE(card->tipsLabel()->isVisible());
  QTest::keyClicks(card->field(), QStringLiteral("a b"));
  EXPECT_EQ(w.state().dialogInputSetting.value(), QStringLiteral("a b"));  // every keystroke reaches the record
  QTest::keyClick(card->field(), Qt::Key_Return);
  EXPECT_TRUE(w.state().isShowDialog_Input.value());
  ToastView* toast = card->toastView();
  ASSERT_NE(toast, nullptr);
  EXPECT_TRUE(toast->isVisible());
  EXPECT_FALSE(toast->geometry().intersects(card->geometry()));  // beside the card: the field stays in view
  EXPECT_EQ(card->logic().toast().toast().title, QStringLiteral("The password should be 4~16 characters/numbers"));

  card->field()->clear();
  QTest::keyClicks(card->field(), QStringLiteral("abcd"));
  QTest::mouseClick(card->okButton(), Qt::LeftButton);
  EXPECT_FALSE(w.state().isShowDialog_Input.value());
  EXPECT_EQ(handed, QStringLiteral("abcd"));

  // Cancel keeps what was typed.
  w.state().isShowDialog_Input.set(true);
  card = qobject_cast<DialogInputView*>(w.view.presentedSheet(w.state().isShowDialog_Input));
  ASSERT_NE(card, nullptr);
  EXPECT_EQ(card->field()->text(), QStringLiteral("abcd"));
  QTest::keyClicks(card->field(), QStringLiteral("ef"));
  QTest::mouseClick(card->cancelButton(), Qt::LeftButton);
  EXPECT_FALSE(w.state().isShowDialog_Input.value());
  EXPECT_EQ(w.state().dialogInputSetting.value(), QStringLiteral("abcdef"));
}

TEST(MainView, LoadingDialogClosesItself) {
  QWidget host;
  host.resize(400, 300);
  ShowFlag shown;
  DialogLoadingSetting setting(QString{});
  setting.setMaxWaiting(0);
  SheetOverlay sheet(shown, [&](QWidget* parent) { return new DialogLoadingView(shown, setting, parent); }, &host);
  host.show();
  shown.set(true);
  auto* view = qobject_cast<DialogLoadingView*>(sheet.content());
  ASSERT_NE(view, nullptr);
  EXPECT_FALSE(view->titleLabel()->isVisible());  // an empty title shows only the dots
  setting.setTitle(QStringLiteral("Logging in..."));
  EXPECT_TRUE(view->titleLabel()->isVisible());
  ASSERT_TRUE(testutil::waitUntil([&] { return !shown.value(); }, std::chrono::seconds(3)));
  EXPECT_FALSE(sheet.isPresented());
}

TEST(MainView, QuitQuestion) {
  ShownWindow w;
  w.closeLogin();
  int quits = 0;
  w.state().setQuitFunction([&] { ++quits; });
  QTest::mouseClick(w.view.quitButton(), Qt::LeftButton);
  auto* question = qobject_cast<QuitQuestionView*>(w.view.presentedSheet(w.state().isShowingExitDialog));
  ASSERT_NE(question, nullptr);
  EXPECT_EQ(question->title(), L("您确定要退出『Zarkelo』吗？"));
  QTest::mouseClick(question->cancelButton(), Qt::LeftButton);
  EXPECT_FALSE(w.state().isShowingExitDialog.value());
  EXPECT_EQ(quits, 0);

  EXPECT_FALSE(w.view.close());  // closing the window asks the same question
  EXPECT_TRUE(w.view.isVisible());
  question = qobject_cast<QuitQuestionView*>(w.view.presentedSheet(w.state().isShowingExitDialog));
  ASSERT_NE(question, nullptr);
  QTest::mouseClick(question->quitButton(), Qt::LeftButton);
  EXPECT_EQ(quits, 1);
  // Quitting closes every window first: now the window lets itself be closed,
  // without asking again.
  EXPECT_TRUE(w.state().isQuitting());
  EXPECT_TRUE(w.view.close());
  EXPECT_FALSE(w.view.isVisible());
  EXPECT_FALSE(w.state().isShowingExitDialog.value());
}

TEST(Drawings, NamedColoursAndTintedSymbols) {
  for (const char* name : {"frameBorder", "btnRed", "navBG", "editTextColor", "activeButton", "ColorMain0",
                           "navDisabled", "activeBorder", "bannerBorder", "green", "red", "yellow"})
    EXPECT_TRUE(shellpalette::has(QString::fromLatin1(name))) << name;
  EXPECT_EQ(shellpalette::color(QStringLiteral("grey")), shellpalette::color(QStringLiteral("gray")));

  for (const char* name : {"multiply.circle.fill", "info.square.fill", "globe", "person.icloud.fill",
                           "gearshape.circle.fill", "person.crop.circle.fill", "checkmark.circle.fill"})
    EXPECT_TRUE(shellsymbols::hasSymbol(QString::fromLatin1(name))) << name;
  for (const char* name : {"folder", "file", "folder_up", "kelvor"})
    EXPECT_TRUE(shellsymbols::hasImage(QString::fromLatin1(name))) << name;

  // Tinted in the named colour, with the cross cut out of the disc.
  const QImage close =
      shellsymbols::symbol(QStringLiteral("multiply.circle.fill"), QStringLiteral("btnRed"), 48).toImage();
  ASSERT_EQ(close.size(), QSize(48, 48));
  EXPECT_EQ(close.pixelColor(24, 24).alpha(), 0);
  const QColor ring = close.pixelColor(24, 6);
  EXPECT_EQ(ring.alpha(), 255);
  EXPECT_EQ(ring.rgb(), shellpalette::color(QStringLiteral("btnRed")).rgb());
  const QImage unknown = shellsymbols::symbol(QStringLiteral("no.such.symbol"), QStringLiteral("red"), 16).toImage();
  EXPECT_EQ(unknown.pixelColor(8, 8).alpha(), 0);
  EXPECT_GT(shellsymbols::image(QStringLiteral("folder"), 32).toImage().pixelColor(16, 20).alpha(), 0);
}
