// The transfer engine in-process: two engines joined by a queued in-memory
// link, host checks answered by the test, and a peer that sends crafted frames.
#include "share_spot_answer.h"
#include "engine_pair.h"
#include "protocol/data_frame.h"
#include "protocol/relay_limits.h"
#include "host_checks.h"

#include "support/test_util.h"
#include "transfer/file_sum.h"
#include "transfer/partial_journal.h"
#include "transfer/pull_walk.h"
#include "transfer/transfer_place.h"
#include "transfer/transfer_workers.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <limits>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

using namespace vantrel;
using testutil::filesBelow;
using testutil::randomBytes;
using testutil::readFile;
using testutil::writeFile;

namespace {

const QString kSession = QStringLiteral("C-1|C-2");

struct Sent {
  QString op;
  QString xid;
  Json msg;
};

// Records what an engine sends: frames, and data chunks as "data" with their
// file, offset and size.
struct Recorder {
  std::vector<Sent> sent;
  TransferEngine::SendPeer frames() {
    return [this](const QString&, const QString& op, const QString& xid, const Json& msg) {
      sent.push_back({op, xid, msg});
      return true;
    };
  }
  TransferEngine::SendData data() {
    return [this](const QString&, const QString& xid, quint32 file, quint64 offset, QByteArrayView bytes) {
      sent.push_back({QStringLiteral("data"), xid, Json{{"i", file}, {"o", offset}, {"n", bytes.size()}}});
      return true;
    };
  }
};

QString sha256Hex(const QByteArray& bytes) {
  return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QString xxh3Hex(const QByteArray& bytes) {
  FileSum sum(SumKind::Xxh3);
  sum.add(bytes);
  return sum.hex();
}

}  // namespace

TEST(TransferPaths, NamesFromAPeerNeverClimbOutOfTheirFolder) {
  EXPECT_EQ(safeRelativePath(QStringLiteral("a/b.txt")).value_or(QString()), QStringLiteral("a/b.txt"));
  EXPECT_EQ(safeRelativePath(QStringLiteral("a\\b.txt")).value_or(QString()), QStringLiteral("a/b.txt"));
  for (const char* bad : {"", "/etc/passwd", "../x", "a/../../x", "a//b", "./a", "C:\\x", "a/..", "a/b/", "x\u0001y"})
    EXPECT_FALSE(safeRelativePath(QString::fromUtf8(bad))) << bad;

  EXPECT_EQ(relativeInside(QStringLiteral("/home/u/In"), QStringLiteral("/home/u/In/a/b")).value_or(QString()),
            QStringLiteral("a/b"));
  EXPECT_EQ(relativeInside(QStringLiteral("/home/u/In/"), QStringLiteral("/home/u/In//a")).value_or(QString()),
            QStringLiteral("a"));
  EXPECT_FALSE(relativeInside(QStringLiteral("/home/u/In"), QStringLiteral("/home/u/In")));
  EXPECT_FALSE(relativeInside(QStringLiteral("/home/u/In"), QStringLiteral("/home/u/Inbox/a")));
  EXPECT_FALSE(relativeInside(QStringLiteral("/home/u/In"), QStringLiteral("/home/u/In/../x")));
  EXPECT_FALSE(relativeInside(QStringLiteral("/home/u/In"), QStringLiteral("/etc/passwd")));
  EXPECT_EQ(lastComponent(QStringLiteral("/a/b/")), QStringLiteral("b"));
  EXPECT_EQ(lastComponent(QStringLiteral("C:\\x\\y.txt")), QStringLiteral("y.txt"));
}

// Files placed into one folder at the same moment never take the same free
// name, and nothing that was there is replaced.
TEST(TransferPlace, FilesPlacedAtOnceTakeDistinctFreeNames) {
  EXPECT_EQ(vantrel::numberedName(QStringLiteral("photo1.jpg"), 1), QStringLiteral("photo1 (1).jpg"));
  EXPECT_EQ(vantrel::numberedName(QStringLiteral("a.tar.gz"), 2), QStringLiteral("a.tar (2).gz"));
  EXPECT_EQ(vantrel::numberedName(QStringLiteral(".profile"), 3), QStringLiteral(".profile (3)"));
  EXPECT_EQ(vantrel::numberedName(QStringLiteral("README"), 1), QStringLiteral("README (1)"));

  QTemporaryDir dir;
  testutil::writeFile(dir.filePath(QStringLiteral("big.bin")), "mine");
  constexpr int kFiles = 16;
  for (int i = 0; i < kFiles; ++i) testutil::writeFile(dir.filePath(QStringLiteral(".part%1").arg(i)), QByteArray::number(i));
  const int fd = ::open(QFile::encodeName(dir.path()).constData(), O_PATH | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  std::vector<std::thread> threads;
  std::vector<QString> placed(kFiles);
  for (int i = 0; i < kFiles; ++i)
    threads.emplace_back([&, i] {
      int error = 0;
      placed[size_t(i)] = vantrel::placeFile(fd, QStringLiteral(".part%1").arg(i), QStringLiteral("big.bin"), false, &error)
                              .value_or(QString());
    });
  for (std::thread& t : threads) t.join();
  ::close(fd);
  EXPECT_EQ(testutil::readFile(dir.filePath(QStringLiteral("big.bin"))), QByteArray("mine"));
  QSet<QString> names;
  for (int i = 0; i < kFiles; ++i) {
    names.insert(placed[size_t(i)]);
    EXPECT_EQ(testutil::readFile(dir.filePath(placed[size_t(i)])), QByteArray::number(i));
  }
  EXPECT_EQ(names.size(), kFiles);
  for (int n = 1; n <= kFiles; ++n) EXPECT_TRUE(names.contains(QStringLiteral("big (%1).bin").arg(n))) << n;
}

TEST(TransferPaths, AWalkStopsAtItsLimits) {
  QTemporaryDir dir;
  for (int i = 0; i < 10; ++i) writeFile(dir.path() + QStringLiteral("/t/a/b/f%1").arg(i), "x");
  QString error;
  EXPECT_EQ(walkBounded(dir.path() + QStringLiteral("/t"), QStringLiteral("t"), false, WalkLimits{}, &error).size(), 10);
  EXPECT_TRUE(error.isEmpty());
  EXPECT_LE(walkBounded(dir.path() + QStringLiteral("/t"), QStringLiteral("t"), false, WalkLimits{5}, &error).size(), 5);
  EXPECT_EQ(error, QStringLiteral("too many entries"));
  error.clear();
  walkBounded(dir.path() + QStringLiteral("/t"), QStringLiteral("t"), false, WalkLimits{100, 1}, &error);
  EXPECT_EQ(error, QStringLiteral("the folder is nested too deeply"));

  // The same limits for a peer's pull, walked beneath its share in slices.
  TransferEntry folder{QStringLiteral("t"), 0, true, dir.path() + QStringLiteral("/t")};
  folder.share = std::make_shared<const beneath::Fd>(beneath::openRoot(dir.path()));
  folder.shareRel = QStringLiteral("t");
  const auto walk = [&](qint64 maxEntries, int maxDepth) {
    PullWalk pull({folder}, maxEntries, maxDepth, 20000, nullptr);
    while (!pull.step(std::chrono::milliseconds(0))) {
    }
    return std::pair{pull.found, pull.error};
  };
  const auto [found, none] = walk(100, 64);
  ASSERT_EQ(found.size(), 10);
  EXPECT_TRUE(none.isEmpty());
  EXPECT_EQ(found[0].rel, QStringLiteral("t/a/b/f0"));
  EXPECT_EQ(found[0].local, dir.path() + QStringLiteral("/t/a/b/f0"));
  EXPECT_EQ(walk(5, 64).second, QStringLiteral("too many entries"));
  EXPECT_EQ(walk(100, 1).second, QStringLiteral("the folder is nested too deeply"));
}

TEST(TransferEngine, DownloadsATreeInChunksAndReportsTheProgressRecord) {
  QTemporaryDir dir;
  const QString share = dir.path() + QStringLiteral("/share");
  // Enough chunks that reads finish ahead of the sender: they must still
  // leave in order.
  const QByteArray big = randomBytes(TransferEngine::kChunkBytes * 2 * TransferEngine::kWindow + 17);
  writeFile(share + QStringLiteral("/docs/a.txt"), "alpha");
  writeFile(share + QStringLiteral("/docs/sub/big.bin"), big);
  writeFile(share + QStringLiteral("/docs/empty"), QByteArray());
  writeFile(share + QStringLiteral("/docs/secret.key"), "no");
  Pair pair;
  QStringList checked;
  pair.host = [&](const QString& code, const Json& msg) -> Json {
    EXPECT_EQ(code, QStringLiteral("fileDownloadCheck"));
    return answerDownloadCheck(msg, [&](const QString& path) -> Json {
      checked.append(path);
      // The host refuses one file of the tree; a folder is "not a file" with a size.
      const QFileInfo info(path);
      const bool ok = !path.endsWith(QLatin1String(".key"));
      return vantreltest::withShareSpot(
          {{"path", path.toStdString()}, {"valid", ok && info.isFile() ? 1 : 0}, {"size", ok ? info.size() : 0}}, share,
          path);
    });
  };
  const QString save = dir.path() + QStringLiteral("/save");
  // b fetches from a.
  const Json started = pair.b->startDownload({{"Session", kSession.toStdString()},
                                              {"Targets", (share + QStringLiteral("/docs")).toStdString()},
                                              {"SaveAtLocalFolder", save.toStdString()}});
  EXPECT_EQ(intOf(started, "Result"), 1);
  ASSERT_TRUE(testutil::waitUntil([&] { return intOf(pair.b->downloadProgress(kSession), "TaskStatus") == 1; }));
  const Json progress = pair.b->downloadProgress(kSession);
  EXPECT_EQ(checked.size(), 5);  // the folder, then each file in it
  EXPECT_EQ(intOf(progress, "TotalTaskDoneCount"), 3);
  EXPECT_EQ(intOf(progress, "ForceCancel"), 0);
  // How many the host refused is said.
  EXPECT_TRUE(textOf(progress, "WorkingSpeed").endsWith(QStringLiteral(", 1 refused by the host")))
      << textOf(progress, "WorkingSpeed").toStdString();
  EXPECT_EQ(intOf(progress, "Refused"), 1);
  EXPECT_EQ(filesBelow(save), (QStringList{QStringLiteral("docs/a.txt"), QStringLiteral("docs/empty"),
                                           QStringLiteral("docs/sub/big.bin")}));
  EXPECT_EQ(readFile(save + QStringLiteral("/docs/sub/big.bin")), big);
  EXPECT_EQ(readFile(save + QStringLiteral("/docs/a.txt")), QByteArray("alpha"));
  EXPECT_TRUE(testutil::waitUntil([&] { return pair.a->activeCount() == 0; }));  // the source heard "finished"
  // A finished task's rate is the one at its end, however late it is read.
  const QString rate = textOf(pair.b->downloadProgress(kSession), "WorkingSpeed");
  testutil::idleFor(std::chrono::milliseconds(300));
  EXPECT_EQ(textOf(pair.b->downloadProgress(kSession), "WorkingSpeed"), rate);
}

// A host client that lets only a few requests wait and answers the rest
// "busy": the checks of a folder of many sub-folders are paced to at most 8
// at a time, and each answered "busy" is asked again, so every file arrives.
TEST(TransferEngine, ChecksAnsweredBusyAreAskedAgainAndNoMoreThanEightWait) {
  QTemporaryDir dir;
  const QString share = dir.path() + QStringLiteral("/share");
  for (int i = 0; i < 40; ++i) writeFile(share + QStringLiteral("/tree/d%1/f.txt").arg(i), QByteArray::number(i));
  Pair pair;
  int asked = 0, answered = 0, most = 0, busy = 0;
  QSet<std::string> seen;
  pair.host = [&](const QString&, const Json& msg) -> Json {
    most = std::max(most, ++asked - answered);
    QTimer::singleShot(0, &pair.context, [&] { ++answered; });
    // Every request is "busy" the first time it comes.
    if (!seen.contains(msg.dump())) {
      seen.insert(msg.dump());
      ++busy;
      return {{"Result", 0}, {"Info", "busy"}};
    }
    return answerDownloadCheck(msg, [&](const QString& path) -> Json {
      const QFileInfo info(path);
      return vantreltest::withShareSpot({{"path", path.toStdString()}, {"valid", info.isFile() ? 1 : 0}, {"size", info.size()}},
                                        share, path);
    });
  };
  const QString save = dir.path() + QStringLiteral("/save");
  pair.b->startDownload({{"Session", kSession.toStdString()},
                         {"Targets", (share + QStringLiteral("/tree")).toStdString()},
                         {"SaveAtLocalFolder", save.toStdString()}});
  ASSERT_TRUE(testutil::waitUntil([&] {
    const Json p = pair.b->downloadProgress(kSession);
    return intOf(p, "TaskStatus") == 1 || intOf(p, "ForceCancel") == 1;
  }));
  const Json progress = pair.b->downloadProgress(kSession);
  EXPECT_EQ(intOf(progress, "TaskStatus"), 1) << progress.dump();
  EXPECT_EQ(intOf(progress, "TotalTaskDoneCount"), 40) << progress.dump();
  EXPECT_EQ(intOf(progress, "Refused"), 0) << progress.dump();
  EXPECT_EQ(filesBelow(save).size(), 40);
  EXPECT_EQ(busy, 41);  // the folder, then one request for each sub-folder's file
  EXPECT_LE(most, 8);
}

// Sessions come and go by the hundred: once one has ended, its client still
// reads how its last transfer ended, however many sessions ended after it and
// however long it waited, and nothing else of their transfers stays (measured
// as the heap the engines hold, which grew with every ended session while
// ended tasks were kept whole). Only a record whose end was read goes, after a
// while; the bridge then says it no longer knows the transfer.
TEST(TransferEngine, EndedSessionsKeepTheirLastRecordsUntilRead) {
  QTemporaryDir dir;
  const QString share = dir.path() + QStringLiteral("/share");
  constexpr int kFiles = 20;
  for (int i = 0; i < kFiles; ++i) writeFile(share + QStringLiteral("/docs/file-%1.txt").arg(i), QByteArray(100 + i, 'x'));
  Pair pair;
  pair.host = [&](const QString&, const Json& msg) {
    return answerDownloadCheck(msg, [&](const QString& path) -> Json {
      const QFileInfo info(path);
      return vantreltest::withShareSpot(
          {{"path", path.toStdString()}, {"valid", info.isFile() ? 1 : 0}, {"size", info.size()}}, share, path);
    });
  };
  // A record read goes at once here, so that only what is never read stays.
  pair.b->setEndedReadKeepMs(0);
  const auto sessionOf = [](int i) { return QStringLiteral("C-%1|C-host").arg(i); };
  const auto downloadIn = [&](int i, bool read) {
    const QString save = dir.path() + QStringLiteral("/save");
    pair.b->startDownload({{"Session", sessionOf(i).toStdString()},
                           {"Targets", (share + QStringLiteral("/docs")).toStdString()},
                           {"SaveAtLocalFolder", save.toStdString()}});
    EXPECT_TRUE(testutil::waitUntil([&] { return pair.a->activeCount() + pair.b->activeCount() == 0; })) << i;
    pair.a->sessionGone(sessionOf(i));
    pair.b->sessionGone(sessionOf(i));
    if (read) {
      EXPECT_EQ(intOf(pair.b->downloadProgress(sessionOf(i)), "TaskStatus"), 1) << i;
    }
    QDir(save).removeRecursively();
  };
  // One download whose end its client has not read yet, then many more, read.
  downloadIn(0, false);
  const int warm = 70;
  for (int i = 1; i < warm; ++i) downloadIn(i, true);
  const size_t before = mallinfo2().uordblks;
  constexpr int kSessions = 60;
  for (int i = warm; i < warm + kSessions; ++i) downloadIn(i, true);
  const qint64 grown = qint64(mallinfo2().uordblks) - qint64(before);
  EXPECT_LT(grown, kSessions * 1024) << grown / kSessions << " bytes per session";
  // Longer than a read record stays, past the 129 sessions that ended since.
  testutil::idleFor(std::chrono::milliseconds(20));
  const Json first = pair.b->downloadProgress(sessionOf(0));
  EXPECT_EQ(intOf(first, "TaskStatus"), 1) << first.dump();
  EXPECT_EQ(intOf(first, "TotalTaskDoneCount"), kFiles);
  testutil::idleFor(std::chrono::milliseconds(20));
  // Read, then gone: said so, as is any session this bridge never knew (one
  // polled after the bridge restarted).
  for (const QString& session : {sessionOf(0), sessionOf(warm), QStringLiteral("x|y")}) {
    const Json gone = pair.b->downloadProgress(session);
    EXPECT_EQ(intOf(gone, "ForceCancel"), 1) << gone.dump();
    EXPECT_EQ(textOf(gone, "Reason"), QStringLiteral("unknown"));
    EXPECT_EQ(textOf(gone, "WorkingSpeed"), QString::fromLatin1(protocol::kUnknownTransferWords));
  }
  // Never read, they stay up to a bound, the oldest going first (downloads of
  // nothing, which end at once).
  for (int i = warm + kSessions; i < warm + kSessions + EndedRecords::kMaxRecords + 1; ++i) {
    pair.b->startDownload({{"Session", sessionOf(i).toStdString()}, {"Targets", ""}, {"SaveAtLocalFolder", "/tmp"}});
    pair.b->sessionGone(sessionOf(i));
  }
  EXPECT_EQ(textOf(pair.b->downloadProgress(sessionOf(warm + kSessions)), "Reason"), QStringLiteral("unknown"));
  EXPECT_EQ(textOf(pair.b->downloadProgress(sessionOf(warm + kSessions + 1)), "WorkingSpeed"),
            QStringLiteral("nothing to download"));
  // A download its session's end broke off says so.
  const QString cut = QStringLiteral("C-cut|C-host");
  pair.b->startDownload({{"Session", cut.toStdString()},
                         {"Targets", (share + QStringLiteral("/docs")).toStdString()},
                         {"SaveAtLocalFolder", (dir.path() + QStringLiteral("/cut")).toStdString()}});
  pair.b->sessionGone(cut);
  EXPECT_EQ(textOf(pair.b->downloadProgress(cut), "Reason"), QStringLiteral("gone"));
  EXPECT_EQ(pair.b->activeCount(), 0);
}

TEST(TransferEngine, AHostileOfferWritesNothingOutsideTheFolder) {
  QTemporaryDir dir;
  const QString root = dir.path() + QStringLiteral("/inbox");
  const QString outside = dir.path() + QStringLiteral("/outside");
  QDir().mkpath(root);
  QDir().mkpath(outside);
  // A link inside the receiving folder that leads out of it.
  ASSERT_TRUE(QFile::link(outside, root + QStringLiteral("/link")));
  Recorder rec;
  std::vector<Sent>& back = rec.sent;
  TransferEngine sink(
      rec.frames(), rec.data(),
      [&](const QString&, const QString&, const Json&, TransferEngine::AskDone done) {
        done(Json{{"data", vantreltest::withShareSpot({{"valid", 1}}, root, root)}});
      });
  const QStringList names = {QStringLiteral("../escape.txt"), QStringLiteral("/tmp/abs.txt"),
                             QStringLiteral("link/through.txt"), QStringLiteral("ok/fine.txt"),
                             QStringLiteral("a\\..\\..\\b.txt")};
  Json entries = Json::array();
  for (const QString& n : names) entries.push_back({{"p", n.toStdString()}, {"s", 2}, {"d", false}});
  sink.onPeerFrame(kSession, QStringLiteral("push"), QStringLiteral("x1"),
                   {{"mode", "upload"}, {"root", root.toStdString()}, {"entries", entries}});
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].op, QStringLiteral("accept"));
  EXPECT_EQ(back[0].msg["skip"], Json::array({0, 1, 2, 4}));
  // Data for a refused entry ends the transfer instead of being written.
  sink.onPeerData(kSession, QStringLiteral("x1"), 2, 0, "hi");
  EXPECT_EQ(back.back().op, QStringLiteral("cancel"));
  EXPECT_TRUE(filesBelow(outside).isEmpty());
  EXPECT_EQ(sink.activeCount(), 0);

