#include "relay_process_fixture.h"

#include "support/test_util.h"

#include <QElapsedTimer>
#include <QFile>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>

namespace relaytest {

RelayClient::RelayClient(const QSslConfiguration& tls) {
  socket.setSslConfiguration(tls);
  socket.setMaxAllowedIncomingMessageSize(64 * 1024 * 1024);
  socket.setMaxAllowedIncomingFrameSize(64 * 1024 * 1024);
  QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString& text) {
    frames.push_back(json::parse(text.toStdString(), nullptr, false));
  });
  QObject::connect(&socket, &QWebSocket::binaryMessageReceived,
                   [this](const QByteArray& message) { binaries.push_back(message); });
  QObject::connect(&socket, &QWebSocket::disconnected, [this] { closed = true; });
}

bool RelayClient::open(const QString& url) {
  socket.open(QUrl(url));
  return testutil::waitUntil([this] { return socket.state() == QAbstractSocket::ConnectedState || closed; }) &&
         !closed;
}

void RelayClient::send(const json& frame) { socket.sendTextMessage(QString::fromStdString(frame.dump())); }

json RelayClient::next(std::chrono::milliseconds timeout) {
  if (!testutil::waitUntil([this] { return !frames.empty(); }, timeout)) return nullptr;
  auto frame = frames.front();
  frames.erase(frames.begin());
  return frame;
}

QByteArray RelayClient::nextBinary(std::chrono::milliseconds timeout) {
  if (!testutil::waitUntil([this] { return !binaries.empty(); }, timeout)) return {};
  auto message = binaries.front();
  binaries.erase(binaries.begin());
  return message;
}

bool RelayClient::quiet(int ms) {
  testutil::waitUntil([] { return false; }, std::chrono::milliseconds(ms));
  return frames.empty() && binaries.empty();
}

qint64 RelayClient::pingMs(std::chrono::milliseconds timeout) {
  QElapsedTimer clock;
  clock.start();
  send({{"op", "ping"}});
  for (;;) {
    auto it = std::find_if(frames.begin(), frames.end(), [](const json& f) { return f.value("op", "") == "pong"; });
    if (it != frames.end()) {
      frames.erase(it);
      return clock.elapsed();
    }
    if (clock.elapsed() > timeout.count() || closed) return -1;
    testutil::waitUntil([&] { return !frames.empty(); }, 5ms);
  }
}

bool RawRelayClient::open(quint16 port, const QSslConfiguration& tls) {
  socket.setSslConfiguration(tls);
  socket.setReadBufferSize(64 * 1024);
  socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
  if (!testutil::waitUntil([this] { return socket.isEncrypted(); })) return false;
  socket.write("GET /relay HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
  if (!testutil::waitUntil([this] {
        buffer += socket.readAll();
        return buffer.contains("\r\n\r\n");
      }))
    return false;
  if (!buffer.startsWith("HTTP/1.1 101")) return false;
  buffer.remove(0, buffer.indexOf("\r\n\r\n") + 4);
  return true;
}

QByteArray RawRelayClient::frameHeader(int opcode, quint64 declared) {
  QByteArray out(1, char(0x80 | opcode));
  if (declared < 126) {
    out += char(0x80 | declared);
  } else if (declared < 65536) {
    out += char(0x80 | 126);
    out += char(declared >> 8);
    out += char(declared & 0xff);
  } else {
    out += char(0x80 | 127);
    for (int shift = 56; shift >= 0; shift -= 8) out += char((declared >> shift) & 0xff);
  }
  return out + QByteArray(4, '\0');
}

void RawRelayClient::sendText(const json& frame) {
  const QByteArray payload = QByteArray::fromStdString(frame.dump());
  socket.write(frameHeader(1, quint64(payload.size())) + payload);
}

void RawRelayClient::pump() {
  buffer += socket.readAll();
  for (;;) {
    if (buffer.size() < 2) return;
    const auto* p = reinterpret_cast<const uchar*>(buffer.constData());
    const bool fin = p[0] & 0x80;
    const int opcode = p[0] & 0x0f;
    quint64 length = p[1] & 0x7f;
    qsizetype at = 2;
    if (length == 126) {
      if (buffer.size() < 4) return;
      length = (quint64(p[2]) << 8) | p[3];
      at = 4;
    } else if (length == 127) {
      if (buffer.size() < 10) return;
      length = 0;
      for (int i = 0; i < 8; ++i) length = (length << 8) | p[2 + i];
      at = 10;
    }
    if (quint64(buffer.size() - at) < length) return;
    const QByteArray payload = buffer.mid(at, qsizetype(length));
    buffer.remove(0, at + qsizetype(length));
    if (opcode == 1 || opcode == 2) partialOpcode = opcode;
    if (opcode == 0 || opcode == 1 || opcode == 2) {
      partial += payload;
      if (fin) {
        if (partialOpcode == 2)
          binaries.push_back(partial);
        else
          texts.push_back(partial.toStdString());
        partial.clear();
      }
    }
  }
}

bool RawRelayClient::waitText(const std::string& part, std::chrono::milliseconds timeout) {
  return testutil::waitUntil(
      [&] {
        pump();
        return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(part) != std::string::npos; });
      },
      timeout);
}

