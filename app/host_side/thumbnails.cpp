#include "host_side/thumbnails.h"

#include <sys/stat.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QFileInfo>
#include <QHash>
#include <QGuiApplication>
#include <QMimeDatabase>
#include <QScreen>
#include <QSet>
#include <QThreadPool>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <memory>

#include "core/log.h"
#include "media/bounded_image.h"
#include "host_side/file_records.h"
#include "host_side/path_guard.h"
#include "host_side/thumbnail_helpers.h"

#include <unistd.h>

namespace {

// Thumbnails have their own pool so that a burst of them never holds back a
// large listing.
QThreadPool& thumbnailPool() {
  static QThreadPool* pool = [] {
    auto* p = new QThreadPool;
    p->setMaxThreadCount(std::max(2, QThread::idealThreadCount()));
    return p;
  }();
  return *pool;
}

// Documents and videos have a pool of their own: a broken one holds its thread
// (and its helper) until the time limit, never the image thumbnails.
QThreadPool& contentPool() {
  static QThreadPool* pool = [] {
    auto* p = new QThreadPool;
    p->setMaxThreadCount(2);
    return p;
  }();
  return *pool;
}

bool isDocumentOrVideo(const QString& path) {
  const QString name = QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchExtension).name();
  return name == QLatin1String("application/pdf") || name.startsWith(QLatin1String("video/"));
}

// Largest edge made, whatever a peer asks for.
constexpr int kMaxEdge = 1024;

struct Maker {
  ThumbnailMaker make;  // a test's stand-in for the helpers
  std::chrono::milliseconds limit = kThumbnailTimeLimit;
};
Maker& maker() {
  static Maker current;
  return current;
}

constexpr std::chrono::milliseconds kAnswerGrace{250};

// A helper's PNG is read like any picture from elsewhere: bounded before decoding.
constexpr ImageBounds kHelperReplyBounds{thumbwire::kMaxReply, QSize(kMaxEdge, kMaxEdge)};

struct Made {
  std::optional<QImage> image;
  bool helperFailed = false;  // crashed, hit a limit or took too long on this file
};

// The thumbnail of one served file, made by a confined helper from the
// descriptor the gate opened. Runs on a worker thread.
Made helperThumbnail(int fd, const QString& name, double points, double scale, std::chrono::milliseconds limit) {
  const QSize box(std::clamp(int(std::lround(points * scale)), 1, kMaxEdge),
                  std::clamp(int(std::lround(points * scale)), 1, kMaxEdge));
  const auto result =
      ThumbnailHelpers::shared().request(thumbwire::Request{thumbwire::Kind::thumbnail, box, name}, fd, limit);
  if (result.outcome == ThumbnailHelpers::Outcome::failed) return {std::nullopt, true};
  if (result.outcome != ThumbnailHelpers::Outcome::picture) return {};
  return {readBoundedImage(result.bytes, kHelperReplyBounds), false};
}

// Files on which a helper failed, per asking session, until that session
// lists a folder again: such a file is answered without a picture at once.
// Main thread only.
QHash<QString, QSet<QString>>& failedFiles() {
  static QHash<QString, QSet<QString>> files;
  return files;
}
// The file itself, as it is now: device, inode, size and modification time.
QString fileKey(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return {};
  return QStringLiteral("%1:%2:%3:%4.%5")
      .arg(st.st_dev).arg(st.st_ino).arg(st.st_size).arg(st.st_mtim.tv_sec).arg(st.st_mtim.tv_nsec);
}

// One file's answer: its thumbnail, or no picture once the time limit is
// over, whichever comes first. Main thread only.
struct IconSlot {
  bool answered = false;
};

struct IconRequest {
  qsizetype total = 0;
  qsizetype handled = 0;
  QList<FileDynaReloadData> results;
  IconCompletion completion;

  void countOne() {
    ++handled;
    if (handled == total && completion) {
      const auto text = vex::toJSONString(results);
      IconCompletion done = std::move(completion);
      completion = nullptr;
      done(text ? QString::fromStdString(*text) : QString());
    }
  }
};

// Reads one "path|index[|...]" element; false when it has no integer index.
bool readElement(const vex::Json& element, QString& path, qint64& index) {
  if (!element.is_string()) return false;
  const QString text = QString::fromStdString(element.get<std::string>());
  const QStringList parts = text.split(QLatin1Char('|'));
  if (parts.size() < 2) return false;
  bool ok = false;
  index = parts[1].toLongLong(&ok);
  if (!ok) return false;
  path = parts[0];
  return true;
}

}  // namespace

