// The progress records the client polls, built from a transfer's counters.
#pragma once

#include "transfer_task.h"

#include <QElapsedTimer>
#include <QHash>

#include <optional>

namespace vantrel {

// The download, upload and send record ("TransTaskProgress"); an empty
// record (zeros, no size) without a task.
Json progressOf(const TaskPtr& task);
// The receiving side's record of a send ("ReceiveStatus").
Json receiveStatusOf(const TaskPtr& task);

// The last records of sessions that ended, for the client that polls them
// after the end: nothing else of their tasks is kept. A record stays until
// its end has been read and for readKeepMs after that (a poll already on its
// way reads it too); at most kMaxRecords are kept, those already read going
// first, then the oldest.
class EndedRecords {
 public:
  static constexpr int kMaxRecords = 256;
  static constexpr qint64 kReadKeepMs = 2 * 60 * 1000;
  enum Kind { Download, Upload, Receive };

  EndedRecords() { clock_.start(); }
  // `read`: the client has read this end already.
  void keep(const QString& session, Kind kind, Json record, bool read);
  // The record, which now counts as read.
  std::optional<Json> find(const QString& session, Kind kind);
  void forget(const QString& session, Kind kind) { kept_.remove(keyOf(session, kind)); }
  void setReadKeepMs(qint64 ms) { readKeepMs_ = ms; }

 private:
  struct Kept {
    Json record;
    quint64 order = 0;   // when it was kept, among the others
    qint64 readAt = -1;  // -1: not read yet
  };
  static QString keyOf(const QString& session, Kind kind) { return QString::number(kind) + QLatin1Char(' ') + session; }
  void drop(qint64 now);
  QElapsedTimer clock_;
  qint64 readKeepMs_ = kReadKeepMs;
  quint64 keptCount_ = 0;
  QHash<QString, Kept> kept_;
};

}  // namespace vantrel
