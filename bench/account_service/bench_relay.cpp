// Password checks, and round trips through the service's relay (bridge A -> service -> bridge B and
// back) against a direct TLS WebSocket echo on the same machine.
#include "support/ratio_main.h"

#include "certificates.h"
#include "kelvor_server.h"
#include "password_hash.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QWebSocketServer>

#include <nlohmann/json.hpp>

#include <optional>

#include <memory>

namespace {

QSslConfiguration clientTls(const QString& dataDir) {
  QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
  tls.addCaCertificates(QSslCertificate::fromPath(dataDir + QStringLiteral("/ca.pem")));
  return tls;
}

// Runs the event loop until `done` holds.
template <class Done>
void spin(Done done) {
  while (!done()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void sendJson(QWebSocket& socket, const nlohmann::json& frame) {
  socket.sendTextMessage(QString::fromStdString(frame.dump()));
}

struct RelaySetup {
  QTemporaryDir dir;
  kelvor::KelvorServer server;
  QWebSocket a, b;
  std::string session;
  nlohmann::json lastA;
  int receivedA = 0;

  // The login token of a sign-in; passwords are checked on the service's worker pool.
  nlohmann::json signIn(const QByteArray& body) {
    std::optional<nlohmann::json> token;
    server.core().login(body, QStringLiteral("bench"),
                        [&token](const kelvor::Reply& reply) { token = reply.body.value("Token", nlohmann::json()); });
    spin([&] { return token.has_value(); });
    return token.value_or(nlohmann::json());
  }

  bool start() {
    QString error;
    {
      kelvor::AccountStore store;
      if (!store.open(dir.path(), &error)) return false;
      store.addAccount({QStringLiteral("a@x.org"), QStringLiteral("pw"), QStringLiteral("A"), QStringLiteral("ha"), QString()},
                       &error);
      store.addAccount({QStringLiteral("b@x.org"), QStringLiteral("pw"), QStringLiteral("B"), QStringLiteral("hb"), QString()},
                       &error);
    }
    if (!server.start(dir.path(), QHostAddress::LocalHost, 0, &error)) return false;
    const nlohmann::json tokenA = signIn(R"({"Id_acc":"a@x.org","Password":"pw"})");
    const nlohmann::json tokenB = signIn(R"({"Id_acc":"b@x.org","Password":"pw"})");
    const QUrl url(QStringLiteral("wss://127.0.0.1:") + QString::number(server.port()) + QStringLiteral("/relay"));
    std::vector<nlohmann::json> framesB;
    for (QWebSocket* s : {&a, &b}) s->setSslConfiguration(clientTls(dir.path()));
    QObject::connect(&a, &QWebSocket::textMessageReceived, [this](const QString& text) {
      lastA = nlohmann::json::parse(text.toStdString(), nullptr, false);
      ++receivedA;
    });
    // B answers every relayed frame with the same frame.
    QObject::connect(&b, &QWebSocket::textMessageReceived, [this](const QString& text) {
      const auto frame = nlohmann::json::parse(text.toStdString(), nullptr, false);
      if (frame.value("op", "") == "relay")
        sendJson(b, {{"op", "relay"}, {"Session", frame["Session"]}, {"frame", frame["frame"]}});
    });
    a.open(url);
    b.open(url);
    spin([&] { return a.state() == QAbstractSocket::ConnectedState && b.state() == QAbstractSocket::ConnectedState; });
    int readyBefore = receivedA;
    sendJson(a, {{"op", "hello"}, {"Token", tokenA}});
    sendJson(b, {{"op", "hello"}, {"Token", tokenB}});
    spin([&] { return receivedA > readyBefore; });
    QCoreApplication::processEvents();
    readyBefore = receivedA;
    sendJson(a, {{"op", "connect"}, {"ref", "r"}, {"hostname", "hb"}, {"tag", "t"}});
    spin([&] { return receivedA > readyBefore; });
    session = lastA.value("Session", "");
    return !session.empty();
  }
};

nlohmann::json samplePayload() {
  return {{"Code", "WSDC"},
          {"Msg", {{"Token", "P2PClient-000123"}, {"Data", std::string(200, 'x')}, {"IsProcessOnBridge", "NO"}}}};
}

void BM_RelayRoundTrip(benchmark::State& state) {
  RelaySetup setup;
  if (!setup.start()) {
    state.SkipWithError("service did not start");
    return;
  }
  const nlohmann::json frame{{"op", "relay"}, {"Session", setup.session}, {"frame", samplePayload()}};
  for (auto _ : state) {
    const int before = setup.receivedA;
    sendJson(setup.a, frame);
    spin([&] { return setup.receivedA > before; });
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_DirectEchoRoundTrip(benchmark::State& state) {
  QTemporaryDir dir;
  QString error;
  const auto tls = kelvor::ensureCertificates(dir.path(), &error);
  if (!tls) {
    state.SkipWithError("no certificates");
    return;
  }
  QWebSocketServer echo(QStringLiteral("echo"), QWebSocketServer::SecureMode);
  echo.setSslConfiguration(*tls);
  echo.listen(QHostAddress::LocalHost, 0);
  QObject::connect(&echo, &QWebSocketServer::newConnection, [&echo] {
    QWebSocket* peer = echo.nextPendingConnection();
    QObject::connect(peer, &QWebSocket::textMessageReceived, peer,
                     [peer](const QString& text) { peer->sendTextMessage(text); });
  });
  QWebSocket client;
  client.setSslConfiguration(clientTls(dir.path()));
  int received = 0;
  QObject::connect(&client, &QWebSocket::textMessageReceived, [&received](const QString&) { ++received; });
  client.open(QUrl(QStringLiteral("wss://127.0.0.1:") + QString::number(echo.serverPort()) + QStringLiteral("/")));
  spin([&] { return client.state() == QAbstractSocket::ConnectedState; });
  const nlohmann::json frame{{"op", "relay"}, {"Session", "Ca|Cb"}, {"frame", samplePayload()}};
  for (auto _ : state) {
    const int before = received;
    sendJson(client, frame);
    spin([&] { return received > before; });
  }
  state.SetItemsProcessed(state.iterations());
}

// The cost of one e-mail sign-in's password check (PBKDF2-SHA256).
void BM_PasswordVerify(benchmark::State& state) {
  const QString record = kelvor::hashPassword(QStringLiteral("secret"));
  for (auto _ : state) benchmark::DoNotOptimize(kelvor::verifyPassword(QStringLiteral("secret"), record));
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_PasswordVerify)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DirectEchoRoundTrip)->MinTime(1.0);
BENCHMARK(BM_RelayRoundTrip)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  return benchsupport::runWithRatios(
      argc, argv,
      {{"BM_RelayRoundTrip/min_time:1.000", "BM_DirectEchoRoundTrip/min_time:1.000",
        "relayed round trip / direct echo round trip"}});
}