  // A tree deeper than a host's walk goes is refused before any folder of it
  // is made; one exactly as deep is taken.
  const auto tree = [](int levels) {
    QString path = QStringLiteral("t");
    Json list = Json::array({{{"p", "t"}, {"s", 0}, {"d", true}}});
    for (int i = 0; i < levels; ++i)
      list.push_back({{"p", (path += QStringLiteral("/d")).toStdString()}, {"s", 0}, {"d", true}});
    list.push_back({{"p", (path + QStringLiteral("/f.txt")).toStdString()}, {"s", 2}, {"d", false}});
    return list;
  };
  back.clear();
  sink.onPeerFrame(kSession, QStringLiteral("push"), QStringLiteral("deep"),
                   {{"mode", "upload"}, {"root", root.toStdString()}, {"entries", tree(1000)}});
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].op, QStringLiteral("cancel"));
  EXPECT_EQ(textOf(back[0].msg, "why"), QStringLiteral("the folder is nested too deeply"));
  EXPECT_FALSE(QFileInfo::exists(root + QStringLiteral("/t")));
  sink.onPeerFrame(kSession, QStringLiteral("push"), QStringLiteral("deepest"),
                   {{"mode", "upload"}, {"root", root.toStdString()}, {"entries", tree(vantrel::kTransferMaxDepth)}});
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[1].op, QStringLiteral("accept"));
  EXPECT_EQ(back[1].msg["skip"], Json::array());
  sink.onPeerFrame(kSession, QStringLiteral("cancel"), QStringLiteral("deepest"), Json::object());

  // A send names absolute places: only those inside the accepted folder.
  back.clear();
  TransferEngine receiver(
      rec.frames(), rec.data(),
      [&](const QString&, const QString& code, const Json&, TransferEngine::AskDone done) {
        EXPECT_EQ(code, QStringLiteral("WaitRemoteReceiveFilesPressButton"));
        done(Json{{"data", root.toStdString()}});
      });
  Json sent = Json::array({{{"p", (root + QStringLiteral("/in.txt")).toStdString()}, {"s", 2}, {"d", false}},
                           {{"p", (outside + QStringLiteral("/out.txt")).toStdString()}, {"s", 2}, {"d", false}},
                           {{"p", (root + QStringLiteral("/../out2.txt")).toStdString()}, {"s", 2}, {"d", false}}});
  receiver.onPeerFrame(kSession, QStringLiteral("push"), QStringLiteral("x2"), {{"mode", "send"}, {"entries", sent}});
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].msg["skip"], Json::array({1, 2}));
  receiver.onPeerData(kSession, QStringLiteral("x2"), 0, 0, "hi");
  receiver.onPeerFrame(kSession, QStringLiteral("sum"), QStringLiteral("x2"),
                       {{"i", 0}, {"s", 2}, {"h", sha256Hex("hi").toStdString()}});
  receiver.onPeerFrame(kSession, QStringLiteral("done"), QStringLiteral("x2"), Json::object());
  // The file is synced and renamed off the main thread.
  ASSERT_TRUE(testutil::waitUntil([&] { return receiver.receiveStatus(kSession)["IsFinished"].get<bool>(); }));
  EXPECT_EQ(readFile(root + QStringLiteral("/in.txt")), QByteArray("hi"));
  const Json status = receiver.receiveStatus(kSession);
  EXPECT_TRUE(status["IsFinished"].get<bool>());
  EXPECT_EQ(intOf(status, "TotalTaskDoneCount"), 1);
  EXPECT_TRUE(filesBelow(outside).isEmpty());
}

