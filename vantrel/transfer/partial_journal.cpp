#include "partial_journal.h"

#include "core/beneath.h"
#include "core/file_names.h"
#include "core/log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QRandomGenerator>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel {

namespace {

QMutex& journalLock() {
  static QMutex lock;
  return lock;
}

QString& journalFolder() {
  static QString folder;
  return folder;
}

// This process's journal, opened for appending on first use.
beneath::Fd& journal() {
  static beneath::Fd fd;
  return fd;
}

QString journalName(qint64 pid, const QString& tag) {
  return QStringLiteral("partials-%1-%2.journal").arg(pid).arg(tag);
}

// The path the kernel gives an open folder now.
QByteArray pathOf(int fd) {
  QByteArray target(4096, Qt::Uninitialized);
  const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
  const ssize_t n = ::readlink(link.constData(), target.data(), size_t(target.size()));
  if (n <= 0 || n >= target.size()) return {};
  target.truncate(n);
  return target;
}

bool running(qint64 pid) {
  return pid > 0 && (pid == QCoreApplication::applicationPid() || ::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

// Removes the files one journal lists: each only where its folder is still the
// folder that was written down, and only under a name of that bridge's own.
void removeListed(const QString& journalPath, const QString& tag) {
  QFile file(journalPath);
  if (!file.open(QIODevice::ReadOnly)) return;
  const QByteArray prefix = QByteArray(kPartialFilePrefix) + tag.toLatin1() + '-';
  while (!file.atEnd()) {
    // device:inode of the folder, its path, the file's name; tab-separated.
    const QList<QByteArray> fields = file.readLine(8192).trimmed().split('\t');
    if (fields.size() != 3 || !fields[2].startsWith(prefix) || fields[2].contains('/')) continue;
    const beneath::Fd folder = beneath::openRoot(QFile::decodeName(fields[1]));
    struct stat st {};
    if (!folder || ::fstat(folder.get(), &st) != 0 ||
        QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino)) != fields[0])
      continue;
    if (::unlinkat(folder.get(), fields[2].constData(), 0) == 0)
      zlog::parts(QStringLiteral("Vantrel - removed a partial file left behind:"),
                  QFile::decodeName(fields[1] + '/' + fields[2]));
  }
}

}  // namespace

void setPartialJournalFolder(const QString& folder) {
  const QMutexLocker locker(&journalLock());
  journalFolder() = folder;
  journal() = beneath::Fd();
}

QString partialTag() {
  static const QString tag = [] {
    const quint64 bits = QRandomGenerator::system()->generate64();
    return QString::number(bits, 36);
  }();
  return tag;
}

bool recordPartial(int folderFd, const QByteArray& name) {
  const QMutexLocker locker(&journalLock());
  if (journalFolder().isEmpty()) return true;  // nothing is ever cleaned up, nothing to write down
  if (!journal()) {
    QDir().mkpath(journalFolder());
    const QString path = journalFolder() + QLatin1Char('/') + journalName(QCoreApplication::applicationPid(), partialTag());
    journal() = beneath::Fd(
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!journal()) return false;
  }
  struct stat st {};
  if (::fstat(folderFd, &st) != 0) return false;
  const QByteArray line = QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino)) +
                          '\t' + pathOf(folderFd) + '\t' + name + '\n';
  if (line.count('\t') != 2 || line.count('\n') != 1) return false;  // a name or path that the journal cannot hold
  return ::write(journal().get(), line.constData(), size_t(line.size())) == line.size();
}

void removeStalePartials() {
  QString folder;
  {
    const QMutexLocker locker(&journalLock());
    folder = journalFolder();
  }
  if (folder.isEmpty()) return;
  const QStringList journals =
      QDir(folder).entryList({QStringLiteral("partials-*.journal")}, QDir::Files | QDir::Hidden);
  for (const QString& name : journals) {
    // partials-PID-TAG.journal
    const QStringList parts = name.chopped(int(sizeof(".journal") - 1)).split(QLatin1Char('-'));
    bool isPid = false;
    const qint64 pid = parts.value(1).toLongLong(&isPid);
    if (parts.size() != 3 || !isPid || running(pid)) continue;
    removeListed(folder + QLatin1Char('/') + name, parts[2]);
    QFile::remove(folder + QLatin1Char('/') + name);
  }
}

}  // namespace vantrel
