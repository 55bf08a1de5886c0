// Writes pictures of the main window, its pages, dialogs and toasts, in
// Chinese and English, to the build folder's "screenshots" for people to look at.
#include "core/localized.h"
#include "shell/dialog_views.h"
#include "shell/main_view.h"
#include "shell/sheet_overlay.h"
#include "shell/symbols.h"
#include "support/test_util.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QLineEdit>
#include <QPainter>
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

  state.ctlViewReceiveFile().FromUser = QStringLiteral("ann@example.com");
  state.ctlViewReceiveFile().isShowView = true;
  state.receiveFilePanelChanged();
  save(view, "receive_file_placeholder");
  state.isShowReceiveFile.set(false);

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

// Every bundled symbol (in three of the named colours) and image, on one sheet.
TEST(Screenshots, SymbolsAndImages) {
  const QStringList symbols = QDir(QStringLiteral(":/shell/symbols")).entryList(QDir::Files, QDir::Name);
  const QStringList images = QDir(QStringLiteral(":/shell/images")).entryList(QDir::Files, QDir::Name);
  ASSERT_FALSE(symbols.isEmpty());
  const int cell = 56;
  QImage sheet(cell * 4 + 320, cell * (symbols.size() + images.size()) + 8, QImage::Format_ARGB32);
  sheet.fill(Qt::white);
  QPainter painter(&sheet);
  int y = 4;
  const QStringList tints{QStringLiteral("btnRed"), QStringLiteral("activeButton"), QStringLiteral("navDisabled")};
  for (const QString& file : symbols) {
    const QString name = file.chopped(4);
    for (int i = 0; i < tints.size(); ++i)
      painter.drawPixmap(8 + i * cell, y, shellsymbols::symbol(name, tints[i], 48));
    painter.setPen(Qt::black);
    painter.drawText(QRect(8 + 3 * cell + 8, y, 400, 48), Qt::AlignVCenter, name);
    y += cell;
  }
  for (const QString& file : images) {
    const QString name = file.chopped(4);
    painter.drawPixmap(8, y, shellsymbols::image(name, 48));
    painter.drawText(QRect(8 + 3 * cell + 8, y, 400, 48), Qt::AlignVCenter, name);
    y += cell;
  }
  painter.end();
  const QString dir = testutil::binDir() + QStringLiteral("/../screenshots");
  ASSERT_TRUE(QDir().mkpath(dir));
  ASSERT_TRUE(sheet.save(dir + QStringLiteral("/symbols_and_images.png")));
}
