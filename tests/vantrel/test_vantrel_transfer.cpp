// Transfers end to end: the account service and two bridges as processes,
// with test clients in place of the applications. The host's client answers
// the bridge's checks from one shared folder, as the real path gate would.
#include "host_checks.h"
#include "share_spot_answer.h"
#include "vantrel_harness.h"

#include "support/test_util.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <QUuid>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vantreltest;
using vantrel::intOf;
using vantrel::textOf;
using vantrel::valueOf;
using testutil::filesBelow;
using testutil::randomBytes;
using testutil::readFile;
using testutil::writeFile;

namespace {

// The descriptors process `pid` holds open now.
int openDescriptors(qint64 pid) {
  std::error_code error;
  int n = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end; !error && it != end;
       it.increment(error))
    ++n;
  return n;
}

// The most descriptors `pid` held while `run` ran, sampled every few milliseconds.
int peakDescriptors(qint64 pid, const std::function<void()>& run) {
  int peak = openDescriptors(pid);
  QTimer sampler;
  QObject::connect(&sampler, &QTimer::timeout, [&] { peak = std::max(peak, openDescriptors(pid)); });
  sampler.start(5);
  run();
  return std::max(peak, openDescriptors(pid));
}

// Sets both limits of open files of a running process: it cannot raise them.
bool limitOpenFiles(QProcess& process, rlim_t limit) {
  const rlimit both{limit, limit};
  return ::prlimit(pid_t(process.processId()), RLIMIT_NOFILE, &both, nullptr) == 0;
}

// `count` files of a few bytes each in `dir`, each holding its own number.
void makeSmallFiles(const QString& dir, int count) {
  QDir().mkpath(dir);
  for (int i = 0; i < count; ++i) {
    QFile file(dir + QStringLiteral("/%1.txt").arg(i, 5, 10, QLatin1Char('0')));
    if (file.open(QIODevice::WriteOnly)) file.write(QByteArray::number(i));
  }
}

bool inside(const QString& root, const QString& path) {
  const QString r = QFileInfo(root).canonicalFilePath();
  const QString p = QFileInfo(path).canonicalFilePath();
  return !r.isEmpty() && !p.isEmpty() && (p == r || p.startsWith(r + QLatin1Char('/')));
}

class VantrelTransfer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    service = new Service;
    ready = service->addAnnAndBob() && service->start();
  }
  static void TearDownTestSuite() {
    delete service;
    service = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(ready) << service->child().output().toStdString();
    share = folder.path() + QStringLiteral("/share");
    QDir().mkpath(share);
    host = signIn(QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"));
    peer = signIn(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"));
    ASSERT_TRUE(host && peer);
    host->link.serve([this](const QString& code, const Json& msg) { return hostAnswer(code, msg); });
    ASSERT_TRUE(openSession());
  }

  // Bob's session to Ann's share.
  bool openSession() {
    peer->link.send(QStringLiteral("ClientInit"), {{"Id_user", textOf(peer->result, "Token").toStdString()},
                                                   {"Hostname", "ann-host"}, {"Hosttag", "docs"}, {"Hostpassword", ""}});
    // Frames about an earlier session may come first.
    auto opened = peer->link.waitFor(
        [](const ClientLink::Frame& f) {
          return f.code == QLatin1String("P2PCLIENT") && textOf(f.data, "Type") == QLatin1String("GetShareHost6Client");
        },
        10s);
    if (!opened) return false;
    const Json msg = valueOf(opened->data, "Msg");
    session = textOf(msg, "ClientID1") + QLatin1Char('|') + textOf(msg, "ClientID2");
    return true;
  }

  // Starts a download of `targets` ("|"-joined) into `save`.
  void download(const QString& targets, const QString& save) {
    control(peer->link, QStringLiteral("Trans3_FC_00_CallStart"),
            {{"Session", session.toStdString()}, {"Targets", targets.toStdString()}, {"SaveAtLocalFolder", save.toStdString()}});
  }
  static bool moving(const Json& p) { return p.value("CurrentTaskPercent", 0.0) > 0 || ended(p); }
  // Waits until the download has made progress, then holds the sending
  // bridge still so that it cannot end before the test acts on it; the
  // download's record then (asserted to be still running).
  Json holdDownload() {
    downloadPoll(moving);
    EXPECT_TRUE(host->bridge.child().pause());
    const Json held = downloadPoll([](const Json&) { return true; });
    EXPECT_EQ(intOf(held, "TaskStatus"), 0) << "finished before the test could act on it: " << held.dump();
    return held;
  }
  // The same for an upload from the peer's bridge to the host's.
  void holdUpload() {
    const Json seen = pollUntil([&] { return onBridge(QStringLiteral("RemoteUploadTaskInfo")); }, moving);
    EXPECT_EQ(intOf(seen, "TaskStatus"), 0) << "finished before the test could act on it: " << seen.dump();
    EXPECT_TRUE(peer->bridge.child().pause());
  }

  std::unique_ptr<Signed> signIn(const QString& email, const QString& password) {
    return vantreltest::signIn(service, email, password, nullptr,
                               email.startsWith(QLatin1String("bob")) ? peerLauncher : QStringList());
  }

  // The host application's answers, limited to the shared folder.
  Json hostAnswer(const QString& code, const Json& msg) {
    hostCodes.append(code);
    if (code == QLatin1String("fileDownloadCheck"))
      return vantrel::answerDownloadCheck(msg, [this](const QString& path) -> Json {
        // Like the client's path guard: a path outside the share is not
        // there (size 0); a folder inside is "not a file" with its size.
        const bool seen = inside(share, path);
        // A place the host's client could not look at gives its reason.
        if (seen && path.contains(QStringLiteral("/locked")))
          return Json{{"path", path.toStdString()}, {"size", 0}, {"valid", 0}, {"reason", "Error: Permission denied"}};
        const bool ok = seen && QFileInfo(path).isFile();
        const Json data = {{"path", path.toStdString()}, {"size", seen ? QFileInfo(path).size() : 0},
                           {"valid", ok ? 1 : 0}, {"TransLAN", transLan.toStdString()}};
        return seen ? vantreltest::withShareSpot(data, share, path) : data;
      });
    if (code == QLatin1String("fileUploadCheck")) {
      const QString dir = textOf(msg, "dir");
      const bool locked = dir.contains(QStringLiteral("/locked"));
      const bool ok = inside(share, dir) && QFileInfo(dir).isDir() && !locked;
      Json data = {{"dir", dir.toStdString()}, {"valid", ok ? 1 : 0}, {"task", Json::array()},
                   {"TransLAN", transLan.toStdString()}};
      if (locked) data["reason"] = "Error: Too many open files";
      return {{"data", ok ? vantreltest::withShareSpot(data, share, dir) : data}};
    }
    if (code == QLatin1String("WaitRemoteReceiveFilesPressButton")) {
      Json answer = {{"data", accepted.toStdString()}};
      if (receiveOverwrite) answer["Overwrite"] = *receiveOverwrite;
      return answer;
    }
    if (code == QLatin1String("ClientTouch"))
      return {{"data", {{"UPC", 5}, {"SC", 0}, {"OS", "IOS"}, {"TransLAN", transLan.toStdString()}}}};
    return {{"data", "PONG"}};
  }

  // A bridge request of `link` and its answer.
  std::optional<Json> control(ClientLink& link, const QString& code, const Json& payload) {
    return link.waitReply(link.control(code, payload));
  }
  // A peer request that the peer's own bridge answers ("IsProcessOnBridge" "YES").
  std::optional<Json> onBridge(const QString& code) {
    const QString token = QStringLiteral("ClientWSDCTest-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    peer->link.send(QStringLiteral("WSDC"),
                    {{"Session", session.toStdString()}, {"Code", code.toStdString()}, {"Token", token.toStdString()},
                     {"IsProcessOnBridge", "YES"},
                     {"Data", {{"Session", session.toStdString()}, {"IsProcessOnBridge", "YES"}}}},
                    false);
    auto frame = peer->link.waitFor([&](const ClientLink::Frame& f) { return textOf(f.data, "Token") == token; });
    if (!frame) return std::nullopt;
    return valueOf(frame->data, "Msg");
  }
  // Polls until `done` holds for the progress record; the last record.
  Json pollUntil(const std::function<std::optional<Json>()>& poll, const std::function<bool(const Json&)>& done,
                 std::chrono::milliseconds timeout = 30s) {
    Json last;
    spinUntil(
        [&] {
          if (auto r = poll()) last = *r;
          return done(last);
        },
        timeout);
    return last;
  }
  Json downloadPoll(const std::function<bool(const Json&)>& done) {
    return pollUntil(
        [&] { return control(peer->link, QStringLiteral("Trans3_FC_TransTaskInfo"), {{"Session", session.toStdString()}}); },
        done);
  }
  static bool ended(const Json& p) { return intOf(p, "TaskStatus") == 1 || intOf(p, "ForceCancel") == 1; }

  static inline Service* service = nullptr;
  static inline bool ready = false;
  QTemporaryDir folder;
  QString share;
  QString accepted = QStringLiteral("0");
  std::optional<bool> receiveOverwrite;  // the receive panel's switch, when the answer carries it
  QString transLan = QStringLiteral("0");  // the share's "TransLAN" as the host's checks report it
  QStringList hostCodes;
  QStringList peerLauncher;  // what starts the peer's bridge (nothing: it is started as it is)
  std::unique_ptr<Signed> host;
  std::unique_ptr<Signed> peer;
  QString session;
};

}  // namespace