void RelayProcess::SetUp() {
  ASSERT_TRUE(service.addAnnAndBob());
  ASSERT_TRUE(service.addAccount(QStringLiteral("carol@example.com"), QStringLiteral("carol-pass"), QStringLiteral("Carol"),
                                 QStringLiteral("carol-host")));
  ASSERT_TRUE(service.start());
  tls = QSslConfiguration::defaultConfiguration();
  tls.addCaCertificates(QSslCertificate::fromPath(service.caFile()));
}

void RelayProcess::TearDown() { service.child().stop(); }

QString RelayProcess::relayUrl() const { return QStringLiteral("wss://") + service.host() + QStringLiteral("/relay"); }

json RelayProcess::login(const json& body) {
  QNetworkRequest request(QUrl(service.siteBase() + QStringLiteral("/api2/bridge/login")));
  request.setSslConfiguration(tls);
  request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
  QNetworkReply* reply = net.post(request, QByteArray::fromStdString(body.dump()));
  testutil::waitUntil([reply] { return reply->isFinished(); }, 15s);
  const json answer = json::parse(reply->readAll().toStdString(), nullptr, false);
  reply->deleteLater();
  return answer;
}

std::unique_ptr<RelayClient> RelayProcess::online(const std::string& id, const std::string& password,
                                                  const std::string& credential) {
  json body{{"Id_acc", id}, {"Password", password}};
  if (!credential.empty()) body["Credential"] = credential;
  const json session = login(body);
  auto client = std::make_unique<RelayClient>(tls);
  EXPECT_TRUE(client->open(relayUrl()));
  client->token = session.value("Token", "");
  client->send({{"op", "hello"}, {"Token", client->token}});
  const json ready = client->next();
  EXPECT_EQ(ready["op"], "ready") << ready.dump();
  client->clientId = session.value("ClientID", "");
  return client;
}

std::unique_ptr<RawRelayClient> RelayProcess::onlineRaw(const std::string& email, const std::string& password,
                                                        std::string* clientId) {
  const json session = login({{"Id_acc", email}, {"Password", password}});
  auto client = std::make_unique<RawRelayClient>();
  EXPECT_TRUE(client->open(QUrl(relayUrl()).port(), tls));
  client->sendText({{"op", "hello"}, {"Token", session.value("Token", "")}});
  EXPECT_TRUE(client->waitText("\"ready\""));
  if (clientId) *clientId = session.value("ClientID", "");
  return client;
}

std::string RelayProcess::connect(RelayClient& caller, RelayClient& host, const std::string& hostname) {
  caller.send({{"op", "connect"}, {"ref", "r"}, {"hostname", hostname}, {"tag", "t"}});
  const json toCaller = caller.next();
  EXPECT_EQ(toCaller["op"], "session") << toCaller.dump();
  const json toHost = host.next();
  EXPECT_EQ(toHost["op"], "session") << toHost.dump();
  return toCaller.value("Session", "");
}

qint64 RelayProcess::serviceRssKb() {
  QFile status(QStringLiteral("/proc/%1/status").arg(service.child().process().processId()));
  if (!status.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLongLong();
  return -1;
}

}  // namespace relaytest
