// Liveness of the browser's host: a "CheckHost" on a 1 s tick; four ticks
// without an answer make it unavailable. A new stamp (the share saved again)
// has the share information asked anew: the visit ends only when the share
// no longer lets this visitor in, with the reason.
#include "remote_sharing/remote_file_list.h"

#include "core/json_read.h"
#include "bridge/p2p_client_msg.h"
#include "remote_sharing/remote_payloads.h"
#include "core/localized.h"
#include "core/log.h"

#include <QPointer>

void RemoteFileListController::onCheckHostTick() {
  if (ctlDownload_.isShowView || ctlUpload_.isShowView) return;
  if (!iCheckHostWorking_) {
    if (!rhActive()) return;
    iCheckHostWorking_ = true;
    CheckHostMssg check;
    check.tag = rhActive()->hosttag;
    QPointer<RemoteFileListController> self(this);
    P2PClientMsg::SendMsgOnLink(link_, QStringLiteral("CheckHost"), check, true, QStringLiteral("NO"),
                                [self](const std::optional<vex::Json>& reply) {
                                  if (self) self->onCheckHostReply(reply);
                                });
    return;
  }
  if (iCheckHostDiscon_ < 0) return;
  if (++iCheckHostDiscon_ >= 4) hostInvalid(L("RS_Host_NotAvialable"));
}

void RemoteFileListController::onCheckHostReply(const std::optional<vex::Json>& reply) {
  // A reply that comes after the browser gave up on the host neither restarts
  // the checks nor reports the host gone a second time.
  if (conStatus_ == ConStatus::csInvalid) return;
  if (!isMissing(reply)) {
    iCheckHostDiscon_ = 0;
    const QString s = jsonread::text(*reply, "data");
    if (sCheckHostCTime_.isEmpty()) {
      sCheckHostCTime_ = s;
    } else if (sCheckHostCTime_ != s) {
      recheckShare(s);  // the checks wait for its answer
      return;
    }
  } else {
    zlog::line(QStringLiteral("CheckHost Failed."));
  }
  iCheckHostWorking_ = false;
}

void RemoteFileListController::recheckShare(const QString& stamp) {
  if (!rhActive()) {
    iCheckHostWorking_ = false;
    return;
  }
  QPointer<RemoteFileListController> self(this);
  const quint64 attempt = attempt_;
  askShareInfo([self, attempt, stamp](const std::optional<vex::Json>& reply) {
    if (self) self->onShareRecheckReply(reply, attempt, stamp);
  });
}

void RemoteFileListController::onShareRecheckReply(const std::optional<vex::Json>& reply, quint64 attempt,
                                                   const QString& stamp) {
  // Given up or connected anew meanwhile: that connection's answers count.
  if (attempt != attempt_ || conStatus_ == ConStatus::csInvalid) return;
  if (isMissing(reply)) {
    zlog::line(QStringLiteral("CheckHost - share information missing, asked again"));
    iCheckHostWorking_ = false;  // the next check sees the new stamp again
    return;
  }
  const auto share = acceptShareAnswer(*reply);
  if (!share) return;
  sCheckHostCTime_ = stamp;
  iCheckHostDiscon_ = 0;
  iCheckHostWorking_ = false;
  if (share->root != pathRoot_) {
    // The share now lies elsewhere: the folders on show are no longer its.
    takeRoot(share->root);
    getFileList(pathRoot_);
  }
  emit stateChanged();
}