TEST_F(VantrelTransfer, DownloadsAFolderTreeThatTheHostAllowsAndNothingElse) {
  const QByteArray big = randomBytes(3 * 1024 * 1024 + 5);
  writeFile(share + QStringLiteral("/docs/readme.txt"), "hello");
  writeFile(share + QStringLiteral("/docs/sub/big.bin"), big);
  writeFile(share + QStringLiteral("/docs/sub/empty.dat"), QByteArray());
  // A name the receiver keeps for its partial files: not taken, and said why.
  writeFile(share + QStringLiteral("/docs/.zkpart-notes.txt"), "notes");
  writeFile(folder.path() + QStringLiteral("/private/secret.txt"), "secret");
  // A link in the shared tree that leads out of it, and a target outside.
  ASSERT_TRUE(QFile::link(folder.path() + QStringLiteral("/private/secret.txt"), share + QStringLiteral("/docs/leak.txt")));
  const QString save = folder.path() + QStringLiteral("/Downloads");
  const auto started = control(peer->link, QStringLiteral("Trans3_FC_00_CallStart"),
                               {{"Session", session.toStdString()},
                                {"Targets", (share + QStringLiteral("/docs|") + folder.path() + QStringLiteral("/private/secret.txt")).toStdString()},
                                {"SaveAtLocalFolder", save.toStdString()}});
  ASSERT_TRUE(started);
  EXPECT_EQ(intOf(*started, "Result"), 1);
  const Json last = downloadPoll(ended);
  EXPECT_EQ(intOf(last, "TaskStatus"), 1) << last.dump();
  EXPECT_EQ(intOf(last, "ForceCancel"), 0);
  EXPECT_EQ(intOf(last, "TotalTaskDoneCount"), 3);
  EXPECT_TRUE(textOf(last, "WorkingSpeed")
                  .endsWith(QStringLiteral(", 1 not transferred (.zkpart-notes.txt: its name is kept for partial files)"
                                           ", 2 refused by the host")))
      << last.dump();
  EXPECT_EQ(textOf(last, "Reason"), QStringLiteral("refused"));
  // The two targets, then the four files of the allowed folder, one request
  // for each of its two folders.
  EXPECT_EQ(hostCodes.count(QStringLiteral("fileDownloadCheck")), 4);
  EXPECT_EQ(filesBelow(save), (QStringList{QStringLiteral("docs/readme.txt"), QStringLiteral("docs/sub/big.bin"),
                                           QStringLiteral("docs/sub/empty.dat")}));
  EXPECT_EQ(readFile(save + QStringLiteral("/docs/sub/big.bin")), big);
  EXPECT_EQ(readFile(save + QStringLiteral("/docs/readme.txt")), QByteArray("hello"));

  // Everything refused: the task ends as broken off and writes nothing.
  const QString other = folder.path() + QStringLiteral("/Other");
  control(peer->link, QStringLiteral("Trans3_FC_00_CallStart"),
          {{"Session", session.toStdString()},
           {"Targets", (folder.path() + QStringLiteral("/private")).toStdString()},
           {"SaveAtLocalFolder", other.toStdString()}});
  const Json refused = downloadPoll(ended);
  EXPECT_EQ(intOf(refused, "ForceCancel"), 1) << refused.dump();
  EXPECT_EQ(textOf(refused, "Reason"), QStringLiteral("refused"));
  EXPECT_TRUE(filesBelow(other).isEmpty());
}

TEST_F(VantrelTransfer, GetLanHttpAnswersTheConnectedHostsAddressOnceTheHostIsTouched) {
  const QString hostUrl = host->bridge.lanUrl();
  ASSERT_TRUE(hostUrl.startsWith(QStringLiteral("https://127.0.0.1:"))) << hostUrl.toStdString();
  ASSERT_NE(hostUrl, peer->bridge.lanUrl());
  // As the client does once connected: "ClientTouch" to the host, then
  // "GetLanHttp" to its own bridge.
  auto lanAfterTouch = [&] {
    EXPECT_TRUE(peer->link.ask(session, QStringLiteral("ClientTouch"), {{"m", ""}}));
    const auto lan = control(peer->link, QStringLiteral("GetLanHttp"), {{"m", ""}});
    return lan ? vantrel::asText(*lan) : QStringLiteral("(no answer)");
  };
  transLan = QStringLiteral("1");
  EXPECT_EQ(lanAfterTouch(), hostUrl);
  // The host's own bridge is connected to no host.
  const auto hostsOwn = control(host->link, QStringLiteral("GetLanHttp"), {{"m", ""}});
  ASSERT_TRUE(hostsOwn);
  EXPECT_EQ(vantrel::asText(*hostsOwn), QString());
  // No share of the host allows the route any more: nothing is announced.
  transLan = QStringLiteral("0");
  EXPECT_EQ(lanAfterTouch(), QString());
}

TEST_F(VantrelTransfer, DownloadsAndUploadsOverTheHostsLocalNetworkRouteWhenTheShareAllowsIt) {
  transLan = QStringLiteral("1");
  const QByteArray big = randomBytes(5 * 1024 * 1024 + 3);
  writeFile(share + QStringLiteral("/docs/sub/big.bin"), big);
  writeFile(share + QStringLiteral("/docs/readme.txt"), "hello");
  writeFile(share + QStringLiteral("/docs/empty.dat"), QByteArray());
  const QString save = folder.path() + QStringLiteral("/Downloads");
  control(peer->link, QStringLiteral("Trans3_FC_00_CallStart"),
          {{"Session", session.toStdString()}, {"Targets", (share + QStringLiteral("/docs")).toStdString()},
           {"SaveAtLocalFolder", save.toStdString()}});
  const Json last = downloadPoll(ended);
  EXPECT_EQ(intOf(last, "TaskStatus"), 1) << last.dump();
  EXPECT_EQ(intOf(last, "TotalTaskDoneCount"), 3);
  EXPECT_EQ(filesBelow(save), (QStringList{QStringLiteral("docs/empty.dat"), QStringLiteral("docs/readme.txt"),
                                           QStringLiteral("docs/sub/big.bin")}));
  EXPECT_EQ(readFile(save + QStringLiteral("/docs/sub/big.bin")), big);

  const QString local = folder.path() + QStringLiteral("/mine");
  const QByteArray photo = randomBytes(3 * 1024 * 1024 + 1);
  writeFile(local + QStringLiteral("/album/photo.jpg"), photo);
  writeFile(local + QStringLiteral("/album/notes/n.txt"), "note");
  QDir().mkpath(share + QStringLiteral("/inbox"));
  control(peer->link, QStringLiteral("Trans2_FS_00_CallStart"),
          {{"Session", session.toStdString()}, {"Targets", (local + QStringLiteral("/album")).toStdString()},
           {"RemotePathRoot", (share + QStringLiteral("/inbox")).toStdString()}});
  const Json up = pollUntil([&] { return onBridge(QStringLiteral("RemoteUploadTaskInfo")); }, ended);
  EXPECT_EQ(intOf(up, "TaskStatus"), 1) << up.dump();
  EXPECT_EQ(intOf(up, "TotalTaskDoneCount"), 2);
  EXPECT_EQ(readFile(share + QStringLiteral("/inbox/album/photo.jpg")), photo);
  EXPECT_EQ(readFile(share + QStringLiteral("/inbox/album/notes/n.txt")), QByteArray("note"));
  // Both went over the route, not through the relay.
  const QByteArray log = peer->bridge.child().output();
  EXPECT_EQ(log.count("transfer over the local network"), 2) << log.toStdString();
  EXPECT_FALSE(log.contains("using the relay"));
}

// Folders of many small files, down and up, with both bridges at a limit of
// 1,024 open files that they cannot raise: every file arrives, and the
// receiving bridge keeps few descriptors open at any time. 3,000 files over
// the relay and over the local-network route, 20,000 over the relay.
TEST_F(VantrelTransfer, FoldersOfManySmallFilesArriveWholeWithFewFilesOpenOnEitherRoute) {
  ASSERT_TRUE(limitOpenFiles(host->bridge.child().process(), 1024));
  ASSERT_TRUE(limitOpenFiles(peer->bridge.child().process(), 1024));
  // Removed as the test goes, faster than the temporary folder would.
  const auto removeTree = [](const QString& path) { std::filesystem::remove_all(path.toStdString()); };
  const struct {
    int count;
    QStringList routes;  // "TransLAN" of the share: "0" the relay, "1" the local-network route
  } runs[] = {{3000, {QStringLiteral("0"), QStringLiteral("1")}}, {20000, {QStringLiteral("0")}}};
  for (const auto& run : runs) {
    const int count = run.count;
    // The same folder is downloaded from the host's share and uploaded from the peer.
    const QString name = QStringLiteral("many%1").arg(count);
    const QString source = share + QLatin1Char('/') + name;
    makeSmallFiles(source, count);
    const QString last = QStringLiteral("/%1.txt").arg(count - 1, 5, 10, QLatin1Char('0'));
    // The task's last record, the folder received into, the receiver's most descriptors.
    const auto arrivedWhole = [&](const Json& record, const QString& into, int peak) {
      EXPECT_EQ(intOf(record, "TaskStatus"), 1) << record.dump();
      EXPECT_EQ(intOf(record, "TotalTaskDoneCount"), count);
      EXPECT_EQ(QDir(into + QLatin1Char('/') + name).count() - 2, uint(count));
      EXPECT_EQ(readFile(into + QLatin1Char('/') + name + last), QByteArray::number(count - 1));
      EXPECT_LT(peak, 200);
      removeTree(into);
    };
    for (const QString& lan : run.routes) {
      SCOPED_TRACE((name + QStringLiteral(" files, local-network route ") + lan).toStdString());
      transLan = lan;
      const QString save = folder.path() + QStringLiteral("/Downloads");
      Json down;
      const int downPeak = peakDescriptors(peer->bridge.child().process().processId(), [&] {
        download(source, save);
        down = pollUntil([&] { return control(peer->link, QStringLiteral("Trans3_FC_TransTaskInfo"),
                                              {{"Session", session.toStdString()}}); },
                         ended, 120s);
      });
      arrivedWhole(down, save, downPeak);

      const QString into = share + QStringLiteral("/inbox");
      QDir().mkpath(into);
      Json up;
      const int upPeak = peakDescriptors(host->bridge.child().process().processId(), [&] {
        control(peer->link, QStringLiteral("Trans2_FS_00_CallStart"),
                {{"Session", session.toStdString()}, {"Targets", source.toStdString()},
                 {"RemotePathRoot", into.toStdString()}});
        up = pollUntil([&] { return onBridge(QStringLiteral("RemoteUploadTaskInfo")); }, ended, 120s);
      });
      arrivedWhole(up, into, upPeak);
    }
    removeTree(source);
  }
  EXPECT_EQ(peer->bridge.child().output().count("transfer over the local network"), 2);
}

