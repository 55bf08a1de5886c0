#include "core/file_chooser.h"
#include "core/file_names.h"
#include "core/util_system.h"

#include "support/test_util.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QString S(const char* text) { return QString::fromUtf8(text); }

void writeFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(bytes);
}

}  // namespace

TEST(UtilSystemPaths, SeparatorAndTrailingSeparator) {
  EXPECT_EQ(UtilSystem::separatorOf(S("/usr")), S("/"));
  EXPECT_EQ(UtilSystem::separatorOf(S("C:\\data")), S("\\"));
  EXPECT_EQ(UtilSystem::separatorOf(S("data")), S("\\"));
  EXPECT_EQ(UtilSystem::separatorOf(QString()), S("\\"));

  EXPECT_EQ(UtilSystem::trimTrailingSeparator(S("/")), S("/"));
  EXPECT_EQ(UtilSystem::trimTrailingSeparator(S("/a/b/")), S("/a/b"));
  EXPECT_EQ(UtilSystem::trimTrailingSeparator(S("/a/b//")), S("/a/b/"));
  EXPECT_EQ(UtilSystem::trimTrailingSeparator(S("C:\\")), S("C:\\"));
  EXPECT_EQ(UtilSystem::trimTrailingSeparator(S("C:\\data\\")), S("C:\\data"));
  EXPECT_EQ(UtilSystem::trimTrailingSeparator(S("\\")), QString());
  EXPECT_EQ(UtilSystem::trimTrailingSeparator(S("abc")), S("abc"));
  EXPECT_EQ(UtilSystem::trimTrailingSeparator(QString()), QString());
  // Characters, not UTF-16 units: one emoji is no drive.
  EXPECT_EQ(UtilSystem::trimTrailingSeparator(S("😀\\")), S("😀"));
  EXPECT_EQ(UtilSystem::trimTrailingSeparator(S("文件\\")), S("文件\\"));

  EXPECT_EQ(UtilSystem::ensureTrailingSeparator(QString()), QString());
  EXPECT_EQ(UtilSystem::ensureTrailingSeparator(S("/a")), S("/a/"));
  EXPECT_EQ(UtilSystem::ensureTrailingSeparator(S("/a/")), S("/a/"));
  EXPECT_EQ(UtilSystem::ensureTrailingSeparator(S("C:")), S("C:\\"));
}

TEST(UtilSystemPaths, JoinNameExtensionParent) {
  EXPECT_EQ(UtilSystem::joinPath(S("/a"), S("b")), S("/a/b"));
  EXPECT_EQ(UtilSystem::joinPath(S("/a/"), S("b")), S("/a//b"));
  EXPECT_EQ(UtilSystem::joinPath(S("/a/"), S("b"), S("/")), S("/a/b"));
  EXPECT_EQ(UtilSystem::joinPath(S("C:\\a"), S("b")), S("C:\\a\\b"));
  EXPECT_EQ(UtilSystem::joinPath(QString(), S("b"), S("/")), S("/b"));

  EXPECT_EQ(UtilSystem::fileNameOfPath(QString()), QString());
  EXPECT_EQ(UtilSystem::fileNameOfPath(S("/")), QString());
  EXPECT_EQ(UtilSystem::fileNameOfPath(S("/a/b.txt")), S("b.txt"));
  EXPECT_EQ(UtilSystem::fileNameOfPath(S("/a/b/")), S("b"));
  EXPECT_EQ(UtilSystem::fileNameOfPath(S("C:\\x\\y.doc")), S("y.doc"));
  EXPECT_EQ(UtilSystem::fileNameOfPath(S("name")), S("name"));

  EXPECT_EQ(UtilSystem::fileExtension(S("/a/b.tar.gz")), S("gz"));
  EXPECT_EQ(UtilSystem::fileExtension(S("/a/b")), QString());
  EXPECT_EQ(UtilSystem::fileExtension(S("/a.d/b")), QString());
  EXPECT_EQ(UtilSystem::fileExtension(S("/a/.profile")), S("profile"));
  EXPECT_EQ(UtilSystem::fileExtension(S("/a/b.")), QString());
  EXPECT_EQ(UtilSystem::fileExtension(S("C:\\dir.x\\file.PDF")), S("PDF"));

  EXPECT_EQ(UtilSystem::parentPath(S("/a/b/c")), S("/a/b"));
  EXPECT_EQ(UtilSystem::parentPath(S("/a/b/")), S("/a"));
  EXPECT_EQ(UtilSystem::parentPath(S("/a")), S("/"));
  EXPECT_EQ(UtilSystem::parentPath(S("/")), S("/"));
  EXPECT_EQ(UtilSystem::parentPath(S("C:\\a\\b")), S("C:\\a"));
  EXPECT_EQ(UtilSystem::parentPath(S("C:\\a")), S("C:\\"));
  EXPECT_EQ(UtilSystem::parentPath(S("C:\\")), S("C:\\"));
  EXPECT_EQ(UtilSystem::parentPath(S("name")), S("\\"));

  EXPECT_EQ(lastComponent(S("."), S("archive.tar.gz")), S("gz"));
  EXPECT_EQ(lastComponent(S("."), S("README")), S("README"));
  EXPECT_EQ(lastComponent(S("."), S("notes.")), QString());
  EXPECT_EQ(lastComponent(QString(), S("a.b")), S("a.b"));
  EXPECT_EQ(lastComponent(QString(), QString()), QString());
  EXPECT_EQ(lastComponent(S("|"), QString()), QString());
}

