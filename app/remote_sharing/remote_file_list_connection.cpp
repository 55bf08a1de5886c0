// The browser's connection to the active host: the link, the share
// information, then the entry-count probe and the paged listing.
#include "remote_sharing/remote_file_list.h"

#include "bridge/env.h"
#include "bridge/link_attempts.h"
#include "core/json_read.h"
#include "bridge/p2p_client_msg.h"
#include "bridge/payloads.h"
#include "core/localized.h"
#include "core/log.h"
#include "remote_sharing/host_reason.h"
#include "remote_sharing/remote_toast.h"

#include <QPointer>

namespace {

QString describe(const std::optional<RemoteSharing>& host) {
  if (!host) return QStringLiteral("none");
  return QStringLiteral("{hostid: %1, hostname: %2, hosttag: %3, aliasname: %4}")
      .arg(host->hostid, host->hostname, host->hosttag, host->aliasname);
}

}  // namespace

// ---- connection ------------------------------------------------------------

void RemoteFileListController::onAppearFileList() {
  Env::RemoteFileListShared = this;
  ConnectRemoteHost();
}

void RemoteFileListController::ConnectRemoteHost() {
  zlog::line(QStringLiteral("ConnectRemoteHost Init...") + describe(rhActive()));
  clearFileList();
  if (!rhActive() || isLoading.value()) {
    emit stateChanged();
    return;
  }
  zlog::line(QStringLiteral("ConnectRemoteHost Running!"));
  isLoading.set(true);
  timeoutCheckCounter_ = 0;
  ++attempt_;
  linkattempts::open(LinkOwner::browser, [host = *rhActive()] {
    HelperRemoteSharing::ClientInit(host.hostname, host.hosttag, QString());
  });
  emit stateChanged();
}

void RemoteFileListController::updateRemoteConResult(ConStatus status, const PeerLink& link) {
  if (!rhActive()) {
    zlog::line(QStringLiteral("ViewSharingRemoteFileList - updateRemoteConResult - rhActive nil!"));
    return;
  }
  conStatus_ = status;
  if (status == ConStatus::csConnected) {
    link_ = link;
    QPointer<RemoteFileListController> self(this);
    const quint64 attempt = attempt_;
    askShareInfo([self, attempt](const std::optional<vex::Json>& reply) {
      if (self) self->onShareInfoReply(reply, attempt);
    });
  } else if (status == ConStatus::csMaxClients) {
    hostInvalid(QStringLiteral("Max Connection Limits Reached!"));
  } else {
    hostInvalid(L("RS_Host_NotAvialableAndCheck"));
  }
  emit stateChanged();
}

void RemoteFileListController::askShareInfo(ReplyHandler handler) {
  GetShareInfoJson info;
  info.tag = rhActive()->hosttag;
  info.pass = rhActive()->password;
  info.isweb = 0;
  P2PClientMsg::SendMsgOnLink(link_, QStringLiteral("getShareInfo"), info, true, QStringLiteral("NO"),
                              std::move(handler));
}

void RemoteFileListController::onShareInfoReply(const std::optional<vex::Json>& reply, quint64 attempt) {
  zlog::line(QStringLiteral("getShareInfo - reply - ") + dumpReply(reply));
  if (isMissing(reply)) return;
  if (attempt != attempt_) {
    zlog::line(QStringLiteral("getShareInfo - reply of an earlier connection, ignored"));
    return;
  }
  timeoutCheckCounter_ = -1;
  const auto share = acceptShareAnswer(*reply);
  if (!share) return;
  takeRoot(share->root);
  getFileList(pathRoot_);
  resetCheckHost();
  emit stateChanged();
}

