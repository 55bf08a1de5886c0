// Row previews of the browser: one request at a time, taken from the queue on
// a 0.2 s tick and given up when the host does not answer.
#include "remote_sharing/remote_file_list.h"

#include "core/json_read.h"
#include "bridge/p2p_client_msg.h"
#include "bridge/payloads.h"
#include "core/log.h"
#include "media/bounded_image.h"

#include <QPointer>

namespace {

const QString kPreviewPrefix = QStringLiteral("data:image/png;base64,");

}  // namespace

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
  P2PClientMsg::SendMsgOnLink(link_, QStringLiteral("buildIcon2"), request, true, QStringLiteral("NO"),
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
    zlog::line(QStringLiteral("Json error : ") + zlog::excerpt(text));
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
    // Checked before decoding: PNG or JPEG, at most 1 MiB and 1024 x 1024.
    const auto picture = readBoundedImage(*decoded, kArrivingThumbnailBounds);
    RowIcon icon;
    if (picture)
      icon.picture = *picture;
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
