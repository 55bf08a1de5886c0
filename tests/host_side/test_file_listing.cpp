#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <random>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "host_side/file_listing.h"
#include "host_side/host_file_service.h"

namespace {

void touch(const QString& path, int bytes = 0) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(QByteArray(bytes, 'x'));
}

FileListResult list(const QString& dir, const QString& orderBy, qint64 page = 1, qint64 size = 100,
                    const QString& search = {}, qint64 probe = 0, int kinds = kListFolders | kListFiles) {
  FileListRequest request;
  request.dir = dir;
  request.setLocalFolder(dir);
  request.orderBy = orderBy;
  request.search = search;
  request.pageIndex = page;
  request.pageSize = size;
  request.probeCount = probe;
  request.kinds = kinds;
  return listFolder(request);
}

QStringList names(const FileListResult& result) {
  QStringList out;
  for (const FileItem& item : result.items) out << item.name;
  return out;
}

std::vector<ScanEntry> scanLocal(const QString& dir) {
  FileListRequest request;
  request.setLocalFolder(dir);
  return scanEntries(request.scanFolder(), NameFilter({}));
}

// Entries in the order the file system lists them.
QStringList listingOrder(const QString& dir, bool folders) {
  QStringList out;
  for (const ScanEntry& e : scanLocal(dir))
    if (e.isDir == folders) out << QString::fromStdString(e.name);
  return out;
}

ScanEntry entry(const char* name, int64_t size = 0, int64_t created = 0) {
  ScanEntry e;
  e.name = name;
  e.size = size;
  e.createdMs = created;
  return e;
}

std::vector<std::string> sortedNames(std::vector<ScanEntry> entries, const QString& orderBy) {
  sortEntries(entries, FileOrder::parse(orderBy));
  std::vector<std::string> out;
  for (const auto& e : entries) out.push_back(e.name);
  return out;
}

TEST(FileOrderTest, OrderTextsAndDirections) {
  const std::vector<ScanEntry> entries = {entry("b", 3), entry("B", 1), entry("a", 3), entry("\xc3\xa9", 2),
                                          entry("e\xcc\x81z", 2)};
  // Code point order after canonical normalisation: upper case first, e+acute
  // composes to U+00E9 and sorts beside the precomposed one.
  using V = std::vector<std::string>;
  EXPECT_EQ(sortedNames(entries, QString()), (V{"B", "a", "b", "\xc3\xa9", "e\xcc\x81z"}));
  EXPECT_EQ(sortedNames(entries, QStringLiteral("0,0")), (V{"e\xcc\x81z", "\xc3\xa9", "b", "a", "B"}));
  // Equal keys keep listing order ascending and reverse it descending.
  EXPECT_EQ(sortedNames(entries, QStringLiteral("3,1")), (V{"B", "\xc3\xa9", "e\xcc\x81z", "b", "a"}));
  EXPECT_EQ(sortedNames(entries, QStringLiteral("3,0")), (V{"a", "b", "e\xcc\x81z", "\xc3\xa9", "B"}));
  const V reversed{"e\xcc\x81z", "\xc3\xa9", "a", "B", "b"};
  for (const char* text : {"0", "0,", ",1", "9,1", "0,1,2", " 0,1"})
    EXPECT_EQ(sortedNames(entries, QString::fromLatin1(text)), reversed) << text;
  EXPECT_FALSE(FileOrder::parse(QStringLiteral("0, 1")).ascending);  // no trimming
}

TEST(FileOrderTest, SortIsAStrictOrderingOnLargeInputs) {
  // Many equal keys: a predicate that is not a strict weak ordering breaks here.
  std::vector<ScanEntry> entries;
  std::mt19937 rng(7);
  for (int i = 0; i < 5000; ++i) {
    ScanEntry e;
    e.name = "n" + std::to_string(rng() % 50);
    e.size = int64_t(rng() % 3);
    e.createdMs = int64_t(rng() % 4);
    entries.push_back(e);
  }
  for (const char* order : {"0,1", "1,1", "2,0", "3,1", "7,1", ""}) {
    auto copy = entries;
    sortEntries(copy, FileOrder::parse(QString::fromLatin1(order)));
    ASSERT_EQ(copy.size(), entries.size());
  }
  auto bySize = entries;
  sortEntries(bySize, FileOrder::parse(QStringLiteral("3,1")));
  EXPECT_TRUE(std::is_sorted(bySize.begin(), bySize.end(),
                             [](const ScanEntry& a, const ScanEntry& b) { return a.size < b.size; }));
}

class ListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp.isValid());
    dir = tmp.path();
  }
  QTemporaryDir tmp;
  QString dir;
};

TEST_F(ListingTest, FoldersFirstPagedWithRecords) {
  QDir().mkpath(dir + QStringLiteral("/zdir/inner"));
  QDir().mkpath(dir + QStringLiteral("/adir"));
  QDir().mkpath(dir + QStringLiteral("/hidden_only"));
  touch(dir + QStringLiteral("/hidden_only/.dot"));
  touch(dir + QStringLiteral("/b.png"), 10);
  touch(dir + QStringLiteral("/archive.tar.gz"), 5);
  touch(dir + QStringLiteral("/README"));
  touch(dir + QStringLiteral("/.secret"));
  touch(dir + QString::fromUtf8("/\xc3\xa9t\xc3\xa9.txt"));

  const FileListResult all = list(dir, QString());
  EXPECT_EQ(all.result, QStringLiteral("OK"));
  EXPECT_EQ(all.pageInfo, QStringLiteral("7|1"));
  EXPECT_TRUE(all.index.isEmpty());
  EXPECT_EQ(names(all), (QStringList{QStringLiteral("adir"), QStringLiteral("hidden_only"), QStringLiteral("zdir"),
                                     QStringLiteral("README"), QStringLiteral("archive.tar.gz"),
                                     QStringLiteral("b.png"), QString::fromUtf8("\xc3\xa9t\xc3\xa9.txt")}));
  const FileItem& folder = all.items[1];
  EXPECT_TRUE(folder.isDir);
  EXPECT_TRUE(folder.isEmpty);  // only hidden entries inside
  EXPECT_FALSE(all.items[2].isEmpty);
  EXPECT_EQ(folder.iconData, QStringLiteral("/resource/folder.png"));
  EXPECT_EQ(folder.iconDefaultSmall, QStringLiteral("/resource/folder16.png"));
  EXPECT_EQ(folder.iPreview, 0);
  EXPECT_EQ(folder.fullPath, dir + QStringLiteral("/hidden_only"));
  const FileItem& gz = all.items[4];
  EXPECT_EQ(gz.ext, QStringLiteral("gz"));
  EXPECT_EQ(gz.typeDesection, QStringLiteral("gz"));
  EXPECT_EQ(gz.size, 5);
  EXPECT_FALSE(gz.isEmpty);
  EXPECT_EQ(gz.iPreview, 2);
  EXPECT_EQ(gz.iValid, 1);
  EXPECT_EQ(gz.iChildDirCount, -1);
  EXPECT_EQ(gz.iconDefault, QStringLiteral("/resource/file.png"));
  EXPECT_EQ(gz.tagPY, QStringLiteral("a"));
  EXPECT_EQ(all.items[3].ext, QString());
  EXPECT_TRUE(all.items[3].isEmpty);
  EXPECT_EQ(all.items[6].tagPY, QString::fromUtf8("\xc3\xa9"));
  const qint64 now =
      QDateTime::currentDateTime().toMSecsSinceEpoch() + qint64(QDateTime::currentDateTime().offsetFromUtc()) * 1000;
  EXPECT_NEAR(double(gz.createdTime), double(now), 120000.0);

  // The record's JSON has its 37 keys and never its identity.
  const vex::Json json = gz.toJSONModel();
  EXPECT_EQ(json.size(), 37u);
  EXPECT_FALSE(json.contains("id"));

  // Search: letter case ignored, hidden entries never count.
  EXPECT_EQ(names(list(dir, QString(), 1, 100, QStringLiteral("PNG"))), QStringList{QStringLiteral("b.png")});
  EXPECT_EQ(list(dir, QString(), 1, 100, QString::fromUtf8("\xc3\x89T")).items.size(), 1);
  EXPECT_EQ(list(dir, QString(), 1, 100, QStringLiteral("secret")).pageInfo, QStringLiteral("0|0"));

  // A trailing separator doubles in fullPath; the name stays plain.
  FileListRequest slash;
  slash.dir = dir + QStringLiteral("/");
  slash.setLocalFolder(dir);
  slash.pageIndex = 1;
  slash.pageSize = 1;
  const FileListResult doubled = listFolder(slash);
  ASSERT_EQ(doubled.items.size(), 1);
  EXPECT_EQ(doubled.items[0].fullPath, dir + QStringLiteral("//adir"));
  EXPECT_EQ(doubled.items[0].name, QStringLiteral("adir"));

  // Only one kind.
  EXPECT_EQ(list(dir, QString(), 1, 100, {}, 0, kListFolders).pageInfo, QStringLiteral("3|1"));
  EXPECT_EQ(list(dir, QString(), 1, 100, {}, 1, kListFiles).index, QStringLiteral("4"));
}

