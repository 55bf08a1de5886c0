// Page 1 of 100 of a 100,000-file folder, sorted by name and by date, with its
// reply text, against a plain readdir + stat of the same folder.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>

#include "host_side/file_listing.h"
#include "support/ratio_main.h"

namespace {

constexpr int kFiles = 100000;

const QString& folder() {
  static QTemporaryDir* dir = [] {
    auto* d = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/zarkelo-bench-XXXXXX"));
    const QByteArray base = d->path().toUtf8();
    char path[4096];
    for (int i = 0; i < kFiles; ++i) {
      std::snprintf(path, sizeof path, "%s/photo_%06d_%x.jpg", base.constData(), (i * 7919) % kFiles, i);
      const int fd = ::open(path, O_CREAT | O_WRONLY, 0644);
      if (fd >= 0) {
        if (i % 3) (void)::write(fd, "abc", size_t(i % 3));
        ::close(fd);
      }
    }
    return d;
  }();
  static const QString path = dir->path();
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

void listPage(benchmark::State& state, const char* orderBy) {
  FileListRequest request;
  request.dir = folder();
  request.listPath = folder();
  request.orderBy = QString::fromLatin1(orderBy);
  request.pageIndex = 1;
  request.pageSize = 100;
  for (auto _ : state) {
    const FileListResult result = listFolder(request);
    MsgBackData_FileList reply;
    reply.data = vex::toJSONModel(result.items);
    reply.sResult = result.result;
    reply.sPageInfo = result.pageInfo;
    reply.index = result.index;
    benchmark::DoNotOptimize(reply.toJSONString());
    if (result.items.size() != 100) state.SkipWithError("short page");
  }
}

void BM_ListPageByName(benchmark::State& state) { listPage(state, "0,1"); }
void BM_ListPageByDate(benchmark::State& state) { listPage(state, "1,1"); }

BENCHMARK(BM_ReaddirStat)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_ListPageByName)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_ListPageByDate)->Unit(benchmark::kMillisecond)->MinTime(2);

}  // namespace

int main(int argc, char** argv) {
  folder();  // made once, before any timing
  return benchsupport::runWithRatios(
      argc, argv,
      {{"BM_ListPageByName/min_time:2.000", "BM_ReaddirStat/min_time:2.000", "page by name vs readdir+stat"},
       {"BM_ListPageByDate/min_time:2.000", "BM_ReaddirStat/min_time:2.000", "page by date vs readdir+stat"}});
}
