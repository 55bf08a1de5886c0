// The bridge's WebSocket client to the relay: against Qt's WebSocket server
// (a real peer), and against a raw TLS server that answers the upgrade and
// then sends broken frames.
#include "net/relay_socket.h"

#include "common/net/tls_socket.h"
#include "common/tls/tls_identity.h"
#include "support/test_util.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <gtest/gtest.h>

#include <memory>

#include <unistd.h>

using namespace vantrel;
using testutil::waitUntil;

namespace {

struct Authority {
  ztls::Identity ca;
  ztls::Identity server;
};

Authority makeAuthority() {
  QString error;
  const auto ca = ztls::makeSelfSigned({QStringLiteral("test ca"), {}, 30, true}, &error);
  EXPECT_TRUE(ca) << error.toStdString();
  const auto server = ztls::makeSigned(*ca, {QStringLiteral("relay"), {QStringLiteral("127.0.0.1")}, 30, false}, &error);
  EXPECT_TRUE(server) << error.toStdString();
  return {*ca, *server};
}

QSslConfiguration serverTls(const ztls::Identity& identity) {
  QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
  tls.setLocalCertificate(QSslCertificate(identity.certificatePem, QSsl::Pem));
  tls.setPrivateKey(QSslKey(identity.keyPem, QSsl::Ec, QSsl::Pem, QSsl::PrivateKey));
  tls.setPeerVerifyMode(QSslSocket::VerifyNone);
  return tls;
}

QByteArray randomBytes(qsizetype size) {
  QByteArray bytes(size, Qt::Uninitialized);
  for (auto& b : bytes) b = char(QRandomGenerator::global()->bounded(256));
  return bytes;
}

// A client and what it heard.
struct Client {
  explicit Client(qint64 limit = 16 * 1024 * 1024) : socket(limit) {
    QObject::connect(&socket, &RelaySocket::connected, [this] { connected = true; });
    QObject::connect(&socket, &RelaySocket::textMessageReceived, [this](const QString& t) { texts << t; });
    QObject::connect(&socket, &RelaySocket::binaryMessageReceived, [this](const QByteArray& b) { binaries << b; });
    QObject::connect(&socket, &RelaySocket::disconnected, [this] { ++disconnects; });
  }
  RelaySocket socket;
  bool connected = false;
  QStringList texts;
  QList<QByteArray> binaries;
  int disconnects = 0;
};

TEST(RelaySocket, MaskedCopyMatchesTheByteWiseRule) {
  const quint8 key[4] = {0x12, 0xA5, 0x00, 0xFF};
  const QByteArray data = randomBytes(77);
  for (int phase = 0; phase < 4; ++phase)
    for (qsizetype size = 0; size <= data.size(); ++size) {
      QByteArray out(size, Qt::Uninitialized);
      znet::ws::maskCopy(out.data(), data.constData(), size, key, phase);
      for (qsizetype i = 0; i < size; ++i)
        ASSERT_EQ(quint8(out[i]), quint8(data[i]) ^ key[(phase + i) % 4]) << "size " << size << " phase " << phase;
    }
}

TEST(RelaySocket, TalksWithAWebSocketServerAndKeepsItsLimits) {
  const Authority authority = makeAuthority();
  QWebSocketServer server(QStringLiteral("relay"), QWebSocketServer::SecureMode);
  server.setSslConfiguration(serverTls(authority.server));
  ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
  QWebSocket* peer = nullptr;
  QList<QByteArray> received;
  QStringList receivedTexts;
  bool ponged = false;
  QObject::connect(&server, &QWebSocketServer::newConnection, [&] {
    peer = server.nextPendingConnection();
    peer->setParent(&server);  // the caller owns it
    QObject::connect(peer, &QWebSocket::binaryMessageReceived, [&](const QByteArray& b) { received << b; });
    QObject::connect(peer, &QWebSocket::textMessageReceived, [&](const QString& t) { receivedTexts << t; });
    QObject::connect(peer, &QWebSocket::pong, [&] { ponged = true; });
  });
  const auto trust = znet::TlsContext::verifyingClient({authority.ca.certificatePem});
  const QString host = QStringLiteral("127.0.0.1:%1").arg(server.serverPort());

  Client client(4 * 1024 * 1024);
  client.socket.open(host, QStringLiteral("/relay"), trust);
  ASSERT_TRUE(waitUntil([&] { return client.connected && peer; }));

  // Masked by us, read by a strict peer: the bytes arrive exactly.
  const QByteArray head = randomBytes(61);
  const QByteArray body = randomBytes(3 * 1024 * 1024 + 7);
  client.socket.sendText(QStringLiteral("héllo"));
  client.socket.sendBinary(head, body);
  client.socket.sendBinary(QByteArray(), QByteArray("x"));
  ASSERT_TRUE(waitUntil([&] { return received.size() == 2; }));
  EXPECT_EQ(receivedTexts, QStringList{QStringLiteral("héllo")});
  EXPECT_TRUE(received[0] == head + body);
  EXPECT_EQ(received[1], QByteArray("x"));

  // Its messages, in frames of its own size, and its pings.
  peer->setOutgoingFrameSize(64 * 1024);
  peer->sendBinaryMessage(body);
  peer->sendTextMessage(QStringLiteral("ready"));
  peer->ping("p");
  ASSERT_TRUE(waitUntil([&] { return client.binaries.size() == 1 && client.texts.size() == 1 && ponged; }));
  EXPECT_TRUE(client.binaries[0] == body);
  EXPECT_EQ(client.texts[0], QStringLiteral("ready"));

  // A message above the limit ends the connection; nothing of it is delivered.
  peer->sendBinaryMessage(randomBytes(5 * 1024 * 1024));
  ASSERT_TRUE(waitUntil([&] { return client.disconnects == 1; }));
  EXPECT_EQ(client.binaries.size(), 1);
  EXPECT_TRUE(client.socket.errorString().contains(QStringLiteral("too large")));

  // A certificate from another authority is refused before anything is sent.
  const Authority other = makeAuthority();
  Client stranger;
  stranger.socket.open(host, QStringLiteral("/relay"), znet::TlsContext::verifyingClient({other.ca.certificatePem}));
  ASSERT_TRUE(waitUntil([&] { return stranger.disconnects == 1; }));
  EXPECT_FALSE(stranger.connected);
  EXPECT_TRUE(stranger.socket.errorString().contains(QStringLiteral("not trusted")));
}

// Answers the upgrade (or not) and then writes whatever the test gives it.
class RawServer : public QSslServer {
 public:
  explicit RawServer(const ztls::Identity& identity) {
    setSslConfiguration(serverTls(identity));
    connect(this, &QSslServer::pendingConnectionAvailable, this, [this] {
      socket = qobject_cast<QSslSocket*>(nextPendingConnection());
      connect(socket, &QSslSocket::readyRead, this, [this] {
        request += socket->readAll();
        if (!request.contains("\r\n\r\n") || answered) return;
        answered = true;
        QByteArray key;
        for (const QByteArray& line : request.split('\n'))
          if (line.toLower().startsWith("sec-websocket-key:")) key = line.mid(18).trimmed();
        const QByteArray accept =
            QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", QCryptographicHash::Sha1).toBase64();
        socket->write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                      "Sec-WebSocket-Accept: " + (wrongAccept ? QByteArray("bm90IGl0") : accept) + "\r\n\r\n" + after);
      });
    });
  }
  QSslSocket* socket = nullptr;
  QByteArray request;
  QByteArray after;  // sent right after the upgrade answer
  bool answered = false;
  bool wrongAccept = false;
};

