#include "media/file_thumbnails.h"
#include "media/util_media.h"

#include "support/test_util.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <set>

namespace {

// Decodes the QR code in the image with zbarimg; none when it finds no code.
std::optional<QString> decode(const QImage& image, const QTemporaryDir& dir) {
  const QString path = dir.filePath(QStringLiteral("qr.png"));
  if (!image.save(path)) return std::nullopt;
  QProcess zbar;
  zbar.start(QStringLiteral("zbarimg"), {QStringLiteral("--raw"), QStringLiteral("-q"), path});
  if (!zbar.waitForFinished(10000) || zbar.exitCode() != 0) return std::nullopt;
  return QString::fromUtf8(zbar.readAllStandardOutput()).trimmed();
}

QString saveImage(const QTemporaryDir& dir, const QString& name, QSize size, const char* format) {
  QImage image(size, QImage::Format_RGB32);
  image.fill(Qt::red);
  const QString path = dir.filePath(name);
  EXPECT_TRUE(image.save(path, format));
  return path;
}

struct ThumbnailResult {
  int calls = 0;
  bool onMainThread = false;
  std::optional<QImage> image;
};

ThumbnailResult thumbnail(const QString& path, double width, double height) {
  auto result = std::make_shared<ThumbnailResult>();
  generateThumbnail(path, width, height, [result](const std::optional<QImage>& image) {
    ++result->calls;
    result->onMainThread = QThread::currentThread() == QCoreApplication::instance()->thread();
    result->image = image;
  });
  EXPECT_EQ(result->calls, 0);  // returns before the picture is made
  testutil::waitUntil([&] { return result->calls > 0; });
  QCoreApplication::processEvents();
  return *result;
}

}  // namespace

TEST(UtilMedia, QrCodeDecodesBackToItsText) {
  if (QStandardPaths::findExecutable(QStringLiteral("zbarimg")).isEmpty()) GTEST_SKIP() << "zbarimg not installed";
  QTemporaryDir dir;
  const QString text = QStringLiteral("https://kelvor.example/wx/login/?mid=7Q2K9ZP4&token=a'b\"c|d");
  const QImage image = generateColoredQRImage(text, Qt::white, Qt::black, 200, 200);
  ASSERT_EQ(image.size(), QSize(200, 200));
  EXPECT_EQ(decode(image, dir), text);

  // The raw symbol decodes too, and is stable for the same text.
  const auto raw = generateQRCIImage(text);
  ASSERT_TRUE(raw);
  EXPECT_EQ(*raw, *generateQRCIImage(text));
  EXPECT_EQ(decode(raw->scaled(raw->size() * 4, Qt::IgnoreAspectRatio, Qt::FastTransformation), dir), text);
}

TEST(UtilMedia, QrCodeUsesExactlyTheTwoColoursAndHasAQuietZone) {
  const QColor light(250, 240, 200);
  const QColor dark(10, 20, 90);
  const QImage image = generateColoredQRImage(QStringLiteral("https://kelvor.example/wx/settings/?mid=1"), light, dark, 200, 200);
  ASSERT_EQ(image.size(), QSize(200, 200));
  std::set<QRgb> colours;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) colours.insert(image.pixel(x, y) | 0xff000000u);
  EXPECT_EQ(colours, (std::set<QRgb>{light.rgb(), dark.rgb()}));
  // Corners lie in the light margin around the symbol.
  EXPECT_EQ(image.pixel(0, 0) | 0xff000000u, light.rgb());
  EXPECT_EQ(image.pixel(199, 199) | 0xff000000u, light.rgb());

  // Level H: the raw symbol is larger than the lowest level would need, and a
  // text beyond any symbol's capacity gives nothing.
  const auto raw = generateQRCIImage(QStringLiteral("https://kelvor.example/wx/settings/?mid=1"));
  ASSERT_TRUE(raw);
  // 41 bytes need version 5 (37 modules) at level H, where level L would fit version 3;
  // plus a 4-module margin on each side.
  EXPECT_EQ(raw->width(), 37 + 8);
  EXPECT_FALSE(generateQRCIImage(QString(4000, QLatin1Char('x'))));
  EXPECT_TRUE(generateColoredQRImage(QString(4000, QLatin1Char('x')), Qt::white, Qt::black, 200, 200).isNull());
}

TEST(UtilMedia, ThumbnailKeepsAspectAndFitsTheBox) {
  QTemporaryDir dir;
  const auto wide = thumbnail(saveImage(dir, QStringLiteral("wide.png"), {400, 200}, "PNG"), 100, 100);
  EXPECT_EQ(wide.calls, 1);
  EXPECT_TRUE(wide.onMainThread);
  ASSERT_TRUE(wide.image);
  EXPECT_EQ(wide.image->size(), QSize(100, 50));

  const auto tall = generateThumbnailSync(saveImage(dir, QStringLiteral("tall.jpg"), {300, 900}, "JPG"), 64, 64);
  ASSERT_TRUE(tall);
  EXPECT_EQ(tall->size(), QSize(21, 64));
  const auto retina = generateThumbnailSync(dir.filePath(QStringLiteral("tall.jpg")), 64, 64, 2.0);
  ASSERT_TRUE(retina);
  EXPECT_EQ(retina->size(), QSize(42, 128));

  // Pictures smaller than the box are not enlarged.
  const auto small = generateThumbnailSync(saveImage(dir, QStringLiteral("small.png"), {20, 10}, "PNG"), 64, 64);
  ASSERT_TRUE(small);
  EXPECT_EQ(small->size(), QSize(20, 10));
}

TEST(UtilMedia, NonImageGivesNoThumbnail) {
  QTemporaryDir dir;
  QFile text(dir.filePath(QStringLiteral("notes.png")));  // the name lies
  ASSERT_TRUE(text.open(QIODevice::WriteOnly));
  text.write("just some text, not a picture\n");
  text.close();

  const auto fake = thumbnail(text.fileName(), 64, 64);
  EXPECT_EQ(fake.calls, 1);
  EXPECT_TRUE(fake.onMainThread);
  EXPECT_FALSE(fake.image);
  EXPECT_FALSE(thumbnail(dir.filePath(QStringLiteral("missing.jpg")), 64, 64).image);
  EXPECT_FALSE(thumbnail(dir.path(), 64, 64).image);
}