TEST(UtilSystemPaths, MapPathToRootStripsOnlyTheLeadingRoot) {
  EXPECT_EQ(UtilSystem::mapPathToRoot(S("/Users/me/Downloads"), S("C:\\share"), S("C:\\share\\sub\\f.txt")),
            S("/Users/me/Downloads/sub/f.txt"));
  EXPECT_EQ(UtilSystem::mapPathToRoot(S("/L"), S("/R"), S("/R/x/")), S("/L/x"));
  EXPECT_EQ(UtilSystem::mapPathToRoot(S("/L/"), S("/R/"), S("/R/a/b")), S("/L/a/b"));
  // The root's text again deeper in the path is an ordinary folder.
  EXPECT_EQ(UtilSystem::mapPathToRoot(S("/L"), S("/data"), S("/data/backup/data/f")), S("/L/backup/data/f"));
  EXPECT_EQ(UtilSystem::mapPathToRoot(S("/L"), S("/R"), S("/R/x/R/y")), S("/L/x/R/y"));
  EXPECT_EQ(UtilSystem::mapPathToRoot(S("/L"), S("C:\\s"), S("C:\\s\\C:\\s\\f")), S("/L/C:/s/f"));
  // The root itself maps to the local root.
  EXPECT_EQ(UtilSystem::mapPathToRoot(S("/L"), S("/R"), S("/R")), S("/L/"));
  // A remote path can't climb out of the local root.
  EXPECT_EQ(UtilSystem::mapPathToRoot(S("/L"), S("C:\\s"), S("C:\\s\\..\\..\\etc\\passwd")), S("/L/etc/passwd"));
  EXPECT_EQ(UtilSystem::mapPathToRoot(S("/L"), S("/R"), S("/R/./a/../b")), S("/L/a/b"));
}

TEST(UtilSystemFormat, SizeTextUnits) {
  EXPECT_EQ(UtilSystem::formatSize(0), S("0.00 bytes"));
  EXPECT_EQ(UtilSystem::formatSize(1024), S("1024.00 bytes"));
  EXPECT_EQ(UtilSystem::formatSize(1025), S("1.00 KB"));
  EXPECT_EQ(UtilSystem::formatSize(1536), S("1.50 KB"));
  EXPECT_EQ(UtilSystem::formatSize(1048576), S("1024.00 KB"));
  EXPECT_EQ(UtilSystem::formatSize(1048577), S("1.00 MB"));
  EXPECT_EQ(UtilSystem::formatSize(quint64(5) << 30), S("5.00 GB"));
  EXPECT_EQ(UtilSystem::formatSize(quint64(3) << 40), S("3.00 TB"));
  EXPECT_EQ(UtilSystem::formatSize(~quint64(0)), S("16.00 EB"));
}

