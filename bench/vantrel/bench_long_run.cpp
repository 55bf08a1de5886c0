// A long run of listings, downloads and uploads between real processes on
// loopback, watching whether anything grows: the account service, the host's
// bridge with its real client `zarkelo` (offscreen, Ann signed in, two shares:
// one over the relay only, one that allows the local-network route on
// 127.0.0.1) and the peer's bridge, whose client is this process.
//
// Runs ZARKELO_BENCH_MINUTES (default 30). The peer signs in anew for every
// round, as a user who comes back does: the sessions of the round before end
// on both bridges. Each round also holds a few short sessions that download
// one folder and end. About every minute and at the end it prints each
// process's resident memory (VmRSS), open descriptors and threads, and the
// idle floor (the least resident memory seen between rounds in that minute);
// at the end the slope of the second half (least squares, per 10 minutes) and
// how many transfers or listings failed (each copy is compared byte for byte).
// Ctrl-C ends the run early, reported and cleaned up.
//
// With ZARKELO_BENCH_SESSIONS=N it runs N such short sessions instead, each
// downloading a folder of ZARKELO_BENCH_FILES files (default 300), and prints
// the bridges' idle floor every 25 sessions and its growth per 1,000 sessions.
#include "support/peer_transfers.h"

#include "e2e_client.h"
#include "vantrel_harness.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <vector>

using namespace vantreltest;
using benchsupport::sameTree;

namespace {

constexpr qint64 kKiB = 1024;
volatile std::sig_atomic_t interrupted = 0;
const std::function<bool()> stop = [] { return interrupted != 0; };

// ---- what each process holds ----------------------------------------------------

struct Sample {
  double minute = 0;
  double rssMiB = 0;
  double fds = 0;
  double threads = 0;
};

Sample sampleOf(qint64 pid, double minute) {
  Sample s;
  s.minute = minute;
  QFile status(QStringLiteral("/proc/%1/status").arg(pid));
  if (pid > 0 && status.open(QIODevice::ReadOnly)) {
    for (const QByteArray& line : status.readAll().split('\n')) {
      const QList<QByteArray> parts = line.simplified().split(' ');
      if (parts.size() < 2) continue;
      if (parts[0] == "VmRSS:") s.rssMiB = parts[1].toDouble() / 1024.0;
      if (parts[0] == "Threads:") s.threads = parts[1].toDouble();
    }
  }
  s.fds = QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::Files | QDir::System | QDir::NoDotAndDotDot).size();
  return s;
}

// Least-squares slope of `value` over the samples, per 10 minutes.
double slopePerTen(const std::vector<Sample>& samples, double Sample::*value) {
  const double n = double(samples.size());
  if (n < 2) return 0;
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (const Sample& s : samples) {
    sx += s.minute;
    sy += s.*value;
    sxx += s.minute * s.minute;
    sxy += s.minute * (s.*value);
  }
  const double d = n * sxx - sx * sx;
  return d == 0 ? 0 : 10.0 * (n * sxy - sx * sy) / d;
}

struct Watched {
  const char* name;
  std::function<qint64()> pid;
  std::vector<Sample> samples;
  // The least resident memory since the last printed line, and those printed
  // ("rssMiB" the floor): taken between rounds, when no transfer is under way.
  double floor = 1e12;
  std::vector<Sample> floors = {};
};

// ---- the files moved ------------------------------------------------------------

bool writeRandom(const QString& path, qint64 bytes) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return false;
  QByteArray block(int(std::max<qint64>(bytes, 4)), Qt::Uninitialized);
  QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
  return file.write(block.constData(), bytes) == bytes;
}

// The items of one share (and of the peer's own folder it uploads from):
// a few small files, a folder of many small ones, and a few MiB files.
bool makeItems(const QString& dir) {
  for (int i = 0; i < 6; ++i)
    if (!writeRandom(dir + QStringLiteral("/note%1.txt").arg(i), 1 + i * 7 * kKiB)) return false;
  for (int i = 0; i < 120; ++i)
    if (!writeRandom(dir + QStringLiteral("/many/sub%1/f%2.bin").arg(i % 4).arg(i), 512 + i * 97)) return false;
  for (int i = 0; i < 3; ++i)
    if (!writeRandom(dir + QStringLiteral("/big%1.bin").arg(i), (2 + i) * 1024 * kKiB + i)) return false;
  return QDir().mkpath(dir + QStringLiteral("/inbox"));
}