TEST_F(ListingTest, ProbeAndPagesOf120) {
  for (int i = 0; i < 120; ++i) touch(dir + QStringLiteral("/f%1").arg(i, 3, 10, QLatin1Char('0')));
  const FileListResult probe = list(dir, QString(), 0, 0, {}, 1);
  EXPECT_EQ(probe.index, QStringLiteral("120"));
  EXPECT_TRUE(probe.pageInfo.isEmpty());
  EXPECT_TRUE(probe.items.isEmpty());

  const FileListResult p1 = list(dir, QString(), 1, 50);
  EXPECT_EQ(p1.pageInfo, QStringLiteral("120|3"));
  ASSERT_EQ(p1.items.size(), 50);
  EXPECT_EQ(p1.items.front().name, QStringLiteral("f000"));
  const FileListResult p3 = list(dir, QString(), 3, 50);
  ASSERT_EQ(p3.items.size(), 20);
  EXPECT_EQ(p3.items.front().name, QStringLiteral("f100"));
  EXPECT_EQ(p3.items.back().name, QStringLiteral("f119"));

  // assetIndex is the listing position, before sorting.
  const QStringList order = listingOrder(dir, false);
  for (const FileItem& item : p1.items) EXPECT_EQ(order.indexOf(item.name), item.assetIndex);

  // Unsorted orders follow the file system, reversed.
  const FileListResult reversed = list(dir, QStringLiteral("9,1"), 1, 200);
  QStringList expected = order;
  std::reverse(expected.begin(), expected.end());
  EXPECT_EQ(names(reversed), expected);
}

// Pages are cut from the middle of the order without sorting the whole
// folder: every page, at every size and in every order, must be exactly its
// slice of the stable sort of the listing.
TEST_F(ListingTest, EveryPageIsASliceOfTheWholeOrder) {
  for (int i = 0; i < 30; ++i)
    QDir().mkpath(dir + QStringLiteral("/dir_%1").arg((i * 7) % 30, 2, 10, QLatin1Char('0')));
  const char* exts[] = {".jpg", ".JPG", ".txt", "", ".tar.gz"};
  for (int i = 0; i < 200; ++i)
    touch(
        dir +
            QStringLiteral("/photo_%1%2").arg((i * 37) % 200, 4, 10, QLatin1Char('0')).arg(QLatin1String(exts[i % 5])),
        i % 3);
  // Short names, names that begin others, and two spellings of one name
  // whose keys are equal after normalisation.
  for (const char* name : {"p", "ph", "photo_", "photo_000", "photo_0001x", "Photo", "caf\xc3\xa9.txt",
                           "cafe\xcc\x81.txt", "\xc3\xa9t\xc3\xa9", "a.b.c"})
    touch(dir + QLatin1Char('/') + QString::fromUtf8(name), 1);

  const auto key = [](const ScanEntry& e, const QString& field) {
    const QString name = QString::fromStdString(e.name);
    return (field == QLatin1String("2") ? extensionOf(name) : name).normalized(QString::NormalizationForm_C).toUtf8();
  };
  std::vector<ScanEntry> folders, files;
  for (ScanEntry& e : scanLocal(dir)) (e.isDir ? folders : files).push_back(e);
  const auto expected = [&](const QString& orderBy) {
    const QStringList parts = orderBy.split(QLatin1Char(','));
    QStringList out;
    for (std::vector<ScanEntry> kind : {folders, files}) {
      if (QStringList{QStringLiteral("0"), QStringLiteral("2")}.contains(parts[0]))
        std::stable_sort(kind.begin(), kind.end(),
                         [&](const ScanEntry& a, const ScanEntry& b) { return key(a, parts[0]) < key(b, parts[0]); });
      else if (parts[0] == QLatin1String("3"))
        std::stable_sort(kind.begin(), kind.end(),
                         [](const ScanEntry& a, const ScanEntry& b) { return a.size < b.size; });
      if (parts[0] == QLatin1String("9") || parts[1] != QLatin1String("1")) std::reverse(kind.begin(), kind.end());
      for (const ScanEntry& e : kind) out << QString::fromStdString(e.name);
    }
    return out;
  };
  for (const char* orderBy : {"0,1", "0,0", "2,1", "2,0", "3,1", "3,0", "9,1"}) {
    const QStringList whole = expected(QLatin1String(orderBy));
    ASSERT_EQ(whole.size(), 240);
    for (const qint64 size : {3, 7, 1000}) {
      QStringList paged;
      const qint64 pages = (240 + size - 1) / size;
      for (qint64 page = 1; page <= pages; ++page) paged << names(list(dir, QLatin1String(orderBy), page, size));
      EXPECT_EQ(paged, whole) << orderBy << " in pages of " << size;
    }
  }
}

