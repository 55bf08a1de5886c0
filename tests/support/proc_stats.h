// What /proc tells of a running process: its children by name, its resident
// set and its processor time. For the tests and benchmarks that measure what
// a real client, bridge or helper costs.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QString>

#include <unistd.h>

namespace procstats {

// The fields of /proc/`pid`/stat after the process name ("pid (comm) state
// ppid ..."; the name may hold blanks, so split after its last ')'), and the name.
inline QList<QByteArray> statFields(qint64 pid, QByteArray* name = nullptr) {
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (pid <= 0 || !stat.open(QIODevice::ReadOnly)) return {};
  const QByteArray text = stat.readAll();
  const qsizetype open = text.indexOf('(');
  const qsizetype close = text.lastIndexOf(')');
  if (open < 0 || close < open) return {};
  if (name) *name = text.mid(open + 1, close - open - 1);
  return text.mid(close + 2).split(' ');
}

// The running (not ended) children of `pid` whose process name begins with
// `name` (names are cut to 15 characters).
inline QList<qint64> childrenNamed(qint64 pid, const QByteArray& name) {
  QList<qint64> children;
  for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    bool numeric = false;
    const qint64 child = entry.toLongLong(&numeric);
    if (!numeric) continue;
    QByteArray comm;
    const QList<QByteArray> rest = statFields(child, &comm);
    if (rest.size() < 2 || rest[0] == "Z" || !comm.startsWith(name.left(15))) continue;
    if (rest[1].toLongLong() == pid) children.append(child);
  }
  return children;
}

// Process `pid`'s resident set in KiB (VmRSS), or -1.
inline qint64 residentKiB(qint64 pid) {
  QFile status(QStringLiteral("/proc/%1/status").arg(pid));
  if (pid <= 0 || !status.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLongLong();
  return -1;
}

// Processor time (user and system) in milliseconds that `pid` spent itself,
// or with `reapedChildren` that its ended and reaped children spent; -1 when
// it is not there.
inline qint64 processorMs(qint64 pid, bool reapedChildren = false) {
  const QList<QByteArray> rest = statFields(pid);
  if (rest.size() < 15) return -1;
  const int first = reapedChildren ? 13 : 11;
  return (rest[first].toLongLong() + rest[first + 1].toLongLong()) * 1000 / ::sysconf(_SC_CLK_TCK);
}

}  // namespace procstats
