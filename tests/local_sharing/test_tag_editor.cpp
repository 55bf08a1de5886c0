// The tag editor: its checks, the rename in the database, and closing.
#include "share_screens_fixture.h"

#include "core/localized.h"
#include "local_sharing/ui/tag_editor_controller.h"

namespace {

class TagEditorTest : public ShareScreensTest {
 protected:
  void SetUp() override {
    ShareScreensTest::SetUp();
    other = add(QStringLiteral("Photos"), folder(QStringLiteral("photos")));
    share = add(QStringLiteral("AB12"), folder(QStringLiteral("work")));
    share->refreshTagURL();
    shown.set(true);
    editor = std::make_unique<TagEditorController>(shown, share);
  }

  // Types the tag and presses OK; the message shown, if any.
  QString submit(const QString& tag) {
    editor->toast().setToast({});
    editor->setTagValue(tag);
    editor->save();
    processEvents();
    return editor->toast().toast().title;
  }

  SharingObjPtr other;
  SharingObjPtr share;
  ShowFlag shown;
  std::unique_ptr<TagEditorController> editor;
};

TEST_F(TagEditorTest, StartsWithTheTagAndClosesUnchangedWithoutWriting) {
  EXPECT_EQ(editor->tagValue(), QStringLiteral("AB12"));
  EXPECT_EQ(editor->shareURL(), rootURL() + QStringLiteral("AB12"));
  const QString ctime = share->ctime;
  ASSERT_TRUE(UtilDB::execute(QStringLiteral("update localshare set ctime='then' where tag='AB12'")));
  editor->save();
  EXPECT_FALSE(shown.value());
  EXPECT_EQ(getShareCTime(QStringLiteral("AB12")), QStringLiteral("then"));
}

TEST_F(TagEditorTest, BadOrTakenTagsKeepTheSheetOpenAndTheShareUnchanged) {
  const QString badTags[] = {QString(),
                             QString(31, QLatin1Char('a')),
                             QStringLiteral("my tag"),
                             QStringLiteral("my-tag"),
                             QStringLiteral("my_tag"),
                             QStringLiteral("caf\u00e9"),
                             QStringLiteral("tag\n")};
  for (const QString& tag : badTags) {
    EXPECT_EQ(submit(tag), L("Sys_Toast_CharNum")) << tag.toStdString();
    EXPECT_EQ(editor->toast().toast().imageName, QStringLiteral("info.square.fill"));
    EXPECT_EQ(editor->toast().toast().color, QStringLiteral("yellow"));
  }
  // Another share's tag in any case, and this share's own tag in another case.
  EXPECT_EQ(submit(QStringLiteral("photos")), L("LS_ExistsSharingTag"));
  EXPECT_EQ(submit(QStringLiteral("ab12")), L("LS_ExistsSharingTag"));
  EXPECT_TRUE(shown.value());
  EXPECT_EQ(share->tag, QStringLiteral("AB12"));
  EXPECT_EQ(share->tagOld, QString());
  EXPECT_TRUE(shareExists(QStringLiteral("AB12")));
  EXPECT_EQ(editor->toast().durationMs(), 1880);
}

TEST_F(TagEditorTest, RenameMovesEverySettingAndClosesAfterwards) {
  share->isupload = true;
  ASSERT_TRUE(saveShare(*share));
  const QString tag30 = QStringLiteral("Abcdefghij0123456789KLMNOPQRST");
  ASSERT_EQ(tag30.size(), 30);
  editor->setTagValue(tag30);
  editor->save();
  // The database changes at once; the sheet closes after the current update.
  EXPECT_EQ(share->tag, tag30);
  EXPECT_EQ(share->tagOld, QString());
  EXPECT_TRUE(shown.value());
  processEvents();
  EXPECT_FALSE(shown.value());
  EXPECT_EQ(share->tagURL, rootURL() + tag30);

  EXPECT_FALSE(shareExists(QStringLiteral("AB12")));
  EXPECT_EQ(getShareExtValue(QStringLiteral("AB12"), QStringLiteral("Days")), QString());
  EXPECT_EQ(UtilDB::queryString(QStringLiteral("select count(*) from localshare_ext where tag=?"), {tag30}),
            QStringLiteral("12"));
  auto saved = stored(tag30);
  ASSERT_NE(saved, nullptr);
  EXPECT_TRUE(saved->isupload);
  EXPECT_EQ(saved->path, share->path);
}

TEST_F(TagEditorTest, TheDefaultShareKeepsItsRootURLAfterARename) {
  share->isDefault = true;
  ASSERT_TRUE(saveShare(*share));
  submit(QStringLiteral("Root1"));
  EXPECT_FALSE(shown.value());
  EXPECT_EQ(share->tagURL, rootURL());
  EXPECT_EQ(share->buildShareURL(), rootURL() + QStringLiteral("Root1"));
  EXPECT_EQ(defaultShareTag(), QStringLiteral("Root1"));
}

TEST_F(TagEditorTest, CancelAndCloseWriteNothing) {
  editor->setTagValue(QStringLiteral("Typed"));
  share->tagOld = QStringLiteral("AB12");
  editor->cancel();
  EXPECT_FALSE(shown.value());
  EXPECT_EQ(share->tagOld, QString());
  EXPECT_EQ(share->tag, QStringLiteral("AB12"));
  EXPECT_FALSE(shareExists(QStringLiteral("Typed")));

  shown.set(true);
  TagEditorController again(shown, share);
  EXPECT_EQ(again.tagValue(), QStringLiteral("AB12"));  // a typed tag is dropped
  again.close();
  EXPECT_FALSE(shown.value());
}

TEST_F(TagEditorTest, ARefusedRenameKeepsTheOldTagEverywhere) {
  refuseWrites();
  EXPECT_EQ(submit(QStringLiteral("NewTag")), L("Sys_Update_Failed"));
  EXPECT_TRUE(shown.value());
  EXPECT_EQ(share->tag, QStringLiteral("AB12"));
  EXPECT_EQ(share->tagOld, QString());
  EXPECT_EQ(editor->tagValue(), QStringLiteral("NewTag"));
  EXPECT_TRUE(shareExists(QStringLiteral("AB12")));
  EXPECT_FALSE(shareExists(QStringLiteral("NewTag")));
}

}  // namespace
