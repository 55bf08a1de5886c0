#include "core/vex_json.h"

#include <QTimeZone>
#include <QUuid>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

using vex::Json;

// Same shape as a file-list entry: 37 stored members plus a UUID.
struct ListEntry {
  QUuid id = QUuid::createUuid();
  QString name, nameNew, nameOld, fullPath, iconData, iconDefault, iconDefaultSmall, typeDesection, extendInfo;
  int64_t size = 0;
  bool isDir = false, isEmpty = false, isHidden = false, isReadonly = false, isSystem = false, isInCut = false,
       isInCopy = false;
  int64_t createdTime = 0;
  int modifiedTime = 0, accessedTime = 0, iChildDirCount = 0, iChildFileCount = 0;
  bool isChecked = false;
  int isHasSubDir = 0, isHasSubFile = 0;
  QString tagPY;
  int tagSize = 0, tagMDate = 0, level = 0;
  bool isExpanded = false;
  int iValid = 0, iPreview = 0, viewCount = 0, orderByID = 0, orderByCend = 0, assetIndex = 0;
  QString ext;
  VEX_FIELDS(id, name, nameNew, nameOld, fullPath, iconData, iconDefault, iconDefaultSmall, typeDesection, extendInfo,
             size, isDir, isEmpty, isHidden, isReadonly, isSystem, isInCut, isInCopy, createdTime, modifiedTime,
             accessedTime, iChildDirCount, iChildFileCount, isChecked, isHasSubDir, isHasSubFile, tagPY, tagSize,
             tagMDate, level, isExpanded, iValid, iPreview, viewCount, orderByID, orderByCend, assetIndex, ext)
};

enum class Kind { kA, kB };

struct Limits {
  int64_t big = std::numeric_limits<int64_t>::max();
  int64_t small = std::numeric_limits<int64_t>::min();
  uint64_t ubig = std::numeric_limits<uint64_t>::max();
  uint32_t u32 = std::numeric_limits<uint32_t>::max();
  int8_t i8 = -128;
  double ratio = 0.25;
  bool flag = true;
  std::optional<QString> Code;
  std::optional<int> present = 7;
  std::optional<QUuid> notAdopting = QUuid::createUuid();
  Kind kind = Kind::kB;
  VEX_FIELDS(big, small, ubig, u32, i8, ratio, flag, Code, present, notAdopting, kind)
};

struct Item {
  int64_t Size = 0;
  bool IsDir = false;
  QString Path, PathSave;
  VEX_FIELDS(Size, IsDir, Path, PathSave)
};

struct Task {
  std::vector<Item> FileList;
  QList<QString> fileList;
  int size = 64;
  VEX_FIELDS(FileList, fileList, size)
};

struct Inner {
  QString Session = QStringLiteral("a|b");
  Json Data;
  VEX_FIELDS(Session, Data)
};

struct Message {
  QString Code;
  Json Data;
  VEX_FIELDS(Code, Data)
};

struct OnlyOthers {
  QUuid id;
  Kind kind = Kind::kA;
  VEX_FIELDS(id, kind)
};

struct WithMaps {
  std::map<QString, int> counts{{QStringLiteral("a"), 1}};
  std::map<int, int> numbered{{1, 2}};
  QMap<QString, QUuid> uuids{{QStringLiteral("u"), QUuid::createUuid()}};
  QMap<QString, Json> anyValues{{QStringLiteral("j"), Json::array({1, 2})}};
  VEX_FIELDS(counts, numbered, uuids, anyValues)
};

TEST(VexJson, ModelWritesEveryStoredFieldButNotItsUuid) {
  ListEntry entry;
  entry.name = QStringLiteral("照片 \"1\".jpg");
  entry.isDir = true;
  const Json tree = entry.toJSONModel();
  ASSERT_TRUE(tree.is_object());
  EXPECT_EQ(tree.size(), 37u);
  EXPECT_FALSE(tree.contains("id"));
  EXPECT_EQ(tree["name"], "照片 \"1\".jpg");
  EXPECT_EQ(tree["isDir"], true);
  EXPECT_TRUE(tree["isDir"].is_boolean());
  EXPECT_TRUE(tree["size"].is_number_integer());

  // The text parses back to the same tree and keeps non-ASCII text as UTF-8.
  const auto text = entry.toJSONString();
  ASSERT_TRUE(text.has_value());
  EXPECT_NE(text->find("照片"), std::string::npos);
  EXPECT_EQ(Json::parse(*text), tree);
}

