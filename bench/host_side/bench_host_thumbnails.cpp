// Thumbnails per second for 50 camera-size JPEGs (4000 x 3000): the host's
// thumbnail answer (decoded by the confined helper processes, then JPEG and
// base64) against the same answer decoded inside the client as it used to be,
// and against QImageReader with scaled decoding alone, one after another and
// in parallel. The two answers run interleaved, repeated, and are compared by
// their medians: the machine may be busy with other work.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QLinearGradient>
#include <QPainter>
#include <QTemporaryDir>
#include <QtConcurrent/QtConcurrentMap>

#include <memory>

#include "host_side/path_guard.h"
#include "media/file_thumbnails.h"
#include "host_side/thumbnails.h"
#include "support/ratio_main.h"

namespace {

constexpr int kImages = 50;
constexpr int kEdge = 48;

std::unique_ptr<QTemporaryDir> g_dir;  // removed when the program ends
QStringList g_paths;

void makeImages() {
  g_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/zarkelo-bench-XXXXXX"));
  QImage image(4000, 3000, QImage::Format_RGB32);
  for (int i = 0; i < kImages; ++i) {
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, 4000, 3000);
    gradient.setColorAt(0, QColor::fromHsv((i * 37) % 360, 200, 230));
    gradient.setColorAt(1, QColor::fromHsv((i * 91) % 360, 180, 60));
    painter.fillRect(image.rect(), gradient);
    for (int k = 0; k < 200; ++k)
      painter.fillRect((k * 97 + i * 13) % 3900, (k * 61) % 2900, 100, 100, QColor::fromRgb(QRgb(k * 2654435761u)));
    painter.end();
    const QString path = g_dir->path() + QStringLiteral("/IMG_%1.jpg").arg(i, 4, 10, QLatin1Char('0'));
    image.save(path, "JPEG", 90);
    g_paths << path;
  }
}

QImage scaledDecode(const QString& path) {
  QImageReader reader(path);
  reader.setScaledSize(reader.size().scaled(kEdge, kEdge, Qt::KeepAspectRatio));
  return reader.read();
}

void BM_ScaledDecodeSequential(benchmark::State& state) {
  for (auto _ : state)
    for (const QString& path : g_paths) benchmark::DoNotOptimize(scaledDecode(path));
  state.SetItemsProcessed(state.iterations() * kImages);
}

void BM_ScaledDecodeParallel(benchmark::State& state) {
  for (auto _ : state) QtConcurrent::blockingMap(g_paths, [](const QString& p) { (void)scaledDecode(p); });
  state.SetItemsProcessed(state.iterations() * kImages);
}

void hostThumbnails(benchmark::State& state, ThumbnailMaker maker) {
  setThumbnailMakerForTesting(std::move(maker));
  const PathGuard guard({ShareRoot{g_dir->path(), true, false, false}});
  vex::Json list = vex::Json::array();
  for (int i = 0; i < kImages; ++i) list.push_back((g_paths[i] + QStringLiteral("|%1").arg(i)).toStdString());
  const vex::Json text = list.dump();
  for (auto _ : state) {
    bool done = false;
    answerBuildIcon2(guard, kEdge, text, [&](const QString& result) {
      done = true;
      if (result.count(QStringLiteral("base64,")) != kImages) std::abort();
    });
    while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  setThumbnailMakerForTesting({});
  state.SetItemsProcessed(state.iterations() * kImages);
}

void BM_HostThumbnails(benchmark::State& state) { hostThumbnails(state, {}); }
void BM_HostThumbnailsInProcess(benchmark::State& state) { hostThumbnails(state, generateThumbnailSync); }

BENCHMARK(BM_ScaledDecodeSequential)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScaledDecodeParallel)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_HostThumbnails)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(8)->ReportAggregatesOnly();
BENCHMARK(BM_HostThumbnailsInProcess)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(8)
    ->ReportAggregatesOnly();

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  makeImages();
  // The helpers' and the in-process answer alternate rather than run one after the other.
  std::vector<char*> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  int count = int(args.size());
  return benchsupport::runWithRatios(
      count, args.data(),
      {{"BM_HostThumbnails/repeats:8/real_time_median", "BM_HostThumbnailsInProcess/repeats:8/real_time_median",
        "helper thumbnails vs in-process thumbnails (medians)"},
       {"BM_HostThumbnails/repeats:8/real_time_median", "BM_ScaledDecodeSequential/real_time", "host thumbnails vs sequential decode"},
       {"BM_HostThumbnails/repeats:8/real_time_median", "BM_ScaledDecodeParallel/real_time", "host thumbnails vs parallel decode"}});
}
