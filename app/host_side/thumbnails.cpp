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
#include <deque>
#include <memory>

#include "core/log.h"
#include "media/bounded_image.h"
#include "host_side/file_records.h"
#include "host_side/host_turns.h"
#include "host_side/path_guard.h"
#include "host_side/thumbnail_helpers.h"

#include <time.h>
#include <unistd.h>

namespace {

// The workers that wait on the helpers: one per helper, so that a file is
// opened only when a helper is free for it.
QThreadPool& thumbnailPool() {
  static QThreadPool* pool = [] {
    auto* p = new QThreadPool;
    p->setMaxThreadCount(ThumbnailHelpers::sharedCount());
    return p;
  }();
  return *pool;
}

// Documents and videos may take at most this many helpers at once: a broken
// one holds its helper until the time limit, never all of them.
int contentCapacity() { return std::max(1, std::min(2, ThumbnailHelpers::sharedCount() - 1)); }

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
  std::chrono::microseconds helperSpent{0};  // the helper's processor time on it
};

// The processor time of the calling thread so far.
std::chrono::microseconds threadTime() {
  struct timespec now {};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::microseconds(qint64(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
}

// What one file's thumbnail is expected to cost (the helper's and the
// worker's processor time), from those made lately: the part of the peers'
// budget it holds while it is made. Main thread only.
std::chrono::microseconds& expectedCost() {
  static std::chrono::microseconds cost{20000};
  return cost;
}

// The thumbnail of one served file, made by a confined helper from the
// descriptor the gate opened. Runs on a worker thread.
Made helperThumbnail(int fd, const QString& name, double points, double scale, std::chrono::milliseconds limit) {
  const QSize box(std::clamp(int(std::lround(points * scale)), 1, kMaxEdge),
                  std::clamp(int(std::lround(points * scale)), 1, kMaxEdge));
  const auto result =
      ThumbnailHelpers::shared().request(thumbwire::Request{thumbwire::Kind::thumbnail, box, name}, fd, limit);
  if (result.outcome == ThumbnailHelpers::Outcome::failed) return {std::nullopt, true, result.spent};
  if (result.outcome != ThumbnailHelpers::Outcome::picture) return {std::nullopt, false, result.spent};
  return {readBoundedImage(result.bytes, kHelperReplyBounds), false, result.spent};
}

// Files on which a helper failed, per asking session, until that session
// lists a folder again: such a file is answered without a picture at once.
// Main thread only.
QHash<QString, QSet<QString>>& failedFiles() {
  static QHash<QString, QSet<QString>> files;
  return files;
}
// The file itself, as it is now: device, inode, size and modification time.
QString fileKey(const struct stat& st) {
  return QStringLiteral("%1:%2:%3:%4.%5")
      .arg(st.st_dev).arg(st.st_ino).arg(st.st_size).arg(st.st_mtim.tv_sec).arg(st.st_mtim.tv_nsec);
}

// One file's answer: its thumbnail, or no picture once the time limit is
// over, whichever comes first. Main thread only.
struct IconSlot {
  bool answered = false;
  bool started = false;  // handed to a worker
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
  void answer(const std::shared_ptr<IconSlot>& slot, FileDynaReloadData record) {
    if (slot->answered) return;
    slot->answered = true;
    results.append(std::move(record));
    countOne();
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

// One file waiting for a helper: its name, never an open descriptor.
struct IconJob {
  std::shared_ptr<IconRequest> request;
  std::shared_ptr<IconSlot> slot;
  FileDynaReloadData record;
  QString key;  // fileKey when it was asked for
  bool content = false;  // a document or a video
  double points = 0;
  double scale = 1;
  hostside::OutsideWork turn;  // its part of the peers' share while it is made
};

// The files of one asking session that wait or are being made, and the gate
// (the session's latest) through which a file is opened when its turn comes.
struct SessionWork {
  std::deque<IconJob> waiting;
  std::shared_ptr<const PathGuard> guard;
  int running = 0;
  QString account;  // who asks, charged with what its files cost
};

// The host's thumbnail work. Main thread only.
struct IconQueue {
  QHash<QString, SessionWork> sessions;
  QStringList turns;  // sessions with files waiting; the one whose account spent least goes next
  int waiting = 0;
  int running = 0;
  int runningContent = 0;
  QTimer* later = nullptr;  // pumps again once the peers' share allows
};
IconQueue& iconQueue() {
  static IconQueue queue;
  return queue;
}

void pumpIcons();

// A session's work, made when its first file waits: its account wants the
// host's time until the last of its files is answered.
SessionWork& sessionWork(IconQueue& queue, const QString& session, const QString& account) {
  auto work = queue.sessions.find(session);
  if (work == queue.sessions.end()) {
    work = queue.sessions.insert(session, SessionWork{});
    work->account = account;
    hostside::holdOutsideWork(account);
  }
  return *work;
}

void eraseSession(IconQueue& queue, QHash<QString, SessionWork>::iterator work) {
  const QString account = work->account;
  queue.sessions.erase(work);
  hostside::releaseOutsideWork(account);
}

// A file's work is over (made, failed or left): its helper is free, and what
// it cost is charged.
void finishIcon(const QString& session, const IconJob& job, std::chrono::microseconds spent) {
  IconQueue& queue = iconQueue();
  --queue.running;
  if (job.content) --queue.runningContent;
  hostside::finishOutsideWork(job.turn, spent);
  expectedCost() = (expectedCost() * 3 + spent) / 4;
  const auto work = queue.sessions.find(session);
  if (work != queue.sessions.end() && --work->running == 0 && work->waiting.empty()) eraseSession(queue, work);
  pumpIcons();
}

// Opens the file beneath its share and has it made, on a worker; the answer
// and the freed helper go back to the main thread.
void startIcon(IconJob job, std::shared_ptr<const PathGuard> guard, const QString& session) {
  IconQueue& queue = iconQueue();
  ++queue.running;
  if (job.content) ++queue.runningContent;
  ++queue.sessions[session].running;
  job.slot->started = true;
  const ThumbnailMaker make = maker().make;
  const std::chrono::milliseconds limit = maker().limit;
  thumbnailPool().start([job = std::move(job), guard = std::move(guard), session, make, limit]() mutable {
    const std::chrono::microseconds began = threadTime();
    std::chrono::microseconds helperSpent{0};
    bool failed = false;
    // Opened only now, by the gate, and closed as soon as the helper is done.
    if (const std::optional<ServedPath> served = guard->openFile(job.record.fullPath)) {
      Made made;
      if (make)  // a test's stand-in reads the open file by this process's own name for it
        made.image = make(QStringLiteral("/proc/self/fd/%1").arg(served->fd.get()), job.points, job.points, job.scale);
      else
        made = helperThumbnail(served->fd.get(), QFileInfo(job.record.fullPath).fileName(), job.points, job.scale,
                               limit);
      if (made.image) job.record.iconBase64 = jpegDataUrl(*made.image);
      failed = made.helperFailed;
      helperSpent = made.helperSpent;
    }
    guard.reset();
    const std::chrono::microseconds spent = threadTime() - began + helperSpent;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;  // the application is ending
    QMetaObject::invokeMethod(
        app,
        [job = std::move(job), session, failed, spent]() mutable {
          if (failed) failedFiles()[session].insert(job.key);
          job.request->answer(job.slot, job.record);
          finishIcon(session, job, spent);
        },
        Qt::QueuedConnection);
  });
}

void pumpLater(IconQueue& queue, std::chrono::milliseconds wait) {
  if (!queue.later) {
    queue.later = new QTimer(QCoreApplication::instance());
    queue.later->setSingleShot(true);
    QObject::connect(queue.later, &QTimer::timeout, pumpIcons);
  }
  if (!queue.later->isActive() || queue.later->remainingTime() > wait.count()) queue.later->start(wait);
}

// Hands waiting files to free helpers, the session whose account has spent
// least first, within the peers' share of the host's time; documents and
// videos only while they hold fewer than their share of the helpers.
void pumpIcons() {
  IconQueue& queue = iconQueue();
  const int capacity = ThumbnailHelpers::sharedCount();
  QStringList passed;  // sessions with only documents or videos waiting while those are full
  auto spentOf = [&queue](const QString& session) {
    const auto work = queue.sessions.constFind(session);
    return work == queue.sessions.constEnd() ? 0 : hostside::spentBy(work->account);
  };
  while (queue.running < capacity) {
    int turn = -1;
    qint64 least = 0;
    for (int i = 0; i < queue.turns.size(); ++i) {
      if (passed.contains(queue.turns[i])) continue;
      const qint64 spent = spentOf(queue.turns[i]);
      if (turn < 0 || spent < least) turn = i, least = spent;
    }
    if (turn < 0) return;
    const QString session = queue.turns.at(turn);
    SessionWork& work = queue.sessions[session];
    const auto next = std::find_if(work.waiting.begin(), work.waiting.end(), [&](const IconJob& job) {
      return !job.content || queue.runningContent < contentCapacity();
    });
    if (next == work.waiting.end()) {
      passed.append(session);
      continue;
    }
    hostside::OutsideWork turnOf;
    std::chrono::milliseconds wait{0};
    if (!hostside::startOutsideWork(work.account, expectedCost(), &turnOf, &wait)) {
      pumpLater(queue, wait);
      return;
    }
    IconJob job = std::move(*next);
    job.turn = turnOf;
    work.waiting.erase(next);
    --queue.waiting;
    queue.turns.removeAt(turn);
    if (!work.waiting.empty()) queue.turns.append(session);  // among equals, sessions take turns
    startIcon(std::move(job), work.guard, session);
  }
}

// Files answered (out of time) before their turn leave the queue of `session`.
void dropAnsweredIcons(const QString& session) {
  IconQueue& queue = iconQueue();
  const auto work = queue.sessions.find(session);
  if (work == queue.sessions.end()) return;
  const auto gone = std::remove_if(work->waiting.begin(), work->waiting.end(),
                                   [](const IconJob& job) { return job.slot->answered; });
  queue.waiting -= int(std::distance(gone, work->waiting.end()));
  work->waiting.erase(gone, work->waiting.end());
  if (!work->waiting.empty()) return;
  queue.turns.removeAll(session);
  if (work->running == 0) eraseSession(queue, work);
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
                      const QString& session, const QString& account) {
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

  // Each file is looked at (not opened for reading) and only its name waits:
  // the session's queue and the host's hold a bounded number; the others are
  // answered at once without a picture.
  IconQueue& queue = iconQueue();
  SessionWork& work = sessionWork(queue, session, account.isEmpty() ? session : account);
  work.guard = std::make_shared<const PathGuard>(guard);
  const auto failed = failedFiles().constFind(session);
  const std::chrono::milliseconds limit = maker().limit;
  QCoreApplication* app = QCoreApplication::instance();
  for (const vex::Json& element : list) {
    IconJob job;
    job.request = request;
    job.slot = std::make_shared<IconSlot>();
    QString path;
    qint64 index = -1;
    std::optional<ServedPath> seen;
    struct stat st {};
    if (readElement(element, path, index)) seen = guard.resolve(path);
    if (!seen || ::fstat(seen->fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      request->countOne();  // may answer at once when every element was skipped
      continue;
    }
    job.record.fullPath = path;
    job.record.index = index;
    job.record.size = st.st_size;
    job.key = fileKey(st);
    const bool failedBefore = failed != failedFiles().cend() && failed->contains(job.key);
    if (points <= 0 || failedBefore || int(work.waiting.size()) >= kThumbnailsWaitingPerSession ||
        queue.waiting >= kThumbnailsWaitingPerHost) {
      request->answer(job.slot, job.record);
      continue;
    }
    job.content = isDocumentOrVideo(path);
    job.points = points;
    job.scale = scale;
    // A decoder that hangs, or a long wait for a helper, must not hold the
    // answer back: a little after the limit the file is answered without a
    // picture, leaves the queue if it is still there, and a late one is dropped.
    QTimer::singleShot(limit + kAnswerGrace, app,
                       [request, slot = job.slot, record = job.record, session] {
                         if (slot->answered) return;
                         zlog::parts(QStringLiteral("Thumbnail took too long, answered without a picture:"),
                                     record.fullPath);
                         request->answer(slot, record);
                         if (!slot->started) dropAnsweredIcons(session);
                       });
    if (work.waiting.empty()) queue.turns.append(session);
    work.waiting.push_back(std::move(job));
    ++queue.waiting;
  }
  if (work.waiting.empty() && work.running == 0) {
    eraseSession(queue, queue.sessions.find(session));
    return;
  }
  pumpIcons();
}

void startThumbnailListing(const QString& session) { failedFiles().remove(session); }

void endThumbnailSession(const QString& session) {
  failedFiles().remove(session);
  IconQueue& queue = iconQueue();
  const auto work = queue.sessions.find(session);
  if (work == queue.sessions.end()) return;
  for (IconJob& job : work->waiting) job.request->answer(job.slot, job.record);
  dropAnsweredIcons(session);
}

void setThumbnailMakerForTesting(ThumbnailMaker make, std::chrono::milliseconds limit) {
  maker().make = std::move(make);
  maker().limit = limit;
}
