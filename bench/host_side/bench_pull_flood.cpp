// Strangers' folder pulls against a real host, and an honest account beside
// them: the account service, the host's real client `zarkelo` (offscreen, Ann
// signed in, its own bridge, one open share whose bytes all take the relay),
// stranger accounts on hand-written relay connections and Bob's bridge, whose
// client is this process.
//
// Each of ZARKELO_BENCH_ACCOUNTS stranger accounts (8) holds
// ZARKELO_BENCH_SESSIONS sessions (8), each keeping ZARKELO_BENCH_PULLS pulls
// (4) of a folder of ZARKELO_BENCH_FILES files (45,000) under way, dropping
// each at its manifest (a cancel; with ZARKELO_BENCH_SILENT=1 never answered)
// and asking again, for ZARKELO_BENCH_SECONDS (60). Bob downloads a folder of
// 300 sub-folders of one file and one of 10,000 files, first quiet (and the
// strangers' folder too), then again and again beside the flood. Prints the
// host bridge's resident memory (before, its peak, and 20 s after the flood),
// the cores the host's bridge and client spent, Bob's times and whether his
// copies are whole, and the client's heartbeat time-outs and bridge starts.
// With ZARKELO_BENCH_BEFORE_DIR (another build's bin folder), the host's
// client, bridge and helper are that build's.
#include "support/peer_transfers.h"
#include "pull_flood.h"

#include "e2e_client.h"
#include "vantrel_harness.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

using namespace vantreltest;

namespace {

int setting(const char* name, int fallback) {
  const int value = qEnvironmentVariableIntValue(name);
  return value > 0 ? value : fallback;
}

// `count` small files in each of `folders` sub-folders of `root` (none: in
// `root`), at most 10,000 in each; their names are short, so that the
// manifest of a folder of 45,000 fits one relay message.
bool seedTree(const QString& root, int folders, int count) {
  for (int f = 0; f < std::max(1, folders); ++f) {
    const QString dir = folders == 0 ? root : root + QStringLiteral("/d%1").arg(f, 3, 10, QLatin1Char('0'));
    if (!QDir().mkpath(dir)) return false;
    const QByteArray base = QFile::encodeName(dir);
    char path[4096];
    for (int i = 0; i < count; ++i) {
      std::snprintf(path, sizeof path, "%s/f%04d", base.constData(), i);
      const int fd = ::open(path, O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0) return false;
      const bool written = ::write(fd, path, 16) == 16;
      ::close(fd);
      if (!written) return false;
    }
  }
  return true;
}

int filesIn(const QString& dir) {
  int count = 0;
  for (QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext(); it.next()) ++count;
  return count;
}

double median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  qputenv("VANTREL_LAN_ADDRESS", "127.0.0.1");
  const int accounts = setting("ZARKELO_BENCH_ACCOUNTS", 8);
  const int sessions = setting("ZARKELO_BENCH_SESSIONS", 8);
  const int inFlight = setting("ZARKELO_BENCH_PULLS", 4);
  const int files = setting("ZARKELO_BENCH_FILES", 45000);
  const int seconds = setting("ZARKELO_BENCH_SECONDS", 60);
  const bool silent = qEnvironmentVariableIntValue("ZARKELO_BENCH_SILENT") == 1;

  Service service;
  qint64 annId = 0;
  if (!service.start() || !service.addAnnAndBob(&annId)) return std::fprintf(stderr, "no service\n"), 1;
  std::vector<std::pair<QString, QString>> strangers;
  for (int i = 0; i < accounts; ++i) {
    const QString email = QStringLiteral("stranger%1@example.com").arg(i);
    if (!service.addAccount(email, QStringLiteral("pass"), QStringLiteral("S%1").arg(i), QStringLiteral("s%1").arg(i)))
      return std::fprintf(stderr, "no account %d\n", i), 1;
    strangers.emplace_back(email, QStringLiteral("pass"));
  }

