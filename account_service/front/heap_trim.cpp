#include "heap_trim.h"

#include <algorithm>

#include <malloc.h>

namespace kelvor {

void HeapTrim::check(qint64 peak, qint64 now) {
  mark_ = std::max(mark_, peak);
  if (mark_ - now < drop_) return;
  malloc_trim(0);
  mark_ = now;
}

}  // namespace kelvor