// Sessions come and go with their client's connections (each sign-in is a
// new client of the relay): what their downloads opened is closed.
TEST_F(VantrelTransfer, SessionsThatDownloadedAndEndedLeaveNoDescriptorOpen) {
  writeFile(share + QStringLiteral("/one.txt"), "one");
  const qint64 pid = peer->bridge.child().process().processId();
  const QString save = folder.path() + QStringLiteral("/Downloads");
  const auto downloadOnce = [&](int i) {
    download(share + QStringLiteral("/one.txt"), save + QString::number(i));
    const Json done = downloadPoll(ended);
    EXPECT_EQ(intOf(done, "TaskStatus"), 1) << done.dump();
  };
  downloadOnce(0);
  const int before = openDescriptors(pid);
  for (int i = 1; i <= 60; ++i) {
    peer->link.close();
    ASSERT_TRUE(peer->link.open(peer->bridge.port())) << i;
    const auto signedIn = peer->link.login(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"));
    ASSERT_TRUE(signedIn && intOf(*signedIn, "Result") == 1) << i;
    peer->result = *signedIn;
    ASSERT_TRUE(openSession()) << i;
    downloadOnce(i);
  }
  peer->link.close();
  EXPECT_TRUE(spinUntil([&] { return std::abs(openDescriptors(pid) - before) <= 5; }, 10s))
      << before << " before, " << openDescriptors(pid) << " after";
}

namespace {
// A rate as the records write it ("12.50 MB/s"), in bytes per second.
double bytesPerSecond(const QString& text) {
  const QStringList parts = text.split(QLatin1Char(' '));
  const QStringList units = {QStringLiteral("bytes/s"), QStringLiteral("KB/s"), QStringLiteral("MB/s"),
                             QStringLiteral("GB/s")};
  const qsizetype unit = units.indexOf(parts.value(1));
  return unit < 0 ? -1 : parts.value(0).toDouble() * std::pow(1024.0, double(unit));
}
}  // namespace

// A folder of many files, down and up, over the relay and the local-network
// route: while it runs, the records count the files up and give the share of
// the task's bytes, with the task's size; the rate given at the end is the
// bytes over the time the task took.
TEST_F(VantrelTransfer, AFolderOfManyFilesShowsItsProgressOnEveryRouteEitherWay) {
  constexpr int kFiles = 2000;
  constexpr qint64 kFileBytes = 48 * 1024;
  constexpr qint64 kBytes = kFiles * kFileBytes;
  // Thousands of files are kept in memory where there is room for two copies:
  // removing them from a disk that discards freed blocks takes longer than
  // moving them.
  QTemporaryDir memory(QStringLiteral("/dev/shm/vantrel-transfer-XXXXXX"));
  if (memory.isValid() && QStorageInfo(memory.path()).bytesAvailable() > 4 * kBytes)
    share = memory.path() + QStringLiteral("/share");
  const QString many = share + QStringLiteral("/many");
  const QByteArray bytes = randomBytes(kFileBytes);
  for (int i = 0; i < kFiles; ++i) writeFile(many + QStringLiteral("/f%1.bin").arg(i, 4, 10, QLatin1Char('0')), bytes);
  struct Case {
    const char* name;
    bool lan;
    bool upload;
  };
  for (const Case& c : {Case{"relay download", false, false}, Case{"relay upload", false, true},
                        Case{"local-network download", true, false}, Case{"local-network upload", true, true}}) {
    SCOPED_TRACE(c.name);
    transLan = c.lan ? QStringLiteral("1") : QStringLiteral("0");
    // Uploads go into the share, downloads beside it.
    const QString into = share + (c.upload ? QStringLiteral("/into-") : QStringLiteral("/../into-")) +
                         QString::fromLatin1(c.name).replace(QLatin1Char(' '), QLatin1Char('-'));
    QDir().mkpath(into);
    QElapsedTimer took;
    took.start();
    std::function<std::optional<Json>()> poll;
    if (c.upload) {
      control(peer->link, QStringLiteral("Trans2_FS_00_CallStart"),
              {{"Session", session.toStdString()}, {"Targets", many.toStdString()}, {"RemotePathRoot", into.toStdString()}});
      poll = [&] { return onBridge(QStringLiteral("RemoteUploadTaskInfo")); };
    } else {
      download(many, into);
      poll = [&] { return control(peer->link, QStringLiteral("Trans3_FC_TransTaskInfo"), {{"Session", session.toStdString()}}); };
    }
    // The task began before its start was answered.
    const qint64 answeredAt = took.elapsed();
    std::vector<std::pair<qint64, Json>> readings;  // each with when it was asked for
    const Json last = pollUntil(
        [&]() -> std::optional<Json> {
          const qint64 askedAt = took.elapsed();
          auto r = poll();
          if (r) readings.emplace_back(askedAt, *r);
          return r;
        },
        ended, 60s);
    const qint64 tookMs = took.elapsed();
    ASSERT_EQ(intOf(last, "TaskStatus"), 1) << last.dump();
    EXPECT_EQ(intOf(last, "TotalTaskDoneCount"), kFiles);
    EXPECT_EQ(intOf(last, "TotalTaskSize"), kBytes);
    EXPECT_EQ(filesBelow(into).size(), kFiles);

    // Readings before the end: never back, and rising several times.
    int doneRises = 0, percentRises = 0;
    qint64 lastDone = 0, runningAt = answeredAt;
    double lastPercent = 0;
    for (const auto& [askedAt, r] : readings) {
      if (ended(r)) break;
      runningAt = askedAt;
      const qint64 done = intOf(r, "TotalTaskDoneCount");
      const double percent = r.value("CurrentTaskPercent", 0.0);
      EXPECT_GE(done, lastDone) << r.dump();
      EXPECT_GE(percent, lastPercent) << r.dump();
      if (done > 0) { EXPECT_EQ(intOf(r, "TotalTaskSize"), kBytes) << r.dump(); }
      doneRises += done > lastDone ? 1 : 0;
      percentRises += percent > lastPercent ? 1 : 0;
      lastDone = std::max(lastDone, done);
      lastPercent = std::max(lastPercent, percent);
    }
    EXPECT_GE(doneRises, 5) << readings.size() << " readings in " << tookMs << " ms";
    EXPECT_GE(percentRises, 5) << readings.size() << " readings in " << tookMs << " ms";
    // The rate at the end is the bytes over the task's time, which lies
    // between the time the test saw it run and the whole wait.
    const double rate = bytesPerSecond(textOf(last, "WorkingSpeed"));
    EXPECT_GT(rate, double(kBytes) * 1000.0 / double(tookMs) / 2) << last.dump() << " after " << tookMs << " ms";
    EXPECT_LT(rate, double(kBytes) * 1000.0 / double(std::max<qint64>(1, runningAt - answeredAt)) * 2)
        << last.dump() << " after " << tookMs << " ms";
    QDir(into).removeRecursively();
  }
}

TEST_F(VantrelTransfer, ADownloadCancelledMidwayLeavesNoFile) {
  {
    QFile huge(share + QStringLiteral("/huge.bin"));
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
    ASSERT_TRUE(huge.resize(qint64(400) * 1024 * 1024));  // sparse
  }
  const QString save = folder.path() + QStringLiteral("/Downloads");
  control(peer->link, QStringLiteral("Trans3_FC_00_CallStart"),
          {{"Session", session.toStdString()}, {"Targets", (share + QStringLiteral("/huge.bin")).toStdString()},
           {"SaveAtLocalFolder", save.toStdString()}});
  const Json running = holdDownload();
  ASSERT_EQ(intOf(running, "TaskStatus"), 0);
  EXPECT_EQ(intOf(running, "WorkingIndex"), 1);
  EXPECT_TRUE(textOf(running, "CurrentTaskFile").endsWith(QStringLiteral("/huge.bin")));
  EXPECT_EQ(intOf(running, "CurrentTaskFileSize"), qint64(400) * 1024 * 1024);
  peer->link.control(QStringLiteral("Trans3_FC_00_Cancel"), {{"Session", session.toStdString()}});
  const Json cancelled = downloadPoll(ended);
  host->bridge.child().resume();
  EXPECT_EQ(intOf(cancelled, "ForceCancel"), 1) << cancelled.dump();
  EXPECT_EQ(textOf(cancelled, "Reason"), QStringLiteral("cancel"));
  EXPECT_EQ(intOf(cancelled, "TaskStatus"), 0);
  // The partial file goes once the writes queued before the cancel are done.
  EXPECT_TRUE(testutil::waitUntil([&] { return filesBelow(save).isEmpty(); }))
      << filesBelow(save).join(QLatin1Char(' ')).toStdString();
}

TEST_F(VantrelTransfer, UploadsIntoTheSharedFolderOnlyAndCancelsFromTheHost) {
  const QString local = folder.path() + QStringLiteral("/mine");
  const QByteArray photo = randomBytes(1024 * 1024 + 3);
  writeFile(local + QStringLiteral("/album/photo.jpg"), photo);
  writeFile(local + QStringLiteral("/album/notes/n.txt"), "note");
  QDir().mkpath(local + QStringLiteral("/album/empty"));
  writeFile(local + QStringLiteral("/single.txt"), "one");
  QDir().mkpath(share + QStringLiteral("/inbox"));
  const auto started = control(peer->link, QStringLiteral("Trans2_FS_00_CallStart"),
                               {{"Session", session.toStdString()},
                                {"Targets", (local + QStringLiteral("/album|") + local + QStringLiteral("/single.txt")).toStdString()},
                                {"RemotePathRoot", (share + QStringLiteral("/inbox")).toStdString()}});
  ASSERT_TRUE(started);
  EXPECT_EQ(intOf(*started, "ValidInfo"), 1);
  const Json done = pollUntil([&] { return onBridge(QStringLiteral("RemoteUploadTaskInfo")); }, ended);
  EXPECT_EQ(intOf(done, "TaskStatus"), 1) << done.dump();
  EXPECT_EQ(intOf(done, "TotalTaskDoneCount"), 3);
  EXPECT_EQ(readFile(share + QStringLiteral("/inbox/album/photo.jpg")), photo);
  EXPECT_EQ(readFile(share + QStringLiteral("/inbox/album/notes/n.txt")), QByteArray("note"));
  EXPECT_EQ(readFile(share + QStringLiteral("/inbox/single.txt")), QByteArray("one"));
  EXPECT_TRUE(QFileInfo(share + QStringLiteral("/inbox/album/empty")).isDir());
  EXPECT_TRUE(hostCodes.contains(QStringLiteral("fileUploadCheck")));

  // A folder outside the share is refused by the host's check.
  const QString outside = folder.path() + QStringLiteral("/outside");
  QDir().mkpath(outside);
  control(peer->link, QStringLiteral("Trans2_FS_00_CallStart"),
          {{"Session", session.toStdString()}, {"Targets", (local + QStringLiteral("/single.txt")).toStdString()},
           {"RemotePathRoot", outside.toStdString()}});
  const Json refused = pollUntil([&] { return onBridge(QStringLiteral("RemoteUploadTaskInfo")); }, ended);
  EXPECT_EQ(intOf(refused, "ForceCancel"), 1) << refused.dump();
  EXPECT_EQ(textOf(refused, "Reason"), QStringLiteral("refused"));
  EXPECT_EQ(textOf(refused, "HostReason"), QString());  // a refusal gives no words
  EXPECT_TRUE(filesBelow(outside).isEmpty());
  // One the host's client could not look at: its words reach the uploader.
  QDir().mkpath(share + QStringLiteral("/locked"));
  control(peer->link, QStringLiteral("Trans2_FS_00_CallStart"),
          {{"Session", session.toStdString()}, {"Targets", (local + QStringLiteral("/single.txt")).toStdString()},
           {"RemotePathRoot", (share + QStringLiteral("/locked")).toStdString()}});
  const Json failed = pollUntil([&] { return onBridge(QStringLiteral("RemoteUploadTaskInfo")); }, ended);
  EXPECT_EQ(textOf(failed, "Reason"), QStringLiteral("refused")) << failed.dump();
  EXPECT_EQ(textOf(failed, "HostReason"), QStringLiteral("Error: Too many open files")) << failed.dump();

  // The host's disk fills up in the middle of a folder: the count is what it kept.
  {
    const pid_t pid = pid_t(host->bridge.child().process().processId());
    rlimit before{};
    ASSERT_EQ(::prlimit(pid, RLIMIT_FSIZE, nullptr, &before), 0);
    const rlimit small{1024 * 1024, before.rlim_max};
    ASSERT_EQ(::prlimit(pid, RLIMIT_FSIZE, &small, nullptr), 0);
    makeSmallFiles(local + QStringLiteral("/many"), 400);
    writeFile(local + QStringLiteral("/many/zz-big.bin"), randomBytes(3 * 1024 * 1024));
    const QString full = share + QStringLiteral("/full");
    QDir().mkpath(full);
    control(peer->link, QStringLiteral("Trans2_FS_00_CallStart"),
            {{"Session", session.toStdString()}, {"Targets", (local + QStringLiteral("/many")).toStdString()},
             {"RemotePathRoot", full.toStdString()}});
    const Json failed = pollUntil([&] { return onBridge(QStringLiteral("RemoteUploadTaskInfo")); }, ended);
    ASSERT_EQ(::prlimit(pid, RLIMIT_FSIZE, &before, nullptr), 0);
    EXPECT_EQ(intOf(failed, "ForceCancel"), 1) << failed.dump();
    EXPECT_EQ(textOf(failed, "Reason"), QStringLiteral("disk"));
    QStringList kept;
    EXPECT_TRUE(testutil::waitUntil([&] {
      kept = filesBelow(full);
      return !kept.join(QLatin1Char(' ')).contains(QLatin1String(".zkpart-"));
    }));
    EXPECT_EQ(intOf(failed, "TotalTaskDoneCount"), kept.size()) << failed.dump();
    EXPECT_FALSE(kept.contains(QStringLiteral("many/zz-big.bin")));
  }

  // The host goes away in the middle of a big upload: nothing partial stays.
  {
    QFile huge(local + QStringLiteral("/huge.bin"));
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
    ASSERT_TRUE(huge.resize(qint64(400) * 1024 * 1024));
  }
  control(peer->link, QStringLiteral("Trans2_FS_00_CallStart"),
          {{"Session", session.toStdString()}, {"Targets", (local + QStringLiteral("/huge.bin")).toStdString()},
           {"RemotePathRoot", (share + QStringLiteral("/inbox")).toStdString()}});
  holdUpload();
  host->bridge.child().stop();
  peer->bridge.child().resume();
  const Json broken = pollUntil([&] { return onBridge(QStringLiteral("RemoteUploadTaskInfo")); }, ended);
  EXPECT_EQ(intOf(broken, "ForceCancel"), 1) << broken.dump();
  EXPECT_EQ(textOf(broken, "Reason"), QStringLiteral("gone"));
  EXPECT_FALSE(QFile::exists(share + QStringLiteral("/inbox/huge.bin")));
}

TEST_F(VantrelTransfer, SendsToAContactOnlyIntoTheAcceptedFolder) {
  const QString local = folder.path() + QStringLiteral("/outbox");
  writeFile(local + QStringLiteral("/report.pdf"), randomBytes(700 * 1024));
  writeFile(local + QStringLiteral("/set/a.txt"), "a");
  writeFile(local + QStringLiteral("/set/b.txt"), "bb");
  const auto prepared = control(peer->link, QStringLiteral("PreparingUpload"),
                                {{"Targets", (local + QStringLiteral("/report.pdf|") + local + QStringLiteral("/set")).toStdString()},
                                 {"LocalRootPath", local.toStdString()}, {"RemoteSaveRootPath", "Z:\\"}});
  ASSERT_TRUE(prepared && prepared->is_array() && prepared->size() == 2);
  EXPECT_EQ(intOf((*prepared)[0], "Size"), 700 * 1024);
  EXPECT_TRUE(valueOf((*prepared)[1], "IsDir").get<bool>());
  EXPECT_EQ(intOf((*prepared)[1], "Size"), 3);

  const QString received = folder.path() + QStringLiteral("/MyReceived");
  const auto item = [](const QString& path, const QString& save, bool isDir) {
    return Json{{"Size", 0}, {"IsDir", isDir}, {"Path", path.toStdString()}, {"PathSave", save.toStdString()}};
  };
  const Json payload = {{"Session", session.toStdString()},
                        {"FileList", Json::array({item(local + QStringLiteral("/report.pdf"), received + QStringLiteral("/report.pdf"), false),
                                                  item(local + QStringLiteral("/set"), received + QStringLiteral("/set"), true),
                                                  item(local + QStringLiteral("/set/a.txt"), folder.path() + QStringLiteral("/evil.txt"), false)})}};
  // The receiver accepted into its folder.
  control(host->link, QStringLiteral("ResetRemoteUploadStatus_FromLocal"), {{"Session", session.toStdString()}});
  accepted = received;
  ASSERT_TRUE(control(peer->link, QStringLiteral("StartRemoteUpload"), payload));
  const Json sent = pollUntil([&] { return onBridge(QStringLiteral("RemoteUploadTaskInfo")); }, ended);
  EXPECT_EQ(intOf(sent, "TaskStatus"), 1) << sent.dump();
  EXPECT_EQ(intOf(sent, "TotalTaskDoneCount"), 3);
  const Json status = pollUntil(
      [&] { return control(host->link, QStringLiteral("RefreshRemoteUploadStatus_FromLocal"), {{"Session", session.toStdString()}}); },
      [](const Json& s) { return s.value("IsFinished", false); });
  EXPECT_TRUE(status.value("IsFinished", false));
  EXPECT_FALSE(status.value("IsCancel", true));
  EXPECT_EQ(intOf(status, "TotalTaskDoneCount"), 3);
  EXPECT_EQ(filesBelow(received), (QStringList{QStringLiteral("report.pdf"), QStringLiteral("set/a.txt"),
                                               QStringLiteral("set/b.txt")}));
  EXPECT_FALSE(QFile::exists(folder.path() + QStringLiteral("/evil.txt")));

  // The receiver cancels: the sender's record says so.
  control(host->link, QStringLiteral("ResetRemoteUploadStatus_FromLocal"), {{"Session", session.toStdString()}});
  {
    QFile huge(local + QStringLiteral("/huge.bin"));
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
    ASSERT_TRUE(huge.resize(qint64(400) * 1024 * 1024));
  }
  control(peer->link, QStringLiteral("StartRemoteUpload"),
          {{"Session", session.toStdString()},
           {"FileList", Json::array({item(local + QStringLiteral("/huge.bin"), received + QStringLiteral("/huge.bin"), false)})}});
  holdUpload();
  const QString cancel =
      host->link.control(QStringLiteral("CancelFileReceive_FromLocal"), {{"Session", session.toStdString()}});
  ASSERT_TRUE(host->link.waitReply(cancel));
  peer->bridge.child().resume();
  const Json stopped = pollUntil([&] { return onBridge(QStringLiteral("RemoteUploadTaskInfo")); }, ended);
  EXPECT_EQ(intOf(stopped, "ForceCancel"), 1) << stopped.dump();
  EXPECT_EQ(textOf(stopped, "Reason"), QStringLiteral("peer-cancel"));
  const auto after = control(host->link, QStringLiteral("RefreshRemoteUploadStatus_FromLocal"), {{"Session", session.toStdString()}});
  ASSERT_TRUE(after);
  EXPECT_TRUE(after->value("IsCancel", false));
  EXPECT_EQ(textOf(*after, "Reason"), QStringLiteral("cancel"));
  EXPECT_FALSE(QFile::exists(received + QStringLiteral("/huge.bin")));
  EXPECT_TRUE(testutil::waitUntil([&] { return filesBelow(received).size() == 3; }))  // its partial file goes too
      << filesBelow(received).join(QLatin1Char(' ')).toStdString();
}

// The peer's bridge without the capabilities that pass file permissions: what
// the test makes unreadable stays so for it, though the test runs as root.
class UnreadableOnTheSender : public VantrelTransfer {
 protected:
  void SetUp() override {
    if (::geteuid() == 0) {
      if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        GTEST_SKIP() << "running as root without setpriv: the sender could read every file";
      peerLauncher = {QStringLiteral("setpriv"), QStringLiteral("--bounding-set"),
                      QStringLiteral("-dac_override,-dac_read_search"), QStringLiteral("--inh-caps=-all"),
                      QStringLiteral("--")};
    }
    VantrelTransfer::SetUp();
  }
};

// A folder the sender may read only in part (a sub-folder and a file it may
// not open, beside a name the receiver keeps for partial files and one that a
// folder takes there), a folder it may not read at all, and a file it may no
// longer read once its upload began: uploaded over the relay and over the
// local-network route, and sent to a contact. What the sender could not read
// is left out, counted and told in the system's words on both sides, never
// counted as sent and never a plain success; the receiver makes no copy of
// the folder that could not be read, and the rest arrives.
TEST_F(UnreadableOnTheSender, WhatTheSenderCannotReadIsLeftOutCountedAndToldOnEveryRoute) {
  const QString mine = folder.path() + QStringLiteral("/mine");
  const QString tree = mine + QStringLiteral("/tree");
  for (int i = 0; i < 3; ++i) {
    writeFile(tree + QStringLiteral("/open/f%1.txt").arg(i), QStringLiteral("f%1").arg(i).toUtf8());
    writeFile(tree + QStringLiteral("/locked/l%1.txt").arg(i), "locked");
  }
  writeFile(tree + QStringLiteral("/secret.txt"), "secret");
  writeFile(tree + QStringLiteral("/b.txt"), "b");
  writeFile(tree + QStringLiteral("/.zkpart-a.txt"), "a");
  writeFile(tree + QStringLiteral("/taken"), "taken");
  writeFile(mine + QStringLiteral("/sealed/s.txt"), "sealed");
  const QString late = mine + QStringLiteral("/late/b-late.txt");
  writeFile(late, "late");
  {
    // Large enough that the upload is still on it when the test holds the sender.
    QFile big(mine + QStringLiteral("/late/a-big.bin"));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    ASSERT_TRUE(big.resize(qint64(128) * 1024 * 1024));
  }
  const auto lock = [](const QString& path, mode_t mode = 0) {
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0);
  };
  for (const char* path : {"/tree/locked", "/tree/secret.txt", "/sealed"}) lock(mine + QLatin1String(path));
  const QString denied = QStringLiteral("Error: Permission denied");
  const QStringList arrived{QStringLiteral("tree/b.txt"), QStringLiteral("tree/open/f0.txt"),
                            QStringLiteral("tree/open/f1.txt"), QStringLiteral("tree/open/f2.txt")};

  // What the send view offers: the bytes that can be read, and what cannot.
  const auto prepared = control(peer->link, QStringLiteral("PreparingUpload"),
                                {{"Targets", (tree + QLatin1Char('|') + mine + QStringLiteral("/sealed")).toStdString()},
                                 {"LocalRootPath", mine.toStdString()}, {"RemoteSaveRootPath", "Z:\\"}});
  ASSERT_TRUE(prepared && prepared->is_array() && prepared->size() == 2);
  EXPECT_EQ(intOf((*prepared)[0], "Size"), 13) << prepared->dump();
  EXPECT_EQ(intOf((*prepared)[0], "Unread"), 2);
  EXPECT_EQ(textOf((*prepared)[0], "UnreadReason"), denied);
  EXPECT_EQ(intOf((*prepared)[1], "Size"), 0);
  EXPECT_EQ(intOf((*prepared)[1], "Unread"), 1);

  const auto upload = [&](const QString& target, const QString& into) {
    return control(peer->link, QStringLiteral("Trans2_FS_00_CallStart"),
                   {{"Session", session.toStdString()}, {"Targets", target.toStdString()},
                    {"RemotePathRoot", into.toStdString()}});
  };
  const auto uploaded = [&] { return pollUntil([&] { return onBridge(QStringLiteral("RemoteUploadTaskInfo")); }, ended); };
  for (const QString& route : {QStringLiteral("0"), QStringLiteral("1")}) {
    SCOPED_TRACE((QStringLiteral("TransLAN ") + route).toStdString());
    transLan = route;
    const QString inbox = share + QStringLiteral("/inbox") + route;
    QDir().mkpath(inbox + QStringLiteral("/tree/taken"));
    upload(tree, inbox);
    const Json up = uploaded();
    EXPECT_EQ(intOf(up, "TaskStatus"), 1) << up.dump();
    EXPECT_EQ(intOf(up, "TotalTaskCount"), 6);
    EXPECT_EQ(intOf(up, "TotalTaskDoneCount"), 4);
    EXPECT_EQ(intOf(up, "Unread"), 2);
    EXPECT_EQ(textOf(up, "UnreadReason"), denied);
    EXPECT_EQ(textOf(up, "Reason"), QStringLiteral("refused"));
    EXPECT_TRUE(textOf(up, "WorkingSpeed").contains(QStringLiteral(", 2 not transferred (")) &&
                textOf(up, "WorkingSpeed").endsWith(QStringLiteral(", 2 could not be read on this computer")))
        << up.dump();
    EXPECT_EQ(filesBelow(inbox), arrived);
    EXPECT_FALSE(QFileInfo::exists(inbox + QStringLiteral("/tree/locked")));

    // Nothing of it can be read: a failure, in the system's words, which the
    // answer to the start already gives the upload sheet.
    const auto refused = upload(mine + QStringLiteral("/sealed"), inbox);
    ASSERT_TRUE(refused);
    EXPECT_EQ(intOf(*refused, "ValidInfo"), 3) << refused->dump();
    EXPECT_EQ(textOf(*refused, "Reason"), QStringLiteral("source"));
    EXPECT_EQ(textOf(*refused, "UnreadReason"), denied);
    const Json sealed = uploaded();
    EXPECT_EQ(intOf(sealed, "ForceCancel"), 1) << sealed.dump();
    EXPECT_EQ(textOf(sealed, "Reason"), QStringLiteral("source"));
    EXPECT_EQ(intOf(sealed, "Unread"), 1);
    EXPECT_EQ(textOf(sealed, "UnreadReason"), denied);
    EXPECT_EQ(textOf(sealed, "WorkingSpeed"), QStringLiteral("this computer may not read it: ") + denied);
    EXPECT_FALSE(QFileInfo::exists(inbox + QStringLiteral("/sealed")));

    // A file that may no longer be read when its turn comes is left out the
    // same way, and the upload goes on.
    lock(late, 0644);
    upload(mine + QStringLiteral("/late"), inbox);
    holdUpload();
    lock(late);
    peer->bridge.child().resume();
    const Json skipped = uploaded();
    EXPECT_EQ(intOf(skipped, "TaskStatus"), 1) << skipped.dump();
    EXPECT_EQ(intOf(skipped, "TotalTaskDoneCount"), 1);
    EXPECT_EQ(intOf(skipped, "TotalTaskCount"), 1);
    EXPECT_EQ(intOf(skipped, "Unread"), 1);
    EXPECT_EQ(textOf(skipped, "UnreadReason"), denied);
    EXPECT_EQ(textOf(skipped, "Reason"), QString());
    EXPECT_EQ(filesBelow(inbox + QStringLiteral("/late")), QStringList{QStringLiteral("a-big.bin")});
  }
  EXPECT_EQ(peer->bridge.child().output().count("transfer over the local network"), 2);

  // Sent to a contact: the receiver's status tells the same.
  const QString received = folder.path() + QStringLiteral("/MyReceived");
  QDir().mkpath(received + QStringLiteral("/tree/taken"));
  control(host->link, QStringLiteral("ResetRemoteUploadStatus_FromLocal"), {{"Session", session.toStdString()}});
  accepted = received;
  ASSERT_TRUE(control(peer->link, QStringLiteral("StartRemoteUpload"),
                      {{"Session", session.toStdString()},
                       {"FileList", Json::array({{{"Size", 0}, {"IsDir", true}, {"Path", tree.toStdString()},
                                                  {"PathSave", (received + QStringLiteral("/tree")).toStdString()}}})}}));
  const Json sent = uploaded();
  EXPECT_EQ(intOf(sent, "TaskStatus"), 1) << sent.dump();
  EXPECT_EQ(intOf(sent, "TotalTaskDoneCount"), 4);
  EXPECT_EQ(intOf(sent, "Unread"), 2);
  EXPECT_EQ(textOf(sent, "UnreadReason"), denied);
  EXPECT_EQ(textOf(sent, "Reason"), QStringLiteral("refused"));
  const Json status = pollUntil(
      [&] { return control(host->link, QStringLiteral("RefreshRemoteUploadStatus_FromLocal"), {{"Session", session.toStdString()}}); },
      [](const Json& s) { return s.value("IsFinished", false) || s.value("IsCancel", false); });
  EXPECT_TRUE(status.value("IsFinished", false)) << status.dump();
  EXPECT_EQ(intOf(status, "TotalCount"), 6);
  EXPECT_EQ(intOf(status, "TotalTaskDoneCount"), 4);
  EXPECT_EQ(intOf(status, "Unread"), 2);
  EXPECT_EQ(textOf(status, "UnreadReason"), denied);
  EXPECT_EQ(textOf(status, "Reason"), QStringLiteral("refused"));
  EXPECT_EQ(filesBelow(received), arrived);
  EXPECT_FALSE(QFileInfo::exists(received + QStringLiteral("/tree/locked")));

  // A folder it may not read at all, sent once the receiver accepted: no
  // offer can follow, and the receiver, waiting for one, hears why instead.
  control(host->link, QStringLiteral("ResetRemoteUploadStatus_FromLocal"), {{"Session", session.toStdString()}});
  ASSERT_TRUE(control(peer->link, QStringLiteral("StartRemoteUpload"),
                      {{"Session", session.toStdString()},
                       {"FileList", Json::array({{{"Size", 0}, {"IsDir", true},
                                                  {"Path", (mine + QStringLiteral("/sealed")).toStdString()},
                                                  {"PathSave", (received + QStringLiteral("/sealed")).toStdString()}}})}}));
  EXPECT_EQ(textOf(uploaded(), "Reason"), QStringLiteral("source"));
  const Json unsent = pollUntil(
      [&] { return control(host->link, QStringLiteral("RefreshRemoteUploadStatus_FromLocal"), {{"Session", session.toStdString()}}); },
      [](const Json& s) { return s.value("IsFinished", false) || s.value("IsCancel", false); });
  EXPECT_TRUE(unsent.value("IsCancel", false)) << unsent.dump();
  EXPECT_EQ(textOf(unsent, "Reason"), QStringLiteral("source"));
  EXPECT_EQ(intOf(unsent, "Unread"), 1);
  EXPECT_EQ(textOf(unsent, "UnreadReason"), denied);
  EXPECT_FALSE(QFileInfo::exists(received + QStringLiteral("/sealed")));
}