  Child client;
  const QString open = client.home() + QStringLiteral("/Open");
  std::printf("seeding %d files ...\n", files + 10300);
  std::fflush(stdout);
  const int bigFolders = std::max(1, files / 1000);
  if (!seedTree(open + QStringLiteral("/big"), bigFolders, files / bigFolders) ||
      !seedTree(open + QStringLiteral("/wide"), 300, 1) || !seedTree(open + QStringLiteral("/flat"), 0, 10000))
    return std::fprintf(stderr, "cannot seed the share\n"), 1;
  SharingObj share;
  share.tag = QStringLiteral("OPEN");
  share.path = open;
  share.isTranLAN = false;
  if (!e2eclient::seedShare(client.home(), annId, QStringLiteral("ann-host"), share)) return 1;
  const QString program =
      e2eclient::configureClientWithOwnBridge(client, service, qEnvironmentVariable("ZARKELO_BENCH_BEFORE_DIR"));
  if (program.isEmpty()) return std::fprintf(stderr, "the other build's programs are not there\n"), 1;
  if (!client.start(program, {}) ||
      !e2eclient::confirmQrPage(client, service, QStringLiteral("ann@example.com"), QStringLiteral("ann-pass")) ||
      !spinUntil([&] { return client.output().count("Host Login Succeeded") == 1; }, 30s))
    return std::fprintf(stderr, "the host did not sign in:\n%s\n", client.output().constData()), 1;
  const auto bridgePid = [&] {
    const QList<qint64> bridges = procstats::childrenNamed(client.process().processId(), "Vantrel_amd");
    return bridges.isEmpty() ? qint64(-1) : bridges.first();
  };