const QStringList kItems = {QStringLiteral("note0.txt"), QStringLiteral("note5.txt"), QStringLiteral("many"),
                            QStringLiteral("big0.bin"),  QStringLiteral("big2.bin")};

// ---- the run --------------------------------------------------------------------

struct LongRun {
  QTemporaryDir folder{QDir::tempPath() + QStringLiteral("/zarkelo-longrun-XXXXXX")};
  Service service;
  qint64 annId = 0;
  BridgeProcess hostBridge, peerBridge;
  Child hostClient;
  ClientLink peer;
  QString session;
  int done = 0, failed = 0, listings = 0, listingFailures = 0, round = 0;

  QString shareDir(bool lan) const { return folder.path() + (lan ? QStringLiteral("/lan") : QStringLiteral("/relay")); }
  QString peerDir() const { return folder.path() + QStringLiteral("/peer"); }

  bool start() {
    if (!folder.isValid() || !makeItems(shareDir(false)) || !makeItems(shareDir(true)) || !makeItems(peerDir()))
      return false;
    if (!service.start() || !service.addAnnAndBob(&annId) || !hostBridge.start(&service, "secret-a")) return false;
    for (const bool lan : {false, true}) {
      SharingObj share = e2eclient::passOneShare(lan ? QStringLiteral("Lan") : QStringLiteral("Relay"), shareDir(lan));
      share.isdownload = true;
      share.isupload = true;
      share.isTranLAN = lan;
      if (!e2eclient::seedShare(hostClient.home(), annId, QStringLiteral("ann-host"), share)) return false;
    }
    if (!e2eclient::startSignedInClient(hostClient, service, hostBridge, QStringLiteral("secret-a"))) {
      std::fprintf(stderr, "host client did not sign in:\n%s\n", hostClient.output().constData());
      return false;
    }
    return peerBridge.start(&service, "secret-b") && signInAgain();
  }
  QString bobToken;
  // Runs between sessions, when no transfer is under way.
  std::function<void()> idle = [] {};