TEST(UtilSystemFormat, TimestampSecondsOrMilliseconds) {
  EXPECT_EQ(UtilSystem::formatTimestamp(1700000000), UtilSystem::formatTimestamp(1700000000123LL));
  EXPECT_EQ(UtilSystem::formatTimestamp(1700000000),
            QLocale::system().toString(QDateTime::fromSecsSinceEpoch(1700000000), QLocale::ShortFormat));
  EXPECT_NE(UtilSystem::formatTimestamp(1700000000), UtilSystem::formatTimestamp(1800000000));
}

TEST(UtilSystemFormat, RandomString) {
  EXPECT_EQ(UtilSystem::randomString(3).size(), 4);
  EXPECT_EQ(UtilSystem::randomString(0).size(), 1);
  EXPECT_EQ(UtilSystem::randomString(-1), QString());
  const QString text = UtilSystem::randomString(2000);
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9A-Z]{2001}$")).match(text).hasMatch());
  EXPECT_TRUE(text.contains(QLatin1Char('0')) && text.contains(QLatin1Char('Z')));
}

TEST(UtilSystemFormat, ValidationPatternsMatchWholeText) {
  EXPECT_FALSE(UtilSystem::isValidEmail(QString()));
  EXPECT_TRUE(UtilSystem::isValidEmail(S("first.last+tag@mail.example.cn")));
  // Top-level parts of five letters and more are valid too.
  EXPECT_TRUE(UtilSystem::isValidEmail(S("me@example.museum")));
  EXPECT_TRUE(UtilSystem::isValidEmail(S("demo@zarkelo.local")));
  EXPECT_TRUE(UtilSystem::isValidEmail(S("ann@example.online")));
  EXPECT_TRUE(UtilSystem::isValidEmail(S("bob@museum.travel")));
  EXPECT_FALSE(UtilSystem::isValidEmail(S("me@localhost")));
  EXPECT_FALSE(UtilSystem::isValidEmail(S("me@example.c")));
  EXPECT_FALSE(UtilSystem::isValidEmail(S("me@example.travel1")));
  EXPECT_FALSE(UtilSystem::isValidEmail(S("me@example.")));
  EXPECT_FALSE(UtilSystem::isValidEmail(S("@example.com")));
  EXPECT_FALSE(UtilSystem::isValidEmail(S("me@@example.com")));
  EXPECT_FALSE(UtilSystem::isValidEmail(S("me@exa mple.com")));
  EXPECT_FALSE(UtilSystem::isValidEmail(S("x me@example.com")));
  EXPECT_FALSE(UtilSystem::isValidEmail(S("me@example.com\n")));

  EXPECT_TRUE(UtilSystem::isValidAccountName(S("abc123")));
  EXPECT_FALSE(UtilSystem::isValidAccountName(QString()));
  EXPECT_TRUE(UtilSystem::isValidAccountName(QString(30, QLatin1Char('a'))));
  EXPECT_FALSE(UtilSystem::isValidAccountName(QString(31, QLatin1Char('a'))));
  EXPECT_FALSE(UtilSystem::isValidAccountName(S("ab_c")));
  EXPECT_FALSE(UtilSystem::isValidAccountName(S("abc\n")));
  EXPECT_FALSE(UtilSystem::isValidAccountName(S("ａｂｃ")));  // full-width letters

  EXPECT_TRUE(UtilSystem::isAlnumInLengthRange(S("abcd"), 4, 16));
  EXPECT_FALSE(UtilSystem::isAlnumInLengthRange(S("abc"), 4, 16));
  EXPECT_FALSE(UtilSystem::isAlnumInLengthRange(QString(17, QLatin1Char('9')), 4, 16));
  EXPECT_FALSE(UtilSystem::isAlnumInLengthRange(S("abcd\n"), 4, 16));
  EXPECT_TRUE(UtilSystem::isAlnumInLengthRange(QString(), 0, 30));
}