// Files of the owner named like partial files are never the bridge's to
// remove: only a partial file that a bridge of this machine wrote down in its
// journal, and that bridge no longer runs, goes. A peer never names one.
TEST(TransferEngine, OnlyTheBridgesOwnPartialFilesAreEverRemoved) {
  QTemporaryDir dir;
  const QString root = dir.path() + QStringLiteral("/inbox");
  const QString journals = dir.path() + QStringLiteral("/journals");
  QDir().mkpath(root);
  QDir().mkpath(journals);
  const QStringList owners = {QStringLiteral(".zkpart-1-2"), QStringLiteral(".zkpart-99999-x-0"),
                              QStringLiteral(".zkpart-notes"), QStringLiteral(".zkpart-abc-def-1"),
                              QStringLiteral(".zkpart-0-0-0")};
  for (const QString& name : owners) writeFile(root + QLatin1Char('/') + name, "mine");
  // A bridge that ended (its process is gone) left one partial file it wrote down.
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
  const QString left = QStringLiteral(".zkpart-oldtag-x-0");
  writeFile(root + QLatin1Char('/') + left, "partial");
  struct stat st {};
  ASSERT_EQ(::stat(QFile::encodeName(root).constData(), &st), 0);
  const QByteArray line = QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino)) +
                          '\t' + QFile::encodeName(QFileInfo(root).canonicalFilePath()) + '\t';
  writeFile(journals + QStringLiteral("/partials-%1-oldtag.journal").arg(gone),
            line + left.toUtf8() + '\n' + line + owners[3].toUtf8() + '\n');
  setPartialJournalFolder(journals);

  Recorder rec;
  TransferEngine sink(rec.frames(), rec.data(),
                      [&](const QString&, const QString&, const Json&, TransferEngine::AskDone done) {
                        done(Json{{"data", vantreltest::withShareSpot({{"valid", 1}}, root, root)}});
                      });
  const Json entries = Json::array({{{"p", ".zkpart-1-x-0"}, {"s", 2}, {"d", false}},
                                    {{"p", "sub/.ZKPART-9"}, {"s", 2}, {"d", false}},
                                    {{"p", "fine.txt"}, {"s", 2}, {"d", false}}});
  sink.onPeerFrame(kSession, QStringLiteral("push"), QStringLiteral("x1"),
                   {{"mode", "upload"}, {"root", root.toStdString()}, {"entries", entries}});
  ASSERT_EQ(rec.sent.size(), 1u);
  EXPECT_EQ(rec.sent[0].msg["skip"], Json::array({0, 1}));
  EXPECT_TRUE(testutil::waitUntil([&] { return !QFile::exists(root + QLatin1Char('/') + left); }));
  EXPECT_TRUE(testutil::waitUntil([&] { return QDir(journals).isEmpty(); }));
  for (const QString& name : owners) EXPECT_EQ(readFile(root + QLatin1Char('/') + name), "mine") << name.toStdString();
  EXPECT_FALSE(QFileInfo::exists(root + QStringLiteral("/sub")));

  // This bridge's own partial file is written down before a byte arrives.
  sink.onPeerData(kSession, QStringLiteral("x1"), 2, 0, "h");
  const QStringList journal = QDir(journals).entryList({QStringLiteral("partials-*.journal")}, QDir::Files);
  ASSERT_EQ(journal.size(), 1);
  EXPECT_TRUE(journal[0].endsWith(partialTag() + QStringLiteral(".journal")));
  EXPECT_TRUE(readFile(journals + QLatin1Char('/') + journal[0]).contains(QByteArray(".zkpart-") + partialTag().toUtf8()));
  setPartialJournalFolder(QString());
}

