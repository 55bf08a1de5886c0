#include "shell/version_check.h"

#include "core/util_system.h"
#include "support/event_wait.h"
#include "support/test_util.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

TEST(VersionRule, ComparesThreeNumericComponents) {
  const QString app = QStringLiteral("1.0.2");
  struct Case {
    const char* number;
    VersionOrder order;
  };
  const Case cases[] = {
      {"1.0.2", VersionOrder::notNewer},   {"1.0.10", VersionOrder::newer},   {"1.1.0", VersionOrder::newer},
      {"2.0.0", VersionOrder::newer},      {"1.0.1", VersionOrder::notNewer}, {"0.9.9", VersionOrder::notNewer},
      {"1.0", VersionOrder::notComparable}, {"1.0.2.1", VersionOrder::notComparable},
      {"", VersionOrder::notComparable},    {"1..0.3", VersionOrder::newer},  // empty components dropped
      {"1.x.5", VersionOrder::newer},       {"1.x.1", VersionOrder::notNewer},  // "x" counts as 0
      {"+1.0.3", VersionOrder::newer},      {"1.0.-3", VersionOrder::notNewer},
      {"1.0.99999999999999999999", VersionOrder::notNewer},  // overflow counts as 0
  };
  for (const Case& c : cases)
    EXPECT_EQ(compareVersion(QString::fromLatin1(c.number), app), c.order) << c.number;
}

TEST(VersionRule, OnlyPlainNumbersMayNameFiles) {
  for (const char* good : {"1.0.3", "10.20.30", "0.0.0"}) EXPECT_TRUE(isPlainVersionNumber(QString::fromLatin1(good)));
  for (const char* bad : {"1.x.5", "1..0.3", "+1.0.3", "9.0.0/x", "1.0.3 ", "1.0.3\n", "1.0", "1.0.٣", "../1.0.3"})
    EXPECT_FALSE(isPlainVersionNumber(QString::fromUtf8(bad))) << bad;
}