TEST(UtilSystemFiles, ListingSizesRemoveAndRename) {
  QTemporaryDir dir;
  const QString root = dir.path();
  ASSERT_TRUE(QDir(root).mkpath(S("Photos")));
  ASSERT_TRUE(QDir(root).mkpath(S(".hidden_dir")));
  writeFile(root + S("/photo.JPG"), "12345");
  writeFile(root + S("/notes.txt"), "");
  writeFile(root + S("/.secret"), "x");

  auto sorted = [](QStringList list) {
    list.sort();
    return list;
  };
  EXPECT_EQ(sorted(UtilSystem::listDirectory(root, 0, QString())), (QStringList{S("Photos"), S("notes.txt"), S("photo.JPG")}));
  EXPECT_EQ(UtilSystem::listDirectory(root, 1, QString()), QStringList{S("Photos")});
  EXPECT_EQ(sorted(UtilSystem::listDirectory(root, 2, QString())), (QStringList{S("notes.txt"), S("photo.JPG")}));
  EXPECT_EQ(sorted(UtilSystem::listDirectory(root, 0, S("PHOTO"))), (QStringList{S("Photos"), S("photo.JPG")}));
  EXPECT_TRUE(UtilSystem::listDirectory(root + S("/photo.JPG"), 0, QString()).isEmpty());
  EXPECT_TRUE(UtilSystem::listDirectory(root + S("/missing"), 0, QString()).isEmpty());

  EXPECT_TRUE(UtilSystem::isExistingFile(root + S("/photo.JPG")));
  EXPECT_FALSE(UtilSystem::isExistingFile(root + S("/Photos")));
  EXPECT_EQ(UtilSystem::getFileSize(root + S("/photo.JPG")), 5);
  EXPECT_EQ(UtilSystem::getFileSize(root + S("/missing")), 0);
  EXPECT_LE(qAbs(UtilSystem::getFileCreationDate(root + S("/missing")).secsTo(QDateTime::currentDateTimeUtc())), 5);

  // Only "delete" removes; a folder goes with its contents.
  writeFile(root + S("/Photos/a.png"), "a");
  UtilSystem::removeFiles(S("Delete"), root + S("/Photos|") + root + S("/notes.txt"));
  EXPECT_TRUE(QFileInfo::exists(root + S("/Photos/a.png")));
  UtilSystem::removeFiles(S("delete"), root + S("/missing|") + root + S("/Photos|") + root + S("/notes.txt"));
  EXPECT_FALSE(QFileInfo::exists(root + S("/Photos")));
  EXPECT_FALSE(QFileInfo::exists(root + S("/notes.txt")));
  EXPECT_FALSE(UtilSystem::removeFile(root + S("/missing")));

  // A link to a folder is removed without touching what it points to.
  QTemporaryDir outside;
  writeFile(outside.path() + S("/keep.txt"), "k");
  ASSERT_TRUE(QFile::link(outside.path(), root + S("/link")));
  EXPECT_TRUE(UtilSystem::removeFile(root + S("/link")));
  EXPECT_TRUE(QFileInfo::exists(outside.path() + S("/keep.txt")));

  // Rename replaces an existing target; a missing source moves nothing.
  writeFile(root + S("/new.tmp"), "new");
  writeFile(root + S("/app.dmg"), "old");
  UtilSystem::renameFile(root + S("/new.tmp"), root + S("/app.dmg"));
  EXPECT_FALSE(QFileInfo::exists(root + S("/new.tmp")));
  EXPECT_EQ(UtilSystem::getFileSize(root + S("/app.dmg")), 3);
  UtilSystem::renameFile(root + S("/gone.tmp"), root + S("/app.dmg"));
  EXPECT_TRUE(QFileInfo::exists(root + S("/app.dmg")));

  // Replacing keeps the old file when the new one is missing.
  writeFile(root + S("/next.tmp"), "next");
  EXPECT_TRUE(UtilSystem::replaceFile(root + S("/next.tmp"), root + S("/app.dmg")));
  EXPECT_EQ(UtilSystem::getFileSize(root + S("/app.dmg")), 4);
  EXPECT_FALSE(UtilSystem::replaceFile(root + S("/next.tmp"), root + S("/app.dmg")));
  EXPECT_EQ(UtilSystem::getFileSize(root + S("/app.dmg")), 4);
}