// Sizes a peer announces are summed without overflow: a total past the limit
// ends the transfer with the reason, whichever way the offer came.
TEST(TransferEngine, AnnouncedSizesPastTheLimitAreRefused) {
  QTemporaryDir dir;
  Recorder rec;
  TransferEngine sink(rec.frames(), rec.data(),
                      [&](const QString&, const QString&, const Json&, TransferEngine::AskDone done) {
                        done(Json{{"data", vantreltest::withShareSpot({{"valid", 1}}, dir.path(), dir.path())}});
                      });
  const qint64 huge = std::numeric_limits<qint64>::max() / 2 + 1;
  const Json entries = Json::array({{{"p", "a"}, {"s", huge}, {"d", false}}, {{"p", "b"}, {"s", huge}, {"d", false}},
                                    {{"p", "c"}, {"s", huge}, {"d", false}}});
  sink.onPeerFrame(kSession, QStringLiteral("push"), QStringLiteral("x1"),
                   {{"mode", "upload"}, {"root", dir.path().toStdString()}, {"entries", entries}});
  ASSERT_EQ(rec.sent.size(), 1u);
  EXPECT_EQ(rec.sent[0].op, QStringLiteral("cancel"));
  EXPECT_EQ(textOf(rec.sent[0].msg, "why"), QStringLiteral("the announced sizes are too large"));
  // A download's manifest, and a negative size, alike.
  rec.sent.clear();
  sink.startDownload({{"Session", kSession.toStdString()}, {"Targets", "/x"},
                      {"SaveAtLocalFolder", (dir.path() + QStringLiteral("/save")).toStdString()}});
  ASSERT_EQ(rec.sent.size(), 1u);
  const QString xid = rec.sent[0].xid;
  sink.onPeerFrame(kSession, QStringLiteral("manifest"), xid,
                   {{"mode", "download"}, {"entries", Json::array({{{"p", "n"}, {"s", -5}, {"d", false}}})}});
  EXPECT_EQ(rec.sent.back().op, QStringLiteral("cancel"));
  EXPECT_TRUE(textOf(sink.downloadProgress(kSession), "WorkingSpeed").contains(QStringLiteral("too large")));
  EXPECT_TRUE(filesBelow(dir.path()).isEmpty());
}

