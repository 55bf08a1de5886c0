// The one resolution beneath an open folder, by the kernel's openat2 and by
// the component-wise walk used where openat2 is missing: both must agree on
// every link and "..", and neither may ever leave the folder.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/beneath.h"
#include "support/test_util.h"

namespace {

class Beneath : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    beneath::forceWalkForTesting(GetParam());
    base = tmp.path();
    root = base + QStringLiteral("/root");
    QDir().mkpath(root + QStringLiteral("/sub/deep"));
    QDir().mkpath(base + QStringLiteral("/outside"));
    testutil::writeFile(root + QStringLiteral("/sub/in.txt"), "in");
    testutil::writeFile(base + QStringLiteral("/outside/secret.txt"), "secret");
    QFile::link(QStringLiteral("../outside"), root + QStringLiteral("/out"));
    QFile::link(base + QStringLiteral("/outside/secret.txt"), root + QStringLiteral("/absout"));
    QFile::link(QStringLiteral("sub"), root + QStringLiteral("/in"));
    QFile::link(root + QStringLiteral("/sub/in.txt"), root + QStringLiteral("/absin"));
    QFile::link(QStringLiteral("../../sub/in.txt"), root + QStringLiteral("/sub/deep/up"));
    QFile::link(QStringLiteral("loop"), root + QStringLiteral("/loop"));
    QFile::link(QStringLiteral("/proc/self/root/etc/passwd"), root + QStringLiteral("/proc"));
    fd = beneath::openRoot(root);
    ASSERT_TRUE(fd);
  }
  void TearDown() override { beneath::forceWalkForTesting(false); }

  // The bytes read at `rel`, or the errno value as text.
  std::string read(const QString& rel) {
    int error = 0;
    const beneath::Fd file = beneath::open(fd.get(), rel, O_RDONLY, &error);
    if (!file) return "errno " + std::to_string(error);
    char buffer[64] = {};
    const ssize_t n = ::read(file.get(), buffer, sizeof buffer - 1);
    return n < 0 ? std::string("unreadable") : std::string(buffer, size_t(n));
  }

  QTemporaryDir tmp;
  QString base, root;
  beneath::Fd fd;
};

TEST_P(Beneath, LinksAreFollowedOnlyWhileTheyStayBeneath) {
  if (GetParam()) {
    EXPECT_FALSE(beneath::usesOpenat2());
  }
  for (const char* rel : {"sub/in.txt", "in/in.txt", "absin", "sub/deep/up", "sub/deep/../in.txt", "in/../sub/in.txt",
                          "./sub//in.txt"})
    EXPECT_EQ(read(QString::fromLatin1(rel)), "in") << rel;
  const std::string exdev = "errno " + std::to_string(EXDEV);
  for (const char* rel : {"out/secret.txt", "absout", "out/../root/sub/in.txt", "in/../../outside/secret.txt", "..",
                          "sub/../../root/sub/in.txt", "/etc/passwd"})
    EXPECT_EQ(read(QString::fromLatin1(rel)), exdev) << rel;
  EXPECT_NE(read(QStringLiteral("proc")), "in");
  EXPECT_EQ(read(QStringLiteral("proc")).rfind("errno", 0), 0u);
  EXPECT_EQ(read(QStringLiteral("loop")), "errno " + std::to_string(ELOOP));
  EXPECT_EQ(read(QStringLiteral("missing")), "errno " + std::to_string(ENOENT));
}

TEST_P(Beneath, CreatesRenamesAndRemovesOnlyInTheFolderItWasGiven) {
  const auto entry = beneath::openParent(fd.get(), QStringLiteral("in/new.txt"));
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->name, QByteArray("new.txt"));
  EXPECT_FALSE(beneath::openParent(fd.get(), QStringLiteral("sub/..")));
  EXPECT_FALSE(beneath::openParent(fd.get(), QStringLiteral("out/new.txt")));
  {
    beneath::Fd made = beneath::createExclusive(entry->folder.get(), "part");
    ASSERT_TRUE(made);
    ASSERT_EQ(::write(made.get(), "x", 1), 1);
  }
  // Never through an existing name or a link.
  int error = 0;
  EXPECT_FALSE(beneath::createExclusive(entry->folder.get(), "part", 0666, &error));
  EXPECT_EQ(error, EEXIST);
  EXPECT_FALSE(beneath::createExclusive(fd.get(), "absout", 0666, &error));
  EXPECT_EQ(testutil::readFile(base + QStringLiteral("/outside/secret.txt")), "secret");
  EXPECT_EQ(beneath::renameNoReplace(entry->folder.get(), "part", "in.txt"), EEXIST);
  EXPECT_EQ(beneath::renameNoReplace(entry->folder.get(), "part", "new.txt"), 0);
  EXPECT_EQ(testutil::readFile(root + QStringLiteral("/sub/new.txt")), "x");
  EXPECT_EQ(beneath::makeFolder(fd.get(), "out"), ENOTDIR);
  EXPECT_EQ(beneath::makeFolder(fd.get(), "made"), 0);
  EXPECT_EQ(beneath::makeFolder(fd.get(), "made"), 0);
  // A folder goes with everything in it; a link in it goes as itself.
  QFile::link(base + QStringLiteral("/outside"), root + QStringLiteral("/made/away"));
  testutil::writeFile(root + QStringLiteral("/made/f"), "f");
  EXPECT_EQ(beneath::removeEntry(fd.get(), "made"), 0);
  EXPECT_FALSE(QFileInfo::exists(root + QStringLiteral("/made")));
  EXPECT_EQ(beneath::removeEntry(fd.get(), "out"), 0);
  EXPECT_EQ(testutil::readFile(base + QStringLiteral("/outside/secret.txt")), "secret");
  EXPECT_EQ(beneath::removeEntry(fd.get(), ".."), EINVAL);
}

INSTANTIATE_TEST_SUITE_P(KernelAndWalk, Beneath, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Walk" : "Openat2"; });

}  // namespace
