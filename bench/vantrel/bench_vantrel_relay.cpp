// Relayed request/reply round trips: client link -> bridge -> service ->
// bridge -> peer client and back, with the service and both bridges running
// as processes on loopback. Baseline: a direct WebSocket echo in this process.
#include "support/ratio_main.h"
#include "support/started_once.h"

#include "vantrel_harness.h"

#include <QCoreApplication>
#include <QWebSocketServer>

#include <cstdio>
#include <memory>

using namespace vantreltest;

namespace {

template <class Done>
void spin(Done done) {
  while (!done()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

const Json kPayload = {{"tag", "docs"}, {"pass", ""}, {"isweb", 0}};

struct Relay : LinkedPair {
  bool start() {
    return LinkedPair::start(
        [](const QString&, const Json&) -> Json { return {{"data", Json::array({{{"tag", "docs"}}})}}; });
  }
};

void BM_RelayedRoundTrip(benchmark::State& state) {
  Relay* r = benchsupport::startedOnce<Relay>("relay");
  if (!r) {
    state.SkipWithError("relay setup failed");
    return;
  }
  for (auto _ : state) {
    r->peer.request(r->session, QStringLiteral("getShareInfo"), kPayload);
    spin([r] { return !r->peer.inbox().empty(); });
    r->peer.inbox().clear();
  }
  state.SetItemsProcessed(state.iterations());
}

struct Echo {
  QWebSocketServer server{QStringLiteral("echo"), QWebSocketServer::NonSecureMode};
  QWebSocket client;
  int received = 0;

  bool start() {
    if (!server.listen(QHostAddress::LocalHost, 0)) return false;
    QObject::connect(&server, &QWebSocketServer::newConnection, &server, [this] {
      QWebSocket* socket = server.nextPendingConnection();
      QObject::connect(socket, &QWebSocket::textMessageReceived, socket,
                       [socket](const QString& text) { socket->sendTextMessage(text); });
    });
    QObject::connect(&client, &QWebSocket::textMessageReceived, &client, [this](const QString&) { ++received; });
    client.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(server.serverPort())));
    return spinUntil([this] { return client.state() == QAbstractSocket::ConnectedState; });
  }
};

void BM_DirectEchoRoundTrip(benchmark::State& state) {
  static Echo echo;
  static const bool started = echo.start();
  if (!started) {
    state.SkipWithError("echo setup failed");
    return;
  }
  // A frame of the size a relayed request has on the client's link.
  const QString frame = QString::fromStdString(
      Json{{"VType", "WinContrlSet->"}, {"Msg", {{"Code", "WSDC"}, {"Data", {{"Session", "C-0000000000|C-1111111111"},
                                                                           {"Code", "getShareInfo"},
                                                                           {"Token", "ClientWSDC0123456789-0000"},
                                                                           {"Data", kPayload}}}}}}
          .dump());
  for (auto _ : state) {
    const int before = echo.received;
    echo.client.sendTextMessage(frame);
    spin([before] { return echo.received > before; });
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_RelayedRoundTrip)->UseRealTime();
BENCHMARK(BM_DirectEchoRoundTrip)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  return benchsupport::runWithRatios(
      argc, argv,
      {{"BM_RelayedRoundTrip/real_time", "BM_DirectEchoRoundTrip/real_time", "relayed round trip / direct WebSocket echo round trip"}});
}
