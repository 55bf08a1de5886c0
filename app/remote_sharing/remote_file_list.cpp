#include "remote_sharing/remote_file_list.h"

#include "bridge/env.h"
#include "bridge/json_read.h"
#include "bridge/p2p_client_msg.h"
#include "bridge/payloads.h"
#include "core/localized.h"
#include "core/log.h"
#include "remote_sharing/remote_payloads.h"
#include "remote_sharing/remote_toast.h"

#include <QFileInfo>
#include <QPointer>
#include <QUrl>

namespace {

const QString kPreviewPrefix = QStringLiteral("data:image/png;base64,");

QString describe(const std::optional<RemoteSharing>& host) {
  if (!host) return QStringLiteral("none");
  return QStringLiteral("{hostid: %1, hostname: %2, hosttag: %3, aliasname: %4}")
      .arg(host->hostid, host->hostname, host->hosttag, host->aliasname);
}

// A reply frame without "Msg" reads as null: no reply at all.
bool isMissing(const std::optional<vex::Json>& reply) { return !reply || reply->is_null(); }

QString dumpReply(const std::optional<vex::Json>& reply) {
  if (!reply) return QStringLiteral("(none)");
  return QString::fromStdString(reply->dump(-1, ' ', false, vex::Json::error_handler_t::replace));
}

}  // namespace

RemoteFileListController::RemoteFileListController(std::optional<RemoteSharing>* rhActive, QObject* parent)
    : QObject(parent), rhActive_(rhActive ? rhActive : &ownActive_) {
  hostInvalidInfo_ = L("RS_Host_NotAvialable");
  timerThumbnail_.setInterval(200);
  timerCheckHost_.setInterval(1000);
  connect(&timerThumbnail_, &QTimer::timeout, this, &RemoteFileListController::onThumbnailTick);
  connect(&timerCheckHost_, &QTimer::timeout, this, &RemoteFileListController::onCheckHostTick);
  timerThumbnail_.start();
  timerCheckHost_.start();

  connect(&isLoading, &ShowFlag::changed, this, &RemoteFileListController::stateChanged);
  // The sheets close by clearing their flag; the records follow.
  connect(&isShowDownload, &ShowFlag::changed, this, [this](bool shown) {
    ctlDownload_.isShowView = shown;
    emit stateChanged();
  });
  connect(&isShowUpload, &ShowFlag::changed, this, [this](bool shown) {
    ctlUpload_.isShowView = shown;
    if (!shown) onUploadSheetDismiss();
    emit stateChanged();
  });
}

RemoteFileListController::~RemoteFileListController() {
  // A browser that is gone must not hear later connection results.
  if (Env::RemoteFileListShared == this) Env::RemoteFileListShared = nullptr;
}

void RemoteFileListController::stopTimers() {
  timerThumbnail_.stop();
  timerCheckHost_.stop();
}

bool RemoteFileListController::isParentRow(int i) const { return i == 0 && hasParentRow_ && !fileList_.isEmpty(); }

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
  Env::P2PConnectOwner = 1;
  ++attempt_;
  HelperRemoteSharing::ClientInit(rhActive()->hostname, rhActive()->hosttag, QString());
  emit stateChanged();
}

void RemoteFileListController::updateRemoteConResult(ConStatus status) {
  if (!rhActive()) {
    zlog::line(QStringLiteral("ViewSharingRemoteFileList - updateRemoteConResult - rhActive nil!"));
    return;
  }
  conStatus_ = status;
  if (status == ConStatus::csConnected) {
    GetShareInfoJson info;
    info.tag = rhActive()->hosttag;
    info.pass = rhActive()->password;
    info.isweb = 0;
    QPointer<RemoteFileListController> self(this);
    const quint64 attempt = attempt_;
    P2PClientMsg::SendMsgToRemote(QStringLiteral("getShareInfo"), info, true, QStringLiteral("NO"),
                                  [self, attempt](const std::optional<vex::Json>& reply) {
                                    if (self) self->onShareInfoReply(reply, attempt);
                                  });
  } else if (status == ConStatus::csMaxClients) {
    hostInvalid(QStringLiteral("Max Connection Limits Reached!"));
  } else {
    hostInvalid(L("RS_Host_NotAvialableAndCheck"));
  }
  emit stateChanged();
}

