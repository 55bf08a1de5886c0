// Hands the free pages of the service's heaps back to the system once what a
// flood took has gone. glibc keeps memory freed by a thread in that thread's
// arena (only the top of a heap goes back by itself), so after the connection
// loops served a flood the service would keep its size for good. One measure
// is watched (bytes waiting in the relay, connections at the front door): once
// it has fallen by `drop` from its height since the last trim, the heaps are
// trimmed. Used on one thread.
#pragma once

#include <QtGlobal>

namespace kelvor {

class HeapTrim {
 public:
  explicit HeapTrim(qint64 drop) : drop_(drop) {}
  // The measure's height since the last check and its value now.
  void check(qint64 peak, qint64 now);

 private:
  qint64 drop_;
  qint64 mark_ = 0;  // the height since the heaps were last trimmed
};

}  // namespace kelvor
