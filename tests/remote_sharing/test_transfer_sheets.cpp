// The download and upload sheets driven through their controllers, with the
// requests answered by the test, and the sheets' cards on top of them.
#include "bridge/bridge_test_support.h"
#include "bridge/env.h"
#include "core/localized.h"
#include "core/util_db.h"
#include "core/util_system.h"
#include "remote_sharing/view_transfer_sheets.h"
#include "shell/main_view_shared.h"

#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class AlertList : public MainViewHandle {
 public:
  void showToast(const QString& text) override { plain << text; }
  void showUpdateResult(bool) override {}
  void showAlertToast(const AlertToast& toast) override { alerts << toast; }
  void openQRSettings() override {}
  CtlViewReceiveFile& ctlViewReceiveFile() override { return ctl; }
  void receiveFilePanelChanged() override {}
  SharingObjList* sharingObjList() override { return nullptr; }
  QStringList plain;
  QList<AlertToast> alerts;
  CtlViewReceiveFile ctl;
};

struct Request {
  QString code;
  vex::Json payload;
  bool wait;
  QString onBridge;  // "-" for bridge requests
  ReplyHandler handler;
  QString session = {};  // the link a peer request travels on
};

FileItem item(const char* name, qint64 size, const char* path) {
  FileItem f;
  f.name = QString::fromUtf8(name);
  f.size = size;
  f.fullPath = QString::fromUtf8(path);
  return f;
}

class TransferSheetsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bridgetest::resetState();
    ASSERT_TRUE(UtilDB::openAt(tmp.filePath(QStringLiteral("kelvor.dat"))));
    Env::MainViewShared = &window;
    // Another link is current: the sheets keep to the browser's.
    Env::RemoteSession = QStringLiteral("ME|OTHER");
    Env::LanguageCode = QStringLiteral("en");
    requests.toBridge = [this](const QString& code, const vex::Json& payload, bool wait, ReplyHandler handler) {
      sent.append({code, payload, wait, QStringLiteral("-"), std::move(handler)});
    };
    requests.toRemote = [this](const QString& session, const QString& code, const vex::Json& payload, bool wait,
                               const QString& onBridge, ReplyHandler handler) {
      sent.append({code, payload, wait, onBridge, std::move(handler), session});
    };
    requests.chooser = [this](const QString& title, int mode, std::function<void(const QString&)> done) {
      chooserTitle = title;
      chooserMode = mode;
      done(chooserAnswer);
    };
  }
  void TearDown() override {
    bridgetest::resetState();
    UtilDB::reset();
  }
  QList<Request> sentOf(const char* code) const {
    QList<Request> out;
    for (const Request& r : sent)
      if (r.code == QLatin1String(code)) out << r;
    return out;
  }

  QTemporaryDir tmp;
  AlertList window;
  TransferRequests requests;
  QList<Request> sent;
  QString chooserAnswer;
  QString chooserTitle;
  int chooserMode = -1;
  ShowFlag shown{true};
};

}  // namespace

TEST_F(TransferSheetsTest, DownloadTitleAndTheDefaultFolder) {
  CTLDownload one;
  one.fileItems = {item("a.txt", 0, "/srv/a.txt")};
  RemoteDownloadController single(one, shown, requests);
  single.stopTimer();
  single.onAppear();
  EXPECT_EQ(single.strTitle(), QStringLiteral("a.txt  ") + UtilSystem::formatSize(0));
  const QString downloads = documentsPath(QStringLiteral("Kelvor")) + QStringLiteral("/Downloads");
  EXPECT_EQ(single.downloadSaveAt(), downloads);
  EXPECT_TRUE(QFileInfo(downloads).isDir());
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("SaveAtDir")), downloads);

  CTLDownload three;
  three.isChooseOP = true;
  three.fileItems = {item("x", 5, "/srv/x"), item("y", 6, "/srv/y"), item("z", 7, "/srv/z")};
  RemoteDownloadController many(three, shown, requests);
  many.stopTimer();
  many.onAppear();
  EXPECT_FALSE(three.isChooseOP);
  EXPECT_EQ(many.strTitle(), QStringLiteral("x...(3 ") + L("RS_Download_Targets") + QStringLiteral(")  "));

  // The chooser takes one existing folder; two joined by "|" change nothing.
  chooserAnswer = tmp.path() + QLatin1Char('|') + tmp.path();
  many.chooseFolder();
  EXPECT_EQ(chooserMode, 1);
  EXPECT_EQ(chooserTitle, QStringLiteral("Choose one file or folder"));
  EXPECT_EQ(many.downloadSaveAt(), downloads);
  chooserAnswer = tmp.path();
  many.chooseFolder();
  EXPECT_EQ(many.downloadSaveAt(), tmp.path());
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("SaveAtDir")), tmp.path());
}

