// Gives the heap's freed memory back to the system while the bridge runs.
// The bridge keeps freed chunks for reuse during a transfer (main.cpp), and
// every worker thread's arena keeps its own: over hours of transfers on
// changing threads the freed but kept pages add up. Every few seconds, when
// the resident set has grown by more than a little since the last trim, or
// the heap holds much less than at its height since then (a flood of peers'
// work has ended), malloc_trim hands the free pages of all arenas back; an
// idle bridge is left alone.
#pragma once

#include <QObject>
#include <QTimer>

namespace vantrel {

class HeapRelease : public QObject {
 public:
  static constexpr int kIntervalMs = 5 * 1000;
  static constexpr qint64 kSlackBytes = 1024 * 1024;
  static constexpr qint64 kFallenBytes = 8 * 1024 * 1024;

  explicit HeapRelease(QObject* parent = nullptr);
  // Trims now when the resident set lies more than the slack above its level
  // after the last trim, or what the heap holds has fallen by kFallenBytes
  // from its height since; true when it trimmed.
  bool releaseIfGrown();

 private:
  QTimer timer_;
  qint64 level_ = 0;  // the resident set after the last trim (or at start)
  qint64 height_ = 0;  // the most the heap held since then
};

// The process's resident set in bytes, or -1 when unknown.
qint64 residentBytes();

}  // namespace vantrel
