// Thumbnails decoded at their target size against full decoding then
// scaling; the settings store's transactional write against two bare
// statements.
#include "core/util_db.h"
#include "media/file_thumbnails.h"
#include "media/util_media.h"
#include "support/ratio_main.h"

#include <QCoreApplication>
#include <QImage>
#include <QTemporaryDir>

namespace {

QTemporaryDir& workDir() {
  static QTemporaryDir dir;
  return dir;
}

QString photoPath() {
  static const QString path = [] {
    QImage image(4000, 3000, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) image.setPixel(x, y, qRgb(x % 256, y % 256, (x ^ y) % 256));
    const QString file = workDir().filePath(QStringLiteral("photo.jpg"));
    image.save(file, "JPG", 90);
    return file;
  }();
  return path;
}

void BM_ThumbnailScaledDecode(benchmark::State& state) {
  const QString path = photoPath();
  for (auto _ : state) benchmark::DoNotOptimize(generateThumbnailSync(path, 128, 128));
}
BENCHMARK(BM_ThumbnailScaledDecode)->Unit(benchmark::kMillisecond);

void BM_ThumbnailDecodeThenScale(benchmark::State& state) {
  const QString path = photoPath();
  for (auto _ : state)
    benchmark::DoNotOptimize(QImage(path).scaled(128, 128, Qt::KeepAspectRatio, Qt::SmoothTransformation));
}
BENCHMARK(BM_ThumbnailDecodeThenScale)->Unit(benchmark::kMillisecond);

void openDb() {
  if (!UtilDB::db()) UtilDB::openAt(workDir().filePath(QStringLiteral("kelvor.dat")));
}

void BM_SetValueInTransaction(benchmark::State& state) {
  openDb();
  int i = 0;
  for (auto _ : state) UtilDB::setValue(QStringLiteral("SaveAtDir"), QString::number(++i));
}
BENCHMARK(BM_SetValueInTransaction)->Unit(benchmark::kMicrosecond);

void BM_SetValueTwoStatements(benchmark::State& state) {
  openDb();
  int i = 0;
  for (auto _ : state) {
    UtilDB::execute(QStringLiteral("delete from icons where key=?"), {QStringLiteral("SaveAtDir")});
    UtilDB::execute(QStringLiteral("insert into icons (key,value) values( ?, ? ) "),
                    {QStringLiteral("SaveAtDir"), QString::number(++i)});
  }
}
BENCHMARK(BM_SetValueTwoStatements)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  return benchsupport::runWithRatios(
      argc, argv,
      {{"BM_ThumbnailScaledDecode", "BM_ThumbnailDecodeThenScale", "thumbnail scaled decode / decode then scale"},
       {"BM_SetValueInTransaction", "BM_SetValueTwoStatements", "setValue in one transaction / two statements"}});
}