TEST_F(VantrelTransfer, AFileWhoseNameIsTakenIsSavedUnderAFreeNumberUnlessOverwritingWasAsked) {
  const QString local = folder.path() + QStringLiteral("/mine");
  const QByteArray old = randomBytes(3 * 1024 * 1024 + 7);
  writeFile(local + QStringLiteral("/mid20.bin"), "twelve bytes");
  writeFile(share + QStringLiteral("/inbox/mid20.bin"), old);
  const auto upload = [&](std::optional<bool> overwrite) {
    Json request = {{"Session", session.toStdString()}, {"Targets", (local + QStringLiteral("/mid20.bin")).toStdString()},
                    {"RemotePathRoot", (share + QStringLiteral("/inbox")).toStdString()}};
    if (overwrite) request["Overwrite"] = *overwrite;
    control(peer->link, QStringLiteral("Trans2_FS_00_CallStart"), request);
    return pollUntil([&] { return onBridge(QStringLiteral("RemoteUploadTaskInfo")); }, ended);
  };
  // The upload sheet's switch off: the host's file stays, the upload goes beside it.
  const Json kept = upload(false);
  EXPECT_EQ(intOf(kept, "TaskStatus"), 1) << kept.dump();
  EXPECT_EQ(intOf(kept, "Renamed"), 1);
  EXPECT_EQ(readFile(share + QStringLiteral("/inbox/mid20.bin")), old);
  EXPECT_EQ(readFile(share + QStringLiteral("/inbox/mid20 (1).bin")), QByteArray("twelve bytes"));
  // A client that does not say replaces, as before.
  const Json replaced = upload(std::nullopt);
  EXPECT_EQ(intOf(replaced, "Renamed"), 0) << replaced.dump();
  EXPECT_EQ(readFile(share + QStringLiteral("/inbox/mid20.bin")), QByteArray("twelve bytes"));

  // A contact's send into a folder holding the name, the receive panel's switch off.
  const QString received = folder.path() + QStringLiteral("/MyReceived");
  const QByteArray picture = randomBytes(600 * 1024);
  writeFile(received + QStringLiteral("/photo1.jpg"), picture);
  writeFile(local + QStringLiteral("/photo1.jpg"), "another picture");
  control(host->link, QStringLiteral("ResetRemoteUploadStatus_FromLocal"), {{"Session", session.toStdString()}});
  accepted = received;
  receiveOverwrite = false;
  control(peer->link, QStringLiteral("StartRemoteUpload"),
          {{"Session", session.toStdString()},
           {"FileList", Json::array({Json{{"Size", 0}, {"IsDir", false}, {"Path", (local + QStringLiteral("/photo1.jpg")).toStdString()},
                                          {"PathSave", (received + QStringLiteral("/photo1.jpg")).toStdString()}}})}});
  const Json status = pollUntil(
      [&] { return control(host->link, QStringLiteral("RefreshRemoteUploadStatus_FromLocal"), {{"Session", session.toStdString()}}); },
      [](const Json& s) { return s.value("IsFinished", false) || s.value("IsCancel", false); });
  EXPECT_TRUE(status.value("IsFinished", false)) << status.dump();
  EXPECT_EQ(intOf(status, "Renamed"), 1);
  EXPECT_EQ(readFile(received + QStringLiteral("/photo1.jpg")), picture);
  EXPECT_EQ(readFile(received + QStringLiteral("/photo1 (1).jpg")), QByteArray("another picture"));

  // A download never replaces a local file; two at once take two free names.
  writeFile(share + QStringLiteral("/report.txt"), "from the host");
  const QString save = folder.path() + QStringLiteral("/Downloads");
  writeFile(save + QStringLiteral("/report.txt"), "mine");
  download(share + QStringLiteral("/report.txt"), save);
  const Json one = downloadPoll(ended);
  EXPECT_EQ(intOf(one, "TaskStatus"), 1) << one.dump();
  EXPECT_EQ(intOf(one, "Renamed"), 1);
  EXPECT_EQ(readFile(save + QStringLiteral("/report.txt")), QByteArray("mine"));
  EXPECT_EQ(readFile(save + QStringLiteral("/report (1).txt")), QByteArray("from the host"));

  const QByteArray big = randomBytes(4 * 1024 * 1024 + 1);
  writeFile(share + QStringLiteral("/big.bin"), big);
  const QString both = folder.path() + QStringLiteral("/Both");
  writeFile(both + QStringLiteral("/big.bin"), "mine");
  download(share + QStringLiteral("/big.bin"), both);
  download(share + QStringLiteral("/big.bin"), both);
  const QStringList expected{QStringLiteral("big (1).bin"), QStringLiteral("big (2).bin"), QStringLiteral("big.bin")};
  EXPECT_TRUE(testutil::waitUntil([&] { return filesBelow(both) == expected; }, 30s))
      << filesBelow(both).join(QLatin1Char(' ')).toStdString();
  EXPECT_EQ(readFile(both + QStringLiteral("/big.bin")), QByteArray("mine"));
  EXPECT_EQ(readFile(both + QStringLiteral("/big (1).bin")), big);
  EXPECT_EQ(readFile(both + QStringLiteral("/big (2).bin")), big);
}

