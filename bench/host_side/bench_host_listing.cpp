// Page 1 of 100 of a 100,000-file folder, sorted by name and by date, with its
// reply text, and the count probe with page 1 as the browser asks for them. By name against what a sorted `ls` of the folder plus a stat of
// the first 100 names costs; by date (which needs every entry's date) against
// a plain readdir + stat of the whole folder. End to end: a real client shares
// the folder, and a peer on another account asks for the probe and page 1
// through its bridge, the service's relay and the host's bridge.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <QCoreApplication>

#include "e2e_client.h"
#include "host_side/file_listing.h"
#include "host_side/host_file_service.h"
#include "support/ratio_main.h"
#include "support/started_once.h"

namespace {

constexpr int kFiles = 100000;

// Removed again when the program ends: each run makes 100,000 files.
const QString& folder() {
  static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/zarkelo-bench-XXXXXX"));
  static const QString path = [] {
    const QByteArray base = dir.path().toUtf8();
    char path[4096];
    for (int i = 0; i < kFiles; ++i) {
      std::snprintf(path, sizeof path, "%s/photo_%06d_%x.jpg", base.constData(), (i * 7919) % kFiles, i);
      const int fd = ::open(path, O_CREAT | O_WRONLY, 0644);
      if (fd >= 0) {
        if (i % 3) (void)::write(fd, "abc", size_t(i % 3));
        ::close(fd);
      }
    }
    return dir.path();
  }();
  return path;
}

void BM_ReaddirStat(benchmark::State& state) {
  const QByteArray path = folder().toUtf8();
  for (auto _ : state) {
    DIR* d = opendir(path.constData());
    int64_t total = 0;
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      struct stat st {};
      if (fstatat(dirfd(d), e->d_name, &st, 0) == 0) total += st.st_size;
    }
    closedir(d);
    benchmark::DoNotOptimize(total);
  }
}

void BM_SortedNamesStat100(benchmark::State& state) {
  const QByteArray path = folder().toUtf8();
  for (auto _ : state) {
    DIR* d = opendir(path.constData());
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    std::sort(names.begin(), names.end());
    int64_t total = 0;
    for (size_t i = 0; i < names.size() && i < 100; ++i) {
      struct stat st {};
      if (fstatat(dirfd(d), names[i].c_str(), &st, 0) == 0) total += st.st_size;
    }
    closedir(d);
    benchmark::DoNotOptimize(total);
  }
}

FileListRequest pageRequest(const char* orderBy, qint64 probeCount) {
  FileListRequest request;
  request.dir = folder();
  request.setLocalFolder(folder());
  request.orderBy = QString::fromLatin1(orderBy);
  request.pageIndex = 1;
  request.pageSize = 100;
  request.probeCount = probeCount;
  return request;
}

// The listing and its reply text, as the host writes it; the number of records.
size_t listAndWrite(const FileListRequest& request) {
  const vex::Json reply = answerGetFileList(request);
  benchmark::DoNotOptimize(reply.dump());
  return reply.at("data").size();
}

void listPage(benchmark::State& state, const char* orderBy) {
  const FileListRequest request = pageRequest(orderBy, 0);
  for (auto _ : state)
    if (listAndWrite(request) != 100) state.SkipWithError("short page");
}

void BM_ListPageByName(benchmark::State& state) { listPage(state, "0,1"); }
void BM_ListPageByDate(benchmark::State& state) { listPage(state, "1,1"); }

// What the host does for the browser's count probe and page 1, without the
// processes in between.
void BM_ProbeAndPageInProcess(benchmark::State& state) {
  const FileListRequest probe = pageRequest("", 1), page = pageRequest("", 0);
  for (auto _ : state) {
    listAndWrite(probe);
    if (listAndWrite(page) != 100) state.SkipWithError("short page");
  }
}

// Ann's client sharing the folder; Bob's link to it through two bridges.
struct SharingClient {
  vantreltest::Service service;
  vantreltest::BridgeProcess hostBridge, peerBridge;
  vantreltest::Child client;
  vantreltest::ClientLink peer;
  QString session;

