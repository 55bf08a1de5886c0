// The direct send's state machine against a recording bridge: offer,
// answers, upload, progress, time-outs and every cancel path.
#include "bridge/p2p_client_msg.h"
#include "contacts/contact_send.h"
#include "core/localized.h"
#include "core/util_system.h"
#include "fake_port.h"

#include <gtest/gtest.h>

#include <deque>

namespace {

vex::Json data(const char* text) { return vex::Json{{"data", text}}; }

class Send : public testing::Test {
 protected:
  void SetUp() override {
    SignedIn::signInAs(7);
    Env::RemoteConnected = true;
    Env::RemoteSession = QStringLiteral("me-1|ann-2");
    Env::RemoteClientID1 = QStringLiteral("me-1");
    Env::RemoteClientID2 = QStringLiteral("ann-2");
    linkattempts::reset();
    send.schedule = [this](int ms, std::function<void()> work) {
      EXPECT_EQ(ms, 1000);
      scheduled.push_back(std::move(work));
    };
    send.cpSelected.cpmail = QStringLiteral("ann@example.com");
    QObject::connect(&send, &ContactSend::toastRequested,
                     [this](const QString& text, const QString& reason, bool failure) {
                       toasts << text;
                       reasons << reason;
                       failures << failure;
                     });
  }
  void TearDown() override {
    Env::ViewContactShared = nullptr;
    linkattempts::reset();
    Env::RemoteConnected = false;
  }

  // Chooses two items, has the bridge list three, and gets the contact asked.
  void offer() {
    send.setUploadTarget(QStringLiteral("/home/me/docs/a.txt|/home/me/docs/pics"));
    port.last("PreparingUpload").answer(vex::Json::parse(R"([
      {"Path":"/home/me/docs/a.txt","IsDir":false,"Size":1024},
      {"Path":"/home/me/docs/pics","IsDir":true,"Size":0},
      {"Path":"/home/me/docs/pics/b.jpg","IsDir":false,"Size":2048}])"));
    send.sendNowPressed();
    P2PClientMsg::SetP2PConnectResult(ConStatus::csConnected, currentPeerLink());
    ASSERT_EQ(send.vcsState, ViewContactState::vcsWaitingUser);
    port.last("WaitRemoteReceiveFiles").answer(data("1"));
  }
  // Runs the poll tick that is due.
  void pollTick() {
    ASSERT_FALSE(scheduled.empty());
    auto work = std::move(scheduled.front());
    scheduled.pop_front();
    work();
  }
  void ticks(int n) {
    for (int i = 0; i < n; ++i) send.ContactTimerTick();
  }

  FakePort port;
  ContactSend send{port};
  std::deque<std::function<void()>> scheduled;
  QStringList toasts;
  QStringList reasons;
  QList<bool> failures;
};

}  // namespace