TEST(RelaySocket, BrokenFramesFromTheServerEndTheConnection) {
  const Authority authority = makeAuthority();
  const auto trust = znet::TlsContext::verifyingClient({authority.ca.certificatePem});
  const QByteArray good = QByteArray("\x82\x02", 2) + "ok";
  struct Case {
    const char* what;
    QByteArray bytes;
    bool wrongAccept = false;
  };
  const Case cases[] = {
      {"masked", QByteArray("\x82\x82\x01\x02\x03\x04", 6) + "ab"},
      {"reserved bits", QByteArray("\xC2\x02", 2) + "ab"},
      {"continuation first", QByteArray("\x80\x02", 2) + "ab"},
      {"unknown opcode", QByteArray("\x83\x02", 2) + "ab"},
      {"long control frame", QByteArray("\x89\x7E\x00\x7E", 4) + QByteArray(126, 'p')},
      {"fragmented control frame", QByteArray("\x09\x01", 2) + "p"},
      {"new message inside another", QByteArray("\x02\x01", 2) + "a" + QByteArray("\x82\x01", 2) + "b"},
      {"huge length", QByteArray("\x82\x7F\x7F\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 10)},
      {"wrong accept", {}, true},
  };
  for (const Case& c : cases) {
    RawServer server(authority.server);
    server.after = good + c.bytes;
    server.wrongAccept = c.wrongAccept;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    Client client;
    client.socket.open(QStringLiteral("127.0.0.1:%1").arg(server.serverPort()), QStringLiteral("/relay"), trust);
    ASSERT_TRUE(waitUntil([&] { return client.disconnects == 1; })) << c.what;
    EXPECT_FALSE(client.socket.errorString().isEmpty()) << c.what;
    // What came before the fault was delivered; nothing after it.
    EXPECT_EQ(client.binaries, c.wrongAccept ? QList<QByteArray>{} : QList<QByteArray>{QByteArray("ok")}) << c.what;
    EXPECT_TRUE(server.request.startsWith("GET /relay HTTP/1.1\r\n")) << c.what;
  }
}

}  // namespace

// A channel that closes after its writes, both run on a worker thread (the
// bridge's) and on the event loop (the service's), says all it was given and
// then closes while the peer stays silent: not at the peer's next byte.
TEST(TlsChannels, CloseAfterWritesEndsTheConnectionWhileThePeerIsSilent) {
  const Authority authority = makeAuthority();
  QString why;
  const auto context = znet::TlsContext::server(authority.server.certificatePem, authority.server.keyPem, &why);
  ASSERT_TRUE(context) << why.toStdString();
  for (const bool onLoop : {false, true}) {
    QTcpServer listener;
    ASSERT_TRUE(listener.listen(QHostAddress::LocalHost, 0));
    std::unique_ptr<znet::TlsChannel> worker;
    std::unique_ptr<znet::TlsSocket> loop;
    const QByteArray goodbye = randomBytes(300 * 1024);
    QObject::connect(&listener, &QTcpServer::newConnection, [&] {
      QTcpSocket* accepted = listener.nextPendingConnection();
      const qintptr fd = accepted->socketDescriptor();
      accepted->setParent(nullptr);
      // The descriptor changes hands: the Qt socket lets go of it.
      const int own = ::dup(int(fd));
      delete accepted;
      if (onLoop) {
        loop = std::make_unique<znet::TlsSocket>();
        loop->accept(own, context);
        loop->write(goodbye);
        loop->closeAfterWrites();
      } else {
        worker = std::make_unique<znet::TlsChannel>();
        worker->accept(own, context);
        worker->write(goodbye);
        worker->closeAfterWrites();
      }
    });
    QSslSocket client;
    client.setPeerVerifyMode(QSslSocket::VerifyNone);
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), listener.serverPort());
    QByteArray heard;
    QObject::connect(&client, &QIODevice::readyRead, [&] { heard += client.readAll(); });
    EXPECT_TRUE(waitUntil([&] { return client.state() == QAbstractSocket::UnconnectedState; }, std::chrono::seconds(5)))
        << (onLoop ? "on the event loop" : "on a worker");
    EXPECT_EQ(heard, goodbye);
  }
}