namespace {

// A sparse file: large, yet quick to make.
void makeSparse(const QString& path, qint64 size) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  ASSERT_TRUE(file.resize(size));
}

qint64 peakMemoryKb(qint64 pid) {
  QFile status(QStringLiteral("/proc/%1/status").arg(pid));
  if (!status.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ').value(0).toLongLong();
  return -1;
}

}  // namespace

// The same causes end a transfer with the same reason over the relay and
// over the local-network route ("TransLAN" "1").
TEST_F(VantrelTransfer, ASourceFileCutGrownOrRewrittenWhileSentFailsWithAReasonAndLeavesNothing) {
  const qint64 size = qint64(1024) * 1024 * 1024;
  const QList<QPair<QString, std::function<void(QFile&)>>> changes = {
      {QStringLiteral("shrank"), [](QFile& f) { f.resize(10 * 1024 * 1024); }},
      {QStringLiteral("grew"), [size](QFile& f) { f.resize(size + 1); }},
      {QStringLiteral("changed"), [](QFile& f) { f.seek(0), f.write("rewritten"); }},
      // At its head (already sent) and near its tail, its modification time
      // then put back to the nanosecond.
      {QStringLiteral("changed"),
       [](QFile& f) {
         struct stat before {};
         ASSERT_EQ(::fstat(f.handle(), &before), 0);
         const QByteArray block(64 * 1024, 'r');
         f.seek(0), f.write(block), f.seek(f.size() - 2 * block.size()), f.write(block), f.flush();
         const timespec times[2] = {before.st_atim, before.st_mtim};
         ASSERT_EQ(::futimens(f.handle(), times), 0);
       }},
  };
  auto change = [](const QString& path, const std::function<void(QFile&)>& how) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    how(file);
  };
  auto endsForTheSource = [](const Json& last, const QString& word) {
    EXPECT_EQ(intOf(last, "ForceCancel"), 1) << last.dump();
    EXPECT_EQ(intOf(last, "TaskStatus"), 0);
    EXPECT_TRUE(textOf(last, "WorkingSpeed").contains(QStringLiteral("moving.bin: the file ") + word)) << last.dump();
    EXPECT_EQ(textOf(last, "Reason"), QStringLiteral("source"));
  };
  const QString inbox = share + QStringLiteral("/inbox");
  QDir().mkpath(inbox);
  // Uploads: the file shrinks, or is rewritten with its time put back.
  const QList<int> uploadChanges = {0, 3};
  for (const QString& route : {QStringLiteral("0"), QStringLiteral("1")}) {
    transLan = route;
    const qsizetype routed = peer->bridge.child().output().count("transfer over the local network");
    for (int c = 0; c < changes.size(); ++c) {
      const auto& [word, how] = changes[c];
      SCOPED_TRACE((QStringLiteral("TransLAN ") + route + QStringLiteral(" download, change %1").arg(c)).toStdString());
      const QString source = share + QStringLiteral("/moving.bin");
      makeSparse(source, size);
      const QString save = folder.path() + QStringLiteral("/save-%1-%2").arg(route).arg(c);
      download(source, save);
      ASSERT_EQ(intOf(holdDownload(), "TaskStatus"), 0);
      change(source, how);
      host->bridge.child().resume();
      endsForTheSource(downloadPoll(ended), word);
      // Nothing under the final name, and no partial file either.
      EXPECT_TRUE(testutil::waitUntil([&] { return filesBelow(save).isEmpty(); }))
          << filesBelow(save).join(QLatin1Char(' ')).toStdString();
      QFile::remove(source);
    }
    for (const int c : uploadChanges) {
      SCOPED_TRACE((QStringLiteral("TransLAN ") + route + QStringLiteral(" upload, change %1").arg(c)).toStdString());
      const QString local = folder.path() + QStringLiteral("/up-%1-%2/moving.bin").arg(route).arg(c);
      QDir().mkpath(QFileInfo(local).path());
      makeSparse(local, size);
      control(peer->link, QStringLiteral("Trans2_FS_00_CallStart"),
              {{"Session", session.toStdString()}, {"Targets", local.toStdString()}, {"RemotePathRoot", inbox.toStdString()}});
      holdUpload();
      change(local, changes[c].second);
      peer->bridge.child().resume();
      endsForTheSource(pollUntil([&] { return onBridge(QStringLiteral("RemoteUploadTaskInfo")); }, ended),
                       changes[c].first);
      EXPECT_TRUE(testutil::waitUntil([&] { return filesBelow(inbox).isEmpty(); }))
          << filesBelow(inbox).join(QLatin1Char(' ')).toStdString();
    }
    // Each of those took the route asked for.
    EXPECT_EQ(peer->bridge.child().output().count("transfer over the local network") - routed,
              route == QLatin1String("1") ? changes.size() + uploadChanges.size() : 0);
  }
}

