#include <gtest/gtest.h>

#include <QFileInfo>

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPdfWriter>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>
#include <atomic>
#include <csignal>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "host_side/path_guard.h"
#include "host_side/thumbnail_helpers.h"
#include "host_side/thumbnails.h"
#include "support/test_util.h"

namespace {

// A one-page PDF whose page is filled with `colour`.
bool writePdf(const QString& path, const QColor& colour) {
  QPdfWriter pdf(path);
  pdf.setPageSize(QPageSize(QPageSize::A6));
  QPainter painter(&pdf);
  if (!painter.isActive()) return false;
  painter.fillRect(QRect(QPoint(0, 0), QSize(pdf.width(), pdf.height())), colour);
  return painter.end();
}

// A short Motion-JPEG AVI (ten 64 x 48 frames of `colour` at 10 per second),
// the simplest video any decoder reads.
bool writeVideo(const QString& path, const QColor& colour) {
  const int width = 64, height = 48, frames = 10;
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(colour);
  QByteArray jpeg;
  QBuffer buffer(&jpeg);
  buffer.open(QIODevice::WriteOnly);
  if (!image.save(&buffer, "JPEG", 90)) return false;
  if (jpeg.size() % 2) jpeg.append('\0');

  auto u32 = [](quint32 v) { QByteArray b(4, '\0'); qToLittleEndian(v, b.data()); return b; };
  auto u16 = [](quint16 v) { QByteArray b(2, '\0'); qToLittleEndian(v, b.data()); return b; };
  auto chunk = [&](const char* id, const QByteArray& body) { return QByteArray(id, 4) + u32(quint32(body.size())) + body; };
  auto list = [&](const char* type, const QByteArray& body) { return chunk("LIST", QByteArray(type, 4) + body); };

  const QByteArray avih = u32(100000) + u32(0) + u32(0) + u32(0x10) + u32(frames) + u32(0) + u32(1) +
                          u32(quint32(jpeg.size())) + u32(width) + u32(height) + QByteArray(16, '\0');
  const QByteArray strh = QByteArray("vidsMJPG", 8) + u32(0) + u16(0) + u16(0) + u32(0) + u32(1) + u32(10) + u32(0) +
                          u32(frames) + u32(quint32(jpeg.size())) + u32(0xFFFFFFFF) + u32(0) + u16(0) + u16(0) +
                          u16(width) + u16(height);
  const QByteArray strf = u32(40) + u32(width) + u32(height) + u16(1) + u16(24) + QByteArray("MJPG", 4) +
                          u32(width * height * 3) + u32(0) + u32(0) + u32(0) + u32(0);
  const QByteArray hdrl = list("hdrl", chunk("avih", avih) + list("strl", chunk("strh", strh) + chunk("strf", strf)));
  QByteArray movi;
  QByteArray index;
  for (int i = 0; i < frames; ++i) {
    index += QByteArray("00dc", 4) + u32(0x10) + u32(quint32(4 + movi.size())) + u32(quint32(jpeg.size()));
    movi += chunk("00dc", jpeg);
  }
  const QByteArray body = QByteArray("AVI ", 4) + hdrl + list("movi", movi) + chunk("idx1", index);
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(chunk("RIFF", body)) > 0;
}

// The colour at the middle of a thumbnail record's picture.
QColor middleOf(const vex::Json& record) {
  const std::string icon = record["iconBase64"].get<std::string>();
  if (icon.size() <= 22) return {};
  const QImage decoded = QImage::fromData(QByteArray::fromBase64(QByteArray::fromStdString(icon.substr(22))));
  return decoded.isNull() ? QColor() : decoded.pixelColor(decoded.width() / 2, decoded.height() / 2);
}

class ThumbnailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp.isValid());
    share = tmp.path() + QStringLiteral("/share");
    QDir().mkpath(share + QStringLiteral("/folder"));
    QDir().mkpath(tmp.path() + QStringLiteral("/outside"));
    for (int i = 0; i < 3; ++i) {
      QImage image(400 + 40 * i, 300, QImage::Format_RGB32);
      image.fill(QColor(20 * i, 100, 200));
      ASSERT_TRUE(image.save(share + QStringLiteral("/img%1.jpg").arg(i)));
    }
    QImage(50, 50, QImage::Format_RGB32).save(tmp.path() + QStringLiteral("/outside/o.png"));
    QFile text(share + QStringLiteral("/notes.txt"));
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    text.write("not a picture");
  }

  // Runs a request and waits for its first answer; `calls` keeps counting
  // answers after this returns.
  std::optional<vex::Json> run(qint64 size, const vex::Json& fileList,
                               const std::shared_ptr<int>& calls = std::make_shared<int>(0),
                               const QString& session = {}) {
    auto answer = std::make_shared<std::optional<QString>>();
    answerBuildIcon2(
        PathGuard({ShareRoot{share, true, false, false}}), size, fileList,
        [answer, calls](const QString& text) {
          ++*calls;
          if (!*answer) *answer = text;
        },
        session);
    testutil::waitUntil([&] { return answer->has_value(); }, std::chrono::seconds(30));
    if (!*answer) return std::nullopt;
    return vex::Json::parse((*answer)->toStdString(), nullptr, false);
  }

  std::string element(const QString& path, const char* rest) {
    return (path + QString::fromLatin1(rest)).toStdString();
  }

  QTemporaryDir tmp;
  QString share;
};

