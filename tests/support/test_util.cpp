#include "support/test_util.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

namespace testutil {

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeout.count()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(1);
  }
  return true;
}

QString binDir() { return QStringLiteral(ZARKELO_BIN_DIR); }
QString sourceDir() { return QStringLiteral(ZARKELO_SOURCE_DIR); }

}  // namespace testutil
