#include "host_side/thumbnails.h"

#include <sys/stat.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMimeDatabase>
#include <QScreen>
#include <QThreadPool>
#include <QTimer>
#include <memory>

#include "core/log.h"
#include "media/util_media.h"
#include "host_side/file_records.h"
#include "host_side/path_guard.h"

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

// Documents and videos have a pool of their own: a decoder stuck on a broken
// file holds one of its threads, never the image thumbnails.
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
  ThumbnailMaker make;
  std::chrono::milliseconds limit = kThumbnailTimeLimit;
};
Maker& maker() {
  static Maker current;
  return current;
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

void answerBuildIcon2(const PathGuard& guard, qint64 size, const vex::Json& fileList, IconCompletion completion) {
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
  const ThumbnailMaker make = maker().make ? maker().make : ThumbnailMaker(generateThumbnailSync);
  QCoreApplication* app = QCoreApplication::instance();
  for (auto& [record, file] : jobs) {
    auto slot = std::make_shared<IconSlot>();
    // A decoder that hangs must not hold the answer back: after the limit the
    // file is answered without a picture, and a late picture is dropped.
    QTimer::singleShot(maker().limit, app, [request, slot, record = record] {
      if (slot->answered) return;
      slot->answered = true;
      zlog::parts(QStringLiteral("Thumbnail took too long, answered without a picture:"), record.fullPath);
      request->results.append(record);
      request->countOne();
    });
    QThreadPool& pool = isDocumentOrVideo(record.fullPath) ? contentPool() : thumbnailPool();
    pool.start([request, slot, make, record = record, file = file, points, scale]() mutable {
      if (points > 0) {
        // This process's own name of the open file: the same file, whatever
        // happens to its path meanwhile.
        const auto image = make(QStringLiteral("/proc/self/fd/%1").arg(file->get()), points, points, scale);
        if (image) record.iconBase64 = jpegDataUrl(*image);
      }
      QCoreApplication* app = QCoreApplication::instance();
      if (!app) return;  // the application is ending
      QMetaObject::invokeMethod(
          app,
          [request, slot, record = std::move(record)]() mutable {
            if (slot->answered) return;
            slot->answered = true;
            request->results.append(std::move(record));
            request->countOne();
          },
          Qt::QueuedConnection);
    });
  }
}

void setThumbnailMakerForTesting(ThumbnailMaker make, std::chrono::milliseconds limit) {
  maker().make = std::move(make);
  maker().limit = limit;
}