TEST_F(TransferSheetsTest, DownloadRunsPollsAndFinishes) {
  CTLDownload ctl;
  ctl.fileItems = {item("a", 1, "/srv/a"), item("b", 2, "/srv/b")};
  ctl.session = QStringLiteral("ME|HOST");
  RemoteDownloadController sheet(ctl, shown, requests);
  sheet.stopTimer();
  sheet.onAppear();
  sheet.setDownloadSaveAt(QStringLiteral("/typed/folder"));
  sheet.onTick();
  EXPECT_TRUE(sent.isEmpty());  // no poll before the download runs
  sheet.ok();
  EXPECT_EQ(sheet.downloadStatus(), RemoteSharingDownloadStatus::dsPreparing);
  EXPECT_TRUE(shown.value());  // a start never also closes
  EXPECT_EQ(UtilDB::getValue(QStringLiteral("SaveAtDir")), QStringLiteral("/typed/folder"));
  ASSERT_EQ(sent.size(), 1);
  EXPECT_EQ(sent[0].code, QStringLiteral("Trans3_FC_00_CallStart"));
  EXPECT_EQ(sent[0].payload, (vex::Json{{"Session", "ME|HOST"}, {"Targets", "/srv/a|/srv/b"},
                                        {"SaveAtLocalFolder", "/typed/folder"}}));
  EXPECT_TRUE(sent[0].wait);
  sent[0].handler(vex::Json{{"Result", 1}});
  EXPECT_EQ(sheet.downloadStatus(), RemoteSharingDownloadStatus::dsRunning);

  sheet.onTick();
  sheet.onTick();
  const QList<Request> polls = sentOf("Trans3_FC_TransTaskInfo");
  ASSERT_EQ(polls.size(), 2);  // one per tick, answered or not
  EXPECT_EQ(polls[0].payload, (vex::Json{{"Session", "ME|HOST"}}));
  EXPECT_EQ(sheet.progressLine(), QStringLiteral("loading...  "));
  const QString title = sheet.strTitle();
  polls[0].handler(vex::Json{{"TaskStatus", 0}, {"WorkingIndex", 2}, {"CurrentTaskFile", "/home/me/b.bin"},
                             {"CurrentTaskPercent", 42.5}, {"WorkingSpeed", "3 MB/s"}, {"TotalTaskSize", 3 << 20}});
  EXPECT_EQ(sheet.progressLine(), QStringLiteral("2 -  b.bin 3 MB/s"));
  EXPECT_FLOAT_EQ(sheet.status().CurrentTaskPercent, 42.5f);
  // The title names the size the bridge found for the whole task.
  EXPECT_EQ(sheet.strTitle(), title + UtilSystem::formatSize(3 << 20));
  // A record without keys zeroes the readings but keeps the prefix and the size.
  polls[1].handler(vex::Json::object());
  EXPECT_EQ(sheet.progressLine(), QStringLiteral("2 -   "));
  EXPECT_EQ(sheet.status().CurrentTaskPercent, 0.0f);
  EXPECT_EQ(sheet.strTitle(), title + UtilSystem::formatSize(3 << 20));

  // Cancel while running only asks the bridge.
  sheet.cancel();
  const QList<Request> cancels = sentOf("Trans3_FC_00_Cancel");
  ASSERT_EQ(cancels.size(), 1);
  EXPECT_FALSE(cancels[0].wait);
  EXPECT_EQ(sheet.downloadStatus(), RemoteSharingDownloadStatus::dsRunning);
  EXPECT_TRUE(shown.value());

  sheet.onProgress(vex::Json{{"TaskStatus", 1}, {"TotalTaskDoneCount", 1}, {"WorkingSpeed", "9 MB/s"}});
  EXPECT_EQ(sheet.downloadStatus(), RemoteSharingDownloadStatus::dsFinished);
  EXPECT_EQ(sheet.finishLine(), QStringLiteral("1 object download finished! 9 MB/s"));
  EXPECT_FALSE(sheet.isCancelShown());
  EXPECT_TRUE(sheet.isFinishFolderShown());
  sheet.onProgress(vex::Json{{"TaskStatus", 1}, {"TotalTaskDoneCount", 2}, {"WorkingSpeed", "9 MB/s"}});
  EXPECT_EQ(sheet.finishLine(), QStringLiteral("2 objects download finished! 9 MB/s"));
  EXPECT_FALSE(sheet.isPartial());
  // Some left out by a host that may not read them: the counts, its reason
  // and the rate, with the failure symbol, in both languages.
  sheet.onProgress(vex::Json{{"TaskStatus", 1}, {"TotalTaskCount", 7}, {"TotalTaskDoneCount", 7}, {"Refused", 3},
                             {"WorkingSpeed", "9 MB/s, 3 refused by the host"}, {"HostReason", "Error: Permission denied"}});
  EXPECT_EQ(sheet.finishLine(), QStringLiteral("7 of 10 objects downloaded. 3 refused by the host.\n"
                                               "The host has no permission to read it.\n9 MB/s"));
  EXPECT_TRUE(sheet.isPartial());
  const QLocale before;
  QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
  EXPECT_EQ(sheet.finishLine(), QStringLiteral("已下载 7 个对象（共 10 个）。3 个被对方主机拒绝。\n对方主机没有读取它的权限。\n9 MB/s"));
  QLocale::setDefault(before);
  sheet.onProgress(vex::Json{{"TaskStatus", 1}, {"TotalTaskDoneCount", 2}, {"WorkingSpeed", "9 MB/s"}});
  Env::LanguageCode = QStringLiteral("zh");
  EXPECT_EQ(sheet.finishLine(), QStringLiteral("2个对象 已成功下载! 9 MB/s"));
  EXPECT_FALSE(sheet.isFinishFolderShown());
  sheet.ok();
  EXPECT_FALSE(shown.value());
  EXPECT_FALSE(ctl.isShowView);
  EXPECT_FALSE(ctl.isCanceled);
  EXPECT_TRUE(window.alerts.isEmpty());
}