TEST(TransferEngine, APeerGetsOnlyAFewTransfersAtOnce) {
  Recorder rec;
  std::vector<Sent>& back = rec.sent;
  std::vector<TransferEngine::AskDone> unanswered;
  TransferEngine host(
      rec.frames(), rec.data(),
      [&](const QString&, const QString&, const Json&, TransferEngine::AskDone done) { unanswered.push_back(done); });
  const Json offer = {{"mode", "upload"}, {"root", "/nowhere"}, {"entries", Json::array()}};
  for (int i = 0; i < TransferEngine::kMaxServedPerSession; ++i)
    host.onPeerFrame(kSession, QStringLiteral("push"), QStringLiteral("p%1").arg(i), offer);
  EXPECT_TRUE(back.empty());
  EXPECT_EQ(host.activeCount(), TransferEngine::kMaxServedPerSession);
  host.onPeerFrame(kSession, QStringLiteral("pull"), QStringLiteral("extra"), {{"targets", Json::array()}});
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].op, QStringLiteral("cancel"));
  EXPECT_EQ(back[0].xid, QStringLiteral("extra"));
  // Another session is not held up by this one.
  host.onPeerFrame(QStringLiteral("C-3|C-2"), QStringLiteral("push"), QStringLiteral("other"), offer);
  EXPECT_EQ(host.activeCount(), TransferEngine::kMaxServedPerSession + 1);
  // A refused folder ends its transfer and frees a place.
  unanswered[0](Json{{"data", {{"valid", 0}}}});
  EXPECT_EQ(back.back().op, QStringLiteral("cancel"));
  EXPECT_EQ(host.activeCount(), TransferEngine::kMaxServedPerSession);
}

// What peers' downloads hold until their peer takes the offer (here at most
// 100 entries per account, 400 in all): beyond, the pull is refused "busy";
// an account within its share gets room from the account holding most; what
// a pull held comes back however it ends (cancelled, its session closed, its
// offer never taken).
TEST(TransferEngine, PeersPullsHoldWithinTheirAccountsShareUntilTaken) {
  QTemporaryDir dir;
  const QString share = dir.path() + QStringLiteral("/share");
  writeFile(share + QStringLiteral("/one.txt"), "1");
  Recorder rec;
  std::vector<TransferEngine::AskDone> unanswered;  // the checks of the big pulls wait
  QObject context;
  TransferEngine host(rec.frames(), rec.data(), [&](const QString&, const QString&, const Json& msg, TransferEngine::AskDone done) {
    const QString path = textOf(msg, "path");
    if (!path.endsWith(QStringLiteral("one.txt"))) return unanswered.push_back(done);
    const Json answer = vantreltest::withShareSpot({{"path", path.toStdString()}, {"valid", 1}}, share, path);
    QTimer::singleShot(0, &context, [done, answer] { done(Json{{"data", answer}}); });
  });
  host.setAccountOf([](const QString& session) { return session.section(QLatin1Char('-'), 0, 0); });
  host.setPullBounds(100, 400);
  host.setOfferWaitMs(200);
  const auto pull = [&](const QString& account, const QString& xid, int targets) {
    Json paths = Json::array();
    for (int i = 0; i < targets; ++i) paths.push_back(QStringLiteral("/nowhere/%1-%2").arg(xid).arg(i).toStdString());
    if (targets == 0) paths.push_back((share + QStringLiteral("/one.txt")).toStdString());
    host.onPeerFrame(account + QStringLiteral("-1|H"), QStringLiteral("pull"), xid, {{"targets", paths}});
  };
  const auto endedWith = [&](const QString& xid, const char* code) {
    return std::count_if(rec.sent.begin(), rec.sent.end(), [&](const Sent& s) {
      return s.op == QLatin1String("cancel") && s.xid == xid && textOf(s.msg, "code") == QLatin1String(code);
    });
  };
  const auto busy = [&](const QString& xid) {
    return endedWith(xid, "refused") == 1 &&
           std::any_of(rec.sent.begin(), rec.sent.end(),
                       [&](const Sent& s) { return s.xid == xid && textOf(s.msg, "reason") == QLatin1String("busy"); });
  };

  pull(QStringLiteral("A"), QStringLiteral("a1"), 50);
  pull(QStringLiteral("A"), QStringLiteral("a2"), 50);
  pull(QStringLiteral("A"), QStringLiteral("a3"), 1);
  EXPECT_FALSE(busy(QStringLiteral("a1")) || busy(QStringLiteral("a2")));
  EXPECT_TRUE(busy(QStringLiteral("a3")));  // past its account's bound
  const QStringList full{QStringLiteral("a1"), QStringLiteral("a2"), QStringLiteral("b1"), QStringLiteral("b2"),
                         QStringLiteral("c1"), QStringLiteral("c2"), QStringLiteral("d1"), QStringLiteral("d2")};
  for (const QString& xid : full.mid(2)) pull(xid.left(1).toUpper(), xid, 50);
  EXPECT_EQ(std::count_if(full.begin(), full.end(), busy), 0);
  // Everything is taken: the fifth account, within its share, gets room
  // from one over it; its offer, never taken, ends in time.
  pull(QStringLiteral("E"), QStringLiteral("e1"), 0);
  ASSERT_TRUE(testutil::waitUntil([&] { return endedWith(QStringLiteral("e1"), "timeout") == 1; }));
  EXPECT_FALSE(busy(QStringLiteral("e1")));
  EXPECT_TRUE(std::any_of(rec.sent.begin(), rec.sent.end(),
                          [](const Sent& s) { return s.op == QLatin1String("manifest") && s.xid == QLatin1String("e1"); }));
  EXPECT_EQ(std::count_if(full.begin(), full.end(), busy), 1);

  // Cancelled by their peer, and their session closed: what they held is
  // free again for anyone.
  for (const QString& xid : {QStringLiteral("a1"), QStringLiteral("a2")})
    host.onPeerFrame(QStringLiteral("A-1|H"), QStringLiteral("cancel"), xid, {{"why", "dropped"}, {"code", "cancel"}});
  host.sessionGone(QStringLiteral("B-1|H"));
  const int cancels = int(std::count_if(rec.sent.begin(), rec.sent.end(),
                                        [](const Sent& s) { return s.op == QLatin1String("cancel"); }));
  pull(QStringLiteral("A"), QStringLiteral("a4"), 50);
  pull(QStringLiteral("F"), QStringLiteral("f1"), 50);
  pull(QStringLiteral("F"), QStringLiteral("f2"), 50);
  EXPECT_EQ(std::count_if(rec.sent.begin(), rec.sent.end(), [](const Sent& s) { return s.op == QLatin1String("cancel"); }),
            cancels);
}