TEST_F(Send, AnAcceptedOfferIsUploadedAndFollowedToTheEnd) {
  send.setUploadTarget(QStringLiteral("/home/me/docs/a.txt|/home/me/docs/pics"));
  const SentRequest& prepare = port.last("PreparingUpload");
  EXPECT_FALSE(prepare.toRemote());
  EXPECT_EQ(prepare.payload, vex::Json::parse(R"({"Targets":"/home/me/docs/a.txt|/home/me/docs/pics",
                                                 "LocalRootPath":"/home/me/docs","RemoteSaveRootPath":"Z:\\"})"));
  prepare.answer(vex::Json::parse(R"([{"Path":"/home/me/docs/a.txt","IsDir":false,"Size":1024},
                                      {"Path":"/home/me/docs/pics","IsDir":true,"Size":0},
                                      {"Path":"/home/me/docs/pics/b.jpg","IsDir":false,"Size":2048}])"));
  EXPECT_EQ(send.logInfo, QStringLiteral("a.txt(3 objects) ") + UtilSystem::formatSize(3072));
  EXPECT_EQ(send.uploadSummary, send.logInfo);

  send.sendNowPressed();
  EXPECT_EQ(send.vcsState, ViewContactState::vcsConnecting);
  ASSERT_EQ(port.inits.size(), 1u);
  EXPECT_EQ(port.inits[0], (QStringList{QStringLiteral("ann@example.com"), QStringLiteral("KELVORSENDFILE"), QString()}));
  EXPECT_TRUE(linkattempts::waiting(LinkOwner::contactSend));
  EXPECT_EQ(Env::ViewContactShared, &send);

  const QString firstUuid = send.uuid;
  P2PClientMsg::SetP2PConnectResult(ConStatus::csConnected, currentPeerLink());
  EXPECT_EQ(send.vcsState, ViewContactState::vcsWaitingUser);
  EXPECT_EQ(send.countdown(), 30);
  EXPECT_NE(send.uuid, firstUuid);
  const SentRequest& offer = port.last("WaitRemoteReceiveFiles");
  EXPECT_EQ(offer.isProcessOnBridge, QStringLiteral("NO"));
  EXPECT_EQ(offer.payload["Session"], "me-1|ann-2");
  EXPECT_EQ(offer.session, QStringLiteral("me-1|ann-2"));
  // A browser that opens a link of its own meanwhile does not redirect the send.
  Env::RemoteSession = QStringLiteral("me-1|bob-3");
  Env::RemoteClientID2 = QStringLiteral("bob-3");
  EXPECT_EQ(offer.payload["Summary"], send.uploadSummary.toStdString());
  EXPECT_EQ(offer.payload["FromUser"], "Me");
  EXPECT_EQ(offer.payload["UUID"], send.uuid.toStdString());
  EXPECT_EQ(port.count("WaitRemoteReceiveFilesPressButton"), 0);  // polling starts with the offer's reply

  offer.answer(data("1"));
  ASSERT_EQ(port.count("WaitRemoteReceiveFilesPressButton"), 1);
  EXPECT_EQ(port.last("WaitRemoteReceiveFilesPressButton").payload["UUID"], send.uuid.toStdString());
  port.last("WaitRemoteReceiveFilesPressButton").answer(data("0"));
  ticks(1);
  EXPECT_EQ(send.countdown(), 29);
  pollTick();
  ASSERT_EQ(port.count("WaitRemoteReceiveFilesPressButton"), 2);
  port.last("WaitRemoteReceiveFilesPressButton").answer(data("/home/ann/In"));
  EXPECT_TRUE(send.isUserPressedButton);

  const SentRequest& start = port.last("StartRemoteUpload");
  EXPECT_FALSE(start.toRemote());
  EXPECT_EQ(start.payload, vex::Json::parse(R"({"Session":"me-1|ann-2","ClientID1":"me-1","ClientID2":"ann-2",
    "FileList":[{"Size":1024,"IsDir":false,"Path":"/home/me/docs/a.txt","PathSave":"/home/ann/In/a.txt"},
                {"Size":0,"IsDir":true,"Path":"/home/me/docs/pics","PathSave":"/home/ann/In/pics"},
                {"Size":2048,"IsDir":false,"Path":"/home/me/docs/pics/b.jpg","PathSave":"/home/ann/In/pics/b.jpg"}]})"));
  EXPECT_EQ(send.vcsState, ViewContactState::vcsWaitingUser);
  start.answer(vex::Json::object());
  EXPECT_EQ(send.vcsState, ViewContactState::vcsSending);

  // Every tick reads the progress, answered or not.
  ticks(2);
  ASSERT_EQ(port.count("RemoteUploadTaskInfo"), 2);
  const SentRequest& poll = port.last("RemoteUploadTaskInfo");
  EXPECT_EQ(poll.session, QStringLiteral("me-1|ann-2"));
  EXPECT_EQ(poll.isProcessOnBridge, QStringLiteral("YES"));
  EXPECT_EQ(poll.payload, vex::Json::parse(R"({"Session":"me-1|ann-2","IsProcessOnBridge":"YES"})"));
  poll.answer(vex::Json::parse(R"({"TaskStatus":0,"TotalTaskCount":5,"TotalTaskDoneCount":2,
    "CurrentTaskFile":"/home/me/docs/pics/b.jpg","CurrentTaskSpeed":"1 MB/s","CurrentTaskPercent":40.5,
    "CurrentTaskFileSize":2048})"));
  EXPECT_EQ(send.dstatus_WorkingIndex, 2);
  EXPECT_EQ(send.dstatus_WorkingItemName, QStringLiteral("b.jpg"));
  const SentRequest& sync = port.last("SyncTransState");
  EXPECT_FALSE(sync.wait);
  EXPECT_EQ(sync.isProcessOnBridge, QStringLiteral("NO"));
  EXPECT_EQ(sync.payload["Log"], (QStringLiteral("(3/5) b.jpg ") + UtilSystem::formatSize(2048) +
                                  QStringLiteral("  1 MB/s")).toStdString());
  EXPECT_FLOAT_EQ(sync.payload["IProgress"].get<float>(), 40.5f);
  EXPECT_EQ(sync.payload["IsFinished"], false);

  port.withCode("RemoteUploadTaskInfo")[0].answer(vex::Json::parse(
      R"({"TaskStatus":1,"TotalTaskCount":5,"TotalTaskDoneCount":5,"CurrentTaskFile":"/home/me/docs/e.txt",
          "CurrentTaskFileSize":-1,"CurrentTaskPercent":100})"));
  EXPECT_EQ(toasts, QStringList{QStringLiteral("Send file finished successfully!")});
  EXPECT_EQ(send.vcsState, ViewContactState::vcsStopped);
  EXPECT_TRUE(send.uploadTarget.isEmpty());
  EXPECT_FALSE(linkattempts::waiting(LinkOwner::contactSend));
  EXPECT_EQ(port.last("SyncTransState").payload["Log"], "(5/5) e.txt   ");
  EXPECT_EQ(port.last("SyncTransState").payload["IsFinished"], true);

  // A late reading of an earlier tick neither finishes again nor toasts.
  const int syncs = port.count("SyncTransState");
  poll.answer(vex::Json::parse(R"({"TaskStatus":1,"TotalTaskCount":5,"TotalTaskDoneCount":5})"));
  EXPECT_EQ(toasts.size(), 1);
  EXPECT_EQ(port.count("SyncTransState"), syncs);
  ticks(3);
  EXPECT_EQ(port.count("RemoteUploadTaskInfo"), 2);
}