  bool start() {
    qint64 annId = 0;
    if (!service.start() || !service.addAnnAndBob(&annId)) return false;
    SharingObj share;
    share.tag = QStringLiteral("BIG1");
    share.path = folder();
    if (!e2eclient::seedShare(client.home(), annId, QStringLiteral("ann-host"), share)) return false;
    if (!hostBridge.start(&service, "bench-secret") ||
        !e2eclient::startSignedInClient(client, service, hostBridge, QStringLiteral("bench-secret")))
      return false;
    if (!peerBridge.start(&service) || !peer.open(peerBridge.port())) return false;
    const auto login = peer.login(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"));
    if (!login) return false;
    peer.send(QStringLiteral("ClientInit"), {{"Id_user", vantrel::textOf(*login, "Token").toStdString()},
                                             {"Hostname", "ann-host"}, {"Hosttag", "BIG1"}, {"Hostpassword", ""}});
    const auto opened = peer.waitForCode(QStringLiteral("P2PCLIENT"), std::chrono::seconds(10));
    if (!opened) return false;
    const vantrel::Json link = vantrel::valueOf(opened->data, "Msg");
    session = vantrel::textOf(link, "ClientID1") + QLatin1Char('|') + vantrel::textOf(link, "ClientID2");
    return vantrel::textOf(opened->data, "Type") == QLatin1String("GetShareHost6Client");
  }

  // One peer request and its reply, waiting on the event loop.
  vantrel::Json ask(const vantrel::Json& payload) {
    const QString token = peer.request(session, QStringLiteral("getFileList"), payload);
    while (true) {
      for (const auto& frame : peer.inbox()) {
        if (vantrel::textOf(frame.data, "Token") != token) continue;
        const vantrel::Json reply = vantrel::valueOf(frame.data, "Msg");
        peer.inbox().clear();
        return reply;
      }
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
  }
};

void BM_ProbeAndPageEndToEnd(benchmark::State& state) {
  SharingClient* host = benchsupport::startedOnce<SharingClient>("sharing client");
  if (!host) {
    state.SkipWithError("sharing client setup failed");
    return;
  }
  const vantrel::Json base = {{"dir", folder().toStdString()}, {"search", ""}, {"orderBy", "0,1"}};
  vantrel::Json probe = base, page = base;
  probe["iProbeCount"] = 1;
  page["iProbeCount"] = 0;
  page["iPageIndex"] = 1;
  page["iPageSize"] = 100;
  for (auto _ : state) {
    const vantrel::Json counted = host->ask(probe);
    const vantrel::Json listed = host->ask(page);
    if (counted.value("index", "") != std::to_string(kFiles) || listed["data"].size() != 100)
      state.SkipWithError("short listing");
  }
}

BENCHMARK(BM_ReaddirStat)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_SortedNamesStat100)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_ListPageByName)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_ListPageByDate)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_ProbeAndPageInProcess)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_ProbeAndPageEndToEnd)->Unit(benchmark::kMillisecond)->MinTime(2)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  folder();  // made once, before any timing
  return benchsupport::runWithRatios(
      argc, argv,
      {{"BM_ListPageByName/min_time:2.000", "BM_SortedNamesStat100/min_time:2.000",
        "page by name vs sorted listing + stat of 100 (goal <= 2)"},
       {"BM_ProbeAndPageInProcess/min_time:2.000", "BM_SortedNamesStat100/min_time:2.000",
        "probe and page by name in process vs sorted listing + stat of 100"},
       {"BM_ProbeAndPageEndToEnd/min_time:2.000/real_time", "BM_SortedNamesStat100/min_time:2.000",
        "probe and page by name end to end vs sorted listing + stat of 100 (goal <= 2)"},
       {"BM_ListPageByDate/min_time:2.000", "BM_ReaddirStat/min_time:2.000", "page by date vs readdir+stat"}});
}