// Either way, over the relay and over the local-network route, the side
// that cannot write says so: the transfer ends with "disk", never "gone".
TEST_F(VantrelTransfer, ADiskThatFillsUpEndsTheTransferWithThatReasonEitherWay) {
  // Each receiving bridge may write files of at most 1 MiB: its disk is "full".
  const rlimit small{1024 * 1024, 1024 * 1024};
  for (Signed* side : {peer.get(), host.get()})
    if (::prlimit(pid_t(side->bridge.child().process().processId()), RLIMIT_FSIZE, &small, nullptr) != 0)
      GTEST_SKIP() << "cannot limit the bridge's file size here";
  writeFile(share + QStringLiteral("/big300.bin"), randomBytes(3 * 1024 * 1024));
  // A folder whose sixth file does not fit, with uploads of the others on
  // their way around it.
  const QString batch = folder.path() + QStringLiteral("/mine/batch");
  for (int i = 0; i < 12; ++i)
    writeFile(batch + QStringLiteral("/f%1").arg(i, 2, 10, QLatin1Char('0')),
              randomBytes(i == 5 ? 3 * 1024 * 1024 : 256 * 1024 + i));
  const QString inbox = share + QStringLiteral("/inbox");
  QDir().mkpath(inbox);
  // Over the relay, then over the local-network route.
  for (const QString& route : {QStringLiteral("0"), QStringLiteral("1")}) {
    SCOPED_TRACE((QStringLiteral("TransLAN ") + route).toStdString());
    transLan = route;
    const QString save = folder.path() + QStringLiteral("/Downloads") + route;
    download(share + QStringLiteral("/big300.bin"), save);
    const Json last = downloadPoll(ended);
    EXPECT_EQ(intOf(last, "ForceCancel"), 1) << last.dump();
    EXPECT_EQ(textOf(last, "Reason"), QStringLiteral("disk"));
    EXPECT_TRUE(textOf(last, "WorkingSpeed").startsWith(QStringLiteral("cannot write big300.bin"))) << last.dump();
    EXPECT_TRUE(testutil::waitUntil([&] { return filesBelow(save).isEmpty(); }))
        << filesBelow(save).join(QLatin1Char(' ')).toStdString();
    EXPECT_TRUE(peer->bridge.child().process().state() == QProcess::Running);

    control(peer->link, QStringLiteral("Trans2_FS_00_CallStart"),
            {{"Session", session.toStdString()}, {"Targets", batch.toStdString()}, {"RemotePathRoot", inbox.toStdString()}});
    const Json up = pollUntil([&] { return onBridge(QStringLiteral("RemoteUploadTaskInfo")); }, ended);
    EXPECT_EQ(intOf(up, "ForceCancel"), 1) << up.dump();
    EXPECT_EQ(textOf(up, "Reason"), QStringLiteral("disk")) << up.dump();
    // In the cause's words, also for the uploads on their way when the disk filled.
    EXPECT_FALSE(textOf(up, "WorkingSpeed").contains(QStringLiteral("the transfer ended"))) << up.dump();
    // The files that fit may stay; the one that did not, and partial files, do not.
    EXPECT_TRUE(testutil::waitUntil([&] {
      const QString kept = filesBelow(inbox).join(QLatin1Char(' '));
      return !kept.contains(QStringLiteral("f05")) && !kept.contains(QStringLiteral(".zkpart"));
    })) << filesBelow(inbox).join(QLatin1Char(' ')).toStdString();
    // The uploader counts what the host kept.
    const Json counted = onBridge(QStringLiteral("RemoteUploadTaskInfo")).value_or(Json());
    EXPECT_EQ(intOf(counted, "TotalTaskDoneCount"), filesBelow(inbox).size()) << counted.dump();
    EXPECT_TRUE(host->bridge.child().process().state() == QProcess::Running);
    QDir(inbox).removeRecursively();
    QDir().mkpath(inbox);
  }
  EXPECT_EQ(peer->bridge.child().output().count("transfer over the local network"), 2);
}

