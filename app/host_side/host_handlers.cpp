#include "host_side/host_handlers.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMimeData>
#include <QTextBoundaryFinder>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include "bridge/env.h"
#include "host_side/host_dispatcher.h"
#include "host_side/host_replies.h"
#include "host_side/host_turns.h"
#include "host_side/thumbnails.h"
#include "core/json_read.h"
#include "bridge/p2p_client_msg.h"
#include "bridge/user_info.h"
#include "core/localized.h"
#include "core/log.h"
#include "core/util_db.h"
#include "core/util_system.h"
#include "shell/view_handles.h"
#include "host_side/file_listing.h"
#include "host_side/host_file_service.h"
#include "host_side/share_access.h"
#include "local_sharing/share_store.h"

namespace hostside {

namespace {

// The bridge request that clears the upload state of a session.
struct MsgResetRemoteUpload {
  QString Session;
  VEX_FIELDS(Session)
};

// The longest page of a small folder made on the main thread: a longer one
// is a large answer.
constexpr qint64 kPageOnMainThread = 100;

QThreadPool& listingPool() {
  static QThreadPool* pool = [] {
    auto* p = new QThreadPool;
    p->setMaxThreadCount(2);
    return p;
  }();
  return *pool;
}

// The session whose file offer the receive panel shows: the folder the user
// chose there is given to that session only.
QString& offeringSession() {
  static QString session;
  return session;
}

QClipboard* clipboard() {
  return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) ? QGuiApplication::clipboard() : nullptr;
}

}  // namespace

int64_t activeSessionCount(uint64_t now) {
  int64_t count = 0;
  for (const auto& [session, stamp] : Env::PingTimes)
    if (stamp + kSessionActiveSeconds >= now) ++count;
  return count;
}

bool fromOwnAccount(const Request& r) {
  const int64_t own = UserInfo::shared()->id_acc;
  return own > 0 && !r.account.isEmpty() && r.account == QString::number(own);
}

void clientTouch(const Request& r) {
  zlog::parts(QStringLiteral("ClientTouch"), r.session);
  MsgBackDataClientTouch touch;
  touch.UPC = UserInfo::shared()->limit_dpc;
  touch.SC = activeSessionCount(uint64_t(QDateTime::currentSecsSinceEpoch()));
  // This machine's documents folder only to a session that proved something.
  if (fromOwnAccount(r) || ShareAccess::shared().provedAnyCode(r.session)) {
    touch.Local = defaultDownloadFolder();
    ensureDirectory(touch.Local);
  }
  touch.OS = QStringLiteral("IOS");
  for (const SharingObjPtr& share : loadShares(QString(), false, false))
    if (share->isenabled && share->isTranLAN) touch.TransLAN = QStringLiteral("1");
  SendWSDCReply(r.code, r.token, r.session, wrapData(touch));
}

bool clipboardAllowed() { return UtilDB::getValue(QStringLiteral("IsClipboard")) != QStringLiteral("0"); }

void hostHandShake(const Request& r) {
  MsgBackData_Handshake handshake;
  handshake.data = vex::Json(UserInfo::shared()->name_acc.toStdString());
  handshake.os = QStringLiteral("macos");
  handshake.device = QStringLiteral("MacPC");
  handshake.clipboard = clipboardAllowed() ? QStringLiteral("1") : QStringLiteral("0");
  SendWSDCReply(r.code, r.token, r.session, handshake.toJSONModel());
}

void validInfo(const Request& r) {
  ValidInfo info;
  info.IsHostValid = info.IsCanUpDown = info.IsCanReceiveFile = info.SP_DownloadNow = true;
  SendWSDCReply(r.code, r.token, r.session, wrapData(info));
}

void ping(const Request& r) {
  Env::PingTimes[r.session] = uint64_t(QDateTime::currentSecsSinceEpoch());
  SendWSDCReply(r.code, r.token, r.session, wrapData(QStringLiteral("PONG")));
}

