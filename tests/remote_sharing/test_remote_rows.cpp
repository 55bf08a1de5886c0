// Rows and page links built from host replies.
#include "remote_sharing/remote_rows.h"

#include <gtest/gtest.h>

namespace {

using vex::Json;

QString links(int64_t pages, int64_t index) { return remoterows::pageLinks(pages, index).join(QLatin1Char(' ')); }

TEST(RemoteRows, PageLinks) {
  EXPECT_EQ(links(0, 1), QString());
  EXPECT_EQ(links(1, 1), QString());
  EXPECT_EQ(links(2, 1), QStringLiteral("1 2"));
  EXPECT_EQ(links(9, 4), QStringLiteral("1 2 3 4 5 6 7 8 9"));
  EXPECT_EQ(links(10, 1), QStringLiteral("1 2 3 ... 10"));
  EXPECT_EQ(links(10, 4), QStringLiteral("1 2 3 4 5 6 ... 10"));
  EXPECT_EQ(links(10, 5), QStringLiteral("1 2 3 4 5 6 7 ... 10"));
  EXPECT_EQ(links(10, 6), QStringLiteral("1 ... 4 5 6 7 8 9 10"));
  EXPECT_EQ(links(10, 7), QStringLiteral("1 ... 5 6 7 8 9 10"));
  EXPECT_EQ(links(10, 10), QStringLiteral("1 ... 8 9 10"));
  EXPECT_EQ(links(12, 6), QStringLiteral("1 ... 4 5 6 7 8 ... 12"));

  EXPECT_EQ(remoterows::pageCountFor(0, 100), 0);
  EXPECT_EQ(remoterows::pageCountFor(100, 100), 1);
  EXPECT_EQ(remoterows::pageCountFor(101, 100), 2);
  EXPECT_EQ(remoterows::pageCountFor(950, 100), 10);
}

TEST(RemoteRows, DataAndParentRows) {
  FileItem row = remoterows::dataRow(Json{{"name", "archive.tar.GZ"}, {"size", 5}, {"fullPath", "/s/archive.tar.GZ"},
                                          {"createdTime", 17}, {"isDir", false}});
  EXPECT_EQ(row.ext, QStringLiteral("gz"));
  EXPECT_EQ(row.extendInfo, QStringLiteral("GZ"));
  EXPECT_EQ(row.iPreview, 1);
  EXPECT_EQ(row.iValid, 2);
  EXPECT_EQ(row.createdTime, 17);
  row = remoterows::dataRow(Json{{"name", "Photos"}, {"size", 0}, {"isDir", true}});
  EXPECT_EQ(row.extendInfo, QStringLiteral("PHOTOS"));  // only a negative size says "Folder"
  EXPECT_TRUE(row.isDir);
  EXPECT_EQ(remoterows::genericIcon(row, false).imageName, QStringLiteral("folder"));
  row = remoterows::dataRow(Json{{"name", "README"}, {"size", -1}, {"isDir", "true"}});
  EXPECT_EQ(row.ext, QStringLiteral("readme"));
  EXPECT_EQ(row.extendInfo, QStringLiteral("Folder"));
  EXPECT_TRUE(row.isDir);
  // Wrong kinds read as empty values.
  row = remoterows::dataRow(Json{{"name", Json::array()}, {"size", "big"}, {"isDir", Json::object()}});
  EXPECT_EQ(row.name, QString());
  EXPECT_EQ(row.size, 0);
  EXPECT_FALSE(row.isDir);

  const FileItem up = remoterows::parentRow(QStringLiteral("C:\\data\\sub"));
  EXPECT_EQ(up.fullPath, QStringLiteral("C:\\data"));
  EXPECT_EQ(up.size, -2);
  EXPECT_EQ(up.iPreview, 0);
  EXPECT_EQ(remoterows::parentRow(QStringLiteral("/a")).fullPath, QStringLiteral("/"));
}

TEST(RemoteRows, EntryCounts) {
  EXPECT_EQ(remoterows::entryCount(Json("150")), 150);
  EXPECT_EQ(remoterows::entryCount(Json(0)), 0);
  EXPECT_EQ(remoterows::entryCount(Json(7u)), 7);
  for (const Json& bad : {Json("12|3"), Json("-1"), Json(-1), Json(""), Json("1e3"), Json(1.5), Json::object(),
                          Json("99999999999999999999999")})
    EXPECT_FALSE(remoterows::entryCount(bad)) << bad.dump();
}

}  // namespace