// An upload whose file is in place over the local-network route has
// succeeded, whatever the relay does meanwhile: here it stops answering (the
// service held still, as a frozen machine would) until the upload has ended.
TEST_F(VantrelTransfer, AnUploadWholeOverTheLocalRouteSucceedsWhileTheRelayIsStopped) {
  transLan = QStringLiteral("1");
  const QByteArray bytes = randomBytes(64 * 1024 * 1024);
  const QString mine = folder.path() + QStringLiteral("/mine/large.bin");
  writeFile(mine, bytes);
  const QString inbox = share + QStringLiteral("/inbox");
  QDir().mkpath(inbox);
  control(peer->link, QStringLiteral("Trans2_FS_00_CallStart"),
          {{"Session", session.toStdString()}, {"Targets", mine.toStdString()}, {"RemotePathRoot", inbox.toStdString()}});
  holdUpload();
  ASSERT_TRUE(service->child().pause());
  ASSERT_TRUE(peer->bridge.child().resume());
  // Longer than the relay takes to drop a silent connection (three pings).
  const Json up = pollUntil([&] { return onBridge(QStringLiteral("RemoteUploadTaskInfo")); }, ended, 60s);
  EXPECT_TRUE(service->child().resume());
  EXPECT_EQ(intOf(up, "TaskStatus"), 1) << up.dump();
  EXPECT_EQ(intOf(up, "TotalTaskDoneCount"), 1);
  EXPECT_EQ(readFile(inbox + QStringLiteral("/large.bin")), bytes);
  EXPECT_EQ(peer->bridge.child().output().count("transfer over the local network"), 1);
}