  // The peer's client signs in anew: its bridge takes a new relay connection,
  // and every session of the last one ends on both bridges.
  bool signInAgain() {
    peer.close();
    if (!peer.open(peerBridge.port(), "secret-b")) return false;
    const auto bob = peer.login(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"), 20s);
    return bob && vantrel::intOf(*bob, "Result") == 1 && (bobToken = vantrel::textOf(*bob, "Token"), true);
  }

  // A short session as a user holds one: signed in anew, one folder of the
  // relay share down (checked, then removed), and the session ends with the
  // next sign-in.
  bool shortSession(const QString& item) {
    if (!signInAgain() || !open(false)) {
      ++failed;
      std::printf("  failed: no short session\n");
      return false;
    }
    const QString save = folder.path() + QStringLiteral("/short%1").arg(++round);
    QDir().mkpath(save);
    const QString from = shareDir(false) + QLatin1Char('/') + item;
    const QString down = benchsupport::downloadThrough(peer, session, from, save, stop);
    count(down, sameTree(from, save + QLatin1Char('/') + item, true), "download", item, false);
    QDir(save).removeRecursively();
    return true;
  }

  // A session to one of the shares, its access granted; false when the host does not answer.
  bool open(bool lan) {
    const char* tag = lan ? "lan" : "relay";
    for (int attempt = 0; attempt < 20 && !interrupted; ++attempt) {
      peer.inbox().clear();
      peer.send(QStringLiteral("ClientInit"), {{"Id_user", bobToken.toStdString()},
                                               {"Hostname", "ann-host"}, {"Hosttag", tag}, {"Hostpassword", ""}});
      const auto opened = peer.waitForCode(QStringLiteral("P2PCLIENT"), 10s);
      if (!opened || vantrel::textOf(opened->data, "Type") != QLatin1String("GetShareHost6Client")) continue;
      const Json msg = vantrel::valueOf(opened->data, "Msg");
      session = vantrel::textOf(msg, "ClientID1") + QLatin1Char('|') + vantrel::textOf(msg, "ClientID2");
      const auto info = peer.ask(session, QStringLiteral("getShareInfo"), {{"tag", tag}, {"pass", "pass1"}, {"isweb", 0}}, 10s);
      if (info && vantrel::valueOf(*info, "data").is_array() && !vantrel::valueOf(*info, "data").empty()) return true;
    }
    return false;
  }

  // One page of a folder; true when it holds `expect` rows.
  bool list(const QString& dir, int expect) {
    ++listings;
    const auto reply = peer.ask(session, QStringLiteral("getFileList"),
                                {{"dir", dir.toStdString()}, {"search", ""}, {"filters", ""}, {"orderBy", ""},
                                 {"iIconLoadSize", "0"}, {"iPageIndex", 1}, {"iPageSize", 50}, {"iProbeCount", 0},
                                 {"iPreFetchIcon", 0}},
                                10s);
    const bool ok = reply && vantrel::valueOf(*reply, "data").is_array() &&
                    int(vantrel::valueOf(*reply, "data").size()) == expect;
    if (!ok) ++listingFailures;
    return ok;
  }

  // Counts a transfer that ended with `why` ("" when it finished) and whose copy was `same`.
  void count(const QString& why, bool same, const char* what, const QString& item, bool lan) {
    ++done;
    if (why.isEmpty() && same) return;
    ++failed;
    std::printf("  failed: %s of %s over the %s: %s\n", what, qPrintable(item), lan ? "local route" : "relay",
                why.isEmpty() ? "the copy differs" : qPrintable(why));
    std::fflush(stdout);
  }

  // One round on one route: listings, then every item down and up, each checked and removed.
  void cycle(bool lan) {
    for (int i = 0; i < 3 && !interrupted; ++i) {
      shortSession(QStringLiteral("many"));
      idle();
    }
    if (!signInAgain() || !open(lan)) {
      ++failed;
      std::printf("  failed: no session to the %s share\n", lan ? "local-route" : "relay");
      return;
    }
    const QString share = shareDir(lan);
    list(share, 11);  // six notes, "many", three big files, the inbox
    list(share + QStringLiteral("/many"), 4);
    list(share + QStringLiteral("/many/sub1"), 30);
    for (const QString& item : kItems) {
      if (interrupted) return;
      const QString save = folder.path() + QStringLiteral("/save%1").arg(++round);
      QDir().mkpath(save);
      const QString down = benchsupport::downloadThrough(peer, session, share + QLatin1Char('/') + item, save, stop);
      count(down, sameTree(share + QLatin1Char('/') + item, save + QLatin1Char('/') + item, true), "download", item,
            lan);
      QDir(save).removeRecursively();
      const QString inbox = share + QStringLiteral("/inbox");
      const QString up = benchsupport::uploadThrough(peer, session, peerDir() + QLatin1Char('/') + item, inbox, stop);
      count(up, sameTree(peerDir() + QLatin1Char('/') + item, inbox + QLatin1Char('/') + item, true), "upload", item,
            lan);
      QDir(inbox).removeRecursively();
      QDir().mkpath(inbox);
    }
  }
};

// `at` is the minute, or the count of sessions (`unit`).
void report(std::vector<Watched>& watched, double at, bool print, const char* unit = "min") {
  const double minute = at;
  if (print) std::printf("[%5.1f %s]", at, unit);
  for (Watched& w : watched) {
    w.samples.push_back(sampleOf(w.pid(), minute));
    const Sample& s = w.samples.back();
    w.floor = std::min(w.floor, s.rssMiB);
    if (!print) continue;
    std::printf("  %s %.1f MiB (idle floor %.1f) %d fd %d thr;", w.name, s.rssMiB, w.floor, int(s.fds),
                int(s.threads));
    w.floors.push_back({minute, w.floor});
    w.floor = 1e12;
  }
  if (print) std::printf("\n");
  std::fflush(stdout);
}

// The growth of the floors after the first, least squares, per `per` of their x.
double floorSlope(const std::vector<Sample>& floors, double per) {
  if (floors.size() < 3) return 0;
  return slopePerTen(std::vector<Sample>(floors.begin() + 1, floors.end()), &Sample::rssMiB) * per / 10.0;
}

// ZARKELO_BENCH_SESSIONS short sessions, each downloading a folder of
// ZARKELO_BENCH_FILES files; the bridges' idle floor every 25 sessions.
int runSessions(LongRun& run, std::vector<Watched>& watched, int sessions) {
  const int files = qEnvironmentVariableIntValue("ZARKELO_BENCH_FILES") > 0
                        ? qEnvironmentVariableIntValue("ZARKELO_BENCH_FILES")
                        : 300;
  const QString item = QStringLiteral("folder%1").arg(files);
  for (int i = 0; i < files; ++i)
    if (!writeRandom(run.shareDir(false) + QStringLiteral("/%1/sub%2/f%3.bin").arg(item).arg(i % 8).arg(i),
                     200 + i * 7))
      return 1;
  std::printf("%d sessions, each downloading a folder of %d files and ending\n", sessions, files);
  report(watched, 0, true, "sessions");
  for (int i = 1; i <= sessions && !interrupted; ++i) {
    run.shortSession(item);
    report(watched, i, i % 25 == 0 || i == sessions, "sessions");
  }
  std::printf("%s: %d sessions, %d failed; idle floor growth after the first 25 sessions, per 1,000 sessions:\n",
              interrupted ? "interrupted" : "done", run.done, run.failed);
  for (const Watched& w : watched)
    std::printf("  %-12s %+7.2f MiB  (floor %.1f MiB after 25 sessions, %.1f MiB at the end)\n", w.name,
                floorSlope(w.floors, 1000), w.floors.size() > 1 ? w.floors[1].rssMiB : 0, w.floors.back().rssMiB);
  // The last session ends too; then a while without any, past the bridges' heap trim.
  run.signInAgain();
  vantreltest::spinUntil([] { return interrupted != 0; }, 15s);
  std::printf("15 s after the last session ended:");
  report(watched, sessions, true, "sessions");
  return run.failed == 0 ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::signal(SIGINT, [](int) { interrupted = 1; });
  std::signal(SIGTERM, [](int) { interrupted = 1; });
  const int minutes = qEnvironmentVariableIntValue("ZARKELO_BENCH_MINUTES") > 0
                          ? qEnvironmentVariableIntValue("ZARKELO_BENCH_MINUTES")
                          : 30;
  LongRun run;
  if (!run.start()) {
    std::fprintf(stderr, "long-run setup failed\n");
    return 1;
  }
  std::vector<Watched> watched = {
      {"service", [&] { return run.service.child().process().processId(); }, {}},
      {"host bridge", [&] { return run.hostBridge.child().process().processId(); }, {}},
      {"host client", [&] { return run.hostClient.process().processId(); }, {}},
      {"peer bridge", [&] { return run.peerBridge.child().process().processId(); }, {}},
  };
  if (const int sessions = qEnvironmentVariableIntValue("ZARKELO_BENCH_SESSIONS"); sessions > 0)
    return runSessions(run, watched, sessions);
  std::printf("%d minutes of listings, downloads and uploads over the relay and the local route, signed in anew "
              "each round, with short sessions\n", minutes);
  QElapsedTimer clock;
  clock.start();
  const auto minute = [&] { return double(clock.elapsed()) / 60000.0; };
  report(watched, 0, true);
  // A sample between sessions for the slopes and the idle floor, printed
  // once a minute: no transfer is under way, so passing descriptors and
  // buffers do not count.
  int printedMinute = 0;
  run.idle = [&] {
    const bool print = int(minute()) > printedMinute;
    if (print) printedMinute = int(minute());
    report(watched, minute(), print);
  };
  for (int cycle = 0; minute() < minutes && !interrupted; ++cycle) {
    run.cycle(cycle % 2 == 1);
    run.idle();
  }
  // The last session ends; then a while without any, past the bridges' heap trim.
  run.signInAgain();
  vantreltest::spinUntil([] { return interrupted != 0; }, 15s);
  std::printf("15 s after the last session ended:");
  report(watched, minute(), true);

  std::printf("%s after %.1f minutes: %d transfers, %d failed; %d listings, %d failed\n",
              interrupted ? "interrupted" : "done", minute(), run.done, run.failed, run.listings, run.listingFailures);
  std::printf("second half, per 10 minutes:\n");
  for (const Watched& w : watched) {
    const double half = w.samples.back().minute / 2;
    std::vector<Sample> late;
    for (const Sample& s : w.samples)
      if (s.minute >= half) late.push_back(s);
    std::printf("  %-12s %+7.2f MiB  %+7.1f fd  %+6.1f threads  (now %.1f MiB, %d fd, %d threads)\n", w.name,
                slopePerTen(late, &Sample::rssMiB), slopePerTen(late, &Sample::fds),
                slopePerTen(late, &Sample::threads), w.samples.back().rssMiB, int(w.samples.back().fds),
                int(w.samples.back().threads));
  }
  std::printf("idle floor, after its first minute, per 10 minutes:\n");
  for (const Watched& w : watched)
    std::printf("  %-12s %+7.2f MiB  (%.1f MiB in minute 1, %.1f MiB at the end)\n", w.name, floorSlope(w.floors, 10),
                w.floors.size() > 1 ? w.floors[1].rssMiB : 0, w.floors.back().rssMiB);
  return run.failed + run.listingFailures == 0 ? 0 : 2;
}
