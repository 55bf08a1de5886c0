// The saved-hosts page's controller over the real store, and the host
// editor's checks.
#include "fake_peer_host.h"

#include "bridge/fake_main_view.h"
#include "core/localized.h"
#include "core/util_db.h"
#include "remote_sharing/remote_file_list.h"
#include "remote_sharing/remote_hosts.h"
#include "shell/main_view_shared.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class RemoteHostsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bridgetest::resetState();
    ASSERT_TRUE(UtilDB::openAt(tmp.filePath(QStringLiteral("kelvor.dat"))));
    auto me = std::make_shared<UserInfo>();
    me->id_acc = 7;
    UserInfo::setShared(me);
    Env::MainViewShared = &toasts;
    host = std::make_unique<FakePeerHost>();
    ASSERT_TRUE(host->connectBridge());
    page = std::make_unique<RemoteHostsController>();
    browser = std::make_unique<RemoteFileListController>(&page->rhActive());
    browser->stopTimers();
    Env::RemoteFileListShared = browser.get();
  }
  void TearDown() override {
    browser.reset();
    page.reset();
    bridgetest::resetState();
    host.reset();
    UtilDB::reset();
  }
  void add(const char* name, const char* tag = "t") {
    page->addHost();
    page->rhCtl().remoteSharing.hostname = QString::fromUtf8(name);
    page->rhCtl().remoteSharing.hosttag = QString::fromUtf8(tag);
    ASSERT_EQ(RemoteHostEditorLogic::onOK(page->rhCtl()), RemoteHostEditorLogic::FocusedField::none);
    page->isShowEditor.set(page->rhCtl().isShowView);  // the sheet closes: the page stores
  }
  QStringList names() const {
    QStringList out;
    for (const RemoteSharing& h : page->rsList()) out << h.hostname;
    return out;
  }

  QTemporaryDir tmp;
  bridgetest::FakeMainView toasts;
  std::unique_ptr<FakePeerHost> host;
  std::unique_ptr<RemoteHostsController> page;
  std::unique_ptr<RemoteFileListController> browser;
};

