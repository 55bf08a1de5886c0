#include "support/test_util.h"

#include "support/event_wait.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QThread>

#include <gtest/gtest.h>

namespace testutil {

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  return testsupport::spinEventsUntil(done, timeout);
}

bool comesWithin(const std::function<bool()>& done, std::chrono::milliseconds time) {
  return testsupport::spinEventsWithin(done, time);
}

void idleFor(std::chrono::milliseconds time) { testsupport::spinEventsFor(time); }

QString binDir() { return QStringLiteral(ZARKELO_BIN_DIR); }
QString sourceDir() { return QStringLiteral(ZARKELO_SOURCE_DIR); }

QByteArray randomBytes(qsizetype size) {
  QByteArray bytes(size, Qt::Uninitialized);
  const qsizetype words = size / 4;
  QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(bytes.data()), words);
  for (qsizetype i = words * 4; i < size; ++i) bytes[i] = char(QRandomGenerator::global()->bounded(256));
  return bytes;
}

void writeFile(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).absolutePath());
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
    ADD_FAILURE() << "cannot write " << path.toStdString();
}

QByteArray readFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QStringList filesBelow(const QString& dir) {
  QStringList found;
  QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
  while (it.hasNext()) found.append(QDir(dir).relativeFilePath(it.next()));
  found.sort();
  return found;
}

}  // namespace testutil