TEST_F(TransferSheetsTest, DownloadCancelPaths) {
  CTLDownload ctl;
  ctl.fileItems = {item("a", 1, "/srv/a")};
  {
    RemoteDownloadController sheet(ctl, shown, requests);
    sheet.stopTimer();
    sheet.onAppear();
    sheet.ok();
    sheet.cancel();  // in dsPreparing: closes at once, no cancel request
    EXPECT_FALSE(shown.value());
    EXPECT_TRUE(ctl.isCanceled);
    EXPECT_TRUE(sentOf("Trans3_FC_00_Cancel").isEmpty());
  }
  shown.set(true);
  ctl = CTLDownload{};
  ctl.fileItems = {item("a", 1, "/srv/a")};
  RemoteDownloadController sheet(ctl, shown, requests);
  sheet.stopTimer();
  sheet.onAppear();
  sheet.ok();
  sent.last().handler(vex::Json{});  // its arrival alone starts the polling
  EXPECT_EQ(sheet.downloadStatus(), RemoteSharingDownloadStatus::dsRunning);
  // Finished and cancelled in one record: it ends cancelled and closed.
  sheet.onProgress(vex::Json{{"TaskStatus", 1}, {"ForceCancel", 1}});
  EXPECT_EQ(sheet.downloadStatus(), RemoteSharingDownloadStatus::dsCanceld);
  EXPECT_FALSE(shown.value());
  ASSERT_EQ(window.alerts.size(), 1);
  EXPECT_EQ(window.alerts[0].title, QStringLiteral("Download canceled."));
  EXPECT_EQ(window.alerts[0].type, AlertToast::Type::error);
  EXPECT_EQ(window.alerts[0].color, QStringLiteral("red"));
}

