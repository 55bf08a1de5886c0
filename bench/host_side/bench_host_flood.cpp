// A real host beside many strangers: stranger accounts (one relay session
// each, written by hand) ask a real host client, which runs its own bridge,
// for listings of a 1,000-entry folder, then for thumbnails, each at 100 a
// second; beside them Bob (this process, on a bridge of its own) downloads
// from the same share a folder of 300 sub-folders of one file, a folder of
// 10,000 files and a 20 MiB file, again and again. Prints per phase Bob's
// medians against the quiet ones, what arrived whole, the host bridge's
// resident memory during and after, the processor time the host's client and
// its thumbnail helpers spent, and the client's heartbeat time-outs and
// bridge starts. Not a pass/fail test: the figures for a change of the
// host's turns.
//
// ZARKELO_BENCH_BIN_DIR   the host's client, bridge and helper from there (an older build)
// ZARKELO_BENCH_STRANGERS stranger accounts (15)
// ZARKELO_BENCH_PHASES    attack phases per kind (2), each ZARKELO_BENCH_PHASE_SECONDS (60)
// ZARKELO_BENCH_KINDS     "listings,thumbnails"
// ZARKELO_BENCH_STALL_MS  every 10 s of a phase the service is held still this long (0), as a
//                         service too busy to read would be: what waits for it in the host's bridge
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "e2e_client.h"
#include "proc_stats.h"

using namespace vantreltest;

namespace {

int setting(const char* name, int fallback) {
  const int value = qEnvironmentVariableIntValue(name);
  return value > 0 ? value : fallback;
}

// Processor seconds of `pid`: its own, and with `children` those of its reaped children too.
double cpuSeconds(qint64 pid, bool children) {
  const qint64 own = procstats::processorMs(pid);
  if (own < 0) return 0;
  return double(own + (children ? std::max<qint64>(0, procstats::processorMs(pid, true)) : 0)) / 1000.0;
}

double residentMiB(qint64 pid) { return double(std::max<qint64>(0, procstats::residentKiB(pid))) / 1024.0; }

double median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

int filesBelow(const QString& dir) {
  int count = 0;
  for (const QFileInfo& info : QDir(dir).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden))
    count += info.isDir() ? filesBelow(info.filePath()) : 1;
  return count;
}

// Stranger accounts, one hand-written relay session each to Ann's share,
// opened again when it closes; each sends one request a tick.
struct Strangers {
  struct One {
    std::unique_ptr<RawRelayClient> link;
    std::string session;
    QElapsedTimer asked;
  };
  std::vector<One> links;
  std::function<std::pair<std::string, Json>()> next;
  bool flooding = false;
  qint64 sent = 0, replies = 0, busy = 0, answeredBytes = 0;
  QTimer timer;

  bool start(const Service& service, int accounts) {
    for (int i = 0; i < accounts; ++i) {
      One one;
      one.link = rawRelayOnline(service, QStringLiteral("s%1@example.com").arg(i), QStringLiteral("s-pass"));
      if (!one.link) return false;
      links.push_back(std::move(one));
    }
    QObject::connect(&timer, &QTimer::timeout, [this] { onTick(); });
    timer.start(10);
    return true;
  }
  void onTick() {
    for (size_t i = 0; i < links.size(); ++i) {
      One& s = links[i];
      s.link->pump();
      for (const std::string& text : s.link->texts) {
        const bool large = text.size() > 64 * 1024;
        const Json op = large ? Json() : Json::parse(text, nullptr, false);
        const std::string kind = large ? "relay" : op.is_object() ? op.value("op", "") : "";
        if (kind == "session") s.session = op.value("Session", "");
        if (kind == "closed" && op.value("Session", "") == s.session) s.session.clear();
        if (kind == "relay") {
          ++replies;
          const bool refused = text.find("\"busy\"") != std::string::npos;
          busy += refused;
          if (!refused) answeredBytes += qint64(text.size());
        }
      }
      s.link->texts.clear();
      s.link->binaries.clear();
      if (!flooding) continue;
      if (s.session.empty()) {
        if (!s.asked.isValid() || s.asked.elapsed() > 1000) {
          s.link->sendText({{"op", "connect"}, {"ref", "s"}, {"hostname", "ann-host"}, {"tag", "OPEN"}});
          s.asked.start();
        }
        continue;
      }
      const auto [code, msg] = next();
      s.link->sendText({{"op", "relay"},
                        {"Session", s.session},
                        {"frame", {{"kind", "request"}, {"Token", "S" + std::to_string(++sent)}, {"Code", code}, {"Msg", msg}}}});
    }
  }
};