void getFileList(const Request& r) {
  startThumbnailListing(r.session);
  const FileListRequest request = guardedListRequest(
      PathGuard::forSession(r.session), jsonread::text(r.msg, "dir"), jsonread::text(r.msg, "search"),
      jsonread::text(r.msg, "orderBy"), jsonread::integer(r.msg, "iPageIndex"), jsonread::integer(r.msg, "iPageSize"),
      jsonread::integer(r.msg, "iProbeCount"), kListFolders | kListFiles);
  if (!isLargeFolder(request) && (request.probeCount == 1 || request.pageSize <= kPageOnMainThread)) {
    SendWSDCReply(r.code, r.token, r.session, answerGetFileList(request));
    return;
  }
  // A big folder, or a long page, is read, and its page and reply frame written out, on a
  // worker so the main thread (and with it the bridge heartbeat) never waits
  // for the disk nor spends its time on a large answer; only the frame's text
  // comes back to it. Its time and size count against the asking account,
  // whose next turn waits until it is done.
  (void)QtConcurrent::run(&listingPool(), [request, back = hostside::makeMsgBack(r.code, r.token, r.session, {}),
                                           done = continueElsewhere()]() mutable {
    QElapsedTimer took;
    took.start();
    back.Data = answerGetFileList(request);
    const qint64 bytes = sendWSDCReply(back);
    done(std::chrono::microseconds(took.nsecsElapsed() / 1000), bytes);
  });
}

// The answer to a check, and where the path lies when the asking bridge is
// this client's own and the check is for its transfer.
vex::Json withSpot(vex::Json answer, const Request& r, const protocol::ShareSpot& spot) {
  if (!r.transferCheck || spot.ShareRoot.isEmpty() || !answer.is_object()) return answer;
  const vex::Json fields = spot.toJSONModel();  // alive while it is walked
  for (auto it = fields.begin(); it != fields.end(); ++it) answer[it.key()] = it.value();
  return answer;
}

// One path ("path"), or the files of one folder at once ("paths", at most
// 256), answered as a list in the same order.
void fileDownloadCheck(const Request& r) {
  const PathGuard guard = PathGuard::forSession(r.session);
  const vex::Json& paths = jsonread::member(r.msg, "paths");
  if (!paths.is_array()) {
    protocol::ShareSpot spot;
    const FileDownloadInfo info = answerFileDownloadCheck(guard, jsonread::text(r.msg, "path"), &spot);
    SendWSDCReply(r.code, r.token, r.session, vex::Json{{"data", withSpot(checkReply(info), r, spot)}});
    return;
  }
  vex::Json answers = vex::Json::array();
  for (const vex::Json& path : paths) {
    if (answers.size() >= 256) break;
    protocol::ShareSpot spot;
    const FileDownloadInfo info = answerFileDownloadCheck(guard, jsonread::text(path), &spot);
    answers.push_back(withSpot(checkReply(info), r, spot));
  }
  SendWSDCReply(r.code, r.token, r.session, vex::Json{{"data", answers}});
}

void opFileList(const Request& r) {
  removeServedFiles(PathGuard::forSession(r.session), jsonread::text(r.msg, "cmd"), jsonread::text(r.msg, "fileList"));
  SendWSDCReply(r.code, r.token, r.session, vex::Json("[]"));
}

void newFileCreate(const Request& r) {
  createServedFolder(PathGuard::forSession(r.session), jsonread::text(r.msg, "dir"), jsonread::text(r.msg, "name"));
  SendWSDCReply(r.code, r.token, r.session, vex::Json(""));
}

void ignored(const Request&) {}

QString clipboardPreview(const QString& text) {
  QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
  qsizetype characters = 0;
  qsizetype fifth = -1;
  while (finder.toNextBoundary() != -1) {
    ++characters;
    if (characters == 5) fifth = finder.position();
  }
  if (characters < 6) return text;
  return text.left(fifth) + QStringLiteral("...");
}

