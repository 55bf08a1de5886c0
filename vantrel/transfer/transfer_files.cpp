#include "transfer_files.h"
#include "transfer_place.h"

#include "core/file_names.h"
#include "core/log.h"
#include "core/post_back.h"
#include "partial_journal.h"
#include "protocol/share_spot.h"

#include <QCoreApplication>
#include <QThreadPool>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel {

namespace {
const QString kPartPrefix = QLatin1String(kPartialFilePrefix);

// Up to eight letters or digits of a transfer id (which a peer chose) for a
// file name.
QString xidTag(const QString& xid) {
  QString tag;
  for (const QChar c : xid) {
    if (tag.size() == 8) break;
    if ((c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
        (c >= QLatin1Char('0') && c <= QLatin1Char('9')))
      tag += c;
  }
  return tag.isEmpty() ? QStringLiteral("x") : tag;
}

// Syncs run apart from other work, so that a long walk never holds up a
// file's commit; several at once, which the file system joins into one
// journal commit when many small files end close together.
QThreadPool& syncPool() {
  static QThreadPool pool;
  pool.setMaxThreadCount(8);
  return pool;
}
}  // namespace

// ---- SourceFile --------------------------------------------------------------

std::optional<SourceFile::Stamp> SourceFile::stampOf(int fd) {
  // The change time as well: a rewrite whose modification time was put back
  // still moves it.
  struct statx st {};
  constexpr unsigned kWanted = STATX_SIZE | STATX_MTIME | STATX_CTIME | STATX_INO;
  if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, kWanted, &st) != 0 || (st.stx_mask & kWanted) != kWanted)
    return std::nullopt;
  const auto ns = [](const struct statx_timestamp& t) { return qint64(t.tv_sec) * 1000000000 + t.tv_nsec; };
  return Stamp{qint64(st.stx_size), ns(st.stx_mtime), ns(st.stx_ctime), quint64(st.stx_ino)};
}

