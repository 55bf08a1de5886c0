#include "shell/dialog_confirm_logic.h"
#include "shell/dialog_input_logic.h"
#include "shell/dialog_loading_logic.h"
#include "support/test_util.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QStringList>

using VT = DialogInput_Setting_ValidType;

TEST(ConfirmDialog, ButtonsRunTheirActionThenClose) {
  ShowFlag flag(true);
  DialogConfirmSetting setting;
  EXPECT_EQ(setting.title(), QStringLiteral("Confirm"));
  EXPECT_EQ(setting.info(), QStringLiteral("Are you sure?"));
  EXPECT_TRUE(setting.isBtnCancel());
  QStringList log;
  setting.setOkAction([&] { log << (flag.value() ? QStringLiteral("ok while shown") : QStringLiteral("ok late")); });
  setting.setCancelAction([&] { log << QStringLiteral("cancel"); });
  DialogConfirmLogic dialog(flag, setting);

  dialog.pressOK();
  EXPECT_FALSE(flag.value());
  flag.set(true);
  dialog.pressCancel();
  EXPECT_FALSE(flag.value());
  flag.set(true);
  dialog.pressClose();  // never runs an action
  EXPECT_FALSE(flag.value());
  EXPECT_EQ(log, (QStringList{QStringLiteral("ok while shown"), QStringLiteral("cancel")}));
}

TEST(ConfirmDialog, WithoutActionsOnlyClosesAndRecordKeepsLastValues) {
  ShowFlag flag(true);
  DialogConfirmSetting setting;
  DialogConfirmLogic dialog(flag, setting);
  dialog.pressOK();
  EXPECT_FALSE(flag.value());
  flag.set(true);
  dialog.pressCancel();
  EXPECT_FALSE(flag.value());

  // A second raise that writes no action runs the first caller's action.
  int runs = 0;
  setting.setOkAction([&] { ++runs; });
  flag.set(true);
  dialog.pressOK();
  flag.set(true);
  dialog.pressOK();
  EXPECT_EQ(runs, 2);
}

TEST(ConfirmDialog, ClosesWhateverTheActionDidToTheFlag) {
  ShowFlag flag(true);
  DialogConfirmSetting setting;
  DialogConfirmLogic dialog(flag, setting);
  // An action that reopens still sees the dialog close afterwards.
  setting.setOkAction([&] { flag.set(true); });
  dialog.pressOK();
  EXPECT_FALSE(flag.value());
  // An action that already closed it must not reopen it (a toggle would).
  flag.set(true);
  setting.setOkAction([&] { flag.set(false); });
  dialog.pressOK();
  EXPECT_FALSE(flag.value());
  // Closing an already closed dialog keeps it closed.
  dialog.pressClose();
  EXPECT_FALSE(flag.value());
}

TEST(LoadingDialog, ClosesItselfOnTheTickAfterTheLimit) {
  ShowFlag flag(true);
  DialogLoadingSetting setting;
  EXPECT_EQ(setting.title(), QStringLiteral("Loading..."));
  EXPECT_EQ(setting.maxWaiting(), 8);
  EXPECT_EQ(DialogLoadingSetting(QStringLiteral("Logging in...")).maxWaiting(), 8);
  DialogLoadingLogic dialog(flag, setting);
  EXPECT_TRUE(dialog.isRunning());
  for (int i = 0; i < 8; ++i) dialog.tick();
  setting.setTitle(QStringLiteral("changed"));  // a new title does not restart the count
  EXPECT_TRUE(flag.value());
  EXPECT_EQ(dialog.timerCounter(), 8);
  dialog.tick();
  EXPECT_FALSE(flag.value());
  EXPECT_FALSE(dialog.isRunning());
}

TEST(LoadingDialog, RealClockAndHostClosingFirst) {
  ShowFlag flag(true);
  DialogLoadingSetting setting;
  setting.setMaxWaiting(0);
  QElapsedTimer clock;
  clock.start();
  DialogLoadingLogic dialog(flag, setting);
  ASSERT_TRUE(testutil::waitUntil([&] { return !flag.value(); }, std::chrono::seconds(10)));
  EXPECT_GE(clock.elapsed(), 950);

  // The host hides the dialog: its clock stops and it never touches the flag again.
  ShowFlag other(true);
  DialogLoadingSetting slow;
  DialogLoadingLogic second(other, slow);
  other.set(false);
  EXPECT_FALSE(second.isRunning());
}

TEST(InputDialog, CountsUserPerceivedCharacters) {
  EXPECT_EQ(DialogInputLogic::characterCount(QString()), 0);
  EXPECT_EQ(DialogInputLogic::characterCount(QStringLiteral("abc")), 3);
  EXPECT_EQ(DialogInputLogic::characterCount(QString::fromUtf8("共享文件")), 4);
  // A surrogate pair, a family of four joined emoji, a flag and a combining accent: one each.
  EXPECT_EQ(DialogInputLogic::characterCount(QString::fromUtf8("\xF0\x9F\x98\x80")), 1);
  EXPECT_EQ(DialogInputLogic::characterCount(
                QString::fromUtf8("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7\xE2\x80"
                                  "\x8D\xF0\x9F\x91\xA6")),
            1);
  EXPECT_EQ(DialogInputLogic::characterCount(QString::fromUtf8("\xF0\x9F\x87\xA8\xF0\x9F\x87\xB3")), 1);
  EXPECT_EQ(DialogInputLogic::characterCount(QString::fromUtf8("e\xCC\x81")), 1);
}