qreal backingScale() {
  if (!qGuiApp) return 1;
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen ? screen->devicePixelRatio() : 1;
}

QString jpegDataUrl(const QImage& image) {
  if (image.isNull()) return {};
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  if (!image.save(&buffer, "JPEG", 60)) return {};
  return QStringLiteral("data:image/jpg;base64,") + QString::fromLatin1(bytes.toBase64());
}

void answerBuildIcon2(const PathGuard& guard, qint64 size, const vex::Json& fileList, IconCompletion completion,
                      const QString& session) {
  vex::Json list;
  if (fileList.is_array()) {
    list = fileList;  // a client that sends the array itself
  } else {
    const std::string text = fileList.is_string() ? fileList.get<std::string>() : std::string();
    list = vex::Json::parse(text, nullptr, false);
    if (list.is_discarded()) {
      zlog::line(QStringLiteral("error: "));
      return;
    }
  }
  if (!list.is_array()) list = vex::Json::array();  // an object or a number lists nothing

  auto request = std::make_shared<IconRequest>();
  request->total = qsizetype(list.size());
  request->completion = std::move(completion);
  if (request->total == 0) {
    request->completion(QStringLiteral("[]"));
    return;
  }
  const qreal scale = backingScale();
  // A size below 1 gives no picture; a huge one is capped.
  const double points = size < 1 ? 0.0 : std::min<double>(double(size), kMaxEdge / scale);

  QList<std::pair<FileDynaReloadData, std::shared_ptr<const beneath::Fd>>> jobs;
  for (const vex::Json& element : list) {
    FileDynaReloadData record;
    QString path;
    qint64 index = -1;
    // The thumbnail code reads the file the gate opened, never the path.
    std::optional<ServedPath> served;
    struct stat st {};
    if (readElement(element, path, index)) served = guard.openFile(path);
    if (!served || ::fstat(served->fd.get(), &st) != 0) {
      request->countOne();  // may answer at once when every element was skipped
      continue;
    }
    record.fullPath = path;
    record.index = index;
    record.size = st.st_size;
    jobs.append({record, std::make_shared<const beneath::Fd>(std::move(served->fd))});
  }
  const ThumbnailMaker make = maker().make;
  const std::chrono::milliseconds limit = maker().limit;
  QCoreApplication* app = QCoreApplication::instance();
  for (auto& [record, file] : jobs) {
    const QString key = fileKey(file->get());
    const auto failed = failedFiles().constFind(session);
    if (failed != failedFiles().cend() && failed->contains(key)) {
      request->results.append(record);  // failed a helper before in this listing
      request->countOne();
      continue;
    }
    auto slot = std::make_shared<IconSlot>();
    // A decoder that hangs must not hold the answer back: a helper is killed at
    // the limit; a little after it (the request may have waited for a free
    // helper) the file is answered without a picture, and a late one is dropped.
    QTimer::singleShot(limit + kAnswerGrace, app, [request, slot, record = record] {
      if (slot->answered) return;
      slot->answered = true;
      zlog::parts(QStringLiteral("Thumbnail took too long, answered without a picture:"), record.fullPath);
      request->results.append(record);
      request->countOne();
    });
    QThreadPool& pool = isDocumentOrVideo(record.fullPath) ? contentPool() : thumbnailPool();
    pool.start([request, slot, make, limit, session, key, record = record, file = file, points, scale]() mutable {
      bool failed = false;
      if (points > 0) {
        Made made;
        if (make)  // a test's stand-in reads the open file by this process's own name for it
          made.image = make(QStringLiteral("/proc/self/fd/%1").arg(file->get()), points, points, scale);
        else
          made = helperThumbnail(file->get(), QFileInfo(record.fullPath).fileName(), points, scale, limit);
        if (made.image) record.iconBase64 = jpegDataUrl(*made.image);
        failed = made.helperFailed;
      }
      QCoreApplication* app = QCoreApplication::instance();
      if (!app) return;  // the application is ending
      QMetaObject::invokeMethod(
          app,
          [request, slot, failed, session, key, record = std::move(record)]() mutable {
            if (failed) failedFiles()[session].insert(key);
            if (slot->answered) return;
            slot->answered = true;
            request->results.append(std::move(record));
            request->countOne();
          },
          Qt::QueuedConnection);
    });
  }
}

void startThumbnailListing(const QString& session) { failedFiles().remove(session); }

void setThumbnailMakerForTesting(ThumbnailMaker make, std::chrono::milliseconds limit) {
  maker().make = std::move(make);
  maker().limit = limit;
}