std::unique_ptr<SourceFile> SourceFile::open(const TransferEntry& entry, SumKind sum, QString* why, bool* changed,
                                             bool* unreadable) {
  const qint64 size = entry.size;
  auto file = std::unique_ptr<SourceFile>(new SourceFile);
  // Served to a peer: opened beneath its share, exactly as it was checked;
  // else the local user's own file.
  int error = 0;
  beneath::Fd fd = entry.share ? beneath::open(entry.share->get(), entry.shareRel, O_RDONLY | O_NONBLOCK, &error)
                               : beneath::Fd(::open(QFile::encodeName(entry.local).constData(),
                                                    O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!entry.share && !fd) error = errno;
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    const char* text = ::strerrordesc_np(error);  // thread-safe, unlike strerror
    *why = fd ? QStringLiteral("not a file") : text ? QString::fromUtf8(text) : QString::number(error);
    // Gone, or no longer a file: the file changed on the sending side.
    if (unreadable) *unreadable = !fd && error != ENOENT && error != ENOTDIR;
    return nullptr;
  }
  if (!file->file_.open(fd.get(), QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
    *why = file->file_.errorString();
    return nullptr;
  }
  fd.release();
  const auto stamp = stampOf(file->file_.handle());
  if (!stamp || stamp->size != size) {
    *why = QStringLiteral("the file changed before it could be sent");
    *changed = true;
    return nullptr;
  }
  file->stamp_ = *stamp;
  file->size_ = size;
  file->hash_.emplace(sum);
  return file;
}

std::optional<QByteArray> SourceFile::read(qint64 max, QString* why) {
  const qint64 want = std::min(max, size_ - offset_);
  QByteArray bytes(want, Qt::Uninitialized);
  qint64 got = 0;
  while (got < want) {
    const qint64 n = file_.read(bytes.data() + got, want - got);
    if (n < 0) {
      *why = file_.errorString();
      return std::nullopt;
    }
    if (n == 0) {
      changed_ = true;
      *why = QStringLiteral("the file shrank while it was sent");
      return std::nullopt;
    }
    got += n;
  }
  // A file rewritten, cut or extended under the reader fails at once.
  const auto now = stampOf(file_.handle());
  if (!now || !(*now == stamp_)) {
    changed_ = true;
    *why = changeOf(now);
    return std::nullopt;
  }
  hash_->add(bytes);
  offset_ += got;
  return bytes;
}

std::optional<QString> SourceFile::finish(QString* why) {
  const auto now = stampOf(file_.handle());
  if (!now || !(*now == stamp_)) {
    changed_ = true;
    *why = changeOf(now);
    return std::nullopt;
  }
  return hash_->hex();
}

QString SourceFile::changeOf(const std::optional<Stamp>& now) const {
  if (now && now->size > stamp_.size) return QStringLiteral("the file grew while it was sent");
  if (now && now->size < stamp_.size) return QStringLiteral("the file shrank while it was sent");
  return QStringLiteral("the file changed while it was sent");
}

// ---- SinkFile ----------------------------------------------------------------

QString SinkFile::partName(const QString& xid, qint64 index) {
  return kPartPrefix + QStringLiteral("%1-%2-%3").arg(partialTag(), xidTag(xid)).arg(index);
}

std::unique_ptr<SinkFile> SinkFile::create(Folder folder, const QString& xid, qint64 index, SumKind sum,
                                           FileSlots::SlotPtr slot, QString* why) {
  auto file = std::unique_ptr<SinkFile>(new SinkFile);
  file->slot_ = std::move(slot);
  file->hash_.emplace(sum);
  file->kept_ = true;  // nothing of ours to remove until it exists
  if (!folder || !*folder) {
    *why = QStringLiteral("the folder cannot be opened");
    return nullptr;
  }
  file->folder_ = std::move(folder);
  file->name_ = QFile::encodeName(partName(xid, index));
  // Written down before it exists, so that a bridge killed at any moment
  // leaves nothing that its successor would not recognise as its own.
  if (!recordPartial(file->folder_->get(), file->name_)) {
    *why = QStringLiteral("cannot write down the partial file");
    return nullptr;
  }
  // A new file, never one planted under the temporary name.
  int error = 0;
  beneath::Fd fd = beneath::createExclusive(file->folder_->get(), file->name_, 0666, &error);
  if (!fd) {
    *why = QString::fromLocal8Bit(std::strerror(error));
    return nullptr;
  }
  file->kept_ = false;
  if (!file->file_.open(fd.get(), QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
    *why = file->file_.errorString();
    return nullptr;  // removed by the destructor; the descriptor closes with `fd`
  }
  fd.release();
  return file;
}

void SinkFile::removeTemporary() {
  if (!removed_.exchange(true)) ::unlinkat(folder_->get(), name_.constData(), 0);
}

SinkFile::~SinkFile() {
  if (file_.isOpen()) file_.close();
  if (!kept_) removeTemporary();
}

bool SinkFile::discard() {
  const std::lock_guard lock(placeMutex_);
  if (kept_) return true;
  removeTemporary();
  return false;
}

bool SinkFile::write(QByteArrayView bytes) {
  for (qint64 at = 0; at < bytes.size(); at += kWritePiece) {
    const qint64 n = std::min(kWritePiece, bytes.size() - at);
    if (file_.write(bytes.data() + at, n) != n) return false;
  }
  hash_->add(bytes);
  written_ += bytes.size();
  // Start writing what has arrived to the disk while the rest arrives, so the
  // sync before the rename has little left to do.
  if (written_ - flushed_ >= kWriteBehindBytes) {
    ::sync_file_range(file_.handle(), flushed_, written_ - flushed_, SYNC_FILE_RANGE_WRITE);
    flushed_ = written_;
  }
  return true;
}

void SinkFile::commit(std::unique_ptr<SinkFile> file, qint64 size, const QString& sum, const QByteArray& dest,
                      bool replace, QObject* context, Committed done) {
  commit(std::shared_ptr<SinkFile>(std::move(file)), size, sum, dest, replace, context, std::move(done));
}

void SinkFile::commit(std::shared_ptr<SinkFile> shared, qint64 size, const QString& sum, const QByteArray& dest,
                      bool replace, QObject* context, Committed done) {
  if (shared->written_ != size) {
    shared->discard();
    return done(QStringLiteral("the size does not match"), false);
  }
  if (shared->hash_->hex() != sum) {
    shared->discard();
    return done(QStringLiteral("the content does not match its checksum"), false);
  }
  struct Placed {
    QString why;
    bool renamed = false;
  };
  // Told on the context's thread; dropped when the context is gone by then.
  postback::run(&syncPool(), context, [shared, dest, replace]() -> Placed {
    // The data reaches the disk before the name does.
    if (::fsync(shared->file_.handle()) != 0) return {QStringLiteral("cannot sync to disk")};
    shared->file_.close();
    const QString target = QFile::decodeName(dest);
    int error = 0;
    const std::lock_guard lock(shared->placeMutex_);
    if (shared->removed_) return {QStringLiteral("the transfer ended")};
    const auto placed = placeFile(shared->folder_->get(), QFile::decodeName(shared->name_), target, replace, &error);
    if (!placed) return {QStringLiteral("cannot rename into place")};
    shared->kept_ = true;
    return {QString(), *placed != target};
  }, [done](const Placed& placed) { done(placed.why, placed.renamed); });
}

// ---- where a check found a file ------------------------------------------------

std::shared_ptr<const beneath::Fd> openCheckedRoot(const Json& info, QString* rel) {
  const QString root = textOf(info, protocol::ShareSpot::kRoot);
  if (root.isEmpty() || !root.startsWith(QLatin1Char('/'))) return nullptr;
  beneath::Fd fd = beneath::openRoot(root);
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISDIR(st.st_mode) ||
      protocol::folderIdentity(st.st_dev, st.st_ino) != textOf(info, protocol::ShareSpot::kId))
    return nullptr;
  *rel = textOf(info, protocol::ShareSpot::kRel);
  return std::make_shared<const beneath::Fd>(std::move(fd));
}

}  // namespace vantrel
