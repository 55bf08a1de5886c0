// The local-sharing page in the main window: what it shows, that its widgets
// reach the controllers, and pictures of the page and of the tag editor in
// the build folder's "screenshots".
#include "share_screens_fixture.h"

#include "core/localized.h"
#include "local_sharing/ui/install_local_sharing.h"
#include "local_sharing/ui/view_sharing_detail.h"
#include "local_sharing/ui/view_sharing_local.h"
#include "local_sharing/ui/view_sharing_tag_edit.h"
#include "shell/main_view.h"
#include "shell/elided_field.h"
#include "shell/symbol_button.h"
#include "support/screen_fit.h"
#include "support/test_util.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTest>

namespace {

class ShareViewsTest : public ShareScreensTest {
 protected:
  void SetUp() override {
    ShareScreensTest::SetUp();
    makeView();
  }
  // A window built in the current language.
  void makeView() {
    view.reset();
    view = std::make_unique<MainView>();
    installLocalSharing(*view);
    shares = view->state().sharingObjList();
    view->resize(900, 620);  // the window's first size
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
  }
  void TearDown() override {
    view.reset();
    ShareScreensTest::TearDown();
  }

  ViewSharingLocal* page() { return qobject_cast<ViewSharingLocal*>(view->currentPage()); }
  void save(QWidget& widget, const char* name) {
    screenfit::checkScreen(widget, QStringLiteral("%1_%2").arg(QLocale().name(), QString::fromLatin1(name)));
  }
  // Two shares: a default folder with an access code, and a file.
  void addTwoShares() {
    SharingObj photos;
    photos.tag = QStringLiteral("PHOTOS");
    photos.path = folder(QStringLiteral("Photos"));
    photos.isDefault = true;
    photos.isupload = true;
    photos.setSharePassword(QStringLiteral("abcd"));
    ASSERT_TRUE(insertShare(photos));
    SharingObj report;
    report.tag = QStringLiteral("K7Q2");
    report.path = file(QStringLiteral("report.pdf"));
    report.isdir = false;
    ASSERT_TRUE(insertShare(report));
    // The login sheet closes (the list loads), or it is closed and the list reloads.
    if (view->state().isShowLogin.value())
      view->state().isShowLogin.set(false);
    else
      view->state().loadShareList();
  }

  std::unique_ptr<MainView> view;
  SharingObjList* shares = nullptr;
};

TEST_F(ShareViewsTest, PageShowsButtonsNoticeAndCardsAsTheStateSays) {
  ASSERT_NE(page(), nullptr);
  view->state().onAppear();  // opens the login sheet
  QCoreApplication::processEvents();
  EXPECT_TRUE(page()->changeHostButton()->isHidden());
  EXPECT_TRUE(page()->createShareButton()->isHidden());
  EXPECT_FALSE(page()->noSharesLabel()->isVisible());

  view->state().isShowLogin.set(false);
  QCoreApplication::processEvents();
  EXPECT_FALSE(page()->createShareButton()->isHidden());
  EXPECT_TRUE(page()->createShareButton()->text().endsWith(QStringLiteral("(0)")));
  EXPECT_TRUE(page()->noSharesLabel()->isVisible());
  EXPECT_FALSE(page()->scrollArea()->isVisible());

  addTwoShares();
  QCoreApplication::processEvents();
  ASSERT_EQ(page()->cards().size(), 2);
  EXPECT_FALSE(page()->scrollArea()->isHidden());
  EXPECT_TRUE(page()->createShareButton()->text().endsWith(QStringLiteral("(2)")));
  ViewSharingDetail* folderCard = page()->cards()[0];
  ViewSharingDetail* fileCard = page()->cards()[1];
  EXPECT_EQ(folderCard->pathCaption()->text(), L("LS_SharingFolder"));
  EXPECT_FALSE(folderCard->visitorRow()->isHidden());
  EXPECT_FALSE(folderCard->defaultBadge()->isHidden());
  EXPECT_EQ(folderCard->accessCodeField()->text(), QStringLiteral("??????"));
  EXPECT_EQ(fileCard->pathCaption()->text(), L("Sharing File"));
  EXPECT_TRUE(fileCard->visitorRow()->isHidden());
  EXPECT_TRUE(fileCard->defaultBadge()->isHidden());
  EXPECT_EQ(fileCard->accessCodeField()->placeholderText(), L("LS_NoPassword"));
  EXPECT_TRUE(testutil::waitUntil([&] { return fileCard->urlField()->fullText().endsWith(QStringLiteral("/K7Q2")); }));

  // A click on a toggle stores it, and the other card follows the default mark.
  fileCard->defaultToggle()->click();
  EXPECT_EQ(defaultShareTag(), QStringLiteral("K7Q2"));
  QCoreApplication::processEvents();
  EXPECT_FALSE(folderCard->defaultToggle()->isChecked());
  EXPECT_TRUE(folderCard->defaultBadge()->isHidden());
  EXPECT_EQ(page()->cards()[0], folderCard);  // cards keep their identity

  // Removal through the window's confirm dialog.
  fileCard->removeButton()->click();
  ASSERT_TRUE(view->state().isShowConfirmDialog.value());
  view->state().dialogConfirmSetting.okAction()();
  view->state().isShowConfirmDialog.set(false);
  QCoreApplication::processEvents();
  EXPECT_EQ(page()->cards().size(), 1);
  EXPECT_TRUE(page()->createShareButton()->text().endsWith(QStringLiteral("(1)")));
}

TEST_F(ShareViewsTest, Screenshots) {
  for (const char* locale : {"en_US", "zh_CN"}) {
    screenfit::LanguageScope language(locale);
    ASSERT_TRUE(UtilDB::execute(QStringLiteral("delete from localshare")));
    makeView();  // built in this language
    view->state().isShowLogin.set(false);
    QCoreApplication::processEvents();
    save(*view, "local_sharing_empty");
    addTwoShares();
    QCoreApplication::processEvents();
    ASSERT_EQ(page()->cards().size(), 2);
    save(*view, "local_sharing_page");
    page()->cards()[1]->removeButton()->click();
    save(*view, "local_sharing_remove_question");
    view->state().isShowConfirmDialog.set(false);

    ViewSharingDetail* card = page()->cards()[0];
    card->editTagButton()->click();
    auto* editor = qobject_cast<SharingTagEditView*>(card->tagEditor());
    ASSERT_NE(editor, nullptr);
    save(*view, "local_sharing_tag_editor");
    QTest::keyClicks(editor->tagField(), QStringLiteral("-x"));
    QTest::keyClick(editor->tagField(), Qt::Key_Return);
    save(*view, "local_sharing_tag_editor_rejected");
    editor->cancelButton()->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(card->tagEditor(), nullptr);
    view.reset();  // built in this language: gone with it
  }
}

}  // namespace
