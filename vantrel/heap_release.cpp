#include "heap_release.h"

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

HeapRelease::HeapRelease(QObject* parent) : QObject(parent), level_(residentBytes()) {
  timer_.setTimerType(Qt::VeryCoarseTimer);
  connect(&timer_, &QTimer::timeout, this, [this] { releaseIfGrown(); });
  timer_.start(kIntervalMs);
}

bool HeapRelease::releaseIfGrown() {
  const qint64 now = residentBytes();
  if (now < 0 || now <= level_ + kSlackBytes) return false;
  ::malloc_trim(0);
  level_ = residentBytes();
  return true;
}

}  // namespace vantrel
