// A TCP listener for tests that run their own TLS on accepted sockets: each
// socket is handed over as it is, before Qt reads from it.
#pragma once

#include <QTcpServer>

#include <functional>

namespace testsupport {

class DescriptorListener : public QTcpServer {
 public:
  std::function<void(qintptr)> accepted;

 protected:
  void incomingConnection(qintptr descriptor) override { accepted(descriptor); }
};

}  // namespace testsupport
