// Waiting request/reply round trips through the request layer against a
// stand-in bridge on loopback, compared with a bare WebSocket echo of a frame
// of the same size in the same run. The stand-ins run on their own thread, as
// the bridge runs in its own process.
#include "bridge/bridge_link.h"
#include "bridge/env.h"
#include "bridge/p2p_client_msg.h"
#include "bridge/payloads.h"
#include "support/ratio_main.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QWebSocket>
#include <QWebSocketServer>

#include <atomic>
#include <functional>
#include <vector>

namespace {

using Responder = std::function<QString(const QString&)>;

// A WebSocket endpoint on its own thread that answers every text frame.
class Endpoint {
 public:
  explicit Endpoint(Responder respond) {
    thread_.start();
    server_ = new QWebSocketServer(QStringLiteral("bench"), QWebSocketServer::NonSecureMode);
    server_->moveToThread(&thread_);
    QMetaObject::invokeMethod(
        server_,
        [this, respond] {
          server_->listen(QHostAddress::LocalHost, 0);
          port_ = server_->serverPort();
          QObject::connect(server_, &QWebSocketServer::newConnection, server_, [this, respond] {
            while (QWebSocket* client = server_->nextPendingConnection())
              QObject::connect(client, &QWebSocket::textMessageReceived, client,
                               [client, respond](const QString& text) { client->sendTextMessage(respond(text)); });
          });
        },
        Qt::BlockingQueuedConnection);
  }
  ~Endpoint() {
    QMetaObject::invokeMethod(server_, [this] { delete server_; }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
  }
  quint16 port() const { return port_; }

 private:
  QThread thread_;
  QWebSocketServer* server_ = nullptr;
  std::atomic<quint16> port_{0};
};

// The stand-in bridge: answers a "P2PClientControl" request with a "P2PCLIENT"
// reply under the request's token. It finds the token by a plain search, so
// that the time measured is the client's, not the stand-in's.
QString bridgeReply(const QString& frame) {
  static const QString key = QStringLiteral("\"Token\":\"");
  const qsizetype start = frame.indexOf(key) + key.size();
  const QString token = frame.mid(start, frame.indexOf(QLatin1Char('"'), start) - start);
  return QStringLiteral(R"({"Code":"P2PCLIENT","Data":"{\"Token\":\"%1\",\"Msg\":\"ok\"}"})").arg(token);
}

bool waitFor(const std::function<bool()>& done) {
  QEventLoop loop;
  for (int i = 0; i < 5000 && !done(); ++i) {
    loop.processEvents(QEventLoop::AllEvents, 1);
    QThread::usleep(100);
  }
  return done();
}

void BM_BareEcho(benchmark::State& state) {
  Endpoint echo([](const QString& text) { return text; });
  QWebSocket socket;
  socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(echo.port())));
  if (!waitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; })) {
    state.SkipWithError("echo endpoint not reached");
    return;
  }
  // A frame of the size of a request written by the layer.
  const QString frame = QString(260, QLatin1Char('x'));
  QEventLoop loop;
  QObject::connect(&socket, &QWebSocket::textMessageReceived, &loop, [&loop] { loop.quit(); });
  for (auto _ : state) {
    socket.sendTextMessage(frame);
    loop.exec();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_LayerRoundTrip(benchmark::State& state) {
  Endpoint bridge(bridgeReply);
  Env::EnvMode = 1;
  Env::BridgePort = bridge.port();
  ConnectBridge();
  if (!waitFor([] { return Env::BridgeConnected; })) {
    state.SkipWithError("bridge endpoint not reached");
    return;
  }
  QEventLoop loop;
  for (auto _ : state) {
    P2PClientMsg::SendMsgToP2PClient(QStringLiteral("PingBridge"), BlankMsg{}, true,
                                     [&loop](const std::optional<vex::Json>&) { loop.quit(); });
    loop.exec();
  }
  state.SetItemsProcessed(state.iterations());
  bridgelink::dropSocket();
  Env::BridgeConnected = false;
}

BENCHMARK(BM_BareEcho)->UseRealTime()->MinTime(1.0)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_LayerRoundTrip)->UseRealTime()->MinTime(1.0)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  // Interleave the repetitions so that a busy machine weighs on both alike.
  std::vector<char*> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  int count = int(args.size());
  return benchsupport::runWithRatios(
      count, args.data(),
      {{"BM_LayerRoundTrip/min_time:1.000/repeats:5/real_time_median",
        "BM_BareEcho/min_time:1.000/repeats:5/real_time_median",
        "layer round trip / bare echo, median time per round trip (target <= 2)"}});
}