// Every reason the bridge gives for an early end is told with the failure, and
// stays; only a cancel reads as cancelled.
TEST_F(TransferSheetsTest, AnEarlyEndIsToldWithItsReason) {
  const QList<std::pair<const char*, const char*>> failures = {
      {"disk", "Transfer_Reason_disk"},     {"source", "Transfer_Reason_source"},
      {"refused", "Transfer_Reason_refused"}, {"gone", "Transfer_Reason_gone"},
      {"timeout", "Transfer_Reason_timeout"}, {"failed", "Transfer_Reason_failed"},
      {"peer", "Transfer_Reason_peer"},     {"something new", "Transfer_Reason_failed"},
      {"unknown", "Transfer_Reason_unknown"}};
  const auto end = [&](bool upload, const char* code, const char* hostReason = "", const char* unreadReason = "") {
    window.alerts.clear();
    shown.set(true);
    const vex::Json record{{"ForceCancel", 1}, {"Reason", code}, {"HostReason", hostReason}, {"UnreadReason", unreadReason}};
    if (upload) {
      CTLUpload ctl;
      RemoteUploadController sheet(ctl, shown, requests);
      sheet.stopTimer();
      sheet.onProgress(record);
    } else {
      CTLDownload ctl;
      RemoteDownloadController sheet(ctl, shown, requests);
      sheet.stopTimer();
      sheet.onProgress(record);
    }
    EXPECT_FALSE(shown.value());
    return window.alerts.value(0);
  };
  for (const bool upload : {false, true}) {
    for (const auto& [code, text] : failures) {
      SCOPED_TRACE(code);
      const AlertToast toast = end(upload, code);
      EXPECT_EQ(toast.title, upload ? L("Transfer_UploadFailed") : L("Transfer_DownloadFailed"));
      EXPECT_EQ(toast.subTitle.value_or(QString()), L(text));
      EXPECT_NE(L(text), QString::fromLatin1(text));  // in the table
      EXPECT_GE(toast.minShowMs, 4000);
      EXPECT_EQ(toast.color, QStringLiteral("red"));
    }
    // The host's own words where it gave them, in the user's language where we know them.
    EXPECT_EQ(end(upload, "refused", "Error: Permission denied").subTitle.value_or(QString()), L("Host_Reason_Permission"));
    EXPECT_EQ(end(upload, "refused", "Error: Stale file handle").subTitle.value_or(QString()),
              QStringLiteral("Error: Stale file handle"));
    // Nothing of an upload could be read here: this computer's words, as this computer's.
    EXPECT_EQ(end(upload, "source", "", "Error: Permission denied").subTitle.value_or(QString()),
              upload ? L("Local_Reason_Permission") : L("Transfer_Reason_source"));
    const QString canceled = upload ? QStringLiteral("Upload canceled.") : QStringLiteral("Download canceled.");
    EXPECT_EQ(end(upload, "cancel").title, canceled);
    EXPECT_FALSE(end(upload, "cancel").subTitle.has_value());
    const AlertToast byPeer = end(upload, "peer-cancel");
    EXPECT_EQ(byPeer.title, canceled);
    EXPECT_EQ(byPeer.subTitle.value_or(QString()), L("Transfer_Reason_peer-cancel"));
  }
}

