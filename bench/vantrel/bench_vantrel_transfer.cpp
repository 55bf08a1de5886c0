// Transfers between two bridges, all running as processes on loopback, over
// the account service's relay and over the host bridge's local-network route
// (on 127.0.0.1, the share's "TransLAN" on), against curl fetching the same
// files over HTTPS from nginx on loopback (many URLs over one kept-alive
// connection) and against the disk's floor (`cp`). Every copy is synced to
// disk (fsync of each file; the baselines' on several threads at once) before
// it counts, as the bridge does; removing it
// afterwards is not timed. Baselines and ours run round by round
// (ZARKELO_BENCH_ROUNDS, default 5), each printed as median and spread.
//
// Sets (ZARKELO_BENCH_SETS, default "big,4k,1m"):
//   big  one file of ZARKELO_BENCH_TRANSFER_MB MiB (default 1024), download and upload
//   4k   10,000 files of 4 KiB in one folder, download and local-route upload
//   1m   1,000 files of 1 MiB in one folder, download and local-route upload
// ZARKELO_BENCH_SMALL_PERCENT scales the number of small files (default 100).
// Needs nginx (Debian's nginx-light) on PATH or in /usr/sbin.
#include "support/interleaved.h"
#include "support/peer_transfers.h"
#include "support/started_once.h"

#include "host_checks.h"
#include "share_spot_answer.h"
#include "vantrel_harness.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtConcurrent>

#include <array>
#include <atomic>
#include <map>

#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

using namespace vantreltest;
using benchsupport::sameFile;
using benchsupport::sameTree;