TEST_F(Send, SummaryOfOneItemAndOfAnEmptyList) {
  send.BuildUploadSummary(1, QStringLiteral("a.txt"), 1024);
  EXPECT_EQ(send.logInfo, QStringLiteral("a.txt ") + UtilSystem::formatSize(1024));
  send.OnPreparingUploadReply(vex::Json::array());
  EXPECT_EQ(send.logInfo, QStringLiteral("(0 objects) ") + UtilSystem::formatSize(0));
}

TEST_F(Send, TheLinkResultDecidesWhetherTheContactIsAsked) {
  send.uploadTarget = QStringLiteral("/tmp/a");
  send.sendNowPressed();
  P2PClientMsg::SetP2PConnectResult(ConStatus::csMaxClients);
  EXPECT_EQ(toasts.last(), QStringLiteral("Max Connection Limits Reached!"));
  EXPECT_EQ(send.vcsState, ViewContactState::vcsStopped);
  EXPECT_FALSE(linkattempts::waiting(LinkOwner::contactSend));

  send.sendNowPressed();
  P2PClientMsg::SetP2PConnectResult(ConStatus::csInvalid);
  EXPECT_EQ(toasts.last(), L("RS_Host_NotAvialableAndCheck"));

  // No result within 8 ticks: the send stops, and a later result reaches no page.
  send.sendNowPressed();
  ticks(7);
  EXPECT_EQ(send.vcsState, ViewContactState::vcsConnecting);
  ticks(1);
  EXPECT_EQ(toasts.last(), QStringLiteral("Connect timeout!\nPlease try agian later."));
  EXPECT_EQ(send.vcsState, ViewContactState::vcsStopped);
  P2PClientMsg::SetP2PConnectResult(ConStatus::csConnected, currentPeerLink());
  EXPECT_EQ(send.vcsState, ViewContactState::vcsStopped);
  EXPECT_EQ(port.count("WaitRemoteReceiveFiles"), 0);
  EXPECT_EQ(toasts.size(), 3);
}