TEST_F(ListingTest, PeerNumbersNeverBreakTheListing) {
  for (int i = 0; i < 5; ++i) touch(dir + QStringLiteral("/f%1").arg(i));
  struct Case {
    qint64 page, size;
  };
  const qint64 big = std::numeric_limits<qint64>::max();
  const qint64 small = std::numeric_limits<qint64>::min();
  for (const Case c : {Case{1, 0}, Case{1, -5}, Case{0, 2}, Case{-3, 2}, Case{4, 2}, Case{big, 2}, Case{2, big},
                       Case{big, big}, Case{small, small}, Case{1, small}}) {
    const FileListResult r = list(dir, QString(), c.page, c.size);
    EXPECT_TRUE(r.items.isEmpty() || (c.page == 1 && c.size == big)) << c.page << " " << c.size;
    EXPECT_TRUE(r.pageInfo.startsWith(QStringLiteral("5|"))) << r.pageInfo.toStdString();
  }
  EXPECT_EQ(list(dir, QString(), 1, big).items.size(), 5);
  EXPECT_EQ(list(dir, QString(), 1, big).pageInfo, QStringLiteral("5|1"));
  EXPECT_EQ(list(dir, QString(), 1, 0).pageInfo, QStringLiteral("5|0"));
  // A folder that is not there lists as empty.
  EXPECT_EQ(list(dir + QStringLiteral("/none"), QString()).pageInfo, QStringLiteral("0|0"));
  EXPECT_EQ(list(dir + QStringLiteral("/none"), QString(), 1, 1, {}, 1).index, QStringLiteral("0"));
}

// By name the kinds come from the folder's own entries and only the page is
// looked at; links are followed all the same: a link to a folder is a folder,
// a dangling one a file of size 0; the page's sizes are those of the targets.
TEST_F(ListingTest, LinksAreListedAsWhatTheyLeadTo) {
  QDir().mkpath(dir + QStringLiteral("/real"));
  touch(dir + QStringLiteral("/data"), 7);
  ASSERT_TRUE(QFile::link(dir + QStringLiteral("/real"), dir + QStringLiteral("/to_real")));
  ASSERT_TRUE(QFile::link(dir + QStringLiteral("/data"), dir + QStringLiteral("/to_data")));
  ASSERT_TRUE(QFile::link(dir + QStringLiteral("/gone"), dir + QStringLiteral("/dangling")));
  for (const char* order : {"0,1", "3,1"}) {
    const FileListResult all = list(dir, QLatin1String(order));
    ASSERT_EQ(all.items.size(), 5) << order;
    QStringList folders;
    for (const FileItem& item : all.items) {
      if (item.isDir) folders << item.name;
      if (item.name == QLatin1String("to_data") || item.name == QLatin1String("data")) {
        EXPECT_EQ(item.size, 7);
      }
      if (item.name == QLatin1String("dangling")) {
        EXPECT_EQ(item.size, 0);
      }
    }
    folders.sort();
    EXPECT_EQ(folders, (QStringList{QStringLiteral("real"), QStringLiteral("to_real")})) << order;
  }
  EXPECT_EQ(names(list(dir, QStringLiteral("0,1"), 2, 2)),
            (QStringList{QStringLiteral("dangling"), QStringLiteral("data")}));
}

TEST_F(ListingTest, SortsBySizeAndDate) {
  touch(dir + QStringLiteral("/big"), 300);
  QThread::msleep(15);
  touch(dir + QStringLiteral("/small"), 1);
  QThread::msleep(15);
  touch(dir + QStringLiteral("/mid"), 20);
  EXPECT_EQ(names(list(dir, QStringLiteral("3,1"))),
            (QStringList{QStringLiteral("small"), QStringLiteral("mid"), QStringLiteral("big")}));
  EXPECT_EQ(names(list(dir, QStringLiteral("1,1"))),
            (QStringList{QStringLiteral("big"), QStringLiteral("small"), QStringLiteral("mid")}));
  EXPECT_EQ(names(list(dir, QStringLiteral("1,0"))),
            (QStringList{QStringLiteral("mid"), QStringLiteral("small"), QStringLiteral("big")}));
}