TEST(VexJson, IntegerLimitsOptionalsAndSkippedKinds) {
  const Limits limits;
  const auto text = limits.toJSONString();
  ASSERT_TRUE(text.has_value());
  EXPECT_NE(text->find("\"big\":9223372036854775807"), std::string::npos);
  EXPECT_NE(text->find("\"small\":-9223372036854775808"), std::string::npos);
  EXPECT_NE(text->find("\"ubig\":18446744073709551615"), std::string::npos);
  EXPECT_NE(text->find("\"u32\":4294967295"), std::string::npos);
  EXPECT_NE(text->find("\"i8\":-128"), std::string::npos);
  EXPECT_EQ(text->find(' '), std::string::npos);  // compact
  EXPECT_NE(text->find("\"flag\":true"), std::string::npos);
  EXPECT_NE(text->find("\"Code\":null"), std::string::npos);  // empty optional keeps its key
  EXPECT_NE(text->find("\"present\":7"), std::string::npos);
  EXPECT_NE(text->find("\"notAdopting\":null"), std::string::npos);
  EXPECT_EQ(text->find("kind"), std::string::npos);
  const Json tree = Json::parse(*text);
  EXPECT_DOUBLE_EQ(tree["ratio"].get<double>(), 0.25);
  EXPECT_EQ(tree["ubig"].get<uint64_t>(), std::numeric_limits<uint64_t>::max());
}

TEST(VexJson, ArraysOfModelsAndEmptyArrays) {
  Task task;
  task.FileList = {Item{10, false, QStringLiteral("/a/b"), QStringLiteral("/c")}, Item{0, true, QStringLiteral("/d"), {}}};
  const Json tree = task.toJSONModel();
  ASSERT_EQ(tree["FileList"].size(), 2u);
  EXPECT_EQ(tree["FileList"][0].size(), 4u);
  EXPECT_EQ(tree["FileList"][1]["IsDir"], true);
  EXPECT_TRUE(tree["fileList"].is_array());
  EXPECT_TRUE(tree["fileList"].empty());
  EXPECT_EQ(tree["size"], 64);
  // The solidus is escaped in the text.
  const auto text = task.toJSONString();
  ASSERT_TRUE(text.has_value());
  EXPECT_NE(text->find(R"("Path":"\/a\/b")"), std::string::npos);
  EXPECT_EQ(Json::parse(*text), tree);
}

TEST(VexJson, NestedDataAsTextAndAsObject) {
  Inner inner;
  inner.Data = Json{{"path", "/x"}};
  Message asObject{QStringLiteral("WSDC"), inner.toJSONModel()};
  const Json tree = asObject.toJSONModel();
  EXPECT_TRUE(tree["Data"].is_object());
  EXPECT_TRUE(tree["Data"]["Data"].is_object());
  EXPECT_EQ(tree["Data"]["Data"]["path"], "/x");

  Message asText{QStringLiteral("PingBridge"), *inner.toJSONString()};
  const auto text = asText.toJSONString();
  ASSERT_TRUE(text.has_value());
  const Json parsed = Json::parse(*text);
  ASSERT_TRUE(parsed["Data"].is_string());
  EXPECT_EQ(Json::parse(parsed["Data"].get<std::string>()), inner.toJSONModel());
  EXPECT_NE(text->find(R"(\"Session\")"), std::string::npos);  // quotation marks escaped
}

TEST(VexJson, ObjectsWithoutAdoptingFieldsAndMaps) {
  EXPECT_EQ(OnlyOthers{}.toJSONString(), std::optional<std::string>("{}"));
  const Json tree = WithMaps{}.toJSONModel();
  EXPECT_EQ(tree["counts"], (Json{{"a", 1}}));
  EXPECT_TRUE(tree["numbered"].empty());  // a non-text key is left out
  EXPECT_TRUE(tree["uuids"]["u"].is_null());
  EXPECT_EQ(tree["anyValues"]["j"], Json::array({1, 2}));
}

TEST(VexJson, VariantArraysSkipKindsThatDoNotAdopt) {
  const QVariantList mixed{QStringLiteral("t"), QVariant::fromValue(QUuid::createUuid()), 3};
  const auto tree = vex::toJSONModel(mixed);
  ASSERT_TRUE(tree.has_value());
  EXPECT_EQ(*tree, Json::array({"t", 3}));
}

TEST(VexJson, DatesUseLocalOffset) {
  qputenv("TZ", "Asia/Shanghai");
  tzset();
  const QDateTime date(QDate(2025, 3, 5), QTime(14, 7, 9), QTimeZone("Asia/Shanghai"));
  EXPECT_EQ(vex::formatDate(date), "2025-03-05T14:07:09+0800");
  qputenv("TZ", "America/New_York");
  tzset();
  EXPECT_EQ(vex::formatDate(date), "2025-03-05T01:07:09-0500");
  qunsetenv("TZ");
  tzset();
}

TEST(VexJson, ScalarsAreNotDocuments) {
  EXPECT_FALSE(vex::toJSONString(QStringLiteral("text")).has_value());
  EXPECT_FALSE(vex::toJSONString(5).has_value());
  EXPECT_FALSE(vex::toJSONModel(QUuid()).has_value());
  EXPECT_EQ(vex::toJSONModel(5), Json(5));
}

}  // namespace