// A browser's link attempt and a send's overlap, in both orders: each screen
// hears its own result with its own link, and one Send Now makes one offer, to
// the contact.
TEST_F(Send, OverlappingLinkAttemptsEachReachTheScreenThatStartedThem) {
  struct Browser : RemoteFileListHandle {
    void updateRemoteConResult(ConStatus, const PeerLink& link) override { results << link.session; }
    QStringList results;
  } browser;
  Env::RemoteFileListShared = &browser;
  const PeerLink host = linkOfSession(QStringLiteral("me-1|host-9"));
  const PeerLink ann = linkOfSession(QStringLiteral("me-1|ann-2"));
  int browserInits = 0;
  send.uploadTarget = QStringLiteral("/tmp/a");
  auto offersToAnn = [this, &ann] {
    int n = 0;
    for (const SentRequest& offer : port.withCode("WaitRemoteReceiveFiles")) {
      EXPECT_EQ(offer.session, ann.session);
      EXPECT_EQ(offer.payload["Session"], ann.session.toStdString());
      ++n;
    }
    return n;
  };

  // The browser first: the send's attempt waits for the browser's answer.
  linkattempts::open(LinkOwner::browser, [&] { ++browserInits; });
  send.sendNowPressed();
  EXPECT_TRUE(port.inits.empty());
  P2PClientMsg::SetP2PConnectResult(ConStatus::csConnected, host);
  EXPECT_EQ(browser.results, QStringList{host.session});
  EXPECT_EQ(port.inits.size(), 1u);
  EXPECT_EQ(send.vcsState, ViewContactState::vcsConnecting);
  P2PClientMsg::SetP2PConnectResult(ConStatus::csConnected, ann);
  EXPECT_EQ(send.vcsState, ViewContactState::vcsWaitingUser);
  EXPECT_EQ(offersToAnn(), 1);
  send.CancelWaitingContact();

  // The send first: the browser's attempt waits for the send's answer.
  send.sendNowPressed();
  linkattempts::open(LinkOwner::browser, [&] { ++browserInits; });
  EXPECT_EQ(port.inits.size(), 2u);
  EXPECT_EQ(browserInits, 1);
  P2PClientMsg::SetP2PConnectResult(ConStatus::csConnected, ann);
  EXPECT_EQ(browserInits, 2);
  EXPECT_EQ(offersToAnn(), 2);
  P2PClientMsg::SetP2PConnectResult(ConStatus::csConnected, host);
  EXPECT_EQ(browser.results, (QStringList{host.session, host.session}));
  EXPECT_EQ(offersToAnn(), 2);
  Env::RemoteFileListShared = nullptr;
}

TEST_F(Send, ARefusalEndsTheSendOnce) {
  offer();
  linkattempts::open(LinkOwner::browser, {});  // the browser connects meanwhile
  port.last("WaitRemoteReceiveFilesPressButton").answer(data("2"));
  EXPECT_EQ(toasts, QStringList{QStringLiteral("File transfer has been canceled!")});
  EXPECT_EQ(reasons, QStringList{L("Contact_Declined")});
  EXPECT_EQ(send.vcsState, ViewContactState::vcsStopped);
  EXPECT_TRUE(linkattempts::waiting(LinkOwner::browser));  // its result still reaches it
  // The tick already due polls no more.
  pollTick();
  EXPECT_EQ(port.count("WaitRemoteReceiveFilesPressButton"), 1);
  EXPECT_TRUE(scheduled.empty());
  EXPECT_EQ(toasts.size(), 1);
  EXPECT_EQ(port.count("StartRemoteUpload"), 0);
}

TEST_F(Send, TheContactsSilenceTimesOutOnBothClocks) {
  offer();
  // The page's count-down: "CancelUploading" on the 30th tick, not before.
  ticks(29);
  EXPECT_EQ(send.countdown(), 1);
  EXPECT_EQ(port.count("CancelUploading"), 0);
  ticks(1);
  ASSERT_EQ(port.count("CancelUploading"), 1);
  EXPECT_EQ(port.last("CancelUploading").isProcessOnBridge, QStringLiteral("YES"));
  EXPECT_EQ(port.count("WaitRemoteReceiveFilesCancel"), 0);
  port.last("CancelUploading").answer(vex::Json::object());
  // Told as the contact's silence, not as anyone's cancel.
  EXPECT_EQ(toasts, QStringList{QStringLiteral("User rejected receiving the files")});
  EXPECT_EQ(reasons, QStringList{L("Contact_NoAnswer")});
  ticks(5);
  EXPECT_EQ(port.count("CancelUploading"), 1);

  // The polls go on to their own limit: 30 rounds unanswered.
  for (int round = 1; round < 30; ++round) {
    port.last("WaitRemoteReceiveFilesPressButton").answer(data("0"));
    pollTick();
  }
  EXPECT_EQ(port.count("WaitRemoteReceiveFilesPressButton"), 30);
  port.last("WaitRemoteReceiveFilesPressButton").answer(data("0"));
  pollTick();
  EXPECT_EQ(port.count("WaitRemoteReceiveFilesPressButton"), 30);
  EXPECT_EQ(toasts.size(), 1);  // said once
  EXPECT_TRUE(scheduled.empty());
}

