// A peer's transfers as its client starts them through its bridge (this
// process on a client link, in an open session), each followed to its end by
// polling the bridge's progress record; and whether a copy arrived whole.
#pragma once

#include "vantrel_harness.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <QDirIterator>

#include <functional>
#include <optional>

namespace benchsupport {

using vantreltest::ClientLink;
using vantreltest::Json;
using namespace std::chrono_literals;

// Polls a progress record until its task ends: "" when it finished, else why
// not. `stop` ends the wait early.
inline QString followTask(const std::function<std::optional<Json>()>& poll, const std::function<bool()>& stop = {}) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < 10 * 60 * 1000) {
    if (stop && stop()) return QStringLiteral("stopped");
    const auto reply = poll();
    if (!reply) return QStringLiteral("no progress record");
    if (vantrel::intOf(*reply, "TaskStatus") == 1) return {};
    if (vantrel::intOf(*reply, "ForceCancel") == 1) return QStringLiteral("ended: ") + vantrel::textOf(*reply, "Reason");
    vantreltest::spinUntil([] { return false; }, 20ms);
  }
  return QStringLiteral("still running after 10 minutes");
}

// `target` on the host into the peer's folder `save`.
inline QString downloadThrough(ClientLink& peer, const QString& session, const QString& target, const QString& save,
                               const std::function<bool()>& stop = {}) {
  if (!peer.waitReply(peer.control(QStringLiteral("Trans3_FC_00_CallStart"), {{"Session", session.toStdString()},
                                                                              {"Targets", target.toStdString()},
                                                                              {"SaveAtLocalFolder", save.toStdString()}}),
                      10s))
    return QStringLiteral("no answer to the start");
  return followTask(
      [&] {
        return peer.waitReply(
            peer.control(QStringLiteral("Trans3_FC_TransTaskInfo"), {{"Session", session.toStdString()}}), 10s);
      },
      stop);
}

// The peer's `target` into the host's folder `into`; its progress is the
// sending side's own record, answered by its bridge.
inline QString uploadThrough(ClientLink& peer, const QString& session, const QString& target, const QString& into,
                             const std::function<bool()>& stop = {}) {
  if (!peer.waitReply(peer.control(QStringLiteral("Trans2_FS_00_CallStart"), {{"Session", session.toStdString()},
                                                                              {"Targets", target.toStdString()},
                                                                              {"RemotePathRoot", into.toStdString()}}),
                      30s))
    return QStringLiteral("no answer to the start");
  static int polls = 0;
  return followTask(
      [&] {
        const QString token = QStringLiteral("ClientWSDCBench-%1").arg(++polls);
        peer.send(QStringLiteral("WSDC"),
                  {{"Session", session.toStdString()}, {"Code", "RemoteUploadTaskInfo"}, {"Token", token.toStdString()},
                   {"IsProcessOnBridge", "YES"},
                   {"Data", {{"Session", session.toStdString()}, {"IsProcessOnBridge", "YES"}}}},
                  false);
        auto frame = peer.waitFor(
            [&](const ClientLink::Frame& f) { return vantrel::textOf(f.data, "Token") == token; }, 10s);
        return frame ? std::optional<Json>(vantrel::valueOf(frame->data, "Msg")) : std::nullopt;
      },
      stop);
}

// Same size, and the same bytes when `bytes` is set.
inline bool sameFile(const QString& source, const QString& copy, bool bytes) {
  if (!QFileInfo(copy).isFile() || QFileInfo(copy).size() != QFileInfo(source).size()) return false;
  if (!bytes) return true;
  QFile a(source), b(copy);
  if (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly)) return false;
  while (!a.atEnd())
    if (a.read(4 << 20) != b.read(4 << 20)) return false;
  return true;
}

// Every file below `from` is in `to` (the same by sameFile), and nothing
// else is there. `from` may be one file.
inline bool sameTree(const QString& from, const QString& to, bool bytes) {
  if (QFileInfo(from).isFile()) return sameFile(from, to, bytes);
  qint64 files = 0;
  QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString source = it.next();
    ++files;
    if (!sameFile(source, to + source.mid(from.size()), bytes)) return false;
  }
  qint64 copies = 0;
  QDirIterator c(to, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (c.hasNext()) c.next(), ++copies;
  return files > 0 && copies == files;
}

}  // namespace benchsupport
