#include "core/post_back.h"

#include <QThread>

namespace postback {

std::shared_ptr<QObject> mailbox() {
  return std::shared_ptr<QObject>(new QObject, [](QObject* box) {
    if (box->thread() == QThread::currentThread())
      delete box;  // drops any call still queued for it
    else
      box->deleteLater();  // after the calls queued before it
  });
}

}  // namespace postback
