#include "host_side/host_file_service.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "core/file_names.h"
#include "core/log.h"

FileListRequest guardedListRequest(const PathGuard& guard, const QString& dir, const QString& search,
                                   const QString& orderBy, qint64 pageIndex, qint64 pageSize, qint64 probeCount,
                                   int kinds) {
  FileListRequest request;
  request.dir = dir;
  request.listPath = guard.resolveFolder(dir).value_or(QString());
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

FileUploadInfo answerFileUploadCheck(const PathGuard& guard, const QString& dir, const vex::Json& fileList) {
  FileUploadInfo info;
  info.dir = dir;
  // A folder the gate refuses, or one in a share that takes no uploads, is
  // answered as not valid so that nothing is sent into it.
  const auto uploadFolder = guard.resolveUploadFolder(dir);
  info.valid = uploadFolder ? 1 : 0;
  if (uploadFolder && guard.allowsLan(*uploadFolder, true)) info.TransLAN = QStringLiteral("1");
  if (!fileList.is_array()) return info;
  const auto folder = guard.resolveFolder(dir);
  for (const vex::Json& element : fileList) {
    FileUploadInfo_Task task;
    const QString name = element.is_string() ? QString::fromStdString(element.get<std::string>()) : QString();
    if (folder && isPlainFileName(name)) {
      if (const auto path = guard.resolve(*folder + QLatin1Char('/') + name)) {
        const QFileInfo file(*path);
        if (file.exists()) {
          task.isExist = file.isDir() ? 0 : 1;
          task.size = file.size();
        }
      }
    }
    info.task.append(task);
  }
  return info;
}

FileDownloadInfo answerFileDownloadCheck(const PathGuard& guard, const QString& path) {
  FileDownloadInfo info;
  info.path = path;
  // A share that allows no downloads answers as if the file were not there.
  if (const auto actual = guard.resolveDownload(path)) {
    const QFileInfo file(*actual);
    if (file.exists()) {
      info.size = file.size();
      info.valid = file.isDir() ? 0 : 1;
      if (info.valid == 1 && guard.allowsLan(*actual, false)) info.TransLAN = QStringLiteral("1");
    }
  }
  return info;
}

int removeServedFiles(const PathGuard& guard, const QString& cmd, const QString& fileList) {
  if (cmd != QStringLiteral("delete")) return 0;
  int removed = 0;
  for (const QString& path : fileList.split(QLatin1Char('|'), Qt::SkipEmptyParts)) {
    const auto entry = guard.resolveForDelete(path);
    bool ok = false;
    if (entry) {
      const QFileInfo info(*entry);
      // A link is removed as itself; a folder with everything in it (links
      // inside are removed, never followed).
      if (info.isDir() && !info.isSymLink())
        ok = QDir(*entry).removeRecursively();
      else
        ok = QFile::remove(*entry);
    }
    if (ok)
      ++removed;
    else
      zlog::line(QStringLiteral("Failed to remove file."));
  }
  return removed;
}

bool createServedFolder(const PathGuard& guard, const QString& dir, const QString& name) {
  const auto target = guard.resolveNewFolder(dir, name);
  if (!target) return false;
  if (QFileInfo(*target).isDir()) return true;
  if (!QDir().mkpath(*target)) {
    zlog::line(QStringLiteral("Error: could not create ") + *target);
    return false;
  }
  return true;
}