TEST(InputDialog, CheckRulesInOrder) {
  DialogInput_Setting s;
  const auto rule = [&](const QString& value) {
    s.setValue(value);
    return DialogInputLogic::check(s).value_or(QStringLiteral("pass"));
  };
  const QString pass = QStringLiteral("pass");
  const QString pwRule = QStringLiteral("The password should be 4~16 characters/numbers");

  // Allowed empty passes whatever the other rules say.
  s.setAll(QStringLiteral("t"), QString(), {}, 5, 30, VT::dsvPassword, true);
  EXPECT_EQ(rule(QString()), pass);
  // Not allowed: judged like any other text.
  s.setIsAllowEmpty(false);
  EXPECT_EQ(rule(QString()), QStringLiteral("input length should >=5"));
  s.setLenMin(0);
  EXPECT_EQ(rule(QString()), pwRule);
  s.setValidType(VT::dsvNone);
  EXPECT_EQ(rule(QString()), pass);

  // Both bounds inclusive, counted in characters.
  s.setLenMin(2);
  s.setLenMax(4);
  EXPECT_EQ(rule(QStringLiteral("a")), QStringLiteral("input length should >=2"));
  EXPECT_EQ(rule(QStringLiteral("ab")), pass);
  EXPECT_EQ(rule(QString::fromUtf8("共享文件")), pass);  // 4 characters, 12 bytes
  EXPECT_EQ(rule(QStringLiteral("abcde")), QStringLiteral("input length should <=4"));
  s.setLenMax(30);
  EXPECT_EQ(rule(QString(31, QLatin1Char('x'))), QStringLiteral("input length should <=30"));
  s.setValidType(VT::dsvEmail);  // no rule of its own
  EXPECT_EQ(rule(QStringLiteral("not an address")), pass);

  // Passwords: 4 to 16 ASCII letters and digits, after the length steps.
  s.setValidType(VT::dsvPassword);
  s.setLenMin(0);
  EXPECT_EQ(rule(QStringLiteral("abc")), pwRule);
  EXPECT_EQ(rule(QStringLiteral("abcd")), pass);
  EXPECT_EQ(rule(QStringLiteral("Ab3456789012345Z")), pass);
  EXPECT_EQ(rule(QStringLiteral("Ab34567890123456Z")), pwRule);
  EXPECT_EQ(rule(QStringLiteral("ab cd")), pwRule);
  EXPECT_EQ(rule(QStringLiteral("ab-cd")), pwRule);
  EXPECT_EQ(rule(QString::fromUtf8("abc\xC3\xA9")), pwRule);
  EXPECT_EQ(rule(QString::fromUtf8("abc\xEF\xBC\x91")), pwRule);  // a full-width digit
  s.setLenMax(5);
  EXPECT_EQ(rule(QStringLiteral("abcdef")), QStringLiteral("input length should <=5"));
}

TEST(InputDialog, PassingTextClosesThenRunsAction) {
  ShowFlag flag(true);
  DialogInput_Setting s;
  bool wasShownDuringAction = true;
  QString handed;
  s.setAll(QStringLiteral("Code"), QStringLiteral("abcd"), [&] {
    wasShownDuringAction = flag.value();
    handed = s.value();
  }, 0, 30, VT::dsvPassword, true);
  DialogInputLogic dialog(flag, s);
  dialog.pressOK();
  EXPECT_FALSE(flag.value());
  EXPECT_FALSE(wasShownDuringAction);
  EXPECT_EQ(handed, QStringLiteral("abcd"));

  // An action that raises the dialog again keeps it raised.
  flag.set(true);
  s.setOkAction([&] { flag.set(true); });
  dialog.pressReturn();
  EXPECT_TRUE(flag.value());
}

TEST(InputDialog, FailingTextKeepsDialogOpenAndShowsBannerToast) {
  ShowFlag flag(true);
  DialogInput_Setting s;
  int runs = 0;
  s.setAll(QStringLiteral("Code"), QStringLiteral("a b"), [&] { ++runs; }, 0, 30, VT::dsvPassword, true);
  DialogInputLogic dialog(flag, s);
  dialog.pressOK();
  EXPECT_TRUE(flag.value());
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(s.value(), QStringLiteral("a b"));
  ASSERT_TRUE(dialog.toast().isShown());
  const AlertToast& t = dialog.toast().toast();
  EXPECT_EQ(t.displayMode, AlertToast::DisplayMode::bannerPop);
  EXPECT_EQ(t.type, AlertToast::Type::systemImage);
  EXPECT_EQ(t.imageName, QStringLiteral("info.square.fill"));
  EXPECT_EQ(t.color, QStringLiteral("yellow"));
  EXPECT_EQ(t.title, QStringLiteral("The password should be 4~16 characters/numbers"));
  EXPECT_EQ(dialog.toast().durationMs(), 1880);
  dialog.toast().dismiss();
  EXPECT_FALSE(dialog.toast().isShown());
}

TEST(InputDialog, CancelCloseAndDisabledSubmit) {
  ShowFlag flag(true);
  DialogInput_Setting s;
  int runs = 0;
  s.setAll(QStringLiteral("Code"), QStringLiteral("typed"), [&] { ++runs; }, 0, 30, VT::dsvNone, true);
  DialogInputLogic dialog(flag, s);
  dialog.pressCancel();
  EXPECT_FALSE(flag.value());
  flag.set(true);
  dialog.pressClose();
  EXPECT_FALSE(flag.value());
  EXPECT_EQ(s.value(), QStringLiteral("typed"));
  EXPECT_EQ(runs, 0);

  // With submitting disallowed OK does nothing, but Return still checks.
  flag.set(true);
  DialogInputLogic locked(flag, s, false);
  locked.pressOK();
  EXPECT_TRUE(flag.value());
  locked.pressReturn();
  EXPECT_FALSE(flag.value());
  EXPECT_EQ(runs, 1);
}
