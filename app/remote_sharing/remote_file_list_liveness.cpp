// Liveness of the browser's host: a "CheckHost" on a 1 s tick; four ticks
// without an answer, or a host that restarted meanwhile, make it unavailable.
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
    P2PClientMsg::SendMsgToRemote(QStringLiteral("CheckHost"), check, true, QStringLiteral("NO"),
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
      hostInvalid(L("RS_Host_NotAvialable"));
      return;
    }
  } else {
    zlog::line(QStringLiteral("CheckHost Failed."));
  }
  iCheckHostWorking_ = false;
}