RemoteFileListController::ShareAnswer RemoteFileListController::readShareAnswer(const vex::Json& reply) {
  ShareAnswer answer;
  const vex::Json& data = jsonread::member(reply, "data");
  // A refused request (the empty text) has no "data": no share, as the host would say.
  if (!data.is_array() && !data.is_null()) {
    badReply("getShareInfo", dumpReply(reply));
    answer.notice = L("RS_Host_BadReply");
    return answer;
  }
  const size_t n = data.is_array() ? data.size() : 0;
  if (n == 0) {
    answer.notice = L("RS_Host_NotAvialableAndCheckPassword");
    return answer;
  }
  const vex::Json& share = data[0];
  if (!share.is_object()) {
    badReply("getShareInfo", dumpReply(reply));
    answer.notice = L("RS_Host_BadReply");
    return answer;
  }
  if (n == 1 && jsonread::integer(share, "isenabled") == 0) {
    answer.notice = L("RS_Host_NotEnabled");
    return answer;
  }
  answer.root = jsonread::text(share, "path");
  if (answer.root.isEmpty()) {
    // No root folder leaves nothing to list.
    badReply("getShareInfo", QStringLiteral("share without a path"));
    answer.notice = L("RS_Host_BadReply");
    return answer;
  }
  answer.fileDel = jsonread::integer(share, "isfiledel") == 1;
  answer.download = jsonread::integer(share, "isdownload") == 1;
  answer.upload = jsonread::integer(share, "isupload") == 1;
  return answer;
}

void RemoteFileListController::takeRoot(const QString& root) {
  pathRoot_ = root;
  pathTag_ = pathRoot_.startsWith(QLatin1Char('/')) ? QStringLiteral("/") : QStringLiteral("\\");
}

std::optional<RemoteFileListController::ShareAnswer> RemoteFileListController::acceptShareAnswer(
    const vex::Json& reply) {
  const ShareAnswer share = readShareAnswer(reply);
  if (!share.notice.isEmpty()) {
    hostInvalid(share.notice);
    return std::nullopt;
  }
  isfilemanage_ = isfiledel_ = share.fileDel;
  isdownload_ = share.download;
  isupload_ = share.upload;
  return share;
}

void RemoteFileListController::hostInvalid(const QString& message) {
  // A late result of its own attempt no longer reaches it.
  linkattempts::withdraw(LinkOwner::browser);
  isLoading.set(false);
  conStatus_ = ConStatus::csInvalid;
  iCheckHostWorking_ = true;
  iCheckHostDiscon_ = -1;
  if (!noticeOnScreen_) remotetoast::show(message);
  hostInvalidInfo_ = message;
  emit stateChanged();
}

void RemoteFileListController::resetCheckHost() {
  sCheckHostCTime_.clear();
  iCheckHostDiscon_ = 0;
  iCheckHostWorking_ = false;
}

void RemoteFileListController::badReply(const char* what, const QString& detail) {
  zlog::parts(QString::fromUtf8(what), QStringLiteral("- malformed reply from the host -"), zlog::excerpt(detail));
}

// ---- listing ---------------------------------------------------------------

namespace {

// Why the host gave no listing: the failure its "sResult" names, or the
// refusal it (or its bridge) answered instead ({"Result": 0, "Info": "busy"}),
// which is never an empty folder.
QString listingFailureOf(const vex::Json& reply) {
  if (const QString failure = hostreason::listingFailure(jsonread::text(reply, "sResult")); !failure.isEmpty())
    return failure;
  if (!reply.is_object() || reply.contains("sResult") || !reply.contains("Result")) return QString();
  if (jsonread::integer(reply, "Result") != 0) return QString();
  return jsonread::text(reply, "Info").trimmed();
}

}  // namespace

void RemoteFileListController::clearFileList() {
  thumbTaskList_.clear();
  fileList_.clear();
  iconList_.clear();
  hasParentRow_ = false;
  iHotFileIndex_ = -1;
  emit rowsChanged();
}

void RemoteFileListController::getFileList(const QString& path) {
  clearFileList();
  iHotFileIndex_ = -1;
  totalCountInfo_.clear();
  listingNotice_.clear();
  pathCurrent_ = path;
  isShowPageLinkBar_ = false;
  isLoading.set(true);
  GetShareFileListJson probe;
  probe.dir = pathCurrent_;
  probe.iPageIndex = 1;
  probe.iPageSize = 50;
  probe.iProbeCount = 1;
  probe.iPreFetchIcon = 0;
  QPointer<RemoteFileListController> self(this);
  const quint64 listing = ++listing_;
  P2PClientMsg::SendMsgOnLink(link_, QStringLiteral("getFileList"), probe, true, QStringLiteral("NO"),
                              [self, listing, path](const std::optional<vex::Json>& reply) {
                                if (self) self->onProbeReply(reply, listing, path);
                              });
  emit stateChanged();
}

