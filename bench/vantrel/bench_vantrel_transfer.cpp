// Throughput of a download and an upload of one file between two bridges
// through the account service's relay, all running as processes on loopback,
// against curl fetching the same file over HTTPS from a loopback server
// (openssl s_server) in the same run. Every target is a fresh folder on the
// same disk and every copy is synced to disk before it counts, as the bridge
// does. ZARKELO_BENCH_TRANSFER_MB sets the size (default 1024 MiB).
// The same transfers over the host bridge's local-network route (on
// 127.0.0.1, the share's "TransLAN" on) follow in the same run.
// Goals: each relayed time at most 2 × curl's (throughput at least half);
// over the local-network route at most 1.18 × (throughput at least 0.85 ×).
#include "support/ratio_main.h"
#include "support/started_once.h"

#include "vantrel_harness.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

using namespace vantreltest;

namespace {

qint64 fileBytes() {
  const qint64 mb = qEnvironmentVariableIntValue("ZARKELO_BENCH_TRANSFER_MB");
  return (mb > 0 ? mb : 1024) * 1024 * 1024;
}

bool syncFile(const QString& path) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// Waits in the event loop, so the bridges and the service get the CPU.
void pause(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

struct Transfer : LinkedPair {
  QTemporaryDir folder;
  QString share, source, inbox;
  Child httpsServer;
  quint16 httpsPort = 0;
  int round = 0;
  bool lan = false;  // the host's checks allow the local-network route

  bool start() {
    share = folder.path() + QStringLiteral("/share");
    inbox = share + QStringLiteral("/inbox");
    source = share + QStringLiteral("/big.bin");
    QDir().mkpath(inbox);
    QFile file(source);
    if (!file.open(QIODevice::WriteOnly)) return false;
    QByteArray block(4 * 1024 * 1024, Qt::Uninitialized);
    for (qint64 written = 0; written < fileBytes(); written += block.size()) {
      QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
      file.write(block.constData(), std::min<qint64>(block.size(), fileBytes() - written));
    }
    file.close();
    return startHttps() && LinkedPair::start([this](const QString& code, const Json& msg) -> Json {
             const char* transLan = lan ? "1" : "0";
             if (code == QLatin1String("fileDownloadCheck"))
               return {{"data", {{"path", msg.value("path", "")}, {"valid", 1}, {"TransLAN", transLan}}}};
             if (code == QLatin1String("fileUploadCheck"))
               return {{"data",
                        {{"dir", msg.value("dir", "")}, {"valid", 1}, {"task", Json::array()}, {"TransLAN", transLan}}}};
             return {{"data", "PONG"}};
           });
  }

  // openssl s_server serving the share folder over HTTPS on loopback.
  bool startHttps() {
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
    httpsServer.process().setWorkingDirectory(share);
    if (!httpsServer.start(QStringLiteral("openssl"),
                           {QStringLiteral("s_server"), QStringLiteral("-quiet"), QStringLiteral("-WWW"),
                            QStringLiteral("-accept"), QStringLiteral("127.0.0.1:%1").arg(httpsPort),
                            QStringLiteral("-cert"), cert, QStringLiteral("-key"), key}))
      return false;
    pause(300);
    return true;
  }

  bool curl() {
    const QString save = freshFolder() + QStringLiteral("/big.bin");
    Child c;
    const int rc = c.run(QStringLiteral("curl"), {QStringLiteral("-sk"), QStringLiteral("-o"), save,
                                                  QStringLiteral("https://127.0.0.1:%1/big.bin").arg(httpsPort)},
                         nullptr, 600000);
    const bool ok = rc == 0 && QFileInfo(save).size() == fileBytes() && syncFile(save);
    QFile::remove(save);
    return ok;
  }

  QString freshFolder() {
    const QString dir = folder.path() + QStringLiteral("/save%1").arg(++round);
    QDir().mkpath(dir);
    return dir;
  }

  // Polls a progress record until the task ends; true when it finished.
  bool follow(const std::function<std::optional<Json>()>& poll) {
    while (true) {
      const auto reply = poll();
      if (reply && (vantrel::intOf(*reply, "TaskStatus") == 1 || vantrel::intOf(*reply, "ForceCancel") == 1))
        return vantrel::intOf(*reply, "TaskStatus") == 1;
      pause(20);
    }
  }

  bool download() {
    const QString save = freshFolder();
    peer.waitReply(peer.control(QStringLiteral("Trans3_FC_00_CallStart"),
                                {{"Session", session.toStdString()},
                                 {"Targets", source.toStdString()},
                                 {"SaveAtLocalFolder", save.toStdString()}}),
                   10s);
    const bool finished = follow([&] {
      return peer.waitReply(
          peer.control(QStringLiteral("Trans3_FC_TransTaskInfo"), {{"Session", session.toStdString()}}), 10s);
    });
    const bool ok = finished && QFileInfo(save + QStringLiteral("/big.bin")).size() == fileBytes();
    QDir(save).removeRecursively();
    return ok;
  }

  bool upload() {
    peer.waitReply(peer.control(QStringLiteral("Trans2_FS_00_CallStart"),
                                {{"Session", session.toStdString()},
                                 {"Targets", source.toStdString()},
                                 {"RemotePathRoot", inbox.toStdString()}}),
                   30s);
    // The sending side's own record, answered by its bridge.
    const bool finished = follow([&] {
      const QString token = QStringLiteral("ClientWSDCBench-%1").arg(++round);
      peer.send(QStringLiteral("WSDC"),
                {{"Session", session.toStdString()}, {"Code", "RemoteUploadTaskInfo"}, {"Token", token.toStdString()},
                 {"IsProcessOnBridge", "YES"},
                 {"Data", {{"Session", session.toStdString()}, {"IsProcessOnBridge", "YES"}}}},
                false);
      auto frame = peer.waitFor([&](const ClientLink::Frame& f) { return vantrel::textOf(f.data, "Token") == token; },
                                10s);
      return frame ? std::optional<Json>(vantrel::valueOf(frame->data, "Msg")) : std::nullopt;
    });
    const QString landed = inbox + QStringLiteral("/big.bin");
    const bool ok = finished && QFileInfo(landed).size() == fileBytes();
    QFile::remove(landed);
    return ok;
  }
};

Transfer* fixture(benchmark::State& state) {
  Transfer* t = benchsupport::startedOnce<Transfer>("transfer");
  if (!t) state.SkipWithError("transfer setup failed");
  return t;
}

template <bool (Transfer::*Run)(), bool Lan = false>
void measure(benchmark::State& state) {
  Transfer* t = fixture(state);
  if (!t) return;
  t->lan = Lan;
  for (auto _ : state) {
    if (!(t->*Run)()) {
      state.SkipWithError("the transfer did not complete");
      return;
    }
  }
  state.SetBytesProcessed(state.iterations() * fileBytes());
}

void BM_CurlHttpsDownload(benchmark::State& state) { measure<&Transfer::curl>(state); }
void BM_RelayedDownload(benchmark::State& state) { measure<&Transfer::download>(state); }
void BM_RelayedUpload(benchmark::State& state) { measure<&Transfer::upload>(state); }
void BM_LanDownload(benchmark::State& state) { measure<&Transfer::download, true>(state); }
void BM_LanUpload(benchmark::State& state) { measure<&Transfer::upload, true>(state); }

BENCHMARK(BM_CurlHttpsDownload)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_RelayedDownload)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_RelayedUpload)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_LanDownload)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_LanUpload)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  return benchsupport::runWithRatios(
      argc, argv,
      {{"BM_RelayedDownload/iterations:3/real_time", "BM_CurlHttpsDownload/iterations:3/real_time",
        "download through two bridges and the relay / curl over HTTPS (time, goal <= 2)"},
       {"BM_RelayedUpload/iterations:3/real_time", "BM_CurlHttpsDownload/iterations:3/real_time",
        "upload through two bridges and the relay / curl over HTTPS (time, goal <= 2)"},
       {"BM_LanDownload/iterations:3/real_time", "BM_CurlHttpsDownload/iterations:3/real_time",
        "download over the local-network route / curl over HTTPS (time, goal <= 1.18)"},
       {"BM_LanUpload/iterations:3/real_time", "BM_CurlHttpsDownload/iterations:3/real_time",
        "upload over the local-network route / curl over HTTPS (time, goal <= 1.18)"}});
}