TEST_F(TransferSheetsTest, UploadStartAnswersAndProgress) {
  // Dropped files start on appearing.
  CTLUpload ctl;
  ctl.pathRemote = QStringLiteral("/srv/in");
  ctl.session = QStringLiteral("ME|HOST");
  ctl.target = QStringLiteral("/home/me/a.txt|/home/me/docs");
  RemoteUploadController sheet(ctl, shown, requests);
  sheet.stopTimer();
  EXPECT_EQ(sheet.strTitle(), L("RS_Upload_Title"));
  EXPECT_TRUE(sheet.isOverwrite());
  sheet.onAppear();
  ASSERT_EQ(sent.size(), 1);
  EXPECT_EQ(sent[0].code, QStringLiteral("Trans2_FS_00_CallStart"));
  EXPECT_EQ(sent[0].payload, (vex::Json{{"Session", "ME|HOST"}, {"Targets", "/home/me/a.txt|/home/me/docs"},
                                        {"RemotePathRoot", "/srv/in"}, {"Overwrite", true}}));
  sent[0].handler(vex::Json{{"Info", "x"}});  // no "ValidInfo": waits on
  EXPECT_EQ(sheet.uploadStatus(), RemoteSharingDownloadStatus::dsNone);
  EXPECT_TRUE(shown.value());
  sheet.setOverwrite(false);
  sheet.ok();  // each press sends another start, with the switch as it is now
  EXPECT_EQ(sentOf("Trans2_FS_00_CallStart").size(), 2);
  EXPECT_EQ(sent.last().payload.value("Overwrite", true), false);
  sent.last().handler(vex::Json{{"ValidInfo", 1}});
  EXPECT_EQ(sheet.uploadStatus(), RemoteSharingDownloadStatus::dsRunning);

  sheet.onTick();
  const QList<Request> polls = sentOf("RemoteUploadTaskInfo");
  ASSERT_EQ(polls.size(), 1);
  EXPECT_EQ(polls[0].onBridge, QStringLiteral("YES"));
  EXPECT_EQ(polls[0].session, QStringLiteral("ME|HOST"));
  EXPECT_EQ(polls[0].payload, (vex::Json{{"Session", "ME|HOST"}, {"IsProcessOnBridge", "YES"}}));
  polls[0].handler(vex::Json{{"WorkingIndex", 2}, {"CurrentTaskFile", "/home/me/docs/x.pdf"}, {"WorkingSpeed", "1 MB/s"},
                             {"TotalTaskSize", 0}});
  EXPECT_EQ(sheet.progressLine(), QStringLiteral("2 - x.pdf 1 MB/s"));
  EXPECT_EQ(sheet.strTitle(), L("RS_Upload_Title") + QStringLiteral("  ") + UtilSystem::formatSize(0));
  // A refused poll (the empty text) reads as an empty record.
  polls[0].handler(vex::Json(""));
  EXPECT_EQ(sheet.status().WorkingSpeed, QString());
  EXPECT_EQ(sheet.uploadStatus(), RemoteSharingDownloadStatus::dsRunning);
  sheet.cancel();
  EXPECT_EQ(sentOf("Trans2_FS_00_Cancel").size(), 1);
  EXPECT_TRUE(shown.value());

  // A file the host would not take: the sheet says so, never the plain success.
  sheet.onProgress(vex::Json{{"TaskStatus", 1}, {"TotalTaskCount", 3}, {"TotalTaskDoneCount", 2}, {"Reason", "refused"},
                             {"WorkingSpeed", "2 MB/s, 1 not transferred (x: its name is kept for partial files)"}});
  EXPECT_EQ(sheet.finishLine(), QStringLiteral("2 of 3 objects uploaded. 1 refused by the host.\n") +
                                   L("Transfer_Refusal_Why") + QStringLiteral("\n2 MB/s"));
  EXPECT_TRUE(sheet.isPartial());
  sheet.onProgress(vex::Json{{"TaskStatus", 1}, {"TotalTaskDoneCount", 3}, {"WorkingSpeed", "2 MB/s"}});
  EXPECT_EQ(sheet.finishLine(), QStringLiteral("3 objects ") + L("RS_Upload_Finished") + QStringLiteral(" 2 MB/s"));
  Env::LanguageCode = QStringLiteral("zh");
  EXPECT_EQ(sheet.finishLine(), QStringLiteral("3个对象") + L("RS_Upload_Finished") + QStringLiteral(" 2 MB/s"));
  // Closing with the symbol after the finish: both flags, so the browser reloads.
  sheet.close();
  EXPECT_TRUE(ctl.isCanceled);
  EXPECT_TRUE(ctl.isUploadSucc);
  EXPECT_FALSE(shown.value());
}