// Peers' folder walks take turns by account: one account's four big pulls
// (48,000 entries each) do not keep another account's small one waiting for
// their walks.
TEST(TransferEngine, OneAccountsBigPullsLeaveAnotherAccountsWalkItsTurn) {
  QTemporaryDir dir;
  const QString share = dir.path() + QStringLiteral("/share");
  const QString many = share + QStringLiteral("/many");
  for (int i = 0; i < 2000; ++i) writeFile(many + QStringLiteral("/f%1.txt").arg(i), "x");
  Recorder rec;
  QObject context;
  QStringList walked;  // the sessions whose walked files were checked, in order
  TransferEngine host(rec.frames(), rec.data(),
                      [&](const QString& session, const QString&, const Json& msg, TransferEngine::AskDone done) {
                        if (msg.dump().find("/many/") != std::string::npos && !walked.contains(session))
                          walked.append(session);
                        const Json answer = answerDownloadCheck(msg, [&](const QString& path) -> Json {
                          const QFileInfo info(path);
                          return vantreltest::withShareSpot(
                              {{"path", path.toStdString()}, {"valid", info.isFile() ? 1 : 0}, {"size", info.size()}},
                              share, path);
                        });
                        QTimer::singleShot(0, &context, [done, answer] { done(answer); });
                      });
  host.setAccountOf([](const QString& session) { return session.section(QLatin1Char('-'), 0, 0); });
  Json big = Json::array();
  for (int i = 0; i < 24; ++i) big.push_back(many.toStdString());
  for (int i = 0; i < 4; ++i)
    host.onPeerFrame(QStringLiteral("A-1|H"), QStringLiteral("pull"), QStringLiteral("a%1").arg(i), {{"targets", big}});
  host.onPeerFrame(QStringLiteral("B-1|H"), QStringLiteral("pull"), QStringLiteral("b"), {{"targets", {many.toStdString()}}});
  ASSERT_TRUE(testutil::waitUntil([&] { return walked.size() == 2; }));
  EXPECT_EQ(walked.first(), QStringLiteral("B-1|H"));
}

TEST(TransferEngine, ABrokenOrCancelledReceiveLeavesNoFileBehind) {
  QTemporaryDir dir;
  const QString root = dir.path() + QStringLiteral("/inbox");
  QDir().mkpath(root);
  writeFile(root + QStringLiteral("/keep.txt"), "old");
  Recorder rec;
  std::vector<Sent>& back = rec.sent;
  bool accepted = false;
  TransferEngine receiver(
      rec.frames(), rec.data(),
      [&](const QString&, const QString&, const Json&, TransferEngine::AskDone done) {
        done(Json{{"data", accepted ? root.toStdString() : "0"}});
      });
  const Json offer = {{"mode", "send"},
                      {"entries", Json::array({{{"p", (root + QStringLiteral("/keep.txt")).toStdString()},
                                                {"s", 10},
                                                {"d", false}}})}};
  // Not yet accepted by the user: refused outright.
  receiver.onPeerFrame(kSession, QStringLiteral("push"), QStringLiteral("r0"), offer);
  ASSERT_FALSE(back.empty());
  EXPECT_EQ(back.back().op, QStringLiteral("cancel"));
  EXPECT_TRUE(receiver.receiveStatus(kSession)["IsCancel"].get<bool>());

  accepted = true;
  receiver.resetReceive(kSession);
  EXPECT_FALSE(receiver.receiveStatus(kSession)["IsCancel"].get<bool>());
  receiver.onPeerFrame(kSession, QStringLiteral("push"), QStringLiteral("r1"), offer);
  EXPECT_EQ(back.back().op, QStringLiteral("accept"));
  receiver.onPeerData(kSession, QStringLiteral("r1"), 0, 0, "new-");
  EXPECT_EQ(filesBelow(root).size(), 2);  // the old file and the hidden partial one
  // A chunk at the wrong offset breaks the transfer; the partial file goes.
  receiver.onPeerData(kSession, QStringLiteral("r1"), 0, 99, "x");
  EXPECT_EQ(back.back().op, QStringLiteral("cancel"));
  EXPECT_EQ(filesBelow(root), QStringList{QStringLiteral("keep.txt")});
  EXPECT_EQ(readFile(root + QStringLiteral("/keep.txt")), QByteArray("old"));

  // The user cancels a running receive: the peer is told, nothing is kept.
  receiver.resetReceive(kSession);
  receiver.onPeerFrame(kSession, QStringLiteral("push"), QStringLiteral("r2"), offer);
  receiver.onPeerData(kSession, QStringLiteral("r2"), 0, 0, "new-");
  receiver.cancelReceive(kSession);
  EXPECT_EQ(back.back().op, QStringLiteral("cancel"));
  EXPECT_EQ(filesBelow(root), QStringList{QStringLiteral("keep.txt")});
  const Json status = receiver.receiveStatus(kSession);
  EXPECT_TRUE(status["IsCancel"].get<bool>());
  EXPECT_FALSE(status["IsFinished"].get<bool>());
  // A later push of the same session stays refused until the next offer.
  receiver.onPeerFrame(kSession, QStringLiteral("push"), QStringLiteral("r3"), offer);
  EXPECT_EQ(back.back().op, QStringLiteral("cancel"));
  // The session closing breaks off what runs in it.
  receiver.resetReceive(kSession);
  receiver.onPeerFrame(kSession, QStringLiteral("push"), QStringLiteral("r4"), offer);
  receiver.onPeerData(kSession, QStringLiteral("r4"), 0, 0, "new-");
  receiver.sessionGone(kSession);
  EXPECT_EQ(filesBelow(root), QStringList{QStringLiteral("keep.txt")});

  // A source that sends on past the acknowledgement window, as a host that
  // ignores acknowledgements would, is broken off before more waits here.
  receiver.resetReceive(kSession);
  receiver.onPeerFrame(kSession, QStringLiteral("push"), QStringLiteral("r6"),
                       {{"mode", "send"},
                        {"entries", Json::array({{{"p", (root + QStringLiteral("/flood.bin")).toStdString()},
                                                  {"s", 100},
                                                  {"d", false}}})}});
  for (int i = 0; i < 2 * kTransferWindow + 1; ++i) receiver.onPeerData(kSession, QStringLiteral("r6"), 0, i, "x");
  EXPECT_EQ(back.back().op, QStringLiteral("cancel"));
  EXPECT_EQ(textOf(back.back().msg, "why"), QStringLiteral("the peer sent more than was acknowledged"));
  EXPECT_TRUE(testutil::waitUntil([&] { return filesBelow(root) == QStringList{QStringLiteral("keep.txt")}; }));

  // Bytes that do not match the checksum the source sent: refused, and the
  // file under the final name stays as it was. The peer's transfer id never
  // leads the partial file out of the folder.
  receiver.resetReceive(kSession);
  const QString xid = QStringLiteral("../../r5");
  receiver.onPeerFrame(kSession, QStringLiteral("push"), xid, offer);
  receiver.onPeerData(kSession, xid, 0, 0, "0123456789");
  EXPECT_EQ(filesBelow(root).size(), 2);
  EXPECT_EQ(filesBelow(dir.path()).size(), 2);
  receiver.onPeerFrame(kSession, QStringLiteral("sum"), xid,
                       {{"i", 0}, {"s", 10}, {"h", sha256Hex("something else").toStdString()}});
  // Checked once the bytes are written, off the main thread.
  EXPECT_TRUE(testutil::waitUntil([&] { return back.back().op == QLatin1String("cancel"); }));
  EXPECT_TRUE(textOf(back.back().msg, "why").contains(QStringLiteral("checksum"))) << back.back().msg.dump();
  EXPECT_TRUE(receiver.receiveStatus(kSession)["IsCancel"].get<bool>());
  EXPECT_EQ(filesBelow(root), QStringList{QStringLiteral("keep.txt")});
  EXPECT_EQ(readFile(root + QStringLiteral("/keep.txt")), QByteArray("old"));

  // Small files several to a frame: one shorter than announced, or whose
  // bytes do not match its checksum, is refused the same way.
  const std::pair<QByteArray, QString> packed[] = {{"new-", sha256Hex("new-")},
                                                   {"0123456789", sha256Hex("something else")}};
  int round = 6;
  for (const auto& [bytes, sum] : packed) {
    receiver.resetReceive(kSession);
    const QString id = QStringLiteral("r%1").arg(round++);
    receiver.onPeerFrame(kSession, QStringLiteral("push"), id, offer);
    ASSERT_EQ(back.back().op, QStringLiteral("accept"));
    EXPECT_EQ(intOf(back.back().msg, "pack"), 1);
    QByteArray payload;
    protocol::appendPackedFile(payload, 0, QByteArray::fromHex(sum.toLatin1()), bytes);
    receiver.onPeerData(kSession, id, protocol::kPackedFiles, 1, payload);
    EXPECT_TRUE(testutil::waitUntil([&] { return back.back().op == QLatin1String("cancel"); }));
    EXPECT_EQ(filesBelow(root), QStringList{QStringLiteral("keep.txt")});
  }
  EXPECT_EQ(readFile(root + QStringLiteral("/keep.txt")), QByteArray("old"));

  // A source that offers the cheaper check gets it: a SHA-256 of the right
  // bytes is then refused, and the agreed check is taken.
  Json offering = offer;
  offering["sums"] = Json::array({"xxh3-128"});
  for (const auto& [id, sum] : {std::pair{QStringLiteral("r8"), sha256Hex("0123456789")},
                                std::pair{QStringLiteral("r9"), xxh3Hex("0123456789")}}) {
    receiver.resetReceive(kSession);
    receiver.onPeerFrame(kSession, QStringLiteral("push"), id, offering);
    ASSERT_EQ(back.back().op, QStringLiteral("accept"));
    EXPECT_EQ(textOf(back.back().msg, "sum"), QStringLiteral("xxh3-128"));
    receiver.onPeerData(kSession, id, 0, 0, "0123456789");
    receiver.onPeerFrame(kSession, QStringLiteral("sum"), id, {{"i", 0}, {"s", 10}, {"h", sum.toStdString()}});
    receiver.onPeerFrame(kSession, QStringLiteral("done"), id, Json::object());
    if (id == QLatin1String("r8")) {
      EXPECT_TRUE(testutil::waitUntil([&] { return back.back().op == QLatin1String("cancel"); }));
      EXPECT_EQ(readFile(root + QStringLiteral("/keep.txt")), QByteArray("old"));
    }
  }
  ASSERT_TRUE(testutil::waitUntil([&] { return receiver.receiveStatus(kSession)["IsFinished"].get<bool>(); }));
  EXPECT_EQ(readFile(root + QStringLiteral("/keep.txt")), QByteArray("0123456789"));
}