void RemoteFileListController::onProbeReply(const std::optional<vex::Json>& reply, quint64 listing,
                                            const QString& dir) {
  if (isMissing(reply)) return;
  if (listing != listing_ || dir != pathCurrent_) {
    zlog::line(QStringLiteral("getFileList - count of a folder no longer on show, ignored"));
    return;
  }
  if (const QString failure = listingFailureOf(*reply); !failure.isEmpty()) return listingFailed(failure);
  const vex::Json& index = jsonread::member(*reply, "index");
  std::optional<int64_t> count = remoterows::entryCount(index);
  // A refused request (the empty text) counts 0 entries.
  if (!count && index.is_null()) count = 0;
  if (!count) {
    badReply("getFileList", QStringLiteral("entry count ") + dumpReply(index));
    isLoading.set(false);
    remotetoast::show(L("RS_Host_BadReply"));
    emit stateChanged();
    return;
  }
  totalCount_ = *count;
  totalCountInfo_ = QStringLiteral("(%1)").arg(totalCount_);
  pageCount_ = remoterows::pageCountFor(totalCount_, pageSize_);
  gotoPage(1);
}

void RemoteFileListController::gotoPage(int64_t n) {
  isLoading.set(true);
  listingNotice_.clear();
  QPointer<RemoteFileListController> self(this);
  const quint64 listing = ++listing_;
  const QString dir = pathCurrent_;
  HelperRemoteSharing::getFileList(
      dir, n, pageSize_,
      [self, listing, n, dir](const std::optional<vex::Json>& reply) {
        if (self) self->onPageReply(reply, listing, n, dir);
      },
      link_);
  emit stateChanged();
}

void RemoteFileListController::onPageReply(const std::optional<vex::Json>& reply, quint64 listing, int64_t n,
                                           const QString& dir) {
  if (listing != listing_ || dir != pathCurrent_) {
    zlog::line(QStringLiteral("getFileList - page of a folder or page no longer wanted, ignored"));
    return;
  }
  if (reply)
    if (const QString failure = listingFailureOf(*reply); !failure.isEmpty()) return listingFailed(failure);
  pageIndex_ = n;
  buildPageLinks();
  QList<FileItem> rows;
  QList<RowIcon> icons;
  startRows(rows, icons);
  if (reply) {
    const vex::Json& data = jsonread::member(*reply, "data");
    if (data.is_array()) {
      int skipped = 0;
      for (const vex::Json& entry : data) {
        if (!entry.is_object()) {
          ++skipped;
          continue;
        }
        rows << remoterows::dataRow(entry);
        icons << remoterows::genericIcon(rows.last(), false);
      }
      if (skipped > 0) badReply("getFileList", QStringLiteral("%1 entries that are not records, left out").arg(skipped));
    } else if (!data.is_null()) {
      badReply("getFileList", QStringLiteral("page data that is not a list"));
      remotetoast::show(L("RS_Host_BadReply"));
    }
  }
  fileList_ = rows;
  iconList_ = icons;
  hasParentRow_ = !pathCurrent_.isEmpty() && pathCurrent_ != pathRoot_;
  isLoading.set(false);
  emit rowsChanged();
  emit stateChanged();
}

void RemoteFileListController::startRows(QList<FileItem>& rows, QList<RowIcon>& icons) {
  if (pathCurrent_.isEmpty() || pathCurrent_ == pathRoot_) return;
  rows << remoterows::parentRow(pathCurrent_);
  icons << remoterows::genericIcon(rows.last(), true);
}

void RemoteFileListController::listingFailed(const QString& reason) {
  zlog::parts(QStringLiteral("getFileList - the host could not list"), zlog::excerpt(pathCurrent_),
              QStringLiteral("-"), zlog::excerpt(reason));
  QList<FileItem> rows;
  QList<RowIcon> icons;
  startRows(rows, icons);
  fileList_ = rows;
  iconList_ = icons;
  hasParentRow_ = !rows.isEmpty();
  totalCountInfo_.clear();
  isShowPageLinkBar_ = false;
  const QString why = hostreason::text(reason);
  listingNotice_ = L("RS_Folder_NotOpened") + QLatin1Char('\n') + why;
  isLoading.set(false);
  if (!noticeOnScreen_) remotetoast::showError(L("RS_Folder_NotOpened"), why);
  emit rowsChanged();
  emit stateChanged();
}

void RemoteFileListController::buildPageLinks() {
  isShowPageLinkBar_ = pageCount_ > 1;
  pageLinkList_ = remoterows::pageLinks(pageCount_, pageIndex_);
}
