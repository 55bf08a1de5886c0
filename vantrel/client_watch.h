// Whether the bridge still has its client. The client is gone once its
// connection closed and no client came back within kGraceMs, and at once when
// the client process that started the bridge has ended (watched through a
// pidfd, or by the parent id where pidfds are missing).
#pragma once

#include "client_port.h"
#include "core/process_handle.h"

#include <QObject>
#include <QTimer>

class QSocketNotifier;

namespace vantrel {

class ClientWatch : public QObject {
  Q_OBJECT
 public:
  static constexpr int kGraceMs = 5000;

  explicit ClientWatch(ClientPort* port, QObject* parent = nullptr);

  // Watches the client process `pid`, which started this bridge and so must
  // be its parent: a parent that is already another process means the client
  // ended before the watch began, and gone() follows at once.
  void watchParent(qint64 pid);

 signals:
  void gone(const QString& why);

 private:
  void parentEnded();

  ClientPort* port_;
  QTimer grace_;
  QTimer parentPoll_;
  ProcessHandle parent_;
  QSocketNotifier* parentNotifier_ = nullptr;
  qint64 parentPid_ = 0;
  bool parentGone_ = false;
};

}  // namespace vantrel