TEST_F(Send, AFolderAnsweredAfterThePagesTimeOutStillStartsTheUpload) {
  offer();
  ticks(30);
  port.last("CancelUploading").answer(vex::Json::object());
  port.last("WaitRemoteReceiveFilesPressButton").answer(data("C:\\In"));
  ASSERT_EQ(port.count("StartRemoteUpload"), 1);
  EXPECT_EQ(port.last("StartRemoteUpload").payload["FileList"][2]["PathSave"], "C:\\In\\pics\\b.jpg");
}

TEST_F(Send, CancelWhileWaitingWithdrawsTheOffer) {
  offer();
  const SentRequest poll = port.last("WaitRemoteReceiveFilesPressButton");
  send.CancelContactSend();
  const SentRequest& withdraw = port.last("WaitRemoteReceiveFilesCancel");
  EXPECT_FALSE(withdraw.wait);
  EXPECT_EQ(withdraw.payload, vex::Json::parse(R"({"Session":"me-1|ann-2"})"));
  EXPECT_EQ(send.vcsState, ViewContactState::vcsStopped);
  EXPECT_EQ(toasts, QStringList{L("Contact_TransferCanceled")});
  // An acceptance already on its way starts nothing, and polling has ended.
  poll.answer(data("/home/ann/In"));
  pollTick();
  EXPECT_EQ(port.count("StartRemoteUpload"), 0);
  EXPECT_EQ(port.count("WaitRemoteReceiveFilesPressButton"), 1);
}

TEST_F(Send, CancelAndForcedCancelWhileSending) {
  offer();
  port.last("WaitRemoteReceiveFilesPressButton").answer(data("/in"));
  port.last("StartRemoteUpload").answer(vex::Json::object());
  ASSERT_EQ(send.vcsState, ViewContactState::vcsSending);
  send.CancelContactSend();
  EXPECT_EQ(port.count("WaitRemoteReceiveFilesCancel"), 0);
  EXPECT_EQ(send.vcsState, ViewContactState::vcsSending);  // until the bridge answers
  port.last("CancelUploading").answer(vex::Json::object());
  EXPECT_EQ(send.vcsState, ViewContactState::vcsStopped);
  EXPECT_EQ(toasts, QStringList{L("Contact_TransferCanceled")});

  toasts.clear();
  offer();
  port.last("WaitRemoteReceiveFilesPressButton").answer(data("/in"));
  port.last("StartRemoteUpload").answer(vex::Json::object());
  ticks(1);
  port.last("RemoteUploadTaskInfo").answer(vex::Json::parse(R"({"ForceCancel":1,"TotalTaskCount":2,"Reason":"peer-cancel"})"));
  EXPECT_EQ(toasts, QStringList{QStringLiteral("File transfer has been canceled!")});
  EXPECT_EQ(reasons.last(), L("Transfer_Reason_peer-cancel"));
  // A send that broke off is not told as cancelled.
  toasts.clear();
  offer();
  port.last("WaitRemoteReceiveFilesPressButton").answer(data("/in"));
  port.last("StartRemoteUpload").answer(vex::Json::object());
  ticks(1);
  port.last("RemoteUploadTaskInfo").answer(vex::Json::parse(R"({"ForceCancel":1,"Reason":"disk"})"));
  EXPECT_EQ(toasts, QStringList{L("Transfer_SendFailed")});
  EXPECT_EQ(reasons.last(), L("Transfer_Reason_disk"));
  EXPECT_EQ(send.vcsState, ViewContactState::vcsStopped);
  EXPECT_EQ(port.last("SyncTransState").payload["IsCanceled"], true);
}

