#include "core/log.h"

#include <cstdio>
#include <mutex>

namespace zlog {

void line(const QString& text) {
  static std::mutex mutex;
  const QByteArray bytes = text.toUtf8();
  std::lock_guard lock(mutex);
  std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace zlog
