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

qint64 freeHeapBytes() { return qint64(::mallinfo2().fordblks); }

HeapRelease::HeapRelease(QObject* parent) : QObject(parent), level_(residentBytes()), freeLow_(freeHeapBytes()) {
  timer_.setTimerType(Qt::VeryCoarseTimer);
  connect(&timer_, &QTimer::timeout, this, [this] { releaseIfGrown(); });
  timer_.start(kIntervalMs);
}

bool HeapRelease::releaseIfGrown() {
  const qint64 now = residentBytes();
  const qint64 free = freeHeapBytes();
  freeLow_ = std::min(freeLow_, free);
  const bool grown = now >= 0 && now > level_ + kSlackBytes;
  if (!grown && free <= freeLow_ + kFreedSlackBytes) return false;
  ::malloc_trim(0);
  level_ = residentBytes();
  freeLow_ = freeHeapBytes();
  return true;
}

}  // namespace vantrel