TEST_F(ThumbnailTest, OneAnswerWithEveryPictureAndItsIndex) {
  vex::Json list = vex::Json::array();
  for (int i = 0; i < 3; ++i)
    list.push_back(element(share + QStringLiteral("/img%1.jpg").arg(i), i == 0 ? "|7|1|-1" : "|-2"));
  const auto calls = std::make_shared<int>(0);
  const auto result = run(48, vex::Json(list.dump()), calls);
  ASSERT_TRUE(result && result->is_array());
  testutil::idleFor(std::chrono::milliseconds(50));  // a second answer would come now
  EXPECT_EQ(*calls, 1);
  ASSERT_EQ(result->size(), 3u);
  std::set<int64_t> indexes;
  for (const auto& record : *result) {
    indexes.insert(record["index"].get<int64_t>());
    const std::string icon = record["iconBase64"].get<std::string>();
    ASSERT_EQ(icon.rfind("data:image/jpg;base64,", 0), 0u);
    const QImage decoded = QImage::fromData(QByteArray::fromBase64(QByteArray::fromStdString(icon.substr(22))));
    ASSERT_FALSE(decoded.isNull());
    EXPECT_LE(std::max(decoded.width(), decoded.height()), int(48 * backingScale()));
    EXPECT_GT(record["size"].get<int64_t>(), 0);
    EXPECT_EQ(record.size(), 10u);
    if (record["index"] == 7) {
      EXPECT_EQ(record["fullPath"], (share + QStringLiteral("/img0.jpg")).toStdString());
    }
  }
  EXPECT_EQ(indexes, (std::set<int64_t>{7, -2}));
}

// The list comes as JSON text or as an array; either way only the good
// elements get a record.
TEST_F(ThumbnailTest, MissingRefusedAndMalformedElementsAreLeftOut) {
  QFile::remove(share + QStringLiteral("/img2.jpg"));
  vex::Json list = vex::Json::array({
      element(share + QStringLiteral("/img0.jpg"), "|1"),
      element(share + QStringLiteral("/img2.jpg"), "|2"),            // deleted
      element(share + QStringLiteral("/folder"), "|3"),              // a folder
      element(tmp.path() + QStringLiteral("/outside/o.png"), "|4"),  // outside the share
      element(share + QStringLiteral("/../outside/o.png"), "|5"),
      element(share + QStringLiteral("/img1.jpg"), ""),    // no index
      element(share + QStringLiteral("/img1.jpg"), "|x"),  // no number
      element(share + QStringLiteral("/img1.jpg"), "|99999999999999999999"),
      42,
      nullptr,
      vex::Json::object(),
  });
  for (const vex::Json& fileList : {vex::Json(list.dump()), list}) {
    const auto result = run(48, fileList);
    ASSERT_TRUE(result) << fileList.is_string();
    ASSERT_EQ(result->size(), 1u);
    EXPECT_EQ((*result)[0]["index"], 1);
  }
}

TEST_F(ThumbnailTest, NothingToDoAnswersAtOnce) {
  for (const vex::Json& fileList :
       {vex::Json("[]"), vex::Json("{\"a\":1}"), vex::Json("12"), vex::Json::array(),
        vex::Json(vex::Json::array({element(share + QStringLiteral("/folder"), "|0")}).dump())}) {
    std::optional<QString> answer;
    answerBuildIcon2(PathGuard({ShareRoot{share, true, false, false}}), 48, fileList,
                     [&](const QString& text) { answer = text; });
    ASSERT_TRUE(answer.has_value()) << fileList.dump();  // before returning
    EXPECT_EQ(*answer, QStringLiteral("[]"));
  }
}

