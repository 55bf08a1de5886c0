#include "heap_release.h"

#include <algorithm>
#include <cstdio>

#include <malloc.h>
#include <unistd.h>

namespace vantrel {

qint64 residentBytes() {
  // statm's second field: resident pages.
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (!statm) return -1;
  long long size = 0, resident = 0;
  const bool read = std::fscanf(statm, "%lld %lld", &size, &resident) == 2;
  std::fclose(statm);
  return read ? qint64(resident) * qint64(::sysconf(_SC_PAGESIZE)) : -1;
}

namespace {
// What the heap holds for the program (its chunks in use, and those mapped whole).
qint64 heapHeld() {
  const struct mallinfo2 info = ::mallinfo2();
  return qint64(info.uordblks + info.hblkhd);
}
}  // namespace

HeapRelease::HeapRelease(QObject* parent) : QObject(parent), level_(residentBytes()), height_(heapHeld()) {
  timer_.setTimerType(Qt::VeryCoarseTimer);
  connect(&timer_, &QTimer::timeout, this, [this] { releaseIfGrown(); });
  timer_.start(kIntervalMs);
}

bool HeapRelease::releaseIfGrown() {
  const qint64 now = residentBytes();
  const qint64 held = heapHeld();
  height_ = std::max(height_, held);
  if (now < 0 || (now <= level_ + kSlackBytes && held >= height_ - kFallenBytes)) return false;
  ::malloc_trim(0);
  level_ = residentBytes();
  height_ = heapHeld();
  return true;
}

}  // namespace vantrel