struct Host {
  Service service;
  qint64 annId = 0;
  Child client;
  BridgeProcess bridgeB;
  ClientLink peer;
  QString session, open, bobToken;
  int strangers = 15;

  bool start() {
    if (!service.start() || !service.addAnnAndBob(&annId)) return false;
    for (int i = 0; i < strangers; ++i)
      if (!service.addAccount(QStringLiteral("s%1@example.com").arg(i), QStringLiteral("s-pass"),
                              QStringLiteral("S%1").arg(i), QStringLiteral("s%1-host").arg(i)))
        return false;
    open = client.home() + QStringLiteral("/Open");
    for (int f = 0; f < 300; ++f) {
      const QString dir = open + QStringLiteral("/wide/d%1").arg(f, 3, 10, QLatin1Char('0'));
      QDir().mkpath(dir);
      if (!e2eclient::writeNumberedFiles(dir + QStringLiteral("/f%1.txt"), 1)) return false;
    }
    QDir().mkpath(open + QStringLiteral("/flat"));
    QDir().mkpath(open + QStringLiteral("/many"));
    QDir().mkpath(open + QStringLiteral("/pictures"));
    for (int i = 0; i < 10000; ++i) {
      QFile file(open + QStringLiteral("/flat/f%1.txt").arg(i, 5, 10, QLatin1Char('0')));
      if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray::number(i)) <= 0) return false;
    }
    if (!e2eclient::writeNumberedFiles(open + QStringLiteral("/many/entry_%1.txt"), 1000)) return false;
    QImage image(1600, 1200, QImage::Format_RGB32);
    for (int i = 0; i < 64; ++i) {
      QPainter painter(&image);
      for (int k = 0; k < 100; ++k)
        painter.fillRect((k * 97 + i * 13) % 1500, (k * 61) % 1100, 100, 100, QColor::fromRgb(QRgb(k * 2654435761u + i)));
      painter.end();
      if (!image.save(open + QStringLiteral("/pictures/p%1.jpg").arg(i, 2, 10, QLatin1Char('0')), "JPEG", 90))
        return false;
    }
    QFile big(open + QStringLiteral("/big.bin"));
    if (!big.open(QIODevice::WriteOnly)) return false;
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < 20; ++i) {
      for (qsizetype k = 0; k < block.size(); ++k) block[k] = char((k * 31 + i * 7) ^ (k >> 9));
      big.write(block);
    }
    big.close();
    SharingObj share;
    share.tag = QStringLiteral("OPEN");
    share.path = open;
    share.isTranLAN = false;
    if (!e2eclient::seedShare(client.home(), annId, QStringLiteral("ann-host"), share)) return false;
    const QString program =
        e2eclient::configureClientWithOwnBridge(client, service, qEnvironmentVariable("ZARKELO_BENCH_BIN_DIR"));
    if (program.isEmpty() || !client.start(program, {}) ||
        !e2eclient::confirmQrPage(client, service, QStringLiteral("ann@example.com"), QStringLiteral("ann-pass")) ||
        !spinUntil([&] { return client.output().contains("Host Login Succeeded"); }, 30s))
      return false;
    if (!bridgeB.start(&service) || !peer.open(bridgeB.port())) return false;
    const auto login = peer.login(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"));
    if (!login || vantrel::intOf(*login, "Result") != 1) return false;
    bobToken = vantrel::textOf(*login, "Token");
    session = e2eclient::openShareSession(peer, bobToken, QStringLiteral("OPEN"));
    return !session.isEmpty();
  }

  qint64 bridgePid() {
    const QList<qint64> bridges = procstats::childrenNamed(client.process().processId(), "Vantrel_amd");
    return bridges.size() == 1 ? bridges.first() : -1;
  }
  // The client's processor seconds with its thumbnail helpers (running and reaped), without its bridge.
  double clientSeconds() {
    const qint64 pid = client.process().processId();
    double seconds = cpuSeconds(pid, true);
    for (qint64 helper : procstats::childrenNamed(pid, "zarkelo-thumbnailer")) seconds += cpuSeconds(helper, false);
    return seconds;
  }

  // One download of `target` beneath the share: its seconds when whole, else -1 (with why in `why`).
  double download(const QString& target, int files, std::string* why) {
    QTemporaryDir save;
    QElapsedTimer clock;
    clock.start();
    const QString start = peer.control(QStringLiteral("Trans3_FC_00_CallStart"),
                                       {{"Session", session.toStdString()},
                                        {"Targets", (open + QLatin1Char('/') + target).toStdString()},
                                        {"SaveAtLocalFolder", save.path().toStdString()}});
    peer.waitReply(start, 10s);
    Json last;
    spinUntil([&] {
      if (auto r = peer.waitReply(peer.control(QStringLiteral("Trans3_FC_TransTaskInfo"),
                                               {{"Session", session.toStdString()}}), 10s))
        last = *r;
      return vantrel::intOf(last, "TaskStatus") == 1 || vantrel::intOf(last, "ForceCancel") == 1;
    }, 120s);
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const int got = filesBelow(save.path());
    if (vantrel::intOf(last, "TaskStatus") == 1 && got == files) return seconds;
    *why = target.toStdString() + ": " + std::to_string(got) + " of " + std::to_string(files) + " files, " +
           vantrel::textOf(last, "Reason").toStdString() +
           " after " + std::to_string(int(seconds)) + " s";
    return -1;
  }
};

