// The progress records the client polls, built from a transfer's counters.
#pragma once

#include "transfer_task.h"

#include <QElapsedTimer>
#include <QHash>

#include <array>
#include <deque>
#include <optional>

namespace vantrel {

// The download, upload and send record ("TransTaskProgress"); an empty
// record (zeros, no size) without a task.
Json progressOf(const TaskPtr& task);
// The receiving side's record of a send ("ReceiveStatus").
Json receiveStatusOf(const TaskPtr& task);

// The last records of sessions that ended, for a client that polls once
// more after the end: nothing else of their tasks is kept. At most
// kMaxSessions sessions, each for kKeepMs.
class EndedRecords {
 public:
  static constexpr int kMaxSessions = 64;
  static constexpr qint64 kKeepMs = 2 * 60 * 1000;
  enum Kind { Download, Upload, Receive };

  EndedRecords() { clock_.start(); }
  void keep(const QString& session, Kind kind, Json record);
  std::optional<Json> find(const QString& session, Kind kind) const;
  void forget(const QString& session, Kind kind) {
    if (const auto it = kept_.find(session); it != kept_.end()) it->records[kind].reset();
  }

 private:
  struct Kept {
    std::array<std::optional<Json>, 3> records;
    qint64 at = 0;
  };
  QElapsedTimer clock_;
  QHash<QString, Kept> kept_;
  std::deque<QString> order_;  // oldest first
};

}  // namespace vantrel
