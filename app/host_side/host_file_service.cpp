#include "host_side/host_file_service.h"

#include <fcntl.h>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cstring>

#include "core/file_names.h"
#include "core/log.h"
#include "host_side/host_replies.h"

namespace {

void fillSpot(const ServedPath& served, protocol::ShareSpot* spot) {
  if (!spot) return;
  spot->ShareRoot = served.rootPath;
  spot->ShareRel = served.rel;
  spot->ShareId = protocol::folderIdentity(served.rootDevice, served.rootInode);
}

QString childOf(const QString& rel, const QString& name) {
  return rel.isEmpty() ? name : rel + QLatin1Char('/') + name;
}

}  // namespace

FileListRequest guardedListRequest(const PathGuard& guard, const QString& dir, const QString& search,
                                   const QString& orderBy, qint64 pageIndex, qint64 pageSize, qint64 probeCount,
                                   int kinds) {
  FileListRequest request;
  request.dir = dir;
  if (auto served = guard.openFolder(dir, ShareRight::reach, &request.failure)) {
    request.folder = std::make_shared<const beneath::Fd>(std::move(served->fd));
    request.root = served->root;
    request.rel = served->rel;
  }
  request.search = search;
  request.orderBy = orderBy;
  request.pageIndex = pageIndex;
  request.pageSize = pageSize;
  request.probeCount = probeCount;
  request.kinds = kinds;
  return request;
}

vex::Json answerGetFileList(const FileListRequest& request) {
  const FileListResult result = listFolder(request);
  MsgBackData_FileList reply;
  reply.data = vex::toJSONModel(result.items);
  reply.sResult = result.result;
  reply.sPageInfo = result.pageInfo;
  reply.index = result.index;
  reply.iProbeCount = request.probeCount;
  return reply.toJSONModel();
}

FileUploadInfo answerFileUploadCheck(const PathGuard& guard, const QString& dir, const vex::Json& fileList,
                                     protocol::ShareSpot* spot) {
  FileUploadInfo info;
  info.dir = dir;
  // A folder the gate refuses, or one in a share that takes no uploads, is
  // answered as not valid so that nothing is sent into it.
  int failure = 0;
  const auto folder = guard.openFolder(dir, ShareRight::upload, &failure);
  info.valid = folder ? 1 : 0;
  if (failure) info.reason = failureReason(failure);
  if (folder) {
    if (folder->lan) info.TransLAN = QStringLiteral("1");
    fillSpot(*folder, spot);
  }
  if (!fileList.is_array()) return info;
  const auto seen = folder ? std::optional<ServedPath>() : guard.openFolder(dir);
  const ServedPath* in = folder ? &*folder : seen ? &*seen : nullptr;
  for (const vex::Json& element : fileList) {
    FileUploadInfo_Task task;
    const QString name = element.is_string() ? QString::fromStdString(element.get<std::string>()) : QString();
    struct stat st {};
    if (in && isPlainFileName(name)) {
      const beneath::Fd there = beneath::open(in->root->get(), childOf(in->rel, name), O_PATH);
      if (there && ::fstat(there.get(), &st) == 0) {
        task.isExist = S_ISDIR(st.st_mode) ? 0 : 1;
        task.size = st.st_size;
      }
    }
    info.task.append(task);
  }
  return info;
}

FileDownloadInfo answerFileDownloadCheck(const PathGuard& guard, const QString& path, protocol::ShareSpot* spot) {
  FileDownloadInfo info;
  info.path = path;
  // A share that allows no downloads answers as if the file were not there.
  int failure = 0;
  const auto served = guard.open(path, O_PATH, ShareRight::download, &failure);
  struct stat st {};
  if (served && ::fstat(served->fd.get(), &st) != 0) failure = errno;
  if (failure) info.reason = failureReason(failure);
  if (!served || failure) return info;
  if (S_ISREG(st.st_mode)) {
    // A file this client may not read is refused with the reason, not taken
    // and then found unreadable by the bridge.
    if (::faccessat(served->fd.get(), "", R_OK, AT_EMPTY_PATH | AT_EACCESS) != 0) {
      info.reason = failureReason(errno);
      return info;
    }
    info.size = st.st_size;
    info.valid = 1;
    if (served->lan) info.TransLAN = QStringLiteral("1");
  } else if (S_ISDIR(st.st_mode)) {
    info.size = st.st_size;
  } else {
    return info;  // a pipe or a device is never served
  }
  fillSpot(*served, spot);
  return info;
}

int removeServedFiles(const PathGuard& guard, const QString& cmd, const QString& fileList) {
  if (cmd != QStringLiteral("delete")) return 0;
  int removed = 0;
  for (const QString& path : fileList.split(QLatin1Char('|'), Qt::SkipEmptyParts)) {
    const auto entry = guard.openForDelete(path);
    // A link is removed as itself; a folder with everything in it (links
    // inside are removed, never followed).
    if (entry && beneath::removeEntry(entry->folder.get(), entry->name) == 0)
      ++removed;
    else
      zlog::line(QStringLiteral("Failed to remove file."));
  }
  return removed;
}

bool createServedFolder(const PathGuard& guard, const QString& dir, const QString& name) {
  const auto folder = guard.openForNewFolder(dir, name);
  if (!folder) return false;
  if (const int error = beneath::makeFolder(folder->fd.get(), QFile::encodeName(name)); error != 0) {
    zlog::parts(QStringLiteral("Error: could not create"), name, QString::fromLocal8Bit(strerror(error)));
    return false;
  }
  return true;
}