// The end of a send says what was left out, by whom and why, with the failure
// symbol; only a send with nothing left out is told as a success.
TEST_F(Send, WhatWasLeftOutEndsTheSendWithTheFailureSymbol) {
  struct Case {
    const char* record;
    const char* text;
    const char* reason;
    bool failure;
  };
  const Case cases[] = {
      {R"j({"TaskStatus":1,"TotalTaskCount":6,"TotalTaskDoneCount":6,"Unread":4,
            "UnreadReason":"Error: Permission denied","WorkingSpeed":"1 MB/s, 4 could not be read on this computer"})j",
       "6 of 10 objects sent. 4 could not be read on this computer.",
       "This computer has no permission to read it.\n1 MB/s", true},
      {R"({"TaskStatus":1,"TotalTaskCount":7,"TotalTaskDoneCount":6,"Reason":"refused"})",
       "6 of 7 objects sent. 1 refused by the contact.",
       "Names kept for partial files, names taken by a folder and paths outside the receiving folder are refused.", true},
      {R"({"TaskStatus":1,"TotalTaskCount":7,"TotalTaskDoneCount":5,"Unread":3,"Reason":"source"})",
       "5 of 10 objects sent. 3 could not be read on this computer. 2 not transferred.", "", true},
      {R"({"TaskStatus":1,"TotalTaskCount":5,"TotalTaskDoneCount":5,"WorkingSpeed":"1 MB/s"})",
       "Send file finished successfully!", "", false},
      // Nothing could be read: a failure with this computer's words.
      {R"({"ForceCancel":1,"Reason":"source","UnreadReason":"Error: Permission denied"})", "File transfer failed.",
       "This computer has no permission to read it.", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    toasts.clear();
    reasons.clear();
    failures.clear();
    offer();
    port.last("WaitRemoteReceiveFilesPressButton").answer(data("/in"));
    port.last("StartRemoteUpload").answer(vex::Json::object());
    ticks(1);
    port.last("RemoteUploadTaskInfo").answer(vex::Json::parse(c.record));
    ASSERT_EQ(toasts.size(), 1);
    EXPECT_EQ(toasts[0].toStdString(), c.text);
    EXPECT_EQ(reasons[0].toStdString(), c.reason);
    EXPECT_EQ(failures[0], c.failure);
    EXPECT_EQ(send.vcsState, ViewContactState::vcsStopped);
  }
  // In the user's language.
  const QLocale before;
  QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
  toasts.clear();
  offer();
  port.last("WaitRemoteReceiveFilesPressButton").answer(data("/in"));
  port.last("StartRemoteUpload").answer(vex::Json::object());
  ticks(1);
  port.last("RemoteUploadTaskInfo").answer(vex::Json::parse(cases[0].record));
  QLocale::setDefault(before);
  ASSERT_EQ(toasts.size(), 1);
  EXPECT_EQ(toasts[0].toStdString(), "已发送 6 个对象（共 10 个）。4 个无法在本机读取。");
  EXPECT_EQ(reasons.last().toStdString(), "本机没有读取它的权限。\n1 MB/s");
}

TEST_F(Send, AnAcceptanceWithoutAFolderOrWithoutItemsWithdrawsTheOffer) {
  offer();
  port.last("WaitRemoteReceiveFilesPressButton").answer(data(""));
  EXPECT_EQ(port.count("StartRemoteUpload"), 0);
  EXPECT_EQ(port.count("WaitRemoteReceiveFilesCancel"), 1);
  EXPECT_EQ(send.vcsState, ViewContactState::vcsStopped);

  // The bridge refused to list the items.
  send.setUploadTarget(QStringLiteral("/home/me/gone"));
  port.last("PreparingUpload").answer(vex::Json::parse(R"({"Result":0})"));
  send.sendNowPressed();
  P2PClientMsg::SetP2PConnectResult(ConStatus::csConnected, currentPeerLink());
  port.last("WaitRemoteReceiveFiles").answer(data("1"));
  port.last("WaitRemoteReceiveFilesPressButton").answer(data("/in"));
  EXPECT_EQ(port.count("StartRemoteUpload"), 0);
  EXPECT_EQ(port.count("WaitRemoteReceiveFilesCancel"), 2);

  // A missing reply object counts as undecided.
  offer();
  port.last("WaitRemoteReceiveFilesPressButton").answer(vex::Json());
  EXPECT_EQ(send.userReturnInfo, QStringLiteral("0"));
  EXPECT_EQ(send.vcsState, ViewContactState::vcsWaitingUser);
}

TEST_F(Send, ThePageGoingAwayLeavesNoHandle) {
  auto page = std::make_unique<ContactSend>(port);
  page->setUploadTarget(QStringLiteral("/tmp/a"));
  page->ContactSendNow();
  ASSERT_EQ(Env::ViewContactShared, page.get());
  page.reset();
  EXPECT_EQ(Env::ViewContactShared, nullptr);
  EXPECT_FALSE(linkattempts::waiting(LinkOwner::contactSend));
  P2PClientMsg::SetP2PConnectResult(ConStatus::csConnected, currentPeerLink());  // reaches nothing
  // Replies to a gone page are dropped.
  ASSERT_FALSE(port.sent.empty());
  port.sent.back().answer(vex::Json::array());
}