// One session naming far more files than may wait: those beyond its queue
// are answered at once without a picture (never decoded), and another
// session's file, asked for meanwhile, still gets its picture. A session that
// ends leaves its waiting files unmade.
TEST_F(ThumbnailTest, NamesBeyondTheSessionsQueueOrOfAnEndedSessionAreAnsweredWithoutAPicture) {
  auto made = std::make_shared<std::atomic<int>>(0);
  setThumbnailMakerForTesting([made](const QString&, double, double, double) -> std::optional<QImage> {
    ++*made;
    QImage image(10, 10, QImage::Format_RGB32);
    image.fill(Qt::green);
    return image;
  });
  const std::unique_ptr<void, void (*)(void*)> restore(made.get(), [](void*) { setThumbnailMakerForTesting({}); });
  vex::Json flood = vex::Json::array();
  for (int i = 0; i < 1000; ++i) flood.push_back(element(share + QStringLiteral("/img0.jpg"), "|0"));
  std::optional<QString> flooded;
  answerBuildIcon2(PathGuard({ShareRoot{share, true, false, false}}), 48, flood,
                   [&](const QString& text) { flooded = text; }, QStringLiteral("flood"));
  const auto other = run(48, vex::Json::array({element(share + QStringLiteral("/img1.jpg"), "|1")}),
                         std::make_shared<int>(0), QStringLiteral("other"));
  ASSERT_TRUE(other && other->size() == 1);
  EXPECT_FALSE((*other)[0]["iconBase64"].get<std::string>().empty());
  ASSERT_TRUE(testutil::waitUntil([&] { return flooded.has_value(); }, std::chrono::seconds(30)));
  const vex::Json records = vex::Json::parse(flooded->toStdString());
  ASSERT_EQ(records.size(), 1000u);
  int pictures = 0;
  for (const auto& record : records) pictures += record["iconBase64"].get<std::string>().empty() ? 0 : 1;
  EXPECT_GE(pictures, 1);
  EXPECT_LE(pictures, kThumbnailsWaitingPerSession);
  EXPECT_EQ(made->load(), pictures + 1);

  // The session ends: only the files already with a helper are made.
  made->store(0);
  flooded.reset();
  answerBuildIcon2(PathGuard({ShareRoot{share, true, false, false}}), 48, flood,
                   [&](const QString& text) { flooded = text; }, QStringLiteral("flood"));
  endThumbnailSession(QStringLiteral("flood"));
  ASSERT_TRUE(testutil::waitUntil([&] { return flooded.has_value(); }, std::chrono::seconds(30)));
  EXPECT_EQ(vex::Json::parse(flooded->toStdString()).size(), 1000u);
  EXPECT_LE(made->load(), ThumbnailHelpers::sharedCount());
}

TEST_F(ThumbnailTest, TextThatIsNotJsonGetsNoAnswer) {
  for (const vex::Json& fileList : {vex::Json(""), vex::Json("[\"a|1\""), vex::Json(nullptr), vex::Json(5)}) {
    int calls = 0;
    answerBuildIcon2(PathGuard({ShareRoot{share, true, false, false}}), 48, fileList, [&](const QString&) { ++calls; });
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, 0) << fileList.dump();
  }
}

TEST_F(ThumbnailTest, NoPictureStillGivesARecord) {
  const vex::Json list = vex::Json::array(
      {element(share + QStringLiteral("/notes.txt"), "|1"), element(share + QStringLiteral("/img0.jpg"), "|2")});
  for (qint64 size : {qint64(48), qint64(0), qint64(-5), std::numeric_limits<qint64>::max()}) {
    const auto result = run(size, vex::Json(list.dump()));
    ASSERT_TRUE(result) << size;
    ASSERT_EQ(result->size(), 2u);
    for (const auto& record : *result) {
      const bool picture = !record["iconBase64"].get<std::string>().empty();
      EXPECT_EQ(picture, record["index"] == 2 && size > 0) << size;
    }
  }
}

TEST_F(ThumbnailTest, DocumentsAndVideosShowTheirContent) {
  ASSERT_TRUE(writePdf(share + QStringLiteral("/paper.pdf"), Qt::red));
  ASSERT_TRUE(writeVideo(share + QStringLiteral("/clip.avi"), Qt::blue));
  QFile broken(share + QStringLiteral("/broken.pdf"));
  ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
  broken.write("%PDF-1.4\nnot really a document");
  broken.close();
  QFile::copy(share + QStringLiteral("/broken.pdf"), share + QStringLiteral("/broken.avi"));

  const vex::Json list = vex::Json::array({element(share + QStringLiteral("/paper.pdf"), "|1"),
                                           element(share + QStringLiteral("/clip.avi"), "|2"),
                                           element(share + QStringLiteral("/notes.txt"), "|3"),
                                           element(share + QStringLiteral("/broken.pdf"), "|4"),
                                           element(share + QStringLiteral("/broken.avi"), "|5")});
  const auto result = run(48, vex::Json(list.dump()));
  ASSERT_TRUE(result);
  ASSERT_EQ(result->size(), 5u);
  for (const auto& record : *result) {
    const int index = record["index"].get<int>();
    const QColor middle = middleOf(record);
    if (index == 1) {
      ASSERT_TRUE(middle.isValid()) << "no picture of the PDF";
      EXPECT_GT(middle.red(), 200);
      EXPECT_LT(middle.blue(), 60);
    } else if (index == 2) {
      ASSERT_TRUE(middle.isValid()) << "no picture of the video";
      EXPECT_GT(middle.blue(), 200);
      EXPECT_LT(middle.red(), 60);
    } else {
      EXPECT_FALSE(middle.isValid()) << index;  // the generic icon
    }
    if (middle.isValid()) {
      const QImage decoded = QImage::fromData(
          QByteArray::fromBase64(QByteArray::fromStdString(record["iconBase64"].get<std::string>().substr(22))));
      EXPECT_LE(std::max(decoded.width(), decoded.height()), int(48 * backingScale()));
      EXPECT_GE(std::max(decoded.width(), decoded.height()), int(48 * backingScale()) - 1);  // at the requested size
    }
  }
}

