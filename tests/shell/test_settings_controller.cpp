#include "shell/settings_controller.h"

#include "core/util_system.h"
#include "fakes.h"
#include "support/test_util.h"

#include <QTemporaryDir>
#include <QUrlQuery>

#include <gtest/gtest.h>

namespace {

struct Rig {
  MemorySettings store;
  std::vector<QString> toasts;
  std::vector<bool> updateResults;
  std::vector<QString> calls;
  std::vector<std::function<void(const vex::Json&)>> replies;
  QString token = QStringLiteral("tok&x=1+#é");
  SettingsController settings{SettingsController::Hooks{
      [this](const QString& k) { return store.get(k); },
      [this](const QString& k, const QString& v) { return store.set(k, v); },
      [this](const QString& t) { toasts.push_back(t); },
      [this](bool ok) { updateResults.push_back(ok); },
      [this](const QString& url, int timeout, std::function<void(const vex::Json&)> reply) {
        EXPECT_EQ(timeout, 5);
        calls.push_back(url);
        replies.push_back(std::move(reply));
      },
      [this] { return token; }}};
  Rig() { settings.armDelayMs = 20; }
  void loadAndArm() {
    settings.loadSettings();
    ASSERT_TRUE(testutil::waitUntil([&] { return settings.isInited(); }));
  }
};

const QString kSaved = QStringLiteral("设置已被保存.");

TEST(SettingsController, LoadsWithoutWritingAndStoresTheSwitchOnlyOnceArmed) {
  Rig fresh;
  fresh.settings.loadSettings();
  EXPECT_TRUE(fresh.settings.isClipboard());  // absent key: on
  EXPECT_EQ(fresh.settings.downloadSaveAt(), defaultDownloadFolder());  // shown before any download
  fresh.settings.onClipboardToggled(false);  // before arming: not stored
  EXPECT_EQ(fresh.store.writes, 0);
  EXPECT_TRUE(fresh.toasts.empty());

  Rig rig;
  rig.store.values[QStringLiteral("IsClipboard")] = QStringLiteral("0");
  rig.store.values[QStringLiteral("SaveAtDir")] = QStringLiteral("/data/dl");
  rig.store.values[QStringLiteral("MyReceivedFolder")] = QStringLiteral("/data/in");
  rig.loadAndArm();
  EXPECT_FALSE(rig.settings.isClipboard());
  EXPECT_EQ(rig.settings.downloadSaveAt(), QStringLiteral("/data/dl"));
  EXPECT_EQ(rig.settings.receiveSaveAt(), QStringLiteral("/data/in"));
  EXPECT_EQ(rig.store.writes, 0);
  EXPECT_TRUE(rig.toasts.empty());

  rig.settings.onClipboardToggled(true);
  EXPECT_EQ(rig.store.get(QStringLiteral("IsClipboard")), QStringLiteral("1"));
  rig.settings.onClipboardToggled(false);
  EXPECT_EQ(rig.store.get(QStringLiteral("IsClipboard")), QStringLiteral("0"));
  EXPECT_EQ(rig.toasts, (std::vector<QString>{kSaved, kSaved}));
}

TEST(SettingsController, StoresOnlyAnExistingChosenFolder) {
  Rig rig;
  rig.loadAndArm();
  QTemporaryDir dir;
  for (const QString& bad : {QString(), dir.path() + QStringLiteral("/missing"), dir.path() + QStringLiteral("|/tmp")})
    rig.settings.onFolderChosen(bad);
  EXPECT_EQ(rig.store.writes, 0);
  EXPECT_TRUE(rig.toasts.empty());

  const QString chosen = dir.path() + QStringLiteral("/it's a folder");
  ASSERT_TRUE(QDir().mkpath(chosen));
  rig.settings.onFolderChosen(chosen);
  EXPECT_EQ(rig.settings.downloadSaveAt(), chosen);
  EXPECT_EQ(rig.store.get(QStringLiteral("SaveAtDir")), chosen);
  EXPECT_EQ(rig.toasts, std::vector<QString>{kSaved});
}

TEST(SettingsController, AFailedStoreIsReportedAsAFailureNeverAsSaved) {
  Rig rig;
  rig.loadAndArm();
  rig.store.failWrites = true;
  QTemporaryDir dir;
  rig.settings.onFolderChosen(dir.path());
  rig.settings.onClipboardToggled(false);
  EXPECT_TRUE(rig.toasts.empty());
  EXPECT_EQ(rig.updateResults, (std::vector<bool>{false, false}));
}

TEST(SettingsController, FetchesTheOwnAccessCodeThroughTheBridge) {
  Rig rig;
  rig.settings.loadSettings();
  ASSERT_EQ(rig.calls.size(), 1u);
  const QUrl url(rig.calls[0], QUrl::StrictMode);
  EXPECT_TRUE(url.path().endsWith(QStringLiteral("/api2/account/acode/get/index.php")));
  EXPECT_EQ(QUrlQuery(url).queryItemValue(QStringLiteral("Token"), QUrl::FullyDecoded), rig.token);

  rig.replies[0](vex::Json());                             // absent
  rig.replies[0](vex::Json("no json"));
  rig.replies[0](vex::Json(R"({"Result":0,"Info":"X"})"));
  EXPECT_TRUE(rig.settings.contactCode().isEmpty());
  rig.replies[0](vex::Json(R"({"Result":1,"Info":"AB12"})"));
  EXPECT_EQ(rig.settings.contactCode(), QStringLiteral("AB12"));
  rig.replies[0](vex::Json(R"({"Result":2,"Info":"ZZ"})"));
  EXPECT_EQ(rig.settings.contactCode(), QStringLiteral("AB12"));
}

}  // namespace