void RemoteFileListController::onShareInfoReply(const std::optional<vex::Json>& reply, quint64 attempt) {
  zlog::line(QStringLiteral("getShareInfo - reply - ") + dumpReply(reply));
  if (isMissing(reply)) return;
  if (attempt != attempt_) {
    zlog::line(QStringLiteral("getShareInfo - reply of an earlier connection, ignored"));
    return;
  }
  timeoutCheckCounter_ = -1;
  const vex::Json& data = jsonread::member(*reply, "data");
  // A refused request (the empty text) has no "data": no share, as the host would say.
  if (!data.is_array() && !data.is_null()) {
    badReply("getShareInfo", dumpReply(reply));
    hostInvalid(L("RS_Host_BadReply"));
    return;
  }
  const size_t n = data.is_array() ? data.size() : 0;
  if (n == 0) {
    hostInvalid(L("RS_Host_NotAvialableAndCheckPassword"));
    return;
  }
  const vex::Json& share = data[0];
  if (!share.is_object()) {
    badReply("getShareInfo", dumpReply(reply));
    hostInvalid(L("RS_Host_BadReply"));
    return;
  }
  if (n == 1 && jsonread::integer(share, "isenabled") == 0) {
    hostInvalid(L("RS_Host_NotEnabled"));
    return;
  }
  const QString root = jsonread::text(share, "path");
  if (root.isEmpty()) {
    // No root folder leaves nothing to list.
    badReply("getShareInfo", QStringLiteral("share without a path"));
    hostInvalid(L("RS_Host_BadReply"));
    return;
  }
  pathRoot_ = root;
  pathTag_ = pathRoot_.startsWith(QLatin1Char('/')) ? QStringLiteral("/") : QStringLiteral("\\");
  isfilemanage_ = isfiledel_ = jsonread::integer(share, "isfiledel") == 1;
  isdownload_ = jsonread::integer(share, "isdownload") == 1;
  isupload_ = jsonread::integer(share, "isupload") == 1;
  getFileList(pathRoot_);
  resetCheckHost();
  emit stateChanged();
}

void RemoteFileListController::hostInvalid(const QString& message) {
  Env::P2PConnectOwner = 0;
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
  zlog::parts(QString::fromUtf8(what), QStringLiteral("- malformed reply from the host -"), detail.left(300));
}

// ---- listing ---------------------------------------------------------------

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
  P2PClientMsg::SendMsgToRemote(QStringLiteral("getFileList"), probe, true, QStringLiteral("NO"),
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
  QPointer<RemoteFileListController> self(this);
  const quint64 listing = ++listing_;
  const QString dir = pathCurrent_;
  HelperRemoteSharing::getFileList(dir, n, pageSize_, [self, listing, n, dir](const std::optional<vex::Json>& reply) {
    if (self) self->onPageReply(reply, listing, n, dir);
  });
  emit stateChanged();
}