// Pushing needs the user's own account or a proved access code, and the
// switch on; reading needs the own account. A refusal answers as an empty
// clipboard would.
void clipboardPush(const Request& r) {
  const QString info = jsonread::text(r.msg, "Info");
  const bool trusted = fromOwnAccount(r) || ShareAccess::shared().provedAnyCode(r.session);
  if (!info.isEmpty() && trusted && clipboardAllowed()) {
    if (QClipboard* board = clipboard()) board->setText(info);
    if (Env::MainViewShared) Env::MainViewShared->showToast(QStringLiteral("剪贴板已更新：") + clipboardPreview(info));
  }
  SendWSDCReply(r.code, r.token, r.session, vex::Json("[]"));
}

void clipboardGetText(const Request& r) {
  QString text;
  if (fromOwnAccount(r) && clipboardAllowed()) {
    if (const QClipboard* board = clipboard()) {
      const QMimeData* data = board->mimeData();
      if (data && data->hasText()) text = data->text();
    }
    if (!text.isEmpty() && Env::MainViewShared) Env::MainViewShared->showToast(QStringLiteral("剪贴板已被远程获取"));
  }
  SendWSDCReply(r.code, r.token, r.session, wrapData(text));
}

void waitRemoteReceiveFiles(const Request& r) {
  const QString session = jsonread::text(r.msg, "Session");
  if (MainViewHandle* main = Env::MainViewShared) {
    CtlViewReceiveFile& panel = main->ctlViewReceiveFile();
    panel = CtlViewReceiveFile{};
    panel.Session = session;
    panel.Summary = UtilSystem::clipText(jsonread::text(r.msg, "Summary"), CtlViewReceiveFile::kMaxTextChars);
    // The sender as the relay names its account, never the name it gives itself.
    panel.FromUser = UtilSystem::clipText(r.accountName, CtlViewReceiveFile::kMaxNameChars);
    panel.UUID = jsonread::text(r.msg, "UUID");
    panel.vrsState = ViewReceiveState::vrsWaiting;
    panel.isShowView = true;
    main->receiveFilePanelChanged();
  }
  offeringSession() = r.session;
  // The offer lives in the panel's own record: this client's link to a host it
  // browses, if any, stays its own.
  P2PClientMsg::SendMsgToP2PClient(QStringLiteral("ResetRemoteUploadStatus_FromLocal"), MsgResetRemoteUpload{session},
                                   false);
  SendWSDCReply(r.code, r.token, r.session, wrapData(QStringLiteral("1")));
}

void waitRemoteReceiveFilesPressButton(const Request& r) {
  MsgBackData reply;
  bool accepted = false;
  if (MainViewHandle* main = Env::MainViewShared) {
    // Another session never learns the answer: it reads as still waiting.
    const bool offered = r.session == offeringSession();
    const QString state = main->ctlViewReceiveFile().taskState;
    reply.data = vex::Json(offered ? state.toStdString() : std::string("0"));
    accepted = offered && state != QLatin1String("0") && state != QLatin1String("2");
  }
  vex::Json answer = reply.toJSONModel();
  // With the accepted folder, the receive panel's overwrite switch (for this machine's bridge).
  if (accepted) answer["Overwrite"] = Env::MainViewShared->ctlViewReceiveFile().isOverwrite;
  SendWSDCReply(r.code, r.token, r.session, answer);
}

void waitRemoteReceiveFilesCancel(const Request& r) {
  // Only the session that made the offer withdraws it.
  if (offeringSession().isEmpty() || r.session != offeringSession()) {
    zlog::line(QStringLiteral("WaitRemoteReceiveFilesCancel - not the offering session, ignored"));
    return;
  }
  if (MainViewHandle* main = Env::MainViewShared) {
    main->ctlViewReceiveFile().isShowView = false;
    main->receiveFilePanelChanged();
    main->showToast(L("Contact_SendCanceled"));
  }
}

}  // namespace hostside
