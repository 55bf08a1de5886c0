// The local-sharing page and the share card, driven through their controllers
// against a temporary database.
#include "share_screens_fixture.h"

#include "core/localized.h"
#include "local_sharing/ui/local_share_page_controller.h"
#include "local_sharing/ui/share_card_controller.h"

namespace {

using Content = LocalSharePageController::Content;

class SharePageTest : public ShareScreensTest {
 protected:
  std::unique_ptr<LocalSharePageController> page(QString host = QStringLiteral("myhost")) {
    return std::make_unique<LocalSharePageController>(window->isShowLogin, &list, [host] { return host; });
  }
};

TEST_F(SharePageTest, ButtonsAndContentFollowLoginAndList) {
  auto controller = page();
  window->isShowLogin.set(true);
  EXPECT_EQ(controller->content(), Content::nothing);
  EXPECT_FALSE(controller->isChangeHostVisible());
  EXPECT_FALSE(controller->isCreateShareVisible());
  EXPECT_EQ(controller->createShareText(), QString());

  window->isShowLogin.set(false);
  EXPECT_EQ(controller->content(), Content::noShares);
  EXPECT_TRUE(controller->isChangeHostVisible());
  EXPECT_EQ(controller->changeHostText(), L("LS_ChangeHost") + QStringLiteral(" (myhost)"));
  EXPECT_EQ(controller->createShareText(), L("LS_CreateHost") + QStringLiteral("  (0)"));

  int redraws = 0;
  QObject::connect(controller.get(), &LocalSharePageController::changed, [&] { ++redraws; });
  add(QStringLiteral("AAAA"), folder(QStringLiteral("a")));
  EXPECT_GE(redraws, 1);
  EXPECT_EQ(controller->content(), Content::shareCards);
  EXPECT_TRUE(controller->createShareText().endsWith(QStringLiteral("  (1)")));
  // A signed-out page with shares still lists them.
  window->isShowLogin.set(true);
  EXPECT_EQ(controller->content(), Content::shareCards);

  EXPECT_TRUE(page(QString())->changeHostText().endsWith(QStringLiteral(" ()")));
}

TEST_F(SharePageTest, CreateShareAddsFoldersThroughTheChooser) {
  auto controller = page();
  const QString photos = folder(QStringLiteral("photos"));
  chooser->answer = {photos};
  controller->createShare();
  EXPECT_EQ(chooser->last.title, QStringLiteral("Choose one file or folder"));
  EXPECT_TRUE(chooser->last.canChooseDirectories);
  EXPECT_FALSE(chooser->last.canChooseFiles);
  ASSERT_EQ(list.items().size(), 1);
  EXPECT_EQ(list.items()[0]->path, photos);
  EXPECT_TRUE(list.items()[0]->isdir);
  ASSERT_EQ(toasts.size(), 1u);
  EXPECT_EQ(toasts[0].type, AlertToast::Type::complete);
  EXPECT_EQ(toasts[0].color, QStringLiteral("green"));
  EXPECT_EQ(toasts[0].title, QStringLiteral("Done!"));

  // The same folder again: a second share under another tag.
  controller->createShare();
  ASSERT_EQ(list.items().size(), 2);
  EXPECT_NE(list.items()[0]->tag, list.items()[1]->tag);
  EXPECT_EQ(toasts.size(), 2u);

  // Cancel, and several folders at once: nothing added, nothing shown.
  chooser->answer = {};
  controller->createShare();
  chooser->answer = {photos, folder(QStringLiteral("music"))};
  controller->createShare();
  EXPECT_EQ(list.items().size(), 2);
  EXPECT_EQ(toasts.size(), 2u);
  EXPECT_EQ(chooser->opened, 4);
}

TEST_F(SharePageTest, AddShareOrdersFoldersFirstAndReportsFailures) {
  auto controller = page();
  controller->addShare(file(QStringLiteral("a-notes.txt")));
  controller->addShare(folder(QStringLiteral("zeta")));
  controller->addShare(folder(QStringLiteral("beta")));
  controller->addShare(tmp.filePath(QStringLiteral("missing")));
  ASSERT_EQ(list.items().size(), 3);
  EXPECT_TRUE(list.items()[0]->path.endsWith(QStringLiteral("beta")));
  EXPECT_TRUE(list.items()[1]->path.endsWith(QStringLiteral("zeta")));
  EXPECT_FALSE(list.items()[2]->isdir);
  EXPECT_EQ(toasts.size(), 3u);

  // A store that fails: red toast, the list is not reloaded.
  const auto before = list.items();
  refuseWrites();
  controller->addShare(folder(QStringLiteral("refused")));
  ASSERT_EQ(toasts.size(), 4u);
  EXPECT_EQ(toasts.back().type, AlertToast::Type::error);
  EXPECT_EQ(toasts.back().color, QStringLiteral("red"));
  EXPECT_EQ(toasts.back().title, QStringLiteral("Path Alread Exists!"));
  EXPECT_EQ(list.items(), before);
}

TEST_F(SharePageTest, WithoutTheWindowNoToastNoSheetButTheListStillReloads) {
  auto controller = page();
  controller->changeHost();
  EXPECT_TRUE(window->isShowQRSettings.value());
  window->isShowQRSettings.set(false);

  Env::MainViewShared = nullptr;
  controller->changeHost();
  EXPECT_FALSE(window->isShowQRSettings.value());
  controller->addShare(folder(QStringLiteral("docs")));
  EXPECT_EQ(list.items().size(), 1);
  EXPECT_TRUE(toasts.empty());
}

class ShareCardTest : public ShareScreensTest {
 protected:
  std::unique_ptr<ShareCardController> card(const SharingObjPtr& share) {
    return std::make_unique<ShareCardController>(share, window.get());
  }
  bool storedDefault(const QString& tag) {
    return getShareExtValue(tag, QStringLiteral("IsDefault")) == QStringLiteral("1");
  }
};

TEST_F(ShareCardTest, MakingAShareDefaultClearsTheOldDefaultEverywhere) {
  auto a = add(QStringLiteral("AAAA"), folder(QStringLiteral("a")), true);
  auto b = add(QStringLiteral("BBBB"), folder(QStringLiteral("b")));
  // The list reloaded after the second add: fetch A again.
  a = list.items()[0];
  auto cardA = card(a);
  auto cardB = card(b);
  processEvents();
  EXPECT_EQ(a->tagURL, rootURL());
  EXPECT_EQ(b->tagURL, rootURL() + QStringLiteral("BBBB"));

  cardB->setDefault(true);
  EXPECT_TRUE(b->isDefault);
  EXPECT_FALSE(a->isDefault);
  EXPECT_TRUE(storedDefault(QStringLiteral("BBBB")));
  EXPECT_FALSE(storedDefault(QStringLiteral("AAAA")));
  EXPECT_EQ(defaultShareTag(), QStringLiteral("BBBB"));
  // A's card stored its cleared mark too: two green toasts.
  ASSERT_EQ(toasts.size(), 2u);
  for (const AlertToast& toast : toasts) {
    EXPECT_EQ(toast.type, AlertToast::Type::complete);
    EXPECT_EQ(toast.title, L("Sys_Update_Succ"));
  }
  processEvents();
  EXPECT_EQ(b->tagURL, rootURL());
  EXPECT_EQ(a->tagURL, rootURL() + QStringLiteral("AAAA"));

  // Turning the mark off leaves the account without a default share.
  cardB->setDefault(false);
  EXPECT_EQ(defaultShareTag(), QString());
  EXPECT_EQ(toasts.back().type, AlertToast::Type::complete);
  processEvents();
  EXPECT_EQ(b->tagURL, rootURL() + QStringLiteral("BBBB"));
}

TEST_F(ShareCardTest, AFailedDefaultMarkingUndoesTheSaveAndKeepsOneDefault) {
  add(QStringLiteral("AAAA"), folder(QStringLiteral("a")), true);
  auto b = add(QStringLiteral("BBBB"), folder(QStringLiteral("b")));
  auto cardB = card(b);
  ASSERT_TRUE(UtilDB::execute(QStringLiteral(
      "create trigger refuse before update on localshare_ext begin select raise(abort, 'refused'); end")));
  cardB->setDefault(true);
  ASSERT_EQ(toasts.size(), 1u);
  EXPECT_EQ(toasts[0].type, AlertToast::Type::error);
  EXPECT_TRUE(b->isDefault);  // the user's choice stays on screen
  EXPECT_TRUE(list.items()[0]->isDefault);
  EXPECT_EQ(defaultShareTag(), QStringLiteral("AAAA"));
  EXPECT_FALSE(storedDefault(QStringLiteral("BBBB")));
  EXPECT_EQ(UtilDB::queryString(
                QStringLiteral("select count(*) from localshare_ext where key='IsDefault' and value='1'")),
            QStringLiteral("1"));
}

TEST_F(ShareCardTest, TogglesAreStoredAtOnce) {
  auto share = add(QStringLiteral("AAAA"), folder(QStringLiteral("a")), true);
  auto controller = card(share);

  controller->setDelete(true);
  auto saved = stored(QStringLiteral("AAAA"));
  EXPECT_TRUE(saved->isfiledel);
  EXPECT_TRUE(saved->isfilenew);
  EXPECT_TRUE(saved->isfilerename);
  EXPECT_EQ(toasts.size(), 1u);  // one save for the three permissions

  controller->setUpload(true);
  controller->setDownload(false);
  saved = stored(QStringLiteral("AAAA"));
  EXPECT_TRUE(saved->isupload);
  EXPECT_FALSE(saved->isdownload);

  // The default share disabled stays the default share.
  controller->setEnabled(false);
  saved = stored(QStringLiteral("AAAA"));
  EXPECT_FALSE(saved->isenabled);
  EXPECT_TRUE(saved->isDefault);
  EXPECT_EQ(defaultShareTag(), QStringLiteral("AAAA"));
  EXPECT_EQ(toasts.back().type, AlertToast::Type::complete);

  // Setting a toggle to the value it has stores nothing.
  const auto count = toasts.size();
  controller->setEnabled(false);
  EXPECT_EQ(toasts.size(), count);
}

TEST_F(ShareCardTest, AFailedSaveShowsTheFailureAndKeepsTheStoredShare) {
  auto share = add(QStringLiteral("AAAA"), folder(QStringLiteral("a")));
  auto controller = card(share);
  refuseWrites();
  controller->setUpload(true);
  ASSERT_EQ(toasts.size(), 1u);
  EXPECT_EQ(toasts[0].type, AlertToast::Type::error);
  EXPECT_EQ(toasts[0].title, L("Sys_Update_Failed"));
  EXPECT_TRUE(share->isupload);  // what the user did stays on screen
  auto saved = stored(QStringLiteral("AAAA"));
  ASSERT_NE(saved, nullptr);  // the old rows survive the failed rewrite
  EXPECT_FALSE(saved->isupload);
  EXPECT_EQ(getShareExtValue(QStringLiteral("AAAA"), QStringLiteral("Days")), QStringLiteral("31"));

  controller->setAccessCode(QStringLiteral("abcd"));
  EXPECT_EQ(toasts.back().type, AlertToast::Type::error);
  EXPECT_TRUE(checkSharePassword(QStringLiteral("AAAA"), QString()));
}

TEST_F(ShareCardTest, AccessCodeGoesThroughTheInputDialog) {
  auto share = add(QStringLiteral("AAAA"), folder(QStringLiteral("a")));
  auto controller = card(share);
  window->dialogInputSetting.setValue(QStringLiteral("left over"));
  controller->editAccessCode();
  ASSERT_TRUE(window->isShowDialog_Input.value());
  const DialogInput_Setting& dialog = window->dialogInputSetting;
  EXPECT_EQ(dialog.title(), L("LS_AccessCodeSetTitle"));
  EXPECT_EQ(dialog.value(), QString());
  EXPECT_EQ(dialog.lenMin(), 0);
  EXPECT_EQ(dialog.lenMax(), 30);
  EXPECT_EQ(dialog.validType(), DialogInput_Setting_ValidType::dsvPassword);
  EXPECT_TRUE(dialog.isAllowEmpty());

  window->dialogInputSetting.setValue(QStringLiteral("Se7en"));
  dialog.okAction()();
  EXPECT_EQ(share->passwordShowing, QStringLiteral("??????"));
  EXPECT_TRUE(checkSharePassword(QStringLiteral("AAAA"), QStringLiteral("se7en")));
  EXPECT_EQ(toasts.back().type, AlertToast::Type::complete);

  // An empty entry removes the code.
  controller->editAccessCode();
  window->dialogInputSetting.setValue(QString());
  window->dialogInputSetting.okAction()();
  EXPECT_EQ(share->passwordShowing, QString());
  EXPECT_TRUE(checkSharePassword(QStringLiteral("AAAA"), QString()));
}

TEST_F(ShareCardTest, ChangingThePathKeepsTagAndSettings) {
  auto share = add(QStringLiteral("AAAA"), folder(QStringLiteral("a")));
  auto controller = card(share);
  controller->setUpload(true);
  toasts.clear();

  controller->onPathChosen(QString());
  controller->onPathChosen(tmp.filePath(QStringLiteral("nothing-here")));
  controller->onPathChosen(folder(QStringLiteral("b")) + QLatin1Char('|') + folder(QStringLiteral("c")));
  EXPECT_TRUE(toasts.empty());

  const QString other = folder(QStringLiteral("other"));
  chooser->answer = {other};
  controller->changePath();
  EXPECT_FALSE(chooser->last.canChooseFiles);
  auto saved = stored(QStringLiteral("AAAA"));
  EXPECT_EQ(saved->path, other);
  EXPECT_TRUE(saved->isupload);
  EXPECT_EQ(toasts.size(), 1u);

  // An existing file is taken as it is; the share's kind is left alone.
  const QString notes = file(QStringLiteral("notes.txt"));
  controller->onPathChosen(notes);
  saved = stored(QStringLiteral("AAAA"));
  EXPECT_EQ(saved->path, notes);
  EXPECT_TRUE(saved->isdir);
}

TEST_F(ShareCardTest, RemovalAsksFirstThenRemovesFromListAndDatabase) {
  auto a = add(QStringLiteral("AAAA"), folder(QStringLiteral("a")), true);
  add(QStringLiteral("BBBB"), folder(QStringLiteral("b")));
  a = list.items()[0];
  auto controller = card(a);
  controller->askRemoval();
  ASSERT_TRUE(window->isShowConfirmDialog.value());
  EXPECT_EQ(window->dialogConfirmSetting.title(), QStringLiteral("Kelvor"));
  EXPECT_EQ(window->dialogConfirmSetting.info(), L("LS_RemoveInfo") + QLatin1Char('\n') + a->path);
  EXPECT_EQ(list.items().size(), 2);  // nothing before OK

  window->dialogConfirmSetting.okAction()();
  ASSERT_EQ(list.items().size(), 1);
  EXPECT_EQ(list.items()[0]->tag, QStringLiteral("BBBB"));
  EXPECT_FALSE(shareExists(QStringLiteral("AAAA")));
  EXPECT_EQ(getShareExtValue(QStringLiteral("AAAA"), QStringLiteral("Days")), QString());
  EXPECT_EQ(defaultShareTag(), QString());
  EXPECT_EQ(toasts.back().type, AlertToast::Type::complete);

  // A second OK finds nothing to remove.
  window->dialogConfirmSetting.okAction()();
  EXPECT_EQ(toasts.back().type, AlertToast::Type::error);
}

TEST_F(ShareCardTest, CaptionsFollowTheShareKind) {
  auto folderShare = add(QStringLiteral("AAAA"), folder(QStringLiteral("a")));
  auto fileShare = add(QStringLiteral("BBBB"), file(QStringLiteral("b.txt")));
  auto folderCard = card(list.items()[0]);
  auto fileCard = card(fileShare);
  EXPECT_EQ(folderCard->pathCaption(), L("LS_SharingFolder"));
  EXPECT_TRUE(folderCard->isVisitorRowVisible());
  EXPECT_EQ(fileCard->pathCaption(), L("Sharing File"));
  EXPECT_FALSE(fileCard->isVisitorRowVisible());

  // URLs that are no URLs are not opened.
  QList<QUrl> opened;
  fileCard->setUrlOpener([&](const QUrl& url) { opened << url; });
  fileShare->tagURL = QStringLiteral("not a url");
  fileCard->openAccessURL();
  fileShare->tagURL = rootURL() + QStringLiteral("BBBB");
  fileCard->openAccessURL();
  fileCard->openFolder();
  ASSERT_EQ(opened.size(), 2);
  EXPECT_EQ(opened[0].toString(), fileShare->tagURL);
  EXPECT_EQ(opened[1], QUrl::fromLocalFile(fileShare->path));
}

}  // namespace