TEST(TransferEngine, TheSenderStopsAtTheWindowUntilChunksAreAcknowledged) {
  QTemporaryDir dir;
  const QString file = dir.path() + QStringLiteral("/big.bin");
  writeFile(file, QByteArray(TransferEngine::kChunkBytes * (TransferEngine::kWindow + 4), 'z'));
  Recorder rec;
  std::vector<Sent>& out = rec.sent;
  TransferEngine sender(
      rec.frames(), rec.data(),
      [](const QString&, const QString&, const Json&, TransferEngine::AskDone done) { done(std::nullopt); });
  std::optional<Json> reply;
  sender.startUpload({{"Session", kSession.toStdString()}, {"Targets", file.toStdString()}, {"RemotePathRoot", "/srv/in"}},
                     [&](const Json& answer) { reply = answer; });
  // One upload per session at a time, also while the first is being walked.
  std::optional<Json> busy;
  sender.startUpload({{"Session", kSession.toStdString()}, {"Targets", file.toStdString()}},
                     [&](const Json& answer) { busy = answer; });
  ASSERT_TRUE(busy);
  EXPECT_EQ(intOf(*busy, "ValidInfo"), 2);
  ASSERT_TRUE(testutil::waitUntil([&] { return reply.has_value(); }));
  EXPECT_EQ(intOf(*reply, "ValidInfo"), 1);
  ASSERT_EQ(out.size(), 1u);
  const QString xid = out[0].xid;
  sender.onPeerFrame(kSession, QStringLiteral("accept"), xid, {{"skip", Json::array()}});
  auto dataCount = [&] { return std::count_if(out.begin(), out.end(), [](const Sent& s) { return s.op == QLatin1String("data"); }); };
  // Chunks are read on a worker: wait for the window to fill, then check it
  // stays full and no more.
  EXPECT_TRUE(testutil::waitUntil([&] { return dataCount() >= TransferEngine::kWindow; }));
  testutil::idleFor(std::chrono::milliseconds(100));
  EXPECT_EQ(dataCount(), TransferEngine::kWindow);
  sender.onPeerFrame(kSession, QStringLiteral("ack"), xid, {{"c", 2}});
  EXPECT_TRUE(testutil::waitUntil([&] { return dataCount() >= TransferEngine::kWindow + 2; }));
  testutil::idleFor(std::chrono::milliseconds(100));
  EXPECT_EQ(dataCount(), TransferEngine::kWindow + 2);
  const Json progress = sender.uploadProgress(kSession);
  EXPECT_EQ(intOf(progress, "WorkingIndex"), 1);
  EXPECT_NEAR(progress["CurrentTaskPercent"].get<double>(), 100.0 * 2 / (TransferEngine::kWindow + 4), 0.01);
  // The user's cancel ends it and tells the peer; the record says so.
  EXPECT_EQ(intOf(sender.cancelUpload(kSession), "Result"), 1);
  EXPECT_EQ(out.back().op, QStringLiteral("cancel"));
  EXPECT_EQ(out.back().xid, xid);
  const qsizetype frames = out.size();
  sender.onPeerFrame(kSession, QStringLiteral("ack"), xid, {{"c", 8}});
  testutil::idleFor(std::chrono::milliseconds(100));  // reads still under way end
  EXPECT_EQ(out.size(), frames);  // nothing more is sent
  EXPECT_EQ(intOf(sender.uploadProgress(kSession), "ForceCancel"), 1);
  EXPECT_EQ(intOf(sender.uploadProgress(kSession), "TaskStatus"), 0);
}