QString sha256Of(const QByteArray& bytes) {
  return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// A simulated bridge: records the calls and lets the test answer them.
struct UpgradeRig {
  QTemporaryDir home;
  QString kelvor = home.path() + QStringLiteral("/Kelvor");
  std::vector<QString> httpCalls;
  std::vector<CallHttpDownloadInfo> downloads;
  std::vector<UpgradeController::ReplyHandler> downloadReplies;
  std::vector<QString> offered;
  std::vector<QString> numbers;
  std::vector<QUrl> opened;
  std::vector<QString> notOpened;
  bool handlerStarts = true;
  int cleared = 0;
  int quits = 0;
  UpgradeController controller;

  UpgradeRig()
      : controller(
            UpgradeController::Hooks{
                [this](const QString& url, int timeout, UpgradeController::ReplyHandler) {
                  EXPECT_EQ(timeout, 5);
                  httpCalls.push_back(url);
                },
                [this](const CallHttpDownloadInfo& info, UpgradeController::ReplyHandler reply) {
                  downloads.push_back(info);
                  downloadReplies.push_back(std::move(reply));
                },
                [this](const QString& path, const QString& number) {
                  offered.push_back(path);
                  numbers.push_back(number);
                },
                [this](const QUrl& file, std::function<void(bool)> started) {
                  opened.push_back(file);
                  started(handlerStarts);
                },
                [this] { ++cleared; },
                [this] { ++quits; },
                [this](const QString& path) { notOpened.push_back(path); }},
            QStringLiteral("1.0.2"), kelvor) {
    controller.quitDelayMs = 50;
  }

  static vex::Json versionReply(const std::string& number, const std::string& url, const std::string& sha) {
    return vex::Json(vex::Json{{"info", 1}, {"number", number}, {"url", url}, {"sha256", sha}}.dump());
  }
};

const QByteArray kInstaller("installer bytes \x01\x02", 18);

TEST(UpgradeController, DownloadsANewerInstallerAndOffersItOnlyWhenItsDigestMatches) {
  UpgradeRig rig;
  rig.controller.checkNewVersion();
  ASSERT_EQ(rig.httpCalls.size(), 1u);
  EXPECT_TRUE(rig.httpCalls[0].endsWith(QStringLiteral("/api2/version/mac/index.php")));

  rig.controller.checkNewVersionResult(
      UpgradeRig::versionReply("1.0.3", "https://svc.test/dl/Kelvor 1.0.3.dmg", sha256Of(kInstaller).toStdString()));
  ASSERT_EQ(rig.downloads.size(), 1u);
  EXPECT_EQ(rig.downloads[0].URL, QStringLiteral("https://svc.test/dl/Kelvor%201.0.3.dmg"));
  const QString tmp = rig.kelvor + QStringLiteral("/versions/Kelvor1.0.3.tmp");
  const QString dmg = rig.kelvor + QStringLiteral("/versions/Kelvor1.0.3.dmg");
  EXPECT_EQ(rig.downloads[0].SaveAt, tmp);
  EXPECT_TRUE(QFileInfo(rig.kelvor + QStringLiteral("/versions")).isDir());
  EXPECT_EQ(CallHttpDownloadInfo({QStringLiteral("u"), QStringLiteral("s")}).toJSONModel().dump(),
            R"({"SaveAt":"s","URL":"u"})");

  // The bridge saved the file and reports success (as text, like a body).
  QFile out(tmp);
  ASSERT_TRUE(out.open(QIODevice::WriteOnly));
  out.write(kInstaller);
  out.close();
  rig.downloadReplies[0](vex::Json(R"({"IsSucc":true})"));
  ASSERT_TRUE(testutil::waitUntil([&] { return !rig.offered.empty(); }));
  EXPECT_EQ(rig.offered[0], dmg);
  EXPECT_EQ(rig.numbers[0], QStringLiteral("1.0.3"));  // the question names it
  EXPECT_TRUE(QFileInfo(dmg).isFile());
  EXPECT_FALSE(QFileInfo::exists(tmp));

  // A second connection finds the installer on disk: offered at once, no download.
  rig.controller.checkNewVersionResult(
      UpgradeRig::versionReply("1.0.3", "https://svc.test/dl/x.dmg", sha256Of(kInstaller).toStdString()));
  ASSERT_TRUE(testutil::waitUntil([&] { return rig.offered.size() == 2; }));
  EXPECT_EQ(rig.downloads.size(), 1u);
}

TEST(UpgradeController, DiscardsAnInstallerWhoseDigestDiffers) {
  UpgradeRig rig;
  const std::string expected = sha256Of("the real installer").toStdString();
  rig.controller.checkNewVersionResult(UpgradeRig::versionReply("2.0.0", "https://svc.test/i.dmg", expected));
  ASSERT_EQ(rig.downloads.size(), 1u);
  QFile out(rig.downloads[0].SaveAt);
  ASSERT_TRUE(out.open(QIODevice::WriteOnly));
  out.write("tampered");
  out.close();
  rig.downloadReplies[0](vex::Json{{"IsSucc", true}});
  ASSERT_TRUE(testutil::waitUntil([&] { return !QFileInfo::exists(rig.downloads[0].SaveAt); }));
  EXPECT_TRUE(rig.offered.empty());
  EXPECT_FALSE(QFileInfo::exists(rig.controller.installerPathFor(QStringLiteral("2.0.0"))));

  // A tampered installer left on disk is fetched again, not offered.
  QFile stale(rig.controller.installerPathFor(QStringLiteral("2.0.0")));
  ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
  stale.write("stale");
  stale.close();
  rig.controller.checkNewVersionResult(UpgradeRig::versionReply("2.0.0", "https://svc.test/i.dmg", expected));
  ASSERT_TRUE(testutil::waitUntil([&] { return rig.downloads.size() == 2; }));
  EXPECT_TRUE(rig.offered.empty());
  EXPECT_FALSE(QFileInfo::exists(stale.fileName()));

  // A failed download is logged and nothing else happens.
  rig.downloadReplies[1](vex::Json{{"IsSucc", false}});
  rig.downloadReplies[1](vex::Json());
  EXPECT_TRUE(rig.offered.empty());
}

TEST(UpgradeController, RefusesUnsafeOrUnusableReplies) {
  UpgradeRig rig;
  const std::string sha = sha256Of(kInstaller).toStdString();
  auto reply = &UpgradeRig::versionReply;
  rig.controller.checkNewVersionResult(vex::Json());                                 // no reply
  rig.controller.checkNewVersionResult(vex::Json("not json"));                       // parse error
  rig.controller.checkNewVersionResult(vex::Json(R"({"info":0,"number":"9.0.0"})"));  // no version given
  rig.controller.checkNewVersionResult(reply("1.0.2", "https://svc.test/i.dmg", sha));  // same version
  rig.controller.checkNewVersionResult(reply("1.0", "https://svc.test/i.dmg", sha));    // not comparable
  rig.controller.checkNewVersionResult(reply("1.x.5", "https://svc.test/i.dmg", sha));  // newer, but no plain number
  rig.controller.checkNewVersionResult(reply("9.0.0/x", "https://svc.test/i.dmg", sha));
  rig.controller.checkNewVersionResult(reply("1.0.3", "http://svc.test/i.dmg", sha));   // not https
  rig.controller.checkNewVersionResult(reply("1.0.3", "file:///etc/passwd", sha));
  rig.controller.checkNewVersionResult(reply("1.0.3", "https:///nohost", sha));
  rig.controller.checkNewVersionResult(reply("1.0.3", "https://svc.test/i.dmg", ""));   // a digest that is none
  rig.controller.checkNewVersionResult(reply("1.0.3", "https://svc.test/i.dmg", "abc"));
  rig.controller.checkNewVersionResult(vex::Json(  // not https, even without a digest
      R"({"info":1,"number":"1.0.3","url":"http://svc.test/i.dmg"})"));
  EXPECT_TRUE(rig.downloads.empty());
  EXPECT_TRUE(rig.offered.empty());
  EXPECT_FALSE(QFileInfo::exists(rig.kelvor + QStringLiteral("/versions/Kelvor1.x.5.tmp")));
  // An object reply (not text) is read the same way.
  rig.controller.checkNewVersionResult(
      vex::Json{{"info", 1}, {"number", "1.0.3"}, {"url", "https://svc.test/i.dmg"}, {"sha256", sha}});
  EXPECT_EQ(rig.downloads.size(), 1u);
}

TEST(UpgradeController, OpensTheInstallerWithoutAShellThenStopsTheBridgeAndQuits) {
  UpgradeRig rig;
  rig.controller.openInstaller(rig.kelvor + QStringLiteral("/versions/missing.dmg"));
  EXPECT_TRUE(rig.opened.empty());
  EXPECT_EQ(rig.cleared, 0);

  QDir().mkpath(rig.controller.versionsDir());
  const QString path = rig.controller.versionsDir() + QStringLiteral("/Kelvor1.0.3; rm -rf ~ $(x).dmg");
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();
  rig.controller.openInstaller(path);
  ASSERT_EQ(rig.opened.size(), 1u);
  EXPECT_EQ(rig.opened[0].toLocalFile(), path);
  EXPECT_EQ(rig.cleared, 1);
  EXPECT_EQ(rig.quits, 0);
  ASSERT_TRUE(testutil::waitUntil([&] { return rig.quits == 1; }));
}

// No handler for the installer: nothing else would run, so the application
// stays, with its bridge, and says where the installer is.
TEST(UpgradeController, StaysRunningAndSaysSoWhenTheInstallerCannotBeOpened) {
  UpgradeRig rig;
  rig.handlerStarts = false;
  QDir().mkpath(rig.controller.versionsDir());
  const QString path = rig.controller.versionsDir() + QStringLiteral("/Kelvor1.0.3.dmg");
  testutil::writeFile(path, "installer");
  rig.controller.openInstaller(path);
  ASSERT_EQ(rig.opened.size(), 1u);
  EXPECT_EQ(rig.notOpened, std::vector<QString>{path});
  testsupport::spinEventsFor(std::chrono::milliseconds(rig.controller.quitDelayMs * 4));
  EXPECT_EQ(rig.quits, 0);
  EXPECT_EQ(rig.cleared, 0);

  // The real opener reports what xdg-open did: no handler (its exit 3), or no xdg-open at all.
  QTemporaryDir bin;
  testutil::writeFile(bin.filePath(QStringLiteral("xdg-open")), "#!/bin/sh\necho 'no method available' >&2\nexit 3\n");
  QFile::setPermissions(bin.filePath(QStringLiteral("xdg-open")), QFile::ReadOwner | QFile::ExeOwner);
  const QByteArray savedPath = qgetenv("PATH");
  std::vector<bool> answers;
  qputenv("PATH", bin.path().toLocal8Bit());
  UtilSystem::openFileWithDefaultHandler(path, [&](bool started) { answers.push_back(started); });
  qputenv("PATH", QByteArray("/nonexistent"));
  UtilSystem::openFileWithDefaultHandler(path, [&](bool started) { answers.push_back(started); });
  EXPECT_TRUE(testutil::waitUntil([&] { return answers.size() == 2; }, std::chrono::seconds(10)));
  qputenv("PATH", savedPath);
  EXPECT_EQ(answers, (std::vector<bool>{false, false}));
}

TEST(UpgradeController, TakesTheReplyWithoutADigest) {
  // The service's reply may carry only "info", "number" and "url".
  UpgradeRig rig;
  rig.controller.checkNewVersionResult(vex::Json(R"({"info":1,"number":"1.0.3","url":"https://svc.test/i.dmg"})"));
  ASSERT_EQ(rig.downloads.size(), 1u);
  const QString tmp = rig.downloads[0].SaveAt;
  const QString dmg = rig.controller.installerPathFor(QStringLiteral("1.0.3"));
  // Claims success, saved nothing: still offered, and a yes to it does nothing.
  rig.downloadReplies[0](vex::Json{{"IsSucc", true}});
  ASSERT_EQ(rig.offered, std::vector<QString>{dmg});
  rig.controller.openInstaller(dmg);
  EXPECT_TRUE(rig.opened.empty());
  QFile out(tmp);
  ASSERT_TRUE(out.open(QIODevice::WriteOnly));
  out.write(kInstaller);
  out.close();
  rig.downloadReplies[0](vex::Json{{"IsSucc", true}});
  ASSERT_TRUE(testutil::waitUntil([&] { return rig.offered.size() == 2; }));
  EXPECT_EQ(rig.offered[1], dmg);
  EXPECT_TRUE(QFileInfo::exists(dmg));
  // Found on disk at the next connection: offered again without a download.
  rig.controller.checkNewVersionResult(vex::Json{{"info", 1}, {"number", "1.0.3"}, {"url", "https://svc.test/i.dmg"}});
  ASSERT_TRUE(testutil::waitUntil([&] { return rig.offered.size() == 3; }));
  EXPECT_EQ(rig.downloads.size(), 1u);
}

}  // namespace