// Takes every descriptor this process may still open, until destroyed.
class DescriptorsExhausted {
 public:
  DescriptorsExhausted() {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = 256;
    ::setrlimit(RLIMIT_NOFILE, &lowered);
    for (int fd; (fd = ::fcntl(0, F_DUPFD_CLOEXEC, 0)) >= 0;) taken_.push_back(fd);
  }
  ~DescriptorsExhausted() {
    for (int fd : taken_) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved_);
  }

 private:
  rlimit saved_{};
  std::vector<int> taken_;
};

// A refused folder lists as an empty one; a served one that cannot be opened
// (no descriptor left) is answered as a failure with its reason, like a
// download check of a served file then.
TEST_F(ListingTest, RefusedFolderListsAsEmptyAndOneThatCannotBeOpenedFails) {
  QDir().mkpath(dir + QStringLiteral("/share"));
  QDir().mkpath(dir + QStringLiteral("/other"));
  touch(dir + QStringLiteral("/other/x"));
  touch(dir + QStringLiteral("/share/y"));
  const PathGuard guard({ShareRoot{dir + QStringLiteral("/share"), true, false, false}});
  const FileListRequest refused =
      guardedListRequest(guard, dir + QStringLiteral("/share/../other"), {}, {}, 1, 10, 0, kListFolders | kListFiles);
  EXPECT_FALSE(refused.folder);
  EXPECT_EQ(listFolder(refused).pageInfo, QStringLiteral("0|0"));
  const FileListRequest served =
      guardedListRequest(guard, dir + QStringLiteral("/share"), {}, {}, 1, 10, 0, kListFolders | kListFiles);
  const FileListResult result = listFolder(served);
  EXPECT_EQ(result.pageInfo, QStringLiteral("1|1"));
  EXPECT_EQ(result.items.value(0).fullPath, dir + QStringLiteral("/share/y"));

  auto expectFailure = [](const FileListResult& failed) {
    EXPECT_EQ(failed.result, QStringLiteral("Error: Too many open files"));
    EXPECT_TRUE(failed.pageInfo.isEmpty());
    EXPECT_TRUE(failed.index.isEmpty());
    EXPECT_TRUE(failed.items.isEmpty());
  };
  const QString y = dir + QStringLiteral("/share/y");
  {
    const DescriptorsExhausted none;
    // The share's root is open, the folder beneath it cannot be.
    expectFailure(listFolder(
        guardedListRequest(guard, dir + QStringLiteral("/share"), {}, {}, 1, 10, 0, kListFolders | kListFiles)));
    expectFailure(listFolder(
        guardedListRequest(guard, dir + QStringLiteral("/share"), {}, {}, 1, 10, 1, kListFolders | kListFiles)));
    const FileDownloadInfo check = answerFileDownloadCheck(guard, y);
    EXPECT_EQ(check.valid, 0);
    EXPECT_EQ(checkReply(check)["reason"], "Error: Too many open files");
    // Not even the share's root could be opened.
    const PathGuard late({ShareRoot{dir + QStringLiteral("/share"), true, false, false}});
    expectFailure(listFolder(
        guardedListRequest(late, dir + QStringLiteral("/share"), {}, {}, 1, 10, 0, kListFolders | kListFiles)));
    EXPECT_EQ(checkReply(answerFileDownloadCheck(late, y))["reason"], "Error: Too many open files");
    // Missing and refused paths stay what they were.
    EXPECT_FALSE(checkReply(answerFileDownloadCheck(guard, dir + QStringLiteral("/other/x"))).contains("reason"));
  }
  // The folder already open while the scan cannot open its own descriptor.
  {
    const FileListRequest open =
        guardedListRequest(guard, dir + QStringLiteral("/share"), {}, {}, 1, 10, 0, kListFolders | kListFiles);
    const DescriptorsExhausted none;
    expectFailure(listFolder(open));
  }
  EXPECT_FALSE(checkReply(answerFileDownloadCheck(guard, y)).contains("reason"));
  EXPECT_EQ(answerFileDownloadCheck(guard, y).valid, 1);
}

}  // namespace
