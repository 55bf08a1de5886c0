#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>

#include "host_side/host_file_service.h"
#include "host_side/path_guard.h"

namespace {

void touch(const QString& path, const QByteArray& bytes = "x") {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

class PathGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp.isValid());
    base = tmp.path();
    share = base + QStringLiteral("/share");
    QDir().mkpath(share + QStringLiteral("/sub/deep"));
    QDir().mkpath(base + QStringLiteral("/share2"));  // sibling with the same prefix
    QDir().mkpath(base + QStringLiteral("/outside"));
    touch(share + QStringLiteral("/a.txt"));
    touch(share + QStringLiteral("/sub/b.txt"));
    touch(base + QStringLiteral("/share2/secret.txt"));
    touch(base + QStringLiteral("/outside/secret.txt"));
    QFile::link(base + QStringLiteral("/outside"), share + QStringLiteral("/out_link"));
    QFile::link(base + QStringLiteral("/outside/secret.txt"), share + QStringLiteral("/secret_link"));
    QFile::link(share + QStringLiteral("/sub"), share + QStringLiteral("/in_link"));
  }

  PathGuard guard(bool canDelete = false, bool canCreate = false) const {
    return PathGuard({ShareRoot{share, true, canDelete, canCreate}});
  }

  QTemporaryDir tmp;
  QString base, share;
};

TEST_F(PathGuardTest, HostilePathsAreRefused) {
  const PathGuard g = guard(true, true);
  const QStringList hostile = {
      QStringLiteral(".."),
      QStringLiteral("../../etc/passwd"),
      QStringLiteral("/etc/passwd"),
      QStringLiteral("/"),
      share + QStringLiteral("/../outside/secret.txt"),
      share + QStringLiteral("/sub/../../share2/secret.txt"),
      base + QStringLiteral("/share2"),
      base + QStringLiteral("/share2/secret.txt"),
      share + QStringLiteral("2/secret.txt"),
      share + QStringLiteral("/out_link"),
      share + QStringLiteral("/out_link/secret.txt"),
      share + QStringLiteral("/secret_link"),
      QStringLiteral("C:\\.."),
      QStringLiteral("C:\\Windows\\system32"),
      QString(),
      QStringLiteral("relative/a.txt"),
      share + QStringLiteral("/") + QString(5000, QLatin1Char('a')),
      share + QStringLiteral("/a.txt") + QChar(u'\0') + QStringLiteral("x"),
  };
  for (const QString& path : hostile) {
    EXPECT_FALSE(g.resolve(path).has_value()) << path.left(200).toStdString();
    EXPECT_FALSE(g.openForDelete(path).has_value()) << path.left(200).toStdString();
  }
}