// A finished transfer that left something out ends its sheet with the counts,
// whose side left what out and why, and the failure symbol, in both languages.
TEST_F(TransferSheetsTest, WhatWasLeftOutEndsTheSheetInBothLanguages) {
  struct Case {
    bool upload;
    vex::Json record;
    const char* en;
    const char* zh;
  };
  const Case cases[] = {
      // A sub-folder and a file this computer may not read, offered and left out.
      {true,
       {{"TotalTaskCount", 6}, {"TotalTaskDoneCount", 6}, {"Unread", 4},
        {"UnreadReason", "Error: Permission denied"}, {"WorkingSpeed", "2 MB/s, 4 could not be read on this computer"}},
       "6 of 10 objects uploaded. 4 could not be read on this computer.\n"
       "This computer has no permission to read it.\n2 MB/s",
       "已上传 6 个对象（共 10 个）。4 个无法在本机读取。\n本机没有读取它的权限。\n2 MB/s"},
      // A folder never offered, as it could not be opened: all offered arrived, still not a success.
      {true,
       {{"TotalTaskCount", 6}, {"TotalTaskDoneCount", 6}, {"Unread", 1}, {"UnreadReason", "Error: Stale file handle"},
        {"WorkingSpeed", "2 MB/s"}},
       "6 of 7 objects uploaded. 1 could not be read on this computer.\nError: Stale file handle\n2 MB/s",
       "已上传 6 个对象（共 7 个）。1 个无法在本机读取。\nError: Stale file handle\n2 MB/s"},
      // A name the host would not take.
      {true,
       {{"TotalTaskCount", 7}, {"TotalTaskDoneCount", 6}, {"Reason", "refused"}, {"Renamed", 1}},
       "6 of 7 objects uploaded. 1 refused by the host.\nNames kept for partial files, names taken by a folder and "
       "paths outside the receiving folder are refused.\n1 saved under a new name, as the name was taken.",
       "已上传 6 个对象（共 7 个）。1 个被对方主机拒绝。\n保留给未完成文件的名称、已被文件夹占用的名称以及接收文件夹以外的"
       "路径都会被拒绝。\n1 个文件因重名已另存为新名称。"},
      // A name this computer would not take is not the host's refusal.
      {false,
       {{"TotalTaskCount", 3}, {"TotalTaskDoneCount", 2}, {"Reason", "refused"}},
       "2 of 3 objects downloaded. 1 refused by this computer.\nNames kept for partial files, names taken by a folder "
       "and paths outside the receiving folder are refused.",
       "已下载 2 个对象（共 3 个）。1 个被本机拒绝。\n保留给未完成文件的名称、已被文件夹占用的名称以及接收文件夹以外的路径都会被拒绝。"},
  };
  const QLocale before;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.en);
    vex::Json record = c.record;
    record["TaskStatus"] = 1;
    CTLUpload up;
    CTLDownload down;
    RemoteUploadController upload(up, shown, requests);
    RemoteDownloadController download(down, shown, requests);
    upload.stopTimer();
    download.stopTimer();
    if (c.upload)
      upload.onProgress(record);
    else
      download.onProgress(record);
    const auto line = [&] { return (c.upload ? upload.finishLine() : download.finishLine()).toStdString(); };
    EXPECT_TRUE(c.upload ? upload.isPartial() : download.isPartial());
    EXPECT_EQ(line(), c.en);
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    EXPECT_EQ(line(), c.zh);
    QLocale::setDefault(before);
  }
}

