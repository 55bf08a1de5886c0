// Feeds arbitrary frames to the bridge process's two readers: the frames of
// its local client and the operations arriving from the relay. One input is a
// sequence of lines; a line starting with 'C' is a client frame, with 'R' a
// relay operation, so that the fuzzer can open sessions and then use them.
// Every web request goes to a closed loopback proxy: nothing leaves the machine.
#include "bridge.h"
#include "wire.h"

#include <QCoreApplication>
#include <QDir>
#include <QNetworkProxy>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static QTemporaryDir home;
  qputenv("HOME", home.path().toUtf8());
  qputenv("ZARKELO_SERVICE_HOST", "127.0.0.1:1");
  static QCoreApplication app(*argc, *argv);
  QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), 1));
  std::fflush(stdout);
  if (std::FILE* null = std::fopen("/dev/null", "w")) ::dup2(::fileno(null), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const QString credentials = QDir::home().filePath(QStringLiteral("credential.json"));
  vantrel::Bridge bridge{vantrel::CredentialStore(credentials)};
  const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
  for (const QByteArray& line : bytes.split('\n')) {
    if (line.isEmpty()) continue;
    const QByteArray body = line.mid(1);
    if (line[0] == 'C') {
      emit bridge.clientPort()->textReceived(QString::fromUtf8(body));
    } else if (line[0] == 'R') {
      if (const auto op = vantrel::parseJson(body); op && op->is_object()) emit bridge.serviceLink()->opReceived(*op);
    }
  }
  QCoreApplication::processEvents();
  return 0;
}