namespace {

constexpr qint64 kMiB = 1024 * 1024;

qint64 bigBytes() {
  const qint64 mb = qEnvironmentVariableIntValue("ZARKELO_BENCH_TRANSFER_MB");
  return (mb > 0 ? mb : 1024) * kMiB;
}

int smallCount(int full) {
  const int percent = qEnvironmentVariableIntValue("ZARKELO_BENCH_SMALL_PERCENT");
  return std::max(1, full * (percent > 0 ? percent : 100) / 100);
}

bool wanted(const char* set) {
  const QString sets = qEnvironmentVariable("ZARKELO_BENCH_SETS", QStringLiteral("big,4k,1m"));
  return sets.split(QLatin1Char(',')).contains(QLatin1String(set));
}

bool syncFile(const QString& path) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// Every file below `dir` (or `dir` itself, a file) synced, several at a time
// so that the baselines' syncs cost no more than the disk asks.
bool syncTree(const QString& dir) {
  QStringList files;
  if (QFileInfo(dir).isFile()) files.append(dir);
  QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
  while (it.hasNext()) files.append(it.next());
  std::atomic_bool ok = true;
  QtConcurrent::blockingMap(files, [&ok](const QString& file) {
    if (!syncFile(file)) ok = false;
  });
  return ok && !files.isEmpty();
}

// CPU seconds (user + system) a process has used so far; 0 when unknown.
double cpuSeconds(qint64 pid) {
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (pid <= 0 || !stat.open(QIODevice::ReadOnly)) return 0;
  const QByteArray text = stat.readAll();
  // The fields after the command name, which is in parentheses.
  const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
  if (fields.size() < 13) return 0;
  return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

// Waits in the event loop, so the bridges and the service get the CPU.
void pause(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

void fillRandom(QFile& file, qint64 bytes) {
  QByteArray block(int(std::min<qint64>(4 * kMiB, std::max<qint64>(bytes, 4))), Qt::Uninitialized);
  for (qint64 written = 0; written < bytes; written += block.size()) {
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
    file.write(block.constData(), std::min<qint64>(block.size(), bytes - written));
  }
}

struct Transfer : LinkedPair {
  QTemporaryDir folder;
  QString share, inbox;
  Child nginx;
  quint16 httpsPort = 0;
  int round = 0;
  bool lan = false;  // the host's checks allow the local-network route

  bool start() {
    share = folder.path() + QStringLiteral("/share");
    inbox = share + QStringLiteral("/inbox");
    QDir().mkpath(inbox);
    if (wanted("big") && !makeFile(share + QStringLiteral("/big.bin"), bigBytes())) return false;
    if (wanted("4k") && !makeSet(QStringLiteral("small4k"), smallCount(10000), 4096)) return false;
    if (wanted("1m") && !makeSet(QStringLiteral("small1m"), smallCount(1000), kMiB)) return false;
    ::sync();
    return startNginx() && LinkedPair::start([this](const QString& code, const Json& msg) -> Json {
             const char* transLan = lan ? "1" : "0";
             // The answers say where the path lies beneath the share, as the
             // client's gate tells its own bridge.
             if (code == QLatin1String("fileDownloadCheck"))
               return vantrel::answerDownloadCheck(msg, [this, transLan](const QString& path) -> Json {
                 // A folder is answered "not a file" with its size, as the client does.
                 if (QFileInfo(path).isDir())
                   return withShareSpot({{"path", path.toStdString()}, {"valid", 0}, {"size", 1}, {"TransLAN", transLan}},
                                        share, path);
                 return withShareSpot({{"path", path.toStdString()}, {"valid", 1}, {"TransLAN", transLan}}, share, path);
               });
             if (code == QLatin1String("fileUploadCheck"))
               return {{"data", withShareSpot({{"dir", msg.value("dir", "")},
                                               {"valid", 1},
                                               {"task", Json::array()},
                                               {"TransLAN", transLan}},
                                              share, vantrel::textOf(msg, "dir"))}};
             return {{"data", "PONG"}};
           });
  }

  static bool makeFile(const QString& path, qint64 bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    fillRandom(file, bytes);
    return true;
  }

  // `count` files of `bytes` each in share/NAME, and curl's list of their URLs.
  bool makeSet(const QString& name, int count, qint64 bytes) {
    const QString dir = share + QLatin1Char('/') + name;
    QDir().mkpath(dir);
    QFile list(folder.path() + QLatin1Char('/') + name + QStringLiteral(".curl"));
    if (!list.open(QIODevice::WriteOnly)) return false;
    for (int i = 0; i < count; ++i) {
      const QString file = QStringLiteral("f%1").arg(i, 5, 10, QLatin1Char('0'));
      if (!makeFile(dir + QLatin1Char('/') + file, bytes)) return false;
      list.write(QStringLiteral("url = \"https://127.0.0.1:PORT/%1/%2\"\noutput = \"%2\"\n").arg(name, file).toUtf8());
    }
    return true;
  }

  // nginx serving the share over HTTPS on loopback, keeping connections alive.
  bool startNginx() {
    QString program = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    if (program.isEmpty()) program = QStandardPaths::findExecutable(QStringLiteral("nginx"), {QStringLiteral("/usr/sbin")});
    if (program.isEmpty()) {
      std::fprintf(stderr, "nginx is missing (Debian package nginx-light)\n");
      return false;
    }
    const QString key = folder.path() + QStringLiteral("/key.pem");
    const QString cert = folder.path() + QStringLiteral("/cert.pem");
    Child gen;
    if (gen.run(QStringLiteral("openssl"), {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                                            QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                                            QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                                            QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                                            QStringLiteral("-keyout"), key, QStringLiteral("-out"), cert,
                                            QStringLiteral("-days"), QStringLiteral("1")}) != 0)
      return false;
    httpsPort = freePort();
    const QString prefix = folder.path() + QStringLiteral("/nginx");
    QDir().mkpath(prefix + QStringLiteral("/logs"));
    QFile conf(prefix + QStringLiteral("/nginx.conf"));
    if (!conf.open(QIODevice::WriteOnly)) return false;
    // One process, no user switch: it reads the share of this (private) folder.
    conf.write(QStringLiteral("daemon off;\nmaster_process off;\nworker_processes 1;\npid %1/nginx.pid;\n"
                              "error_log %1/logs/error.log;\nevents { worker_connections 64; }\n"
                              "http {\n access_log off;\n sendfile on;\n keepalive_requests 1000000;\n"
                              " client_body_temp_path %1/body;\n proxy_temp_path %1/proxy;\n"
                              " fastcgi_temp_path %1/fastcgi;\n uwsgi_temp_path %1/uwsgi;\n scgi_temp_path %1/scgi;\n"
                              " server {\n  listen 127.0.0.1:%2 ssl;\n  ssl_certificate %3;\n  ssl_certificate_key %4;\n"
                              "  root %5;\n }\n}\n")
                   .arg(prefix)
                   .arg(httpsPort)
                   .arg(cert, key, share)
                   .toUtf8());
    conf.close();
    for (const char* name : {"small4k", "small1m"}) {
      QFile list(folder.path() + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".curl"));
      if (!list.exists()) continue;
      list.open(QIODevice::ReadOnly);
      const QByteArray text = list.readAll().replace("PORT", QByteArray::number(httpsPort));
      list.close();
      list.open(QIODevice::WriteOnly | QIODevice::Truncate);
      list.write(text);
    }
    if (!nginx.start(program, {QStringLiteral("-p"), prefix, QStringLiteral("-c"), prefix + QStringLiteral("/nginx.conf"),
                               QStringLiteral("-e"), prefix + QStringLiteral("/logs/error.log")}))
      return false;
    for (int i = 0; i < 100; ++i) {
      Child probe;
      if (probe.run(QStringLiteral("curl"), {QStringLiteral("-sk"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                                              QStringLiteral("https://127.0.0.1:%1/").arg(httpsPort)}) == 0)
        return true;
      pause(50);
    }
    std::fprintf(stderr, "nginx did not answer\n");
    return false;
  }

  // CPU seconds of the service, the host's bridge and the peer's bridge.
  std::array<double, 3> cpu() {
    return {cpuSeconds(service.child().process().processId()), cpuSeconds(hostBridge.child().process().processId()),
            cpuSeconds(peerBridge.child().process().processId())};
  }

  QString freshFolder() {
    const QString dir = folder.path() + QStringLiteral("/save%1").arg(++round);
    QDir().mkpath(dir);
    return dir;
  }

  bool download(const QString& target, const QString& save) {
    return benchsupport::downloadThrough(peer, session, target, save).isEmpty();
  }

  bool upload(const QString& target) { return benchsupport::uploadThrough(peer, session, target, inbox).isEmpty(); }

  // curl fetching every file of a set over one connection, each synced.
  bool curlMany(const QString& set, const QString& into) {
    Child c;
    const int rc = c.run(QStringLiteral("curl"),
                         {QStringLiteral("-sfk"), QStringLiteral("--output-dir"), into, QStringLiteral("-K"),
                          folder.path() + QLatin1Char('/') + set + QStringLiteral(".curl")},
                         nullptr, 1200000);
    return rc == 0 && syncTree(into);
  }

  bool curlOne(const QString& name, const QString& into) {
    Child c;
    const int rc = c.run(QStringLiteral("curl"),
                         {QStringLiteral("-sfk"), QStringLiteral("-o"), into + QLatin1Char('/') + name,
                          QStringLiteral("https://127.0.0.1:%1/%2").arg(httpsPort).arg(name)},
                         nullptr, 1200000);
    return rc == 0 && syncTree(into);
  }

  // The disk's floor: `cp` of the same bytes, synced the same way.
  bool copy(const QString& what, const QString& into) {
    Child c;
    return c.run(QStringLiteral("cp"), {QStringLiteral("-r"), what, into}, nullptr, 1200000) == 0 && syncTree(into);
  }
};

using benchsupport::Contender;
using benchsupport::RatioLine;

// A contender that writes into a fresh folder per run (made untimed before
// it): `source` lands as `into` + `expect`, checked and then removed untimed.
Contender saved(Transfer* t, const std::string& name, const QString& source, const QString& expect,
                std::function<bool(const QString& into)> run) {
  auto into = std::make_shared<QString>(t->freshFolder());
  Contender c;
  c.name = name;
  c.run = [into, run] { return run(*into); };
  c.check = [into, source, expect](int round) { return sameTree(source, *into + expect, round == 0); };
  c.cleanup = [t, into] {
    QDir(*into).removeRecursively();
    *into = t->freshFolder();
  };
  return c;
}

// CPU seconds of the service and of both bridges per run of the contenders
// that go through them, printed as medians beside the times.
struct CpuTable {
  std::map<std::string, std::vector<std::array<double, 3>>> runs;
  void wrap(Transfer* t, Contender& c) {
    auto run = c.run;
    std::vector<std::array<double, 3>>* into = &runs[c.name];
    c.run = [t, run, into] {
      const auto before = t->cpu();
      const bool ok = run();
      const auto after = t->cpu();
      into->push_back({after[0] - before[0], after[1] - before[1], after[2] - before[2]});
      return ok;
    };
  }
  void print(double units, const char* unit) const {
    for (const auto& [name, list] : runs) {
      std::vector<double> parts[3];
      for (const auto& r : list)
        for (int i = 0; i < 3; ++i) parts[i].push_back(r[i] / units);
      std::printf("  cpu per %s, %-32s service %.3f s, host bridge %.3f s, peer bridge %.3f s\n", unit, name.c_str(),
                  benchsupport::median(parts[0]), benchsupport::median(parts[1]), benchsupport::median(parts[2]));
    }
  }
};

void bigSet(Transfer* t, int rounds) {
  const QString source = t->share + QStringLiteral("/big.bin");
  const QString landed = t->inbox + QStringLiteral("/big.bin");
  std::vector<Contender> cs;
  cs.push_back(saved(t, "disk floor: cp + fsync", source, QStringLiteral("/big.bin"),
                      [t, source](const QString& into) { return t->copy(source, into); }));
  cs.push_back(saved(t, "curl HTTPS from nginx + fsync", source, QStringLiteral("/big.bin"),
                      [t](const QString& into) { return t->curlOne(QStringLiteral("big.bin"), into); }));
  cs.push_back(saved(t, "relay download", source, QStringLiteral("/big.bin"), [t, source](const QString& into) {
    t->lan = false;
    return t->download(source, into);
  }));
  cs.push_back(saved(t, "local-route download", source, QStringLiteral("/big.bin"), [t, source](const QString& into) {
    t->lan = true;
    return t->download(source, into);
  }));
  for (const bool lan : {false, true}) {
    Contender up;
    up.name = lan ? "local-route upload" : "relay upload";
    up.run = [t, source, lan] {
      t->lan = lan;
      return t->upload(source);
    };
    up.check = [source, landed](int round) { return sameFile(source, landed, round == 0); };
    up.cleanup = [landed] { QFile::remove(landed); };
    cs.push_back(up);
  }
  CpuTable cpu;
  for (Contender& c : cs)
    if (c.name.find("relay") != std::string::npos || c.name.find("local-route") != std::string::npos) cpu.wrap(t, c);
  const std::string curl = "curl HTTPS from nginx + fsync", floor = "disk floor: cp + fsync";
  benchsupport::runInterleaved(
      "one file of " + std::to_string(bigBytes() / kMiB) + " MiB", rounds, double(bigBytes() / kMiB), "MiB", cs,
      {{"relay download", curl, "relay download / curl (time)"},
       {"relay upload", curl, "relay upload / curl (time)"},
       {"local-route download", curl, "local-route download / curl (time)"},
       {"local-route upload", curl, "local-route upload / curl (time)"},
       {curl, floor, "curl / disk floor (time)"},
       {"relay download", floor, "relay download / disk floor (time)"},
       {"local-route download", floor, "local-route download / disk floor (time)"}});
  cpu.print(double(bigBytes()) / double(1024 * kMiB), "GiB");
}

void smallSet(Transfer* t, int rounds, const QString& name, const char* title) {
  const QString source = t->share + QLatin1Char('/') + name;
  const double files = double(QDir(source).entryList(QDir::Files).size());
  std::vector<Contender> cs;
  const QString expect = QLatin1Char('/') + name;
  cs.push_back(saved(t, "disk floor: cp -r + fsync", source, expect,
                      [t, source](const QString& into) { return t->copy(source, into); }));
  cs.push_back(saved(t, "curl, many URLs on one connection + fsync", source, expect, [t, name](const QString& into) {
    QDir().mkpath(into + QLatin1Char('/') + name);
    return t->curlMany(name, into + QLatin1Char('/') + name);
  }));
  cs.push_back(saved(t, "relay download", source, expect, [t, source](const QString& into) {
    t->lan = false;
    return t->download(source, into);
  }));
  cs.push_back(saved(t, "local-route download", source, expect, [t, source](const QString& into) {
    t->lan = true;
    return t->download(source, into);
  }));
  // The same files the other way, into the host's inbox.
  Contender up;
  up.name = "local-route upload";
  const QString landed = t->inbox + expect;
  up.run = [t, source] {
    t->lan = true;
    return t->upload(source);
  };
  up.check = [source, landed](int round) { return sameTree(source, landed, round == 0); };
  up.cleanup = [landed] { QDir(landed).removeRecursively(); };
  cs.push_back(up);
  const std::string curl = "curl, many URLs on one connection + fsync";
  benchsupport::runInterleaved(title, rounds, files, "files", cs,
                               {{"relay download", curl, "relay download / curl many URLs (time)"},
                                {"local-route download", curl, "local-route download / curl many URLs (time)"},
                                {"local-route upload", curl, "local-route upload / curl many URLs (time)"},
                                {curl, "disk floor: cp -r + fsync", "curl many URLs / disk floor (time)"}});
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  Transfer* t = benchsupport::startedOnce<Transfer>("transfer");
  if (!t) return 1;
  const int rounds = benchsupport::roundsFromEnvironment();
  if (wanted("big")) bigSet(t, rounds);
  if (wanted("4k"))
    smallSet(t, rounds, QStringLiteral("small4k"),
             std::to_string(smallCount(10000)).append(" files of 4 KiB").c_str());
  if (wanted("1m"))
    smallSet(t, rounds, QStringLiteral("small1m"), std::to_string(smallCount(1000)).append(" files of 1 MiB").c_str());
  return 0;
}
