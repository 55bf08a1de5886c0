// A TLS connection on its worker thread, end to end over loopback: a large
// send, whose socket writes move to a sender thread, arrives whole and before
// the close; a peer that stops reading and then goes away ends the sending
// side with a reason, and neither side hangs.
#include "common/net/tls_channel.h"
#include "common/tls/tls_identity.h"
#include "support/descriptor_listener.h"
#include "support/test_util.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTimer>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using testutil::waitUntil;

namespace {

using Listener = testsupport::DescriptorListener;

struct Pair {
  Pair() {
    QString error;
    const auto identity = ztls::makeSelfSigned({QStringLiteral("peer"), {QStringLiteral("127.0.0.1")}, 30, false}, &error);
    EXPECT_TRUE(identity) << error.toStdString();
    context = znet::TlsContext::server(identity->certificatePem, identity->keyPem, &error);
    EXPECT_TRUE(context) << error.toStdString();
    EXPECT_TRUE(listener.listen(QHostAddress::LocalHost));
    listener.accepted = [this](qintptr descriptor) {
      server = std::make_unique<znet::TlsChannel>();
      QObject::connect(server.get(), &znet::TlsChannel::closed, [this](const QString& why) {
        serverClosed = true;
        serverWhy = why;
      });
      server->accept(descriptor, context);
    };
    QObject::connect(&client, &znet::TlsChannel::readyRead, [this] {
      if (reading) received += client.readAll();
    });
    QObject::connect(&client, &znet::TlsChannel::closed, [this](const QString& why) {
      clientClosed = true;
      clientWhy = why;
      received += client.readAll();
      receivedAtClose = received.size();
    });
    client.connectTo(QStringLiteral("127.0.0.1"), listener.serverPort());
    EXPECT_TRUE(waitUntil([this] { return client.isEncrypted() && server && server->isEncrypted(); }));
  }

  std::shared_ptr<znet::TlsContext> context;
  Listener listener;
  std::unique_ptr<znet::TlsChannel> server;
  znet::TlsChannel client;
  bool reading = true;
  QByteArray received;
  qsizetype receivedAtClose = -1;
  bool serverClosed = false, clientClosed = false;
  QString serverWhy, clientWhy;
};

QByteArray randomBytes(qsizetype size) {
  QByteArray bytes(size, Qt::Uninitialized);
  QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
  return bytes;
}

// Queues 32 MiB for a peer that takes one read and then nothing, and returns
// once 4 MiB are on their way: more than the sender holds and the peer took,
// so some wait unread in the peer's socket (its leaving is then a reset, not
// an orderly end), and far less than what is queued.
void backUpTowardAPeerThatNeverReads(Pair& pair) {
  pair.reading = false;
  pair.client.setReadBufferSize(1);
  const QByteArray piece = randomBytes(1024 * 1024);
  for (int i = 0; i < 32; ++i) pair.server->write(piece);
  ASSERT_TRUE(waitUntil([&] { return pair.server->bytesToWrite() <= 28 * piece.size(); }));
}

TEST(TlsChannel, ALargeSendArrivesWholeAndInOrderBeforeTheClose) {
  Pair pair;
  // A slow reader: the sending side backs up, and still holds bytes when
  // everything queued has been encrypted and the close is due.
  pair.reading = false;
  pair.client.setReadBufferSize(256 * 1024);
  QTimer reader;
  QObject::connect(&reader, &QTimer::timeout, [&] { pair.received += pair.client.readAll(); });
  reader.start(5);
  QByteArray sent;
  for (int i = 0; i < 24; ++i) {
    const QByteArray piece = randomBytes(1024 * 1024 + 4 * i);
    sent += piece;
    pair.server->write(piece);
  }
  pair.server->closeAfterWrites();
  ASSERT_TRUE(waitUntil([&] { return pair.clientClosed && pair.serverClosed; }, std::chrono::seconds(60)));
  EXPECT_EQ(pair.clientWhy, QString());
  EXPECT_EQ(pair.serverWhy, QString());
  EXPECT_EQ(pair.receivedAtClose, sent.size());
  EXPECT_TRUE(pair.received == sent);
}

TEST(TlsChannel, APeerThatStopsReadingAndLeavesEndsTheSenderWithAReason) {
  Pair pair;
  ASSERT_NO_FATAL_FAILURE(backUpTowardAPeerThatNeverReads(pair));
  pair.server->closeAfterWrites();  // waits for a reader that never comes
  QTest::qWait(200);
  EXPECT_FALSE(pair.serverClosed) << pair.serverWhy.toStdString();
  pair.client.abort();
  ASSERT_TRUE(waitUntil([&] { return pair.serverClosed; }));
  EXPECT_FALSE(pair.serverWhy.isEmpty());
}

TEST(TlsChannel, AbortWhileThePeerNeverReadsReturnsAtOnce) {
  Pair pair;
  ASSERT_NO_FATAL_FAILURE(backUpTowardAPeerThatNeverReads(pair));
  QTest::qWait(300);  // the writes are blocked on the full socket by now
  pair.server->closeAfterWrites();
  QElapsedTimer timer;
  timer.start();
  pair.server.reset();
  EXPECT_LT(timer.elapsed(), 2000);
}

}  // namespace