// An upload whose offer is larger than one relay message: every frame stays
// within what the relay takes and the folder arrives whole; a receiving bridge
// that reads only the head of an offer in parts (an older one) takes it as an
// offer of nothing, and the sender then ends the upload as refused, never as sent.
TEST(TransferEngine, AnOfferLargerThanOneRelayMessageArrivesWholeOrNotAtAll) {
  QTemporaryDir dir;
  const QString up = dir.path() + QStringLiteral("/up");
  // Empty folders with long names: a large offer at little cost.
  constexpr int kFolders = 8000;
  for (int i = 0; i < kFolders; ++i)
    QDir().mkpath(up + QLatin1Char('/') + QString::number(i).leftJustified(250, QLatin1Char('n')));
  writeFile(up + QStringLiteral("/a.txt"), "alpha");
  Pair pair;
  pair.host = [&](const QString& code, const Json& msg) -> Json {
    EXPECT_EQ(code, QStringLiteral("fileUploadCheck"));
    const QString into = textOf(msg, "dir");
    return Json{{"data", vantreltest::withShareSpot({{"valid", 1}}, into, into)}};
  };
  qint64 largest = 0;
  bool older = false;
  pair.tamper = [&](const QString& op, Json& msg) {
    largest = std::max(largest, qint64(vex::dump(msg).value_or(std::string()).size()));
    if (older && op == QLatin1String("push")) msg.erase("parts");
  };
  const auto upload = [&](const QString& into) {
    QDir().mkpath(into);
    pair.a->startUpload({{"Session", kSession.toStdString()}, {"Targets", up.toStdString()},
                         {"RemotePathRoot", into.toStdString()}},
                        [](const Json&) {});
    const auto ended = [&] {
      const Json p = pair.a->uploadProgress(kSession);
      return intOf(p, "TaskStatus") == 1 || intOf(p, "ForceCancel") == 1;
    };
    EXPECT_TRUE(testutil::waitUntil(ended));
    EXPECT_TRUE(testutil::waitUntil([&] { return pair.a->activeCount() == 0 && pair.b->activeCount() == 0; }));
    return pair.a->uploadProgress(kSession);
  };

  const Json whole = upload(dir.path() + QStringLiteral("/into"));
  EXPECT_EQ(intOf(whole, "TaskStatus"), 1) << whole.dump();
  EXPECT_EQ(intOf(whole, "TotalTaskDoneCount"), 1);
  EXPECT_EQ(QDir(dir.path() + QStringLiteral("/into/up")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), kFolders);
  EXPECT_EQ(readFile(dir.path() + QStringLiteral("/into/up/a.txt")), QByteArray("alpha"));
  EXPECT_GT(largest, 0);
  EXPECT_LE(largest + 1024, protocol::kMaxRelayControlMessage);

  older = true;
  const Json refused = upload(dir.path() + QStringLiteral("/older"));
  EXPECT_EQ(intOf(refused, "ForceCancel"), 1) << refused.dump();
  EXPECT_EQ(textOf(refused, "Reason"), QStringLiteral("refused"));
  EXPECT_EQ(intOf(refused, "TotalTaskDoneCount"), 0);
  EXPECT_TRUE(QDir(dir.path() + QStringLiteral("/older")).isEmpty());
}

// A peer's offer in parts that breaks what its head announced ends the
// transfer, the peer told, before anything is made.
TEST(TransferEngine, AnOfferInPartsThatBreaksItsAnnouncementIsRefused) {
  QTemporaryDir dir;
  Recorder rec;
  TransferEngine sink(rec.frames(), rec.data(),
                      [&](const QString&, const QString&, const Json&, TransferEngine::AskDone done) {
                        done(Json{{"data", vantreltest::withShareSpot({{"valid", 1}}, dir.path(), dir.path())}});
                      });
  const auto head = [&](qint64 count) {
    return Json{{"mode", "upload"}, {"root", dir.path().toStdString()}, {"entries", Json::array()},
                {"parts", {{"count", count}}}};
  };
  const QByteArray one = R"([{"p":"a.txt","s":1,"d":false}])";
  const QByteArray three = R"([{"p":"a","s":1,"d":false},{"p":"b","s":1,"d":false},{"p":"c","s":1,"d":false}])";
  struct Case {
    const char* name;
    qint64 count;
    std::vector<std::pair<qint64, QByteArray>> parts;
  };
  const std::vector<Case> cases{{"a part out of order", 2, {{1, one}}},
                                {"more entries than announced", 2, {{0, three}}},
                                {"a part that is not a list", 2, {{0, "{}"}}},
                                {"an empty part", 2, {{0, "[]"}}},
                                {"a count past the limit", 2 * TransferEngine::kMaxEntries + 1, {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rec.sent.clear();
    const QString xid = QString::fromLatin1(c.name).replace(QLatin1Char(' '), QLatin1Char('-'));
    sink.onPeerFrame(kSession, QStringLiteral("push"), xid, head(c.count));
    for (const auto& [index, bytes] : c.parts) sink.onPeerData(kSession, xid, protocol::kOfferPart, index, bytes);
    ASSERT_FALSE(rec.sent.empty());
    EXPECT_EQ(rec.sent.back().op, QStringLiteral("cancel"));
    EXPECT_EQ(sink.activeCount(), 0);
  }
  // Whole as announced: taken, and the answer says how many entries were read.
  rec.sent.clear();
  sink.onPeerFrame(kSession, QStringLiteral("push"), QStringLiteral("whole"), head(4));
  sink.onPeerData(kSession, QStringLiteral("whole"), protocol::kOfferPart, 0, one);
  EXPECT_TRUE(rec.sent.empty());
  sink.onPeerData(kSession, QStringLiteral("whole"), protocol::kOfferPart, 1, three);
  ASSERT_EQ(rec.sent.size(), 1u);
  EXPECT_EQ(rec.sent[0].op, QStringLiteral("accept"));
  EXPECT_EQ(intOf(rec.sent[0].msg, "took"), 4);
  EXPECT_TRUE(filesBelow(dir.path()).isEmpty());
}

// The writer queue keeps the posted order for the work and for the results,
// and once dropped neither runs another job nor reports one.
TEST(TransferWorkers, JobsRunAndReportInOrderAndStopWhenDropped) {
  QObject context;
  std::mutex lock;
  std::vector<int> ran;
  std::vector<int> reported;
  auto jobs = std::make_unique<SerialJobs>(&context);
  for (int i = 0; i < 200; ++i)
    jobs->post(
        [&, i] {
          const std::lock_guard<std::mutex> guard(lock);
          ran.push_back(i);
          return true;
        },
        [&, i](bool ok) {
          EXPECT_TRUE(ok);
          reported.push_back(i);
        });
  ASSERT_TRUE(testutil::waitUntil([&] { return reported.size() == 200; }));
  std::vector<int> expected(200);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(ran, expected);
  EXPECT_EQ(reported, expected);

  // A slow job holds the worker while more are queued; dropping the queue
  // then lets the running job end but starts nothing after it.
  std::atomic_bool release = false;
  std::atomic_int started = 0;
  int reportedAfterDrop = 0;
  jobs->post(
      [&] {
        ++started;
        while (!release) std::this_thread::yield();
        return true;
      },
      [&](bool) { ++reportedAfterDrop; });
  for (int i = 0; i < 5; ++i) jobs->post([&] { return ++started, true; }, [&](bool) { ++reportedAfterDrop; });
  ASSERT_TRUE(testutil::waitUntil([&] { return started == 1; }));
  jobs.reset();
  release = true;
  testutil::idleFor(std::chrono::milliseconds(100));
  EXPECT_EQ(started, 1);
  EXPECT_EQ(reportedAfterDrop, 0);
}