TEST(FileNames, OnePlainComponentWithoutControlCharacters) {
  for (const QString& name : {S("a.txt"), S("a..b"), S("..."), S(".hidden"), S("名前 (1).txt"), QString(255, QLatin1Char('x'))})
    EXPECT_TRUE(isPlainFileName(name)) << name.toStdString();
  for (const QString& name : {QString(), S("."), S(".."), S("a/b"), S("a\\b"), S("/"), S("tab\there"), S("del\x7f"),
                              S("nul") + QChar(u'\0'), QString(QChar(0x85)), QString(256, QLatin1Char('x')),
                              QString(128, QChar(0x00e9))})
    EXPECT_FALSE(isPlainFileName(name)) << name.toStdString();
}

TEST(UtilSystemFiles, DocumentsFoldersAreCreated) {
  const QString path = documentsPath(S("Kelvor")) + S("/Downloads/deep");
  EXPECT_TRUE(path.startsWith(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + S("/Kelvor/")));
  ensureDirectory(path);
  EXPECT_TRUE(QFileInfo(path).isDir());
  ensureDirectory(path);  // existing: nothing happens
  QTemporaryDir dir;
  writeFile(dir.path() + S("/file"), "x");
  ensureDirectory(dir.path() + S("/file/sub"));  // blocked by a file: logged, no crash
  EXPECT_FALSE(QFileInfo::exists(dir.path() + S("/file/sub")));
}

namespace {

class FakeChooser : public FileChooser {
 public:
  int response = kChooserOK;
  QList<QUrl> chosen;
  FileChooserOptions last;
  void open(const FileChooserOptions& options, Done done) override {
    last = options;
    QMetaObject::invokeMethod(QCoreApplication::instance(), [this, done] { done(response, chosen); }, Qt::QueuedConnection);
  }
  std::pair<int, QList<QUrl>> openModal(const FileChooserOptions& options) override {
    last = options;
    return {response, chosen};
  }
};

}  // namespace

TEST(UtilSystemChooser, ResultJoinsPathsOrIsEmpty) {
  auto fake = std::make_shared<FakeChooser>();
  setFileChooser(fake);
  fake->chosen = {QUrl::fromLocalFile(S("/a/b c.txt")), QUrl::fromLocalFile(S("/d/文件"))};

  QString result = S("unset");
  UtilSystem::openPanel(S("Choose one file or folder"), 1, [&result](const QString& text) { result = text; });
  EXPECT_EQ(result, S("unset"));  // returns before the chooser closes
  ASSERT_TRUE(testutil::waitUntil([&] { return result != S("unset"); }));
  EXPECT_EQ(result, S("/a/b c.txt|/d/文件"));
  EXPECT_EQ(fake->last.title, S("Choose one file or folder"));
  EXPECT_TRUE(fake->last.canChooseDirectories);
  EXPECT_FALSE(fake->last.canChooseFiles);
  EXPECT_TRUE(fake->last.allowsMultipleSelection);
  EXPECT_FALSE(fake->last.showsHiddenFiles);

  EXPECT_EQ(UtilSystem::openPanelModal(S("t"), 2), S("/a/b c.txt|/d/文件"));
  EXPECT_TRUE(fake->last.canChooseDirectories && fake->last.canChooseFiles);
  UtilSystem::openPanelModal(S("t"), 0);
  EXPECT_TRUE(fake->last.canChooseFiles && !fake->last.canChooseDirectories);

  fake->chosen.clear();
  EXPECT_EQ(UtilSystem::openPanelModal(S("t"), 2), QString());
  fake->chosen = {QUrl::fromLocalFile(S("/x"))};
  fake->response = kChooserCancel;
  EXPECT_EQ(UtilSystem::openPanelModal(S("t"), 2), QString());

  setFileChooser(nullptr);
  result = S("unset");
  UtilSystem::openPanel(S("t"), 0, [&result](const QString& text) { result = text; });
  ASSERT_TRUE(testutil::waitUntil([&] { return result != S("unset"); }));
  EXPECT_EQ(result, QString());
}
