// The receive panel: its count-down, the answers the sender reads, the
// receive folder, progress and the cancel paths.
#include "contacts/receive_file.h"
#include "core/localized.h"
#include "core/util_db.h"
#include "fake_port.h"
#include "shell/main_view_state.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

class Receive : public testing::Test {
 protected:
  void SetUp() override {
    Env::MainViewShared = &window;
    QObject::connect(&window.toast, &ToastState::toastChanged,
                     [this] { toasts << window.toast.toast().title; });
    offer(QStringLiteral("ann-2|me-1"));
  }
  void TearDown() override { Env::MainViewShared = nullptr; }

  // What the dispatcher does on an offer.
  void offer(const QString& session) {
    CtlViewReceiveFile& record = window.ctlViewReceiveFile();
    record = CtlViewReceiveFile{};
    record.Session = session;
    record.Summary = QStringLiteral("a.txt 1 KB");
    record.FromUser = QStringLiteral("Ann");
    record.vrsState = ViewReceiveState::vrsWaiting;
    record.isShowView = true;
    window.receiveFilePanelChanged();
  }
  CtlViewReceiveFile& record() { return window.ctlViewReceiveFile(); }
  void flush() { QCoreApplication::processEvents(); }

  SignedIn account;
  MainViewState window;
  FakePort port;
  QStringList toasts;
};

}  // namespace

TEST_F(Receive, OkAnswersTheDefaultFolderWhichIsCreatedAndStored) {
  ReceiveFile panel(window, port);
  panel.onAppear();
  const QString expected = QDir::homePath() + QStringLiteral("/Documents/Kelvor/MyReceived");
  EXPECT_EQ(panel.downloadSaveAt, expected);
  EXPECT_TRUE(QFileInfo(expected).isDir());
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("MyReceivedFolder")), expected);
  EXPECT_EQ(record().taskState, QStringLiteral("0"));

  panel.accept();
  EXPECT_EQ(record().taskState, expected);
  EXPECT_EQ(record().vrsState, ViewReceiveState::vrsRunning);
  EXPECT_TRUE(record().isShowView);

  // Running: every tick asks the bridge, answered or not; the count-down stops.
  panel.onTimer();
  panel.onTimer();
  ASSERT_EQ(port.count("RefreshRemoteUploadStatus_FromLocal"), 2);
  const SentRequest& poll = port.last("RefreshRemoteUploadStatus_FromLocal");
  EXPECT_TRUE(poll.wait);
  EXPECT_EQ(poll.payload, vex::Json::parse(R"({"Session":"ann-2|me-1"})"));
  EXPECT_EQ(record().iCountDown, 30);

  poll.answer(vex::Json::parse(R"({"TotalCount":5,"TotalTaskDoneCount":2,"Progress":42.5,
      "CurrentTaskFile":"C:\\Users\\ann\\b.jpg","CurrentTaskSpeed":"1 MB/s"})"));
  EXPECT_EQ(panel.logInfo1, QStringLiteral("(3/5) "));
  EXPECT_EQ(panel.logInfo2, QStringLiteral(" b.jpg "));
  EXPECT_EQ(panel.logInfo3, QStringLiteral(" 1 MB/s"));
  EXPECT_FLOAT_EQ(panel.dstatus_CurrentTaskPercent, 42.5f);
  poll.answer(vex::Json::parse(R"({"TotalCount":0,"TotalTaskDoneCount":0,"CurrentTaskFile":"/x/y.txt"})"));
  EXPECT_EQ(panel.logInfo1, QStringLiteral("(1) "));
  EXPECT_EQ(panel.logInfo2, QStringLiteral(" y.txt "));
  EXPECT_TRUE(toasts.isEmpty());

  // Finished and cancelled together: both toasts, in that order.
  poll.answer(vex::Json::parse(R"({"IsFinished":true,"IsCancel":true})"));
  EXPECT_EQ(toasts, (QStringList{QStringLiteral("File received successfully."), QStringLiteral("File receive canceled.")}));
  EXPECT_FALSE(record().isShowView);
  EXPECT_FALSE(window.isShowReceiveFile.value());
  EXPECT_EQ(record().vrsState, ViewReceiveState::vrsStopped);
}

TEST_F(Receive, TheCountDownEndsAnUnansweredOfferWithTheCancelToast) {
  ReceiveFile panel(window, port);
  panel.onAppear();
  for (int i = 0; i < 29; ++i) panel.onTimer();
  EXPECT_EQ(record().iCountDown, 1);
  EXPECT_TRUE(record().isShowView);
  EXPECT_TRUE(port.sent.empty());
  panel.onTimer();
  ASSERT_EQ(port.count("CancelFileReceive_FromLocal"), 1);
  const SentRequest& cancel = port.last("CancelFileReceive_FromLocal");
  EXPECT_FALSE(cancel.wait);
  EXPECT_EQ(cancel.payload, vex::Json::parse(R"({"Session":"ann-2|me-1"})"));
  EXPECT_FALSE(record().isShowView);
  EXPECT_TRUE(toasts.isEmpty());  // the toast follows from the main queue
  flush();
  EXPECT_EQ(toasts, QStringList{L("Contact_TransferCanceled")});
  EXPECT_EQ(record().vrsState, ViewReceiveState::vrsStopped);
  EXPECT_EQ(record().taskState, QStringLiteral("0"));  // the sender keeps reading "undecided"
}

