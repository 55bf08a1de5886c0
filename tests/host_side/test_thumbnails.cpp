#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <optional>
#include <set>

#include "host_side/path_guard.h"
#include "host_side/thumbnails.h"
#include "support/test_util.h"

namespace {

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

  // Runs a request and waits for its one answer.
  std::optional<vex::Json> run(qint64 size, const vex::Json& fileList, int* calls = nullptr) {
    std::optional<QString> answer;
    int count = 0;
    answerBuildIcon2(PathGuard({ShareRoot{share, true, false, false}}), size, fileList, [&](const QString& text) {
      ++count;
      answer = text;
    });
    testutil::waitUntil([&] { return answer.has_value(); }, std::chrono::seconds(10));
    QCoreApplication::processEvents();
    if (calls) *calls = count;
    if (!answer) return std::nullopt;
    return vex::Json::parse(answer->toStdString(), nullptr, false);
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
  int calls = 0;
  const auto result = run(48, vex::Json(list.dump()), &calls);
  ASSERT_TRUE(result && result->is_array());
  EXPECT_EQ(calls, 1);
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

TEST_F(ThumbnailTest, AnArrayInsteadOfTextIsReadToo) {
  const auto result = run(48, vex::Json::array({element(share + QStringLiteral("/img1.jpg"), "|3")}));
  ASSERT_TRUE(result);
  ASSERT_EQ(result->size(), 1u);
  EXPECT_EQ((*result)[0]["index"], 3);
}

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
  const auto result = run(48, vex::Json(list.dump()));
  ASSERT_TRUE(result);
  ASSERT_EQ(result->size(), 1u);
  EXPECT_EQ((*result)[0]["index"], 1);
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

}  // namespace