  BridgeProcess bobBridge;
  ClientLink bob;
  if (!bobBridge.start(&service, "secret-b") || !bob.open(bobBridge.port(), "secret-b")) return 1;
  const auto login = bob.login(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"));
  if (!login || vantrel::intOf(*login, "Result") != 1) return std::fprintf(stderr, "Bob did not sign in\n"), 1;
  QString session;
  // Bob's session to the share, opened again when it closed (the host's bridge restarted).
  const auto openSession = [&] {
    session.clear();
    for (int attempt = 0; attempt < 40 && session.isEmpty(); ++attempt) {
      bob.send(QStringLiteral("ClientInit"), {{"Id_user", vantrel::textOf(*login, "Token").toStdString()},
                                              {"Hostname", "ann-host"}, {"Hosttag", "OPEN"}, {"Hostpassword", ""}});
      const auto opened = bob.waitForCode(QStringLiteral("P2PCLIENT"), 10s);
      if (opened && vantrel::textOf(opened->data, "Type") == QLatin1String("GetShareHost6Client")) {
        const Json link = vantrel::valueOf(opened->data, "Msg");
        session = vantrel::textOf(link, "ClientID1") + QLatin1Char('|') + vantrel::textOf(link, "ClientID2");
      } else {
        idleFor(500ms);
      }
    }
    return !session.isEmpty();
  };
  if (!openSession()) return std::fprintf(stderr, "Bob has no session\n"), 1;

  // Bob's downloads: seconds of each, and those whole.
  QTemporaryDir saves;
  int made = 0, whole = 0, tried = 0;
  auto download = [&](const QString& name, int expected) {
    const QString save = saves.path() + QStringLiteral("/%1").arg(++made);
    QDir().mkpath(save);
    QElapsedTimer clock;
    clock.start();
    const QString why = benchsupport::downloadThrough(bob, session, open + QLatin1Char('/') + name, save);
    const double took = double(clock.elapsed()) / 1000.0;
    const bool ok = why.isEmpty() && filesIn(save + QLatin1Char('/') + name) == expected;
    ++tried;
    whole += ok;
    if (!ok) {
      std::printf("  Bob's %s: %s after %.1f s\n", qPrintable(name),
                  qPrintable(why.isEmpty() ? QStringLiteral("not whole") : why), took);
      std::fflush(stdout);
      if (why.contains(QLatin1String("gone")) && !openSession()) std::printf("  Bob's session does not open again\n");
    }
    QDir(save).removeRecursively();
    return took;
  };
  std::vector<double> quietWide, quietFlat, quietBig, floodWide, floodFlat;
  for (int i = 0; i < 3; ++i) {
    quietWide.push_back(download(QStringLiteral("wide"), 300));
    quietFlat.push_back(download(QStringLiteral("flat"), 10000));
    // The strangers' folder, alone on the quiet host: its walk is not held back.
    quietBig.push_back(download(QStringLiteral("big"), bigFolders * (files / bigFolders)));
  }

  idleFor(6s);  // past the bridge's heap trim after Bob's downloads
  const qint64 pid = bridgePid();
  const qint64 floorKiB = procstats::residentKiB(pid);
  std::printf("quiet: 300 x 1 %.2f s, 10,000 files %.2f s, %d files %.2f s (medians of 3); host bridge %.1f MiB\n",
              median(quietWide), median(quietFlat), bigFolders * (files / bigFolders), median(quietBig),
              double(floorKiB) / 1024);
  std::fflush(stdout);

  pullflood::PullFlood flood;
  flood.targets.push_back((open + QStringLiteral("/big")).toStdString());
  flood.inFlight = inFlight;
  flood.silent = silent;
  qint64 peakKiB = floorKiB;
  QTimer sampler;
  // The host bridges' processor time, by process (a bridge that restarted counts too).
  std::map<qint64, qint64> bridgeMsBy{{pid, procstats::processorMs(pid)}};
  const qint64 bridgeMs0 = bridgeMsBy[pid];
  const auto sample = [&] {
    const qint64 now = bridgePid();
    peakKiB = std::max(peakKiB, procstats::residentKiB(now));
    if (const qint64 ms = procstats::processorMs(now); ms >= 0) bridgeMsBy[now] = ms;
  };
  QObject::connect(&sampler, &QTimer::timeout, sample);
  sampler.start(200);
  if (!flood.start(service, strangers, sessions)) return std::fprintf(stderr, "the strangers did not sign in\n"), 1;
  const qint64 clientMs0 = procstats::processorMs(client.process().processId());
  QElapsedTimer running;
  running.start();
  while (running.elapsed() < qint64(seconds) * 1000) {
    floodWide.push_back(download(QStringLiteral("wide"), 300));
    if (running.elapsed() >= qint64(seconds) * 1000) break;
    floodFlat.push_back(download(QStringLiteral("flat"), 10000));
  }
  const double wall = double(running.elapsed());
  sample();
  qint64 bridgeMs = -bridgeMs0;
  for (const auto& [process, ms] : bridgeMsBy) bridgeMs += ms;
  const qint64 clientMs = procstats::processorMs(client.process().processId()) - clientMs0;
  flood.stop();
  const qint64 duringPeak = peakKiB;
  idleFor(20s);
  const qint64 afterKiB = procstats::residentKiB(bridgePid());
  const int timeouts = int(client.output().count("ActiveBridgeTime Timeout"));
  const int starts = int(client.output().count("Try To Starting Vantrel"));

  std::printf("%d accounts x %d sessions x %d pulls of %d files%s, %.0f s: %lld pulls, %lld manifests, %lld refused\n",
              accounts, sessions, inFlight, files, silent ? " (manifests never answered)" : "", wall / 1000,
              flood.pulls, flood.manifests, flood.refused);
  std::printf("host bridge: %.1f MiB before, peak %.1f MiB (+%.1f), %.1f MiB 20 s after (+%.1f)\n",
              double(floorKiB) / 1024, double(duringPeak) / 1024, double(duringPeak - floorKiB) / 1024,
              double(afterKiB) / 1024, double(afterKiB - floorKiB) / 1024);
  std::printf("cores: host bridge %.2f, host client %.2f\n", double(bridgeMs) / wall, double(clientMs) / wall);
  std::printf("Bob beside it: 300 x 1 median %.2f s (max %.2f, %zu), 10,000 files median %.2f s (max %.2f, %zu); "
              "whole %d of %d\n",
              median(floodWide), floodWide.empty() ? -1 : *std::max_element(floodWide.begin(), floodWide.end()),
              floodWide.size(), median(floodFlat),
              floodFlat.empty() ? -1 : *std::max_element(floodFlat.begin(), floodFlat.end()), floodFlat.size(), whole,
              tried);
  std::printf("heartbeat time-outs %d, bridge starts %d\n", timeouts, starts);
  // What the host's bridge logged of the pulls.
  QByteArray log;
  for (QDirIterator it(client.home(), {QStringLiteral("bridge.log")}, QDir::Files, QDirIterator::Subdirectories);
       it.hasNext();) {
    QFile file(it.next());
    if (file.open(QIODevice::ReadOnly)) log += file.readAll();
  }
  std::printf("host bridge log: %d walks done, %d pulls ended busy, %d not taken in time, %d ended\n",
              int(log.count("download asked for, files:")), int(log.count("the host is busy")),
              int(log.count("did not take the offer in time")), int(log.count("transfer ended:")));
  client.stop();
  return whole == tried && timeouts == 0 && starts == 1 ? 0 : 2;
}
