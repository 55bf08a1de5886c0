// Gives the heap's freed memory back to the system while the bridge runs.
// The bridge keeps freed chunks for reuse during a transfer (main.cpp), and
// every worker thread's arena keeps its own: over hours of transfers on
// changing threads, or once a flood of peers' big answers has gone, the freed
// but kept pages add up. Every few seconds, when the resident set has grown
// by more than a little since the last trim, or the heap's free space has
// grown by more than a little above its lowest since then (what a burst took
// and gave back while the resident set stood at its height), malloc_trim
// hands the free pages of all arenas back; an idle bridge is left alone.
#pragma once

#include <QObject>
#include <QTimer>

namespace vantrel {

class HeapRelease : public QObject {
 public:
  static constexpr int kIntervalMs = 5 * 1000;
  static constexpr qint64 kSlackBytes = 1024 * 1024;
  static constexpr qint64 kFreedSlackBytes = 8 * 1024 * 1024;

  explicit HeapRelease(QObject* parent = nullptr);
  // Trims now when the resident set lies more than the slack above its level
  // after the last trim, or the heap's free space more than its slack above
  // its lowest since; true when it trimmed.
  bool releaseIfGrown();

 private:
  QTimer timer_;
  qint64 level_ = 0;    // the resident set after the last trim (or at start)
  qint64 freeLow_ = 0;  // the heap's least free space seen since then
};

// The process's resident set in bytes, or -1 when unknown.
qint64 residentBytes();
// Free space the heap keeps, all arenas together, in bytes.
qint64 freeHeapBytes();

}  // namespace vantrel
