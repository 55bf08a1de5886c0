#include "transfer_files.h"
#include "transfer_place.h"

#include "core/log.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <openssl/evp.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel {

namespace {
const QString kPartPrefix = QStringLiteral(".zkpart-");

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

// ---- Sha256 ------------------------------------------------------------------

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr); }
Sha256::~Sha256() { EVP_MD_CTX_free(ctx_); }
void Sha256::add(QByteArrayView bytes) { EVP_DigestUpdate(ctx_, bytes.data(), size_t(bytes.size())); }
QString Sha256::hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_DigestFinal_ex(ctx_, digest, &size);
  return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), int(size)).toHex());
}

// ---- SourceFile --------------------------------------------------------------

std::optional<SourceFile::Stamp> SourceFile::stampOf(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return Stamp{qint64(st.st_size), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, quint64(st.st_ino)};
}

std::unique_ptr<SourceFile> SourceFile::open(const QString& path, qint64 size, QString* why, bool* changed) {
  auto file = std::unique_ptr<SourceFile>(new SourceFile);
  file->file_.setFileName(path);
  if (!file->file_.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
    *why = file->file_.errorString();
    return nullptr;
  }
  const auto stamp = stampOf(file->file_.handle());
  if (!stamp || stamp->size != size) {
    *why = QStringLiteral("the file changed before it could be sent");
    *changed = true;
    return nullptr;
  }
  file->stamp_ = *stamp;
  file->size_ = size;
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
  hash_.add(bytes);
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
  return hash_.hex();
}

QString SourceFile::changeOf(const std::optional<Stamp>& now) const {
  if (now && now->size > stamp_.size) return QStringLiteral("the file grew while it was sent");
  if (now && now->size < stamp_.size) return QStringLiteral("the file shrank while it was sent");
  return QStringLiteral("the file changed while it was sent");
}

// ---- SinkFile ----------------------------------------------------------------

QString SinkFile::partName(const QString& xid, qint64 index) {
  return kPartPrefix + QStringLiteral("%1-%2-%3").arg(QCoreApplication::applicationPid()).arg(xidTag(xid)).arg(index);
}

std::unique_ptr<SinkFile> SinkFile::create(const QString& dir, const QString& xid, qint64 index, QString* why) {
  auto file = std::unique_ptr<SinkFile>(new SinkFile);
  const QString path = QDir(dir).filePath(partName(xid, index));
  QFile::remove(path);
  file->file_.setFileName(path);
  file->path_ = path;
  // A new file, never one planted under the temporary name.
  if (!file->file_.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
    *why = file->file_.errorString();
    file->kept_ = true;  // nothing of ours to remove
    return nullptr;
  }
  return file;
}

SinkFile::~SinkFile() {
  if (file_.isOpen()) file_.close();
  if (!kept_ && !removed_.exchange(true)) QFile::remove(path_);
}

void SinkFile::discard() {
  if (!removed_.exchange(true)) QFile::remove(path_);
}

bool SinkFile::write(QByteArrayView bytes) {
  if (file_.write(bytes.data(), bytes.size()) != bytes.size()) return false;
  hash_.add(bytes);
  written_ += bytes.size();
  // Start writing what has arrived to the disk while the rest arrives, so the
  // sync before the rename has little left to do.
  if (written_ - flushed_ >= kWriteBehindBytes) {
    ::sync_file_range(file_.handle(), flushed_, written_ - flushed_, SYNC_FILE_RANGE_WRITE);
    flushed_ = written_;
  }
  return true;
}

void SinkFile::commit(std::unique_ptr<SinkFile> file, qint64 size, const QString& sha256, const QString& dest,
                      bool replace, QObject* context, Committed done) {
  commit(std::shared_ptr<SinkFile>(std::move(file)), size, sha256, dest, replace, context, std::move(done));
}

void SinkFile::commit(std::shared_ptr<SinkFile> shared, qint64 size, const QString& sha256, const QString& dest,
                      bool replace, QObject* context, Committed done) {
  if (shared->written_ != size) {
    shared->discard();
    return done(QStringLiteral("the size does not match"), false);
  }
  if (shared->hash_.hex() != sha256) {
    shared->discard();
    return done(QStringLiteral("the content does not match its checksum"), false);
  }
  struct Placed {
    QString why;
    bool renamed = false;
  };
  QtConcurrent::run(&syncPool(), [shared, dest, replace]() -> Placed {
    // The data reaches the disk before the name does.
    if (::fsync(shared->file_.handle()) != 0) return {QStringLiteral("cannot sync to disk")};
    shared->file_.close();
    const QFileInfo target(dest);
    const int dir = ::open(QFile::encodeName(target.path()).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return {QStringLiteral("cannot rename into place")};
    int error = 0;
    const auto placed = placeFile(dir, QFileInfo(shared->path_).fileName(), target.fileName(), replace, &error);
    ::close(dir);
    if (!placed) return {QStringLiteral("cannot rename into place")};
    shared->kept_ = true;
    return {QString(), *placed != target.fileName()};
  }).then(context, [done](const Placed& placed) { done(placed.why, placed.renamed); });
}

// ---- stale partial files ----------------------------------------------------------

void removeStalePartials(const QStringList& dirs) {
  for (const QString& dir : dirs) {
    QDirIterator it(dir, {kPartPrefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden | QDir::System);
    while (it.hasNext()) {
      const QString path = it.next();
      const QStringList parts = it.fileName().mid(kPartPrefix.size()).split(QLatin1Char('-'));
      bool isPid = false;
      const qint64 pid = parts.value(0).toLongLong(&isPid);
      // This process removes its own partial files itself; another's stay
      // while that process runs.
      const bool running =
          isPid && parts.size() == 3 && pid > 0 &&
          (pid == QCoreApplication::applicationPid() || ::kill(pid_t(pid), 0) == 0 || errno == EPERM);
      if (!running && QFile::remove(path)) zlog::parts(QStringLiteral("Vantrel - removed a partial file left behind:"), path);
    }
  }
}

}  // namespace vantrel
