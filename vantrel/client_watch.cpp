#include "client_watch.h"

#include "core/log.h"

#include <QSocketNotifier>

#include <unistd.h>

namespace vantrel {

namespace {
constexpr int kParentPollMs = 500;
}

ClientWatch::ClientWatch(ClientPort* port, QObject* parent) : QObject(parent), port_(port) {
  grace_.setSingleShot(true);
  grace_.setInterval(kGraceMs);
  connect(&grace_, &QTimer::timeout, this, [this] { emit gone(QStringLiteral("the client did not come back")); });
  // A newer connection replacing the current one closes and opens in one go:
  // the grace starts and stops again.
  connect(port_, &ClientPort::clientDisconnected, this, [this] {
    if (!port_->hasClient()) grace_.start();
  });
  connect(port_, &ClientPort::clientConnected, &grace_, &QTimer::stop);
  parentPoll_.setInterval(kParentPollMs);
  connect(&parentPoll_, &QTimer::timeout, this, [this] {
    if (qint64(::getppid()) != parentPid_) parentEnded();
  });
}

void ClientWatch::watchParent(qint64 pid) {
  parentPid_ = pid;
  if (pid > 0 && qint64(::getppid()) == pid) {
    parent_ = ProcessHandle(pid);
    // Still the parent once the handle is held: the handle is on the client,
    // not on a process that took its id after it ended.
    if (parent_.isValid() && qint64(::getppid()) == pid) {
      if (parent_.fd() >= 0) {
        parentNotifier_ = new QSocketNotifier(qintptr(parent_.fd()), QSocketNotifier::Read, this);
        connect(parentNotifier_, &QSocketNotifier::activated, this, &ClientWatch::parentEnded);
      } else {
        parentPoll_.start();
      }
      return;
    }
  }
  QMetaObject::invokeMethod(this, &ClientWatch::parentEnded, Qt::QueuedConnection);
}

void ClientWatch::parentEnded() {
  if (parentGone_) return;
  parentGone_ = true;
  parentPoll_.stop();
  if (parentNotifier_) parentNotifier_->setEnabled(false);
  emit gone(QStringLiteral("the client process ended"));
}

}  // namespace vantrel
