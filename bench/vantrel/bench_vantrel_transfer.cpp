// Throughput of a 200 MB download between two bridges through the account
// service's relay, all running as processes on loopback. Baseline: a plain
// copy of the same file on the same disk in the same run.
#include "support/ratio_main.h"
#include "support/started_once.h"

#include "vantrel_harness.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

using namespace vantreltest;

namespace {

constexpr qint64 kFileBytes = qint64(200) * 1000 * 1000;

struct Transfer : LinkedPair {
  QTemporaryDir folder;
  QString source;
  int round = 0;

  bool start() {
    source = folder.path() + QStringLiteral("/share/big.bin");
    QDir().mkpath(folder.path() + QStringLiteral("/share"));
    QFile file(source);
    if (!file.open(QIODevice::WriteOnly)) return false;
    QByteArray block(4 * 1024 * 1024, Qt::Uninitialized);
    for (qint64 written = 0; written < kFileBytes; written += block.size()) {
      QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
      file.write(block.constData(), std::min<qint64>(block.size(), kFileBytes - written));
    }
    file.close();
    return LinkedPair::start([](const QString& code, const Json& msg) -> Json {
      if (code == QLatin1String("fileDownloadCheck")) return {{"data", {{"path", msg.value("path", "")}, {"valid", 1}}}};
      return {{"data", "PONG"}};
    });
  }

  // One download into a fresh folder; true when the whole file arrived.
  bool download() {
    const QString save = folder.path() + QStringLiteral("/save%1").arg(++round);
    peer.control(QStringLiteral("Trans3_FC_00_CallStart"), {{"Session", session.toStdString()},
                                                            {"Targets", source.toStdString()},
                                                            {"SaveAtLocalFolder", save.toStdString()}});
    Json last;
    while (true) {
      const auto reply = peer.waitReply(
          peer.control(QStringLiteral("Trans3_FC_TransTaskInfo"), {{"Session", session.toStdString()}}), 10s);
      if (reply) last = *reply;
      if (vantrel::intOf(last, "TaskStatus") == 1 || vantrel::intOf(last, "ForceCancel") == 1) break;
      // Waits without spinning, so the bridges and the service get the CPU.
      QEventLoop pause;
      QTimer::singleShot(50, &pause, &QEventLoop::quit);
      pause.exec();
    }
    const bool ok = QFileInfo(save + QStringLiteral("/big.bin")).size() == kFileBytes;
    QDir(save).removeRecursively();
    return ok;
  }
};

void BM_RelayedDownload200MB(benchmark::State& state) {
  Transfer* t = benchsupport::startedOnce<Transfer>("transfer");
  if (!t) {
    state.SkipWithError("transfer setup failed");
    return;
  }
  for (auto _ : state) {
    if (!t->download()) {
      state.SkipWithError("the download did not complete");
      return;
    }
  }
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}

void BM_PlainCopy200MB(benchmark::State& state) {
  Transfer* t = benchsupport::startedOnce<Transfer>("transfer");
  if (!t) {
    state.SkipWithError("transfer setup failed");
    return;
  }
  const QString copy = t->folder.path() + QStringLiteral("/copy.bin");
  for (auto _ : state) {
    QFile::remove(copy);
    if (!QFile::copy(t->source, copy)) {
      state.SkipWithError("copy failed");
      return;
    }
  }
  QFile::remove(copy);
  state.SetBytesProcessed(state.iterations() * kFileBytes);
}

BENCHMARK(BM_RelayedDownload200MB)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_PlainCopy200MB)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  return benchsupport::runWithRatios(
      argc, argv,
      {{"BM_RelayedDownload200MB/iterations:3/real_time", "BM_PlainCopy200MB/iterations:3/real_time",
        "200 MB download through two bridges and the relay / plain file copy"}});
}