// Two sub-folder sums of what the gate opened: the same file, whichever way
// it was named.
ino_t inodeOf(const std::optional<ServedPath>& served) {
  struct stat st {};
  return served && ::fstat(served->fd.get(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(PathGuardTest, PathsInsideTheShareAreOpenedBeneathIt) {
  const PathGuard g = guard();
  const auto b = g.openFile(share + QStringLiteral("/sub/b.txt"));
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(b->rel, QStringLiteral("sub/b.txt"));
  EXPECT_EQ(b->rootPath, QDir(share).canonicalPath());
  EXPECT_TRUE(g.resolve(share).has_value());
  EXPECT_TRUE(g.resolve(share + QStringLiteral("/")).has_value());
  EXPECT_EQ(inodeOf(g.openFile(share + QStringLiteral("//sub/./deep/..//b.txt"))), inodeOf(b));
  // A link that stays inside the share is followed, also before "..".
  EXPECT_EQ(inodeOf(g.openFile(share + QStringLiteral("/in_link/b.txt"))), inodeOf(b));
  EXPECT_EQ(inodeOf(g.openFile(share + QStringLiteral("/in_link/../sub/b.txt"))), inodeOf(b));
  // Missing entries are refused like everything else that is not there.
  EXPECT_FALSE(g.resolve(share + QStringLiteral("/nope/x")).has_value());
  EXPECT_TRUE(g.openFolder(share + QStringLiteral("/sub")).has_value());
  EXPECT_FALSE(g.openFolder(share + QStringLiteral("/a.txt")).has_value());
  EXPECT_FALSE(g.openFile(share + QStringLiteral("/sub")).has_value());
}

TEST_F(PathGuardTest, ASingleFileShareServesOnlyThatFile) {
  const PathGuard g({ShareRoot{share + QStringLiteral("/a.txt"), false, true, true}});
  EXPECT_TRUE(g.resolve(share + QStringLiteral("/a.txt")).has_value());
  EXPECT_FALSE(g.resolve(share + QStringLiteral("/sub/b.txt")).has_value());
  EXPECT_FALSE(g.resolve(share).has_value());
  EXPECT_FALSE(g.openForDelete(share + QStringLiteral("/a.txt")).has_value());  // the share itself
}

TEST_F(PathGuardTest, NoSharesServeNothing) {
  const PathGuard none;
  EXPECT_FALSE(none.resolve(share).has_value());
  const PathGuard missing({ShareRoot{base + QStringLiteral("/gone"), true, true, true}});
  EXPECT_FALSE(missing.resolve(base + QStringLiteral("/gone")).has_value());
  EXPECT_TRUE(missing.isEmpty());
}

TEST_F(PathGuardTest, DeleteNeedsPermissionAndNeverTakesTheShareItself) {
  EXPECT_FALSE(guard(false).openForDelete(share + QStringLiteral("/a.txt")).has_value());
  const PathGuard g = guard(true);
  EXPECT_FALSE(g.openForDelete(share).has_value());
  EXPECT_FALSE(g.openForDelete(share + QStringLiteral("/")).has_value());
  EXPECT_FALSE(g.openForDelete(share + QStringLiteral("/sub/..")).has_value());
  EXPECT_FALSE(g.openForDelete(share + QStringLiteral("/in_link/..")).has_value());
  EXPECT_TRUE(g.openForDelete(share + QStringLiteral("/a.txt")).has_value());
  // A link inside that points inside is removed as the link, not its target.
  EXPECT_EQ(g.openForDelete(share + QStringLiteral("/in_link")).value().name, QByteArray("in_link"));

  const QString list = share + QStringLiteral("/a.txt|") + share + QStringLiteral("|") + share +
                       QStringLiteral("/../outside/secret.txt|") + share + QStringLiteral("/in_link|") + share +
                       QStringLiteral("/out_link");
  EXPECT_EQ(removeServedFiles(g, QStringLiteral("delete"), list), 2);
  EXPECT_FALSE(QFile::exists(share + QStringLiteral("/a.txt")));
  EXPECT_TRUE(QFile::exists(share + QStringLiteral("/sub/b.txt")));  // the link's target stays
  EXPECT_TRUE(QFile::exists(base + QStringLiteral("/outside/secret.txt")));
  EXPECT_TRUE(QDir(share).exists());
  EXPECT_EQ(removeServedFiles(g, QStringLiteral("remove"), share + QStringLiteral("/sub")), 0);
  EXPECT_TRUE(QDir(share + QStringLiteral("/sub")).exists());
  EXPECT_EQ(removeServedFiles(g, QStringLiteral("delete"), share + QStringLiteral("/sub")), 1);
  EXPECT_FALSE(QDir(share + QStringLiteral("/sub")).exists());
}

TEST_F(PathGuardTest, NewFolderNeedsPermissionAndAPlainName) {
  EXPECT_FALSE(createServedFolder(guard(false, false), share, QStringLiteral("n1")));
  EXPECT_FALSE(QDir(share + QStringLiteral("/n1")).exists());
  const PathGuard g = guard(false, true);
  for (const QString& bad :
       {QString(), QStringLiteral("."), QStringLiteral(".."), QStringLiteral("a/b"), QStringLiteral("..\\x"),
        QStringLiteral("a\\b"), QStringLiteral("../escape"), QStringLiteral("line\nbreak"), QStringLiteral("esc\x1b[2J"),
        QStringLiteral("nul") + QChar(u'\0'), QString(256, QLatin1Char('n'))})
    EXPECT_FALSE(createServedFolder(g, share, bad)) << bad.toStdString();
  EXPECT_EQ(QDir(share).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks), QStringList{QStringLiteral("sub")});
  EXPECT_FALSE(QDir(base + QStringLiteral("/escape")).exists());
  EXPECT_FALSE(createServedFolder(g, base + QStringLiteral("/outside"), QStringLiteral("n2")));
  EXPECT_FALSE(createServedFolder(g, share + QStringLiteral("/out_link"), QStringLiteral("n3")));
  EXPECT_FALSE(QDir(base + QStringLiteral("/outside/n3")).exists());
  EXPECT_TRUE(createServedFolder(g, share + QStringLiteral("/sub"), QStringLiteral("made")));
  EXPECT_TRUE(QDir(share + QStringLiteral("/sub/made")).exists());
  // Dots inside a name are no way out.
  EXPECT_TRUE(createServedFolder(g, share + QStringLiteral("/sub"), QStringLiteral("v1..v2")));
  EXPECT_TRUE(QDir(share + QStringLiteral("/sub/v1..v2")).exists());
}

TEST_F(PathGuardTest, ChecksAnswerRefusedPathsAsMissing) {
  const PathGuard g = guard();
  const FileDownloadInfo inside = answerFileDownloadCheck(g, share + QStringLiteral("/a.txt"));
  EXPECT_EQ(inside.valid, 1);
  EXPECT_EQ(inside.size, 1);
  for (const QString& path : {base + QStringLiteral("/outside/secret.txt"), share + QStringLiteral("/secret_link"),
                              share + QStringLiteral("/sub")}) {
    const FileDownloadInfo refused = answerFileDownloadCheck(g, path);
    EXPECT_EQ(refused.path, path);
    EXPECT_EQ(refused.valid, 0);
    if (!path.endsWith(QStringLiteral("/sub"))) {
      EXPECT_EQ(refused.size, 0);
    }
  }
  // A share that allows no downloads answers like a missing file.
  ShareRoot closed{share, true, false, false};
  closed.canDownload = false;
  const FileDownloadInfo none = answerFileDownloadCheck(PathGuard({closed}), share + QStringLiteral("/a.txt"));
  EXPECT_EQ(none.valid, 0);
  EXPECT_EQ(none.size, 0);
  // The local-network route only where the serving share's "TransLAN" allows it.
  EXPECT_EQ(inside.TransLAN, QStringLiteral("0"));
  EXPECT_EQ(answerFileUploadCheck(g, share, vex::Json::array()).TransLAN, QStringLiteral("0"));
  ShareRoot lan{share, true, false, false};
  lan.canLan = true;
  EXPECT_EQ(answerFileDownloadCheck(PathGuard({lan}), share + QStringLiteral("/a.txt")).TransLAN, QStringLiteral("1"));
  EXPECT_EQ(answerFileUploadCheck(PathGuard({lan}), share, vex::Json::array()).TransLAN, QStringLiteral("1"));
  EXPECT_EQ(answerFileDownloadCheck(PathGuard({lan}), base + QStringLiteral("/outside/secret.txt")).TransLAN,
            QStringLiteral("0"));
  lan.canDownload = lan.canUpload = false;
  EXPECT_EQ(answerFileDownloadCheck(PathGuard({lan}), share + QStringLiteral("/a.txt")).TransLAN, QStringLiteral("0"));
  EXPECT_EQ(answerFileUploadCheck(PathGuard({lan}), share, vex::Json::array()).TransLAN, QStringLiteral("0"));

  const vex::Json names = {"a.txt", "missing.txt", "../outside/secret.txt", "secret_link", "sub", 7};
  const FileUploadInfo in = answerFileUploadCheck(g, share, names);
  ASSERT_EQ(in.task.size(), 6);
  EXPECT_EQ(in.task[0].isExist, 1);
  EXPECT_EQ(in.task[0].size, 1);
  for (int i = 1; i < 6; ++i) EXPECT_EQ(in.task[i].isExist, 0) << i;
  EXPECT_EQ(in.task[2].size, 0);
  EXPECT_EQ(in.task[3].size, 0);
  const FileUploadInfo out = answerFileUploadCheck(g, base + QStringLiteral("/outside"), vex::Json{"secret.txt"});
  ASSERT_EQ(out.task.size(), 1);
  EXPECT_EQ(out.task[0].isExist, 0);
  EXPECT_EQ(out.task[0].size, 0);
  EXPECT_EQ(out.dir, base + QStringLiteral("/outside"));
  EXPECT_TRUE(answerFileUploadCheck(g, share, vex::Json("a.txt")).task.isEmpty());
  EXPECT_TRUE(answerFileUploadCheck(g, share, vex::Json::object({{"a", "a.txt"}})).task.isEmpty());
}

}  // namespace