TEST_F(ThumbnailTest, ADecoderThatHangsDoesNotHoldTheAnswerBack) {
  // One file's decoder is held until the answer has come; the other's is not.
  struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    bool open = false;
    bool lateDone = false;
  };
  auto gate = std::make_shared<Gate>();
  auto release = [gate] {
    const std::lock_guard<std::mutex> hold(gate->lock);
    gate->open = true;
    gate->changed.notify_all();
  };
  const std::unique_ptr<void, std::function<void(void*)>> releaseOnExit(gate.get(), [release](void*) {
    release();
    setThumbnailMakerForTesting({});
  });
  setThumbnailMakerForTesting(
      [gate](const QString& path, double, double, double) -> std::optional<QImage> {
        // The maker gets the open file; its link names the file.
        if (QFileInfo(path).symLinkTarget().endsWith(QStringLiteral("img1.jpg"))) {
          std::unique_lock<std::mutex> hold(gate->lock);
          gate->changed.wait(hold, [&] { return gate->open; });
          gate->lateDone = true;
        }
        QImage image(10, 10, QImage::Format_RGB32);
        image.fill(Qt::green);
        return image;
      },
      std::chrono::milliseconds(300));
  const vex::Json list = vex::Json::array(
      {element(share + QStringLiteral("/img0.jpg"), "|0"), element(share + QStringLiteral("/img1.jpg"), "|1")});
  const auto calls = std::make_shared<int>(0);
  const auto result = run(48, vex::Json(list.dump()), calls);
  ASSERT_TRUE(result);  // while the late decoder is still held
  ASSERT_EQ(result->size(), 2u);
  for (const auto& record : *result)
    EXPECT_EQ(record["iconBase64"].get<std::string>().empty(), record["index"] == 1);

  // The late picture is dropped: no second answer once its decoder is back.
  release();
  ASSERT_TRUE(testutil::waitUntil([&] {
    const std::lock_guard<std::mutex> hold(gate->lock);
    return gate->lateDone;
  }));
  testutil::idleFor(std::chrono::milliseconds(100));  // its result would be posted now
  EXPECT_EQ(*calls, 1);
}

TEST_F(ThumbnailTest, AFileOnWhichAHelperFailedIsNotRetriedInTheSameListing) {
  setThumbnailMakerForTesting({}, std::chrono::milliseconds(1500));
  const QString session = QStringLiteral("peer-session");
  auto iconOf = [&](const char* name) {
    const vex::Json list = vex::Json::array({element(share + QLatin1Char('/') + QLatin1String(name), "|1")});
    const auto result = run(48, vex::Json(list.dump()), std::make_shared<int>(0), session);
    return result && result->size() == 1 ? (*result)[0]["iconBase64"].get<std::string>() : std::string("<none>");
  };
  EXPECT_FALSE(iconOf("img0.jpg").empty());  // the helpers are up
  // Every helper hangs: the next file outlasts the limit, its helper is killed.
  const QList<qint64> stopped = ThumbnailHelpers::shared().pids();
  for (qint64 pid : stopped) ::kill(pid_t(pid), SIGSTOP);
  EXPECT_EQ(iconOf("img1.jpg"), "");
  // Asked again in the same listing: answered at once without a helper.
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(iconOf("img1.jpg"), "");
  EXPECT_LT(clock.elapsed(), 1000);
  for (qint64 pid : ThumbnailHelpers::shared().pids())
    if (stopped.contains(pid)) ::kill(pid_t(pid), SIGCONT);  // those the pool still holds
  EXPECT_FALSE(iconOf("img2.jpg").empty());
  // A new listing tries it again.
  startThumbnailListing(session);
  EXPECT_FALSE(iconOf("img1.jpg").empty());
  setThumbnailMakerForTesting({});
}

}  // namespace
