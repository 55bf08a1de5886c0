// Writes pictures of the main window, its pages, dialogs and toasts, in
// Chinese and English, to the build folder's "screenshots" for people to look at.
#include "core/localized.h"
#include "shell/dialog_views.h"
#include "shell/main_view.h"
#include "shell/sheet_overlay.h"
#include "support/test_util.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QLineEdit>
#include <QTest>

namespace {

class Screenshots : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    QLocale::setDefault(QLocale(QString::fromLatin1(GetParam())));
    dir_ = QDir(testutil::binDir() + QStringLiteral("/../screenshots"));
    ASSERT_TRUE(dir_.mkpath(QStringLiteral(".")));
  }
  void TearDown() override { QLocale::setDefault(QLocale::c()); }

  void save(QWidget& window, const char* name) {
    QTest::qWait(260);  // let pop-in animations finish
    const QString path = dir_.filePath(QStringLiteral("%1_%2.png").arg(QString::fromLatin1(GetParam()),
                                                                        QString::fromLatin1(name)));
    const QImage image = window.grab().toImage();
    ASSERT_FALSE(image.isNull());
    ASSERT_TRUE(image.save(path)) << path.toStdString();
  }

  QDir dir_;
};

}  // namespace

TEST_P(Screenshots, WindowPagesDialogsAndToasts) {
  MainView view;
  view.resize(900, 620);
  view.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
  MainViewState& state = view.state();
  save(view, "login_sheet");
  state.isShowLogin.set(false);

  const char* pages[] = {"page0_local", "page1_remote", "page2_sendfile", "page3_settings"};
  for (int i = 0; i < MainViewState::kPageCount; ++i) {
    state.selectTab(i);
    save(view, pages[i]);
  }
  state.selectTab(0);

  state.openConfirmDialog(L("Sys_Button_Remove"), QStringLiteral("Remove the share \"photos\" and stop sharing it?"), {});
  save(view, "dialog_confirm");
  state.isShowConfirmDialog.set(false);

  state.openInputDialog(L("LS_AccessCodeSetTitle"), QStringLiteral("ab-c"), {}, 0, 30,
                        DialogInput_Setting_ValidType::dsvPassword, true);
  save(view, "dialog_input");
  auto* input = qobject_cast<DialogInputView*>(view.presentedSheet(state.isShowDialog_Input));
  ASSERT_NE(input, nullptr);
  QTest::keyClick(input->field(), Qt::Key_Return);
  save(view, "dialog_input_rejected");
  state.isShowDialog_Input.set(false);

  ShowFlag loading;
  DialogLoadingSetting loadingSetting(L("Sys_Loading"));
  SheetOverlay loadingSheet(loading, [&](QWidget* parent) { return new DialogLoadingView(loading, loadingSetting, parent); },
                            &view);
  loading.set(true);
  save(view, "dialog_loading");
  loading.set(false);

  state.requestQuit();
  save(view, "quit_question");
  state.answerQuit(false);

  state.openQRSettings();
  save(view, "qr_settings_placeholder");
  state.isShowQRSettings.set(false);

  state.showUpdateResult(true);
  save(view, "toast_update_succeeded");
  state.showToast(L("Banner_Func_RemoteSharing"));
  save(view, "toast_text");
  state.toast.dismiss();

  view.resize(640, 480);
  save(view, "minimum_size");
}

INSTANTIATE_TEST_SUITE_P(Languages, Screenshots, testing::Values("zh_CN", "en_US"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param).substr(0, 2);
                         });