TEST_F(TransferSheetsTest, UploadRefusalsAndCancel) {
  CTLUpload ctl;
  RemoteUploadController sheet(ctl, shown, requests);
  sheet.stopTimer();
  sheet.onAppear();
  EXPECT_TRUE(sent.isEmpty());
  sheet.ok();  // nothing chosen: nothing happens
  EXPECT_TRUE(sent.isEmpty());
  chooserAnswer = QStringLiteral("/a|/b");
  sheet.chooseFiles();
  EXPECT_EQ(chooserMode, 2);
  EXPECT_EQ(sheet.uploadTarget(), QStringLiteral("/a|/b"));
  chooserAnswer.clear();
  sheet.chooseFiles();  // a dismissal empties the field
  EXPECT_EQ(sheet.uploadTarget(), QString());
  sheet.setUploadTarget(QStringLiteral("/a"));
  sheet.ok();
  sent.last().handler(vex::Json{{"ValidInfo", 2}});
  EXPECT_FALSE(shown.value());
  EXPECT_FALSE(ctl.isUploadSucc);
  ASSERT_EQ(window.alerts.size(), 1);
  EXPECT_EQ(window.alerts[0].title, QStringLiteral("Remote host is busy, please try again later."));

  // Nothing chosen could be read here: it failed before anything was offered,
  // and the sheet says so in this computer's words, never as a channel fault.
  shown.set(true);
  ctl = CTLUpload{};
  RemoteUploadController unread(ctl, shown, requests);
  unread.stopTimer();
  unread.setUploadTarget(QStringLiteral("/sealed"));
  unread.ok();
  sent.last().handler(vex::Json{{"ValidInfo", 3}, {"Info", "this computer may not read it: Error: Permission denied"},
                                {"Reason", "source"}, {"UnreadReason", "Error: Permission denied"}});
  EXPECT_FALSE(shown.value());
  EXPECT_FALSE(ctl.isUploadSucc);
  ASSERT_EQ(window.alerts.size(), 2);
  EXPECT_EQ(window.alerts[1].title, L("Transfer_UploadFailed"));
  EXPECT_EQ(window.alerts[1].subTitle.value_or(QString()), L("Local_Reason_Permission"));
  EXPECT_EQ(window.alerts[1].type, AlertToast::Type::error);

  shown.set(true);
  ctl = CTLUpload{};
  RemoteUploadController second(ctl, shown, requests);
  second.stopTimer();
  second.setUploadTarget(QStringLiteral("/a"));
  second.ok();
  sent.last().handler(vex::Json{{"ValidInfo", 1}});
  // Cancelled by the bridge, even with "TaskStatus" 1 in the same record.
  second.onProgress(vex::Json{{"TaskStatus", 1}, {"ForceCancel", 1}});
  EXPECT_EQ(second.uploadStatus(), RemoteSharingDownloadStatus::dsCanceld);
  EXPECT_TRUE(ctl.isCanceled);
  EXPECT_FALSE(ctl.isUploadSucc);
  EXPECT_FALSE(shown.value());
  EXPECT_EQ(window.alerts.last().title, QStringLiteral("Upload canceled."));

  // The main window gone: the close happens without a toast.
  Env::MainViewShared = nullptr;
  shown.set(true);
  ctl = CTLUpload{};
  RemoteUploadController third(ctl, shown, requests);
  third.stopTimer();
  third.setUploadTarget(QStringLiteral("/a"));
  third.ok();
  sent.last().handler(vex::Json{{"ValidInfo", 3}});
  EXPECT_FALSE(shown.value());
  EXPECT_EQ(window.alerts.size(), 3);
}

TEST_F(TransferSheetsTest, CardsFollowTheirControllers) {
  CTLDownload ctl;
  ctl.fileItems = {item("a", 1, "/srv/a")};
  ViewSharingRemoteDownload card(ctl, shown, nullptr, requests);
  card.controller().stopTimer();
  card.show();
  auto* ok = card.findChildren<QPushButton*>().value(0);
  ASSERT_TRUE(ok);
  EXPECT_EQ(card.title(), card.controller().strTitle());
  EXPECT_TRUE(ok->isVisible());
  ok->click();
  sent.last().handler(vex::Json{{"Result", 1}});
  EXPECT_FALSE(ok->isVisible());  // no OK while running
  card.controller().onProgress(vex::Json{{"TaskStatus", 1}, {"TotalTaskDoneCount", 1}});
  EXPECT_TRUE(ok->isVisible());

  CTLUpload up;
  up.target = QStringLiteral("/x");
  ViewSharingRemoteUpload upload(up, shown, nullptr, requests);
  upload.controller().stopTimer();
  EXPECT_EQ(sentOf("Trans2_FS_00_CallStart").size(), 1);  // started on showing
}
