#include "remote_sharing/remote_file_list.h"

#include "bridge/env.h"
#include "bridge/link_attempts.h"
#include "bridge/p2p_client_msg.h"
#include "core/localized.h"
#include "core/log.h"
#include "remote_sharing/remote_payloads.h"

#include <QFileInfo>
#include <QPointer>
#include <QUrl>

// The browser's state and the actions of its rows and buttons. The connection
// and paged listing, the previews and the liveness check are in
// remote_file_list_{connection,previews,liveness}.cpp.

bool RemoteFileListController::isMissing(const std::optional<vex::Json>& reply) { return !reply || reply->is_null(); }

QString RemoteFileListController::dumpReply(const std::optional<vex::Json>& reply) {
  if (!reply) return QStringLiteral("(none)");
  return zlog::excerpt(reply->dump(-1, ' ', false, vex::Json::error_handler_t::replace));
}

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
  if (Env::RemoteFileListShared == this) {
    Env::RemoteFileListShared = nullptr;
    linkattempts::withdraw(LinkOwner::browser);
  }
}

void RemoteFileListController::stopTimers() {
  timerThumbnail_.stop();
  timerCheckHost_.stop();
}

bool RemoteFileListController::isParentRow(int i) const { return i == 0 && hasParentRow_ && !fileList_.isEmpty(); }

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
  P2PClientMsg::SendMsgOnLink(link_, QStringLiteral("opFileList"), op, true, QStringLiteral("NO"),
                              [self](const std::optional<vex::Json>&) {
                                if (self) self->getFileList(self->pathCurrent_);
                              });
}

void RemoteFileListController::openDownloadSheet(const QList<FileItem>& items) {
  ctlDownload_ = CTLDownload{};
  ctlDownload_.fileItems = items;
  ctlDownload_.pathRemote = pathCurrent_;
  ctlDownload_.session = link_.session;
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
  ctlUpload_.session = link_.session;
  ctlUpload_.target = text;
  ctlUpload_.isShowView = true;
  isShowUpload.set(true);
  emit stateChanged();
}

void RemoteFileListController::onUploadSheetDismiss() {
  if (ctlUpload_.isUploadSucc) getFileList(pathCurrent_);
}