TEST_F(Receive, RefusingAndCancelling) {
  {
    ReceiveFile panel(window, port);
    panel.onAppear();
    panel.cancelTapped();
    EXPECT_EQ(record().taskState, QStringLiteral("2"));
    EXPECT_FALSE(record().isShowView);
    EXPECT_TRUE(port.sent.empty());
  }
  offer(QStringLiteral("ann-2|me-1"));
  {
    ReceiveFile panel(window, port);
    panel.onAppear();
    EXPECT_EQ(record().taskState, QStringLiteral("0"));
    panel.closeTapped();
    EXPECT_EQ(record().taskState, QStringLiteral("2"));
    EXPECT_TRUE(port.sent.empty());
  }
  offer(QStringLiteral("ann-2|me-1"));
  {
    ReceiveFile panel(window, port);
    panel.onAppear();
    panel.downloadSaveAt.clear();  // the field emptied by the user
    panel.accept();
    EXPECT_EQ(record().taskState, QString());
    // A second offer while running resets the record: waiting, full count-down, new session.
    offer(QStringLiteral("bob-3|me-1"));
    EXPECT_EQ(record().vrsState, ViewReceiveState::vrsWaiting);
    EXPECT_EQ(record().iCountDown, 30);
    panel.accept();
    panel.closeTapped();  // running: cancels the receive with the bridge
    EXPECT_EQ(port.last("CancelFileReceive_FromLocal").payload["Session"], "bob-3|me-1");
    EXPECT_FALSE(record().isShowView);
    flush();
    EXPECT_EQ(toasts, QStringList{L("Contact_TransferCanceled")});
  }
  // A receive that broke off says so, and why; "canceled" only for a cancel.
  for (const auto& [reason, title, sub] :
       {std::tuple{"disk", L("Transfer_ReceiveFailed"), L("Transfer_Reason_disk")},
        std::tuple{"peer-cancel", QStringLiteral("File receive canceled."), L("Transfer_Reason_peer-cancel")}}) {
    offer(QStringLiteral("ann-2|me-1"));
    ReceiveFile panel(window, port);
    panel.onAppear();
    panel.accept();
    panel.onTaskStatusReply(vex::Json{{"IsCancel", true}, {"Reason", reason}});
    EXPECT_EQ(window.toast.toast().title, title);
    EXPECT_EQ(window.toast.toast().subTitle.value_or(QString()), sub);
    EXPECT_GE(window.toast.toast().minShowMs, 4000);
  }
}

// The end of a receive says what did not arrive, by whose doing and why, with
// the failure symbol; only a receive with nothing left out is told as a success.
TEST_F(Receive, WhatWasLeftOutEndsTheReceiveWithTheFailureSymbol) {
  struct Case {
    const char* status;
    const char* title;
    const char* sub;
    AlertToast::Type type;
  };
  const Case cases[] = {
      // A name kept for partial files, or taken by a folder here.
      {R"({"IsFinished":true,"TotalCount":7,"TotalTaskDoneCount":6,"Reason":"refused"})",
       "6 of 7 objects received. 1 refused by this computer.",
       "Names kept for partial files, names taken by a folder and paths outside the receiving folder are refused.",
       AlertToast::Type::error},
      // What the sender could not read: a sub-folder never offered and a file that was.
      {R"({"IsFinished":true,"TotalCount":6,"TotalTaskDoneCount":6,"Unread":2,
           "UnreadReason":"Error: Permission denied"})",
       "6 of 8 objects received. 2 could not be read by the sender.", "The sender has no permission to read it.",
       AlertToast::Type::error},
      {R"({"IsFinished":"1","TotalCount":5,"TotalTaskDoneCount":5,"Renamed":1})",
       "File received successfully.\n1 saved under a new name, as the name was taken.", "", AlertToast::Type::regular},
      {R"({"IsCancel":true,"Reason":"source","UnreadReason":"Error: Permission denied"})", "File receive failed.",
       "The sender has no permission to read it.", AlertToast::Type::error},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    offer(QStringLiteral("ann-2|me-1"));
    ReceiveFile panel(window, port);
    panel.onAppear();
    panel.accept();
    panel.onTaskStatusReply(vex::Json::parse(c.status));
    const AlertToast& shown = window.toast.toast();
    EXPECT_EQ(shown.title.toStdString(), c.title);
    EXPECT_EQ(shown.subTitle.value_or(QString()).toStdString(), c.sub);
    EXPECT_EQ(shown.type, c.type);
    EXPECT_FALSE(record().isShowView);
  }
  const QLocale before;
  QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
  offer(QStringLiteral("ann-2|me-1"));
  ReceiveFile panel(window, port);
  panel.onAppear();
  panel.accept();
  panel.onTaskStatusReply(vex::Json::parse(cases[1].status));
  QLocale::setDefault(before);
  EXPECT_EQ(window.toast.toast().title.toStdString(), "已接收 6 个对象（共 8 个）。2 个发送方无法读取。");
  EXPECT_EQ(window.toast.toast().subTitle.value_or(QString()).toStdString(), "发送方没有读取它的权限。");
}

TEST_F(Receive, OnlyAnExistingChosenFolderIsTakenAndStored) {
  const QString chosen = account.dir.filePath(QStringLiteral("in"));
  ASSERT_TRUE(QDir().mkpath(chosen));
  UtilDB::setValue(QStringLiteral("MyReceivedFolder"), QStringLiteral("/stored/folder"));
  ReceiveFile panel(window, port);
  panel.onAppear();
  EXPECT_EQ(panel.downloadSaveAt, QStringLiteral("/stored/folder"));
  panel.folderChosen(chosen + QStringLiteral("|") + chosen);  // several folders
  panel.folderChosen(QString());                              // cancelled
  panel.folderChosen(account.dir.filePath(QStringLiteral("missing")));
  EXPECT_EQ(panel.downloadSaveAt, QStringLiteral("/stored/folder"));
  panel.folderChosen(chosen);
  EXPECT_EQ(panel.downloadSaveAt, chosen);
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("MyReceivedFolder")), chosen);
}