struct Target {
  QString name;
  int files;
};
const Target kTargets[] = {{QStringLiteral("wide"), 300}, {QStringLiteral("flat"), 10000}, {QStringLiteral("big.bin"), 1}};

struct Round {
  std::map<QString, std::vector<double>> took;
  std::map<QString, int> tried, whole;
  std::vector<std::string> failures;
};

// Bob's downloads, one target after another, for `seconds` (each at least `least` times).
Round downloadFor(Host& host, double seconds, int least) {
  Round round;
  QElapsedTimer running;
  running.start();
  for (int i = 0;; ++i) {
    bool enough = running.elapsed() >= seconds * 1000;
    for (const Target& t : kTargets) enough = enough && round.tried[t.name] >= least;
    if (enough) break;
    const Target& t = kTargets[i % 3];
    std::string why;
    const double s = host.download(t.name, t.files, &why);
    ++round.tried[t.name];
    if (s >= 0) {
      ++round.whole[t.name];
      round.took[t.name].push_back(s);
    } else {
      round.failures.push_back(why);
    }
  }
  return round;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (qEnvironmentVariableIsEmpty("VANTREL_LAN_ADDRESS")) qputenv("VANTREL_LAN_ADDRESS", "127.0.0.1");
  QGuiApplication app(argc, argv);
  Host host;
  host.strangers = setting("ZARKELO_BENCH_STRANGERS", 15);
  const int phases = setting("ZARKELO_BENCH_PHASES", 2);
  const int phaseSeconds = setting("ZARKELO_BENCH_PHASE_SECONDS", 60);
  const QStringList kinds =
      qEnvironmentVariable("ZARKELO_BENCH_KINDS", QStringLiteral("listings,thumbnails")).split(QLatin1Char(','));
  if (!host.start()) {
    std::fprintf(stderr, "setup failed\n%s\n", host.client.output().right(3000).constData());
    return 1;
  }
  auto count = [&](const char* line) { return int(host.client.output().count(line)); };
  std::printf("host binaries: %s; %d strangers, %d phases of %d s\n",
              qPrintable(qEnvironmentVariable("ZARKELO_BENCH_BIN_DIR", QStringLiteral("this build"))), host.strangers,
              phases, phaseSeconds);

  // Quiet: the medians everything is weighed against, and the bridge's floor.
  const Round quiet = downloadFor(host, 0, 3);
  std::map<QString, double> quietMedian;
  for (const Target& t : kTargets) quietMedian[t.name] = median(quiet.took.at(t.name));
  idleFor(3s);
  const double floor = residentMiB(host.bridgePid());
  std::printf("quiet: wide %.2f s, flat %.2f s, big %.2f s; host bridge %.0f MiB\n", quietMedian[QStringLiteral("wide")],
              quietMedian[QStringLiteral("flat")], quietMedian[QStringLiteral("big.bin")], floor);
  for (const std::string& why : quiet.failures) std::printf("  quiet failure: %s\n", why.c_str());
  std::fflush(stdout);

  Strangers strangers;
  if (!strangers.start(host.service, host.strangers)) {
    std::fprintf(stderr, "strangers could not sign in\n");
    return 1;
  }
  Json names = Json::array();
  for (int i = 0; i < 64; ++i)
    names.push_back(QStringLiteral("%1/pictures/p%2.jpg|%3|1|-1").arg(host.open).arg(i, 2, 10, QLatin1Char('0')).arg(i).toStdString());
  const Json icons = {{"size", 96}, {"fileList", names}};
  const Json listing = {{"dir", (host.open + QStringLiteral("/many")).toStdString()}, {"search", ""}, {"orderBy", ""},
                        {"iPageIndex", 1}, {"iPageSize", 1000}, {"iProbeCount", 0}};
  for (const QString& kind : kinds) {
    const bool thumbnails = kind == QLatin1String("thumbnails");
    strangers.next = [&] {
      return thumbnails ? std::pair<std::string, Json>("buildIcon2", icons)
                        : std::pair<std::string, Json>("getFileList", listing);
    };
    for (int phase = 1; phase <= phases; ++phase) {
      const qint64 sent = strangers.sent, replies = strangers.replies, busy = strangers.busy,
                   answeredBytes = strangers.answeredBytes;
      const int timeouts = count("ActiveBridgeTime Timeout"), starts = count("Try To Starting Vantrel");
      double most = 0;
      QTimer sampler;
      QObject::connect(&sampler, &QTimer::timeout, [&] { most = std::max(most, residentMiB(host.bridgePid())); });
      sampler.start(200);
      strangers.flooding = true;
      spinUntil([&] { return strangers.replies > replies; }, 30s);
      const double cpuBefore = host.clientSeconds();
      const double bridgeBefore = cpuSeconds(host.bridgePid(), false);
      const double selfBefore = cpuSeconds(::getpid(), false);
      QTimer stall;
      const int stallMs = qEnvironmentVariableIntValue("ZARKELO_BENCH_STALL_MS");
      QObject::connect(&stall, &QTimer::timeout, [&] {
        if (!host.service.child().pause()) return;
        QTimer::singleShot(stallMs, [&] { host.service.child().resume(); });
      });
      if (stallMs > 0) stall.start(10000);
      QElapsedTimer clock;
      clock.start();
      const Round round = downloadFor(host, phaseSeconds, 1);
      const double cpu = (host.clientSeconds() - cpuBefore) / (double(clock.elapsed()) / 1000.0);
      const double bridgeCpu = (cpuSeconds(host.bridgePid(), false) - bridgeBefore) / (double(clock.elapsed()) / 1000.0);
      const double self = (cpuSeconds(::getpid(), false) - selfBefore) / (double(clock.elapsed()) / 1000.0);
      stall.stop();
      strangers.flooding = false;
      // After: the bridge's memory once the strangers' answers have gone.
      idleFor(std::chrono::seconds(setting("ZARKELO_BENCH_AFTER_SECONDS", 10)));
      sampler.stop();
      const double after = residentMiB(host.bridgePid());
      std::printf("%s phase %d: %lld requests, %lld replies (%lld busy, %.1f MiB answered); client and helpers %.0f%% of a core, its bridge %.0f%%; "
                  "host bridge most %.0f MiB (+%.0f), after %.0f MiB (+%.0f); heartbeat time-outs %d, bridge starts %d; this process %.0f%%\n",
                  qPrintable(kind), phase, strangers.sent - sent, strangers.replies - replies, strangers.busy - busy,
                  double(strangers.answeredBytes - answeredBytes) / 1048576.0, cpu * 100, bridgeCpu * 100, most, most - floor, after, after - floor, count("ActiveBridgeTime Timeout") - timeouts,
                  count("Try To Starting Vantrel") - starts, self * 100);
      for (const Target& t : kTargets) {
        const double m = median(round.took.count(t.name) ? round.took.at(t.name) : std::vector<double>());
        std::printf("  %-8s whole %d of %d, median %.2f s (%.1fx quiet)\n", qPrintable(t.name),
                    round.whole.count(t.name) ? round.whole.at(t.name) : 0, round.tried.count(t.name) ? round.tried.at(t.name) : 0,
                    m, m > 0 ? m / quietMedian[t.name] : 0.0);
      }
      for (const std::string& why : round.failures) std::printf("  failure: %s\n", why.c_str());
      std::fflush(stdout);
    }
  }
  strangers.timer.stop();
  host.client.stop();
  return 0;
}