void RemoteFileListController::onPageReply(const std::optional<vex::Json>& reply, quint64 listing, int64_t n,
                                           const QString& dir) {
  if (listing != listing_ || dir != pathCurrent_) {
    zlog::line(QStringLiteral("getFileList - page of a folder or page no longer wanted, ignored"));
    return;
  }
  pageIndex_ = n;
  buildPageLinks();
  QList<FileItem> rows;
  QList<RowIcon> icons;
  if (!pathCurrent_.isEmpty() && pathCurrent_ != pathRoot_) {
    rows << remoterows::parentRow(pathCurrent_);
    icons << remoterows::genericIcon(rows.last(), true);
  }
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

void RemoteFileListController::buildPageLinks() {
  isShowPageLinkBar_ = pageCount_ > 1;
  pageLinkList_ = remoterows::pageLinks(pageCount_, pageIndex_);
}

// ---- previews --------------------------------------------------------------

void RemoteFileListController::enqueueThumbTask(int i) {
  if (i < 0 || i >= fileList_.size()) return;
  const FileItem& row = fileList_[i];
  if (row.iPreview == 0 || row.isDir || !remoterows::isPreviewQueued(row.ext)) return;
  thumbTaskList_.append(i);
}

void RemoteFileListController::onThumbnailTick() {
  // A request that never gets its answer would stop every later preview.
  if (isThumbWorking_ && ++thumbWaitTicks_ >= kThumbGiveUpTicks) {
    zlog::line(QStringLiteral("buildIcon2 - no answer, given up"));
    ++thumbRequest_;
    endThumbStep();
  }
  processThumbTask();
  if (timeoutCheckCounter_ >= 0) ++timeoutCheckCounter_;
}

void RemoteFileListController::processThumbTask() {
  if (isThumbWorking_ || thumbTaskList_.isEmpty()) return;
  isThumbWorking_ = true;
  thumbWaitTicks_ = 0;
  requestIcon(thumbTaskList_.takeLast());
}

void RemoteFileListController::requestIcon(int i) {
  if (i < 0 || i >= fileList_.size() || fileList_[i].iPreview == 0) {
    endThumbStep();
    return;
  }
  FileItem& row = fileList_[i];
  if (row.isDir) {
    row.iPreview = 0;
    endThumbStep();
    return;
  }
  if (!remoterows::isPreviewRequested(row.ext)) {
    endThumbStep();
    return;
  }
  row.iPreview = 0;
  BuildIcon2 request;
  request.size = 48;
  request.fileList << row.fullPath + QLatin1Char('|') + QString::number(i) + QStringLiteral("|1|-1");
  QPointer<RemoteFileListController> self(this);
  const quint64 id = ++thumbRequest_;
  const QString path = row.fullPath;
  P2PClientMsg::SendMsgToRemote(QStringLiteral("buildIcon2"), request, true, QStringLiteral("NO"),
                                [self, i, path, id](const std::optional<vex::Json>& reply) {
                                  if (self) self->onIconReply(reply, i, path, id);
                                });
}

void RemoteFileListController::onIconReply(const std::optional<vex::Json>& reply, int i, const QString& fullPath,
                                           quint64 request) {
  if (request != thumbRequest_) return;  // given up already; a newer step runs
  if (isMissing(reply)) {
    endThumbStep();
    return;
  }
  const QString text = jsonread::text(*reply, "data");
  const QByteArray bytes = text.toUtf8();
  const auto list = jsonread::parse(std::string_view(bytes.constData(), size_t(bytes.size())));
  if (!list) {
    zlog::line(QStringLiteral("Json error : ") + text.left(300));
    endThumbStep();
    return;
  }
  const vex::Json& first = list->is_array() && !list->empty() ? (*list)[0] : vex::Json();
  const QString b = jsonread::text(first, "iconBase64");
  // The rows may have been replaced meanwhile: only the row that asked gets the picture.
  const bool sameRow = i >= 0 && i < fileList_.size() && fileList_[i].fullPath == fullPath;
  if (b.size() > kPreviewPrefix.size() && i < iconList_.size() && sameRow) {
    setIconFromBase64(b, kPreviewPrefix, i);
    return;
  }
  endThumbStep();
}

void RemoteFileListController::setIconFromBase64(const QString& b, const QString& prefix, int i) {
  const QByteArray encoded = b.mid(prefix.size()).toLatin1();
  const auto decoded = QByteArray::fromBase64Encoding(encoded, QByteArray::AbortOnBase64DecodingErrors);
  if (decoded) {
    QImage picture;
    RowIcon icon;
    if (picture.loadFromData(*decoded))
      icon.picture = picture;
    else
      icon.imageName = QStringLiteral("file");
    if (i >= 0 && i < iconList_.size()) {
      iconList_[i] = icon;
      emit rowChanged(i);
    }
  }
  endThumbStep();
}

void RemoteFileListController::endThumbStep() {
  isThumbWorking_ = false;
  thumbWaitTicks_ = 0;
}

// ---- liveness --------------------------------------------------------------

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

// ---- rows and buttons ------------------------------------------------------

void RemoteFileListController::selectOnly(int i) {
  for (int k = 0; k < fileList_.size(); ++k) {
    const bool checked = k == i;
    if (fileList_[k].isChecked == checked) continue;
    fileList_[k].isChecked = checked;
    emit rowChanged(k);
  }
  const int old = iHotFileIndex_;
  iHotFileIndex_ = i;
  if (old >= 0) emit rowChanged(old);
  emit rowChanged(i);
}

void RemoteFileListController::toggleChecked(int i) {
  if (i < 0 || i >= fileList_.size() || isParentRow(i)) return;
  fileList_[i].isChecked = !fileList_[i].isChecked;
  emit rowChanged(i);
}

void RemoteFileListController::openRow(int i) {
  if (i < 0 || i >= fileList_.size()) return;
  const FileItem row = fileList_[i];
  if (row.isDir) {
    iHotFileIndex_ = i;
    getFileList(row.fullPath);
    return;
  }
  openDownloadSheet({row});
}

QList<FileItem> RemoteFileListController::checkedItems() const {
  QList<FileItem> items;
  for (const FileItem& row : fileList_)
    if (row.isChecked) items << row;
  return items;
}

void RemoteFileListController::askDeleteChecked() {
  if (!checkedItems().isEmpty()) isShowingDialog.set(true);
}

void RemoteFileListController::deleteCheckedFiles() {
  const QList<FileItem> marked = checkedItems();
  if (marked.isEmpty()) return;
  QStringList paths;
  for (const FileItem& row : marked) paths << row.fullPath;
  OPFileInfo op;
  op.cmd = QStringLiteral("delete");
  op.fileList = paths.join(QLatin1Char('|'));
  QPointer<RemoteFileListController> self(this);
  P2PClientMsg::SendMsgToRemote(QStringLiteral("opFileList"), op, true, QStringLiteral("NO"),
                                [self](const std::optional<vex::Json>&) {
                                  if (self) self->getFileList(self->pathCurrent_);
                                });
}

void RemoteFileListController::openDownloadSheet(const QList<FileItem>& items) {
  ctlDownload_ = CTLDownload{};
  ctlDownload_.fileItems = items;
  ctlDownload_.pathRemote = pathCurrent_;
  ctlDownload_.isChooseOP = false;
  ctlDownload_.isShowView = true;
  isShowDownload.set(true);
  emit stateChanged();
}

void RemoteFileListController::openUploadSheet() { openUploadForDroppedPaths(QString()); }

void RemoteFileListController::openDownloadForChecked() {
  const QList<FileItem> marked = checkedItems();
  if (!marked.isEmpty()) openDownloadSheet(marked);
}

void RemoteFileListController::pageLinkAction(const QString& k) {
  if (k == QStringLiteral("...")) return;
  bool ok = false;
  const qlonglong n = k.toLongLong(&ok);
  gotoPage(ok ? n : 1);
}

void RemoteFileListController::onDropFiles(const QList<std::optional<QByteArray>>& deliveries) {
  QStringList kept;
  for (const auto& data : deliveries) {
    if (!data) continue;
    const QUrl url(QString::fromUtf8(*data));
    if (!url.isValid()) continue;
    const QString absolute = QUrl::fromPercentEncoding(url.toString(QUrl::FullyEncoded).toUtf8());
    if (absolute.size() < 7) continue;
    const QString path = absolute.mid(7);
    const QFileInfo info(path);
    if (info.exists() && (info.isDir() || info.isFile())) kept << path;
  }
  QPointer<RemoteFileListController> self(this);
  const QString text = kept.join(QLatin1Char('|'));
  QTimer::singleShot(1000, this, [self, text] {
    if (self) self->openUploadForDroppedPaths(text);
  });
}

void RemoteFileListController::openUploadForDroppedPaths(const QString& text) {
  if (!text.isEmpty()) zlog::line(text);
  ctlUpload_ = CTLUpload{};
  ctlUpload_.pathRemote = pathCurrent_;
  ctlUpload_.target = text;
  ctlUpload_.isShowView = true;
  isShowUpload.set(true);
  emit stateChanged();
}

void RemoteFileListController::onUploadSheetDismiss() {
  if (ctlUpload_.isUploadSucc) getFileList(pathCurrent_);
}