TEST_F(RemoteHostsTest, AddEditRemoveAndTheActiveHost) {
  page->onAppear(0);
  EXPECT_EQ(page->pickerTitle(), L("RS_RemoteHost") + QStringLiteral(" (0)"));
  EXPECT_FALSE(page->hasSelection());
  testutil::idleFor(std::chrono::milliseconds(20));
  EXPECT_FALSE(page->rhActive());

  add("zed");
  EXPECT_EQ(toasts.toasts.last(), L("RS_CreateSucc"));
  ASSERT_EQ(page->rsList().size(), 1);
  EXPECT_EQ(page->rsList()[0].hostid.size(), 36);
  EXPECT_EQ(page->rsList()[0].hostid, page->rsList()[0].hostid.toUpper());
  ASSERT_TRUE(page->rhActive());
  EXPECT_EQ(page->rhActive()->hostname, QStringLiteral("zed"));
  EXPECT_EQ(browser->rhActive()->hostname, QStringLiteral("zed"));  // the browser reads the page's host
  EXPECT_TRUE(testutil::waitUntil([this] { return host->clientInits.size() == 1; }));
  EXPECT_FALSE(page->rhCtl().isESaved);

  // A new host that does not sort last is the one selected.
  browser->isLoading.set(false);
  add("amy");
  EXPECT_EQ(names(), (QStringList{QStringLiteral("amy"), QStringLiteral("zed")}));
  EXPECT_EQ(page->selectedRemoteHost(), 0);
  EXPECT_EQ(page->rhActive()->hostname, QStringLiteral("amy"));
  EXPECT_EQ(page->selectedDisplayName(), HelperRemoteSharing::hostDisplayName(page->rsList()[0]));

  // Edit: the edited host stays selected.
  browser->isLoading.set(false);
  page->setSelectedRemoteHost(1);
  ASSERT_EQ(page->rhActive()->hostname, QStringLiteral("zed"));
  page->editHost();
  EXPECT_TRUE(page->rhCtl().isEdit);
  page->rhCtl().remoteSharing.hostname = QStringLiteral("bob");
  page->rhCtl().remoteSharing.aliasname = QStringLiteral("O'Brien");
  ASSERT_EQ(RemoteHostEditorLogic::onOK(page->rhCtl()), RemoteHostEditorLogic::FocusedField::none);
  page->isShowEditor.set(false);
  EXPECT_EQ(toasts.toasts.last(), L("RS_UpdateSucc"));
  EXPECT_EQ(names(), (QStringList{QStringLiteral("amy"), QStringLiteral("bob")}));
  EXPECT_EQ(page->rhActive()->aliasname, QStringLiteral("O'Brien"));
  EXPECT_TRUE(page->selectedDisplayName().startsWith(QStringLiteral("O'Brien(bob.")));

  // Editing and cancelling stores nothing but keeps the typed values.
  page->editHost();
  page->rhCtl().remoteSharing.hostname = QStringLiteral("typed");
  RemoteHostEditorLogic::closeSheet(page->rhCtl());
  page->isShowEditor.set(false);
  EXPECT_EQ(names(), (QStringList{QStringLiteral("amy"), QStringLiteral("bob")}));
  EXPECT_EQ(page->rhCtl().remoteSharing.hostname, QStringLiteral("typed"));

  // The picker loads the chosen host; choosing it again does nothing.
  browser->isLoading.set(false);
  page->setSelectedRemoteHost(0);
  EXPECT_EQ(page->rhActive()->hostname, QStringLiteral("amy"));
  page->setSelectedRemoteHost(0);
  EXPECT_TRUE(testutil::waitUntil([&] {
    return !host->clientInits.isEmpty() && host->clientInits.last()["Hostname"] == "amy";
  }));

  // Remove: the first remaining host becomes active; removing the last leaves nothing.
  page->askRemoveHost();
  EXPECT_TRUE(page->isShowingDialog.value());
  page->removeHostDone();
  EXPECT_EQ(toasts.toasts.last(), L("RS_RemoveDone"));
  EXPECT_EQ(names(), (QStringList{QStringLiteral("bob")}));
  EXPECT_EQ(page->selectedRemoteHost(), 0);
  page->removeHostDone();
  EXPECT_TRUE(page->rsList().isEmpty());
  EXPECT_EQ(page->selectedRemoteHost(), -1);
  EXPECT_FALSE(page->rhActive());
  page->removeHostDone();  // nothing selected: nothing happens
  EXPECT_EQ(toasts.toasts.count(L("RS_RemoveDone")), 2);
}

TEST_F(RemoteHostsTest, AppearingOpensTheFirstHostLater) {
  add("beta");
  add("Alpha");
  browser->isLoading.set(false);
  page->onAppear(30);
  EXPECT_EQ(page->selectedRemoteHost(), -1);
  EXPECT_FALSE(page->rhActive());
  ASSERT_TRUE(testutil::waitUntil([this] { return page->selectedRemoteHost() == 0; }));
  EXPECT_EQ(page->rhActive()->hostname, QStringLiteral("Alpha"));  // upper case sorts first
}

TEST(RemoteHostEditor, Checks) {
  using F = RemoteHostEditorLogic::FocusedField;
  ViewSharingRemoteHostCtrl ctl;
  ctl.isShowView = true;
  for (const char* bad : {"", "a.b", "a-b", "a b", "ä", "abcdefghijabcdefghijabcdefghijX"}) {
    ctl.remoteSharing.hostname = QString::fromUtf8(bad);
    ctl.remoteSharing.hosttag = QStringLiteral("!!");
    EXPECT_EQ(RemoteHostEditorLogic::onOK(ctl), F::hostName) << bad;  // the name is checked first
    EXPECT_TRUE(ctl.isShowView);
  }
  ctl.remoteSharing.hostname = QStringLiteral("abcdefghijabcdefghijabcdefghi0");  // 30
  ctl.remoteSharing.hosttag = QStringLiteral("abcdefghijabcdefghijabcdefghij0");  // 31
  EXPECT_EQ(RemoteHostEditorLogic::onOK(ctl), F::hostTag);
  EXPECT_FALSE(ctl.isESaved);
  ctl.remoteSharing.hosttag.clear();
  EXPECT_EQ(RemoteHostEditorLogic::onOK(ctl), F::none);
  EXPECT_TRUE(ctl.isESaved);
  EXPECT_FALSE(ctl.isShowView);
}

}  // namespace