// The service dies in the middle of an upload of many files, over the relay
// and over the local-network route: the uploader never counts more files than
// the host kept, and says that its count may be short.
TEST_F(VantrelTransfer, AnUploadBrokenOffByTheServiceCountsNoFileTheHostDoesNotHold) {
  const QString many = folder.path() + QStringLiteral("/mine/many");
  makeSmallFiles(many, 3000);
  for (const QString& route : {QStringLiteral("0"), QStringLiteral("1")}) {
    SCOPED_TRACE((QStringLiteral("TransLAN ") + route).toStdString());
    if (route == QLatin1String("1")) {
      // Signed in again after the service's restart.
      peer.reset();
      host.reset();
      host = signIn(QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"));
      peer = signIn(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"));
      ASSERT_TRUE(host && peer);
      host->link.serve([this](const QString& code, const Json& msg) { return hostAnswer(code, msg); });
      ASSERT_TRUE(openSession());
    }
    transLan = route;
    const QString into = share + QStringLiteral("/kill") + route;
    QDir().mkpath(into);
    control(peer->link, QStringLiteral("Trans2_FS_00_CallStart"),
            {{"Session", session.toStdString()}, {"Targets", many.toStdString()}, {"RemotePathRoot", into.toStdString()}});
    const Json going = pollUntil([&] { return onBridge(QStringLiteral("RemoteUploadTaskInfo")); },
                                 [](const Json& p) { return intOf(p, "TotalTaskDoneCount") >= 200 || ended(p); });
    ASSERT_EQ(intOf(going, "TaskStatus"), 0) << "finished before the test could act on it: " << going.dump();
    ASSERT_TRUE(service->restart());
    const Json broken = pollUntil([&] { return onBridge(QStringLiteral("RemoteUploadTaskInfo")); }, ended);
    EXPECT_EQ(intOf(broken, "ForceCancel"), 1) << broken.dump();
    EXPECT_TRUE(textOf(broken, "WorkingSpeed").endsWith(QStringLiteral(", the host's last count did not arrive")))
        << broken.dump();
    // What the host holds once it has ended its side (its partial files gone).
    QStringList kept;
    EXPECT_TRUE(testutil::waitUntil([&] {
      kept = filesBelow(into);
      return !kept.join(QLatin1Char(' ')).contains(QLatin1String(".zkpart-")) &&
             intOf(broken, "TotalTaskDoneCount") <= kept.size();
    }));
    EXPECT_LE(intOf(broken, "TotalTaskDoneCount"), kept.size()) << broken.dump();
  }
  EXPECT_EQ(peer->bridge.child().output().count("transfer over the local network"), 1);
}

TEST_F(VantrelTransfer, ABridgeKilledMidTransferLeavesNothingUnderTheFinalNameAndItsPartialGoesLater) {
  makeSparse(share + QStringLiteral("/huge.bin"), qint64(2) * 1024 * 1024 * 1024);
  writeFile(share + QStringLiteral("/small.txt"), "small");
  const QString save = folder.path() + QStringLiteral("/Downloads");

  // The receiving bridge dies: its partial file stays behind, never the file.
  download(share + QStringLiteral("/huge.bin"), save);
  ASSERT_EQ(intOf(holdDownload(), "TaskStatus"), 0);
  peer->bridge.child().kill();
  host->bridge.child().resume();
  const QStringList left = filesBelow(save);
  ASSERT_EQ(left.size(), 1) << left.join(QLatin1Char(' ')).toStdString();
  EXPECT_TRUE(left[0].startsWith(QStringLiteral(".zkpart-")));
  // It was written down in the bridge's data folder, which the next bridge of
  // this machine reads (here: the same folder given to the new bridge).
  const QString journals = QStringLiteral("/Documents/Kelvor/bridge/partials");
  const QDir oldJournals(peer->bridge.child().home() + journals);
  const QStringList written = oldJournals.entryList({QStringLiteral("partials-*.journal")}, QDir::Files);
  ASSERT_EQ(written.size(), 1);
  const QByteArray journal = readFile(oldJournals.filePath(written[0]));
  EXPECT_TRUE(journal.contains(left[0].toUtf8()));
  // Signed in again, the next download into that folder removes it.
  peer = signIn(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"));
  ASSERT_TRUE(peer);
  QDir().mkpath(peer->bridge.child().home() + journals);
  writeFile(peer->bridge.child().home() + journals + QLatin1Char('/') + written[0], journal);
  ASSERT_TRUE(openSession());
  download(share + QStringLiteral("/small.txt"), save);
  EXPECT_EQ(intOf(downloadPoll(ended), "TaskStatus"), 1);
  EXPECT_TRUE(testutil::waitUntil([&] { return filesBelow(save) == QStringList{QStringLiteral("small.txt")}; }))
      << filesBelow(save).join(QLatin1Char(' ')).toStdString();

  // The sending bridge dies, over the relay or the local-network route: the
  // transfer fails and nothing stays.
  QFile::remove(save + QStringLiteral("/small.txt"));
  for (const QString& route : {QStringLiteral("0"), QStringLiteral("1")}) {
    SCOPED_TRACE((QStringLiteral("TransLAN ") + route).toStdString());
    transLan = route;
    if (!host) {
      host = signIn(QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"));
      ASSERT_TRUE(host);
      host->link.serve([this](const QString& code, const Json& msg) { return hostAnswer(code, msg); });
      ASSERT_TRUE(spinUntil([&] { return host->bridge.child().output().contains("relay ready"); }));
      ASSERT_TRUE(openSession());
    }
    download(share + QStringLiteral("/huge.bin"), save);
    ASSERT_EQ(intOf(holdDownload(), "TaskStatus"), 0);
    host->bridge.child().kill();
    const Json broken = downloadPoll(ended);
    EXPECT_EQ(intOf(broken, "ForceCancel"), 1) << broken.dump();
    EXPECT_EQ(textOf(broken, "Reason"), QStringLiteral("gone"));
    EXPECT_TRUE(testutil::waitUntil([&] { return filesBelow(save).isEmpty(); }))
        << filesBelow(save).join(QLatin1Char(' ')).toStdString();
    host.reset();
  }
  EXPECT_EQ(peer->bridge.child().output().count("transfer over the local network"), 1);
}

TEST_F(VantrelTransfer, DownloadsOfAPrivateTreeAtOnceRevealNothingAndAreNeverWalked) {
  // A big tree outside the share, and a single private file.
  const QString tree = folder.path() + QStringLiteral("/private/tree");
  for (int d = 0; d < 20; ++d) {
    QDir().mkpath(tree + QStringLiteral("/d%1").arg(d));
    for (int f = 0; f < 100; ++f) {
      QFile file(tree + QStringLiteral("/d%1/f%2").arg(d).arg(f));
      ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
  }
  writeFile(folder.path() + QStringLiteral("/private/one.txt"), "one");
  const QString save = folder.path() + QStringLiteral("/Downloads");
  for (int i = 0; i < 4; ++i) download(tree, save + QString::number(i));
  const Json flood = downloadPoll(ended);
  download(folder.path() + QStringLiteral("/private/one.txt"), save);
  const Json single = downloadPoll(ended);
  // Each target was checked once, and nothing below it.
  EXPECT_EQ(hostCodes.count(QStringLiteral("fileDownloadCheck")), 5);
  // A tree of 2,000 files and a single file are refused alike.
  EXPECT_EQ(intOf(flood, "ForceCancel"), 1) << flood.dump();
  EXPECT_EQ(flood, single);
  EXPECT_EQ(textOf(single, "WorkingSpeed"), QStringLiteral("the host refused the download"));
  EXPECT_EQ(textOf(single, "HostReason"), QString());  // a refusal gives no words
  // A file the host's client could not look at: its words reach the downloader.
  writeFile(share + QStringLiteral("/locked.txt"), "x");
  download(share + QStringLiteral("/locked.txt"), save);
  const Json failed = downloadPoll([](const Json& p) { return ended(p) && !textOf(p, "HostReason").isEmpty(); });
  EXPECT_EQ(textOf(failed, "Reason"), QStringLiteral("refused")) << failed.dump();
  EXPECT_EQ(textOf(failed, "HostReason"), QStringLiteral("Error: Permission denied")) << failed.dump();
  if (testutil::kMemoryLimitsApply) { EXPECT_LT(peakMemoryKb(host->bridge.child().process().processId()), 200 * 1024); }
}
