// The local-network route in one process: the host's listener and the peer's
// client on 127.0.0.1 with a fresh certificate, the capability rules, the
// choice of addresses, and the certificate helper they stand on.
#include "lan/lan_addresses.h"
#include "lan/lan_capabilities.h"
#include "lan/lan_client.h"
#include "lan/lan_listener.h"
#include "lan/transfer_lan.h"

#include "transfer/transfer_files.h"
#include "common/net/tls_channel.h"
#include "common/tls/tls_identity.h"
#include "support/descriptor_listener.h"
#include "support/test_util.h"
#include "support/unclear_framings.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSslKey>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

using namespace vantrel;
using testutil::randomBytes;
using testutil::readFile;
using testutil::waitUntil;
using testutil::writeFile;

namespace {

// Collects a file in memory; `finish` checks the digest as the engine's sink does.
// A granted file of this machine, read by its path.
LanCapabilities::File localFile(const QString& path, qint64 size) {
  return {TransferEntry{QString(), size, false, path}, size};
}

struct MemorySink : LanFileSink {
  QByteArray* out;
  bool* finished;
  MemorySink(QByteArray* o, bool* f) : out(o), finished(f) {}
  bool write(QByteArrayView bytes, const QByteArray&) override {
    out->append(bytes);
    return true;
  }
  void finish(const lan::Digest& digest, Kept kept) override {
    FileSum hash(SumKind::Sha256);
    hash.add(*out);
    if (digest.label != "sha-256" || hash.hex().toLatin1() != digest.bytes.toHex()) return kept(QStringLiteral("digest differs"));
    *finished = true;
    kept(QString());
  }
};

QSslConfiguration serverTls(const ztls::Identity& identity) {
  QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
  tls.setLocalCertificate(QSslCertificate(identity.certificatePem, QSsl::Pem));
  tls.setPrivateKey(QSslKey(identity.keyPem, QSsl::Ec, QSsl::Pem, QSsl::PrivateKey));
  return tls;
}

ztls::Identity freshIdentity() {
  QString error;
  const auto identity = ztls::makeSelfSigned({QStringLiteral("test"), {QStringLiteral("127.0.0.1")}, 30, false}, &error);
  EXPECT_TRUE(identity) << error.toStdString();
  return identity.value_or(ztls::Identity{});
}

const QString kSession = QStringLiteral("C-1|C-2");

class LanRoute : public ::testing::Test {
 protected:
  void SetUp() override {
    listener = std::make_unique<LanListener>(serverTls(freshIdentity()));
    QString error;
    ASSERT_TRUE(listener->start(QHostAddress::LocalHost, 0, &error)) << error.toStdString();
    listener->capabilities().setClock([this] { return clock; });
    xid = QUuid::createUuid().toString(QUuid::WithoutBraces);
  }

  LanClient::Target target(const QString& capability) const {
    return {listener->url(), listener->fingerprint(), capability, kSession, xid};
  }

  struct Outcome {
    bool ended = false, ok = false, reached = false;
    QString why;
  };
  Outcome fetch(LanClient& client, qint64 index, qint64 size, QByteArray* out, bool* finished) {
    Outcome o;
    client.get(index, size, std::make_unique<MemorySink>(out, finished), [&](bool ok, bool reached, const QString& why) {
      o = {true, ok, reached, why};
    });
    waitUntil([&] { return o.ended; }, std::chrono::seconds(20));
    return o;
  }
  Outcome send(LanClient& client, qint64 index, const QString& path, qint64 size) {
    Outcome o;
    client.put(index, path, size, [&](bool ok, bool reached, const QString& why) { o = {true, ok, reached, why}; });
    waitUntil([&] { return o.ended; }, std::chrono::seconds(20));
    return o;
  }

  // A TLS 1.2 handshake with the listener offering only `cipher`; true when it completes.
  bool handshakeWith(const QString& cipher) {
    QSslSocket socket;
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    config.setProtocol(QSsl::TlsV1_2);
    const QSslCipher only(cipher);
    EXPECT_FALSE(only.isNull()) << cipher.toStdString();
    config.setCiphers({only});
    socket.setSslConfiguration(config);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), listener->serverPort());
    waitUntil([&] { return socket.isEncrypted() || socket.state() == QAbstractSocket::UnconnectedState; });
    return socket.isEncrypted();
  }

  // One raw request over TLS; the status of the answer (0 when none came).
  int raw(const QByteArray& request) {
    QSslSocket socket;
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), listener->serverPort());
    if (!waitUntil([&] { return socket.isEncrypted(); })) return 0;
    socket.write(request);
    QByteArray answer;
    waitUntil([&] {
      answer += socket.readAll();
      return answer.contains("\r\n\r\n") || socket.state() != QAbstractSocket::ConnectedState;
    });
    return answer.startsWith("HTTP/1.1 ") ? answer.mid(9, 3).toInt() : 0;
  }
  // Everything the listener sends until it closes the connection.
  QByteArray untilClosed(const QByteArray& bytes) {
    QSslSocket socket;
    socket.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), listener->serverPort());
    if (!waitUntil([&] { return socket.isEncrypted(); })) return {};
    socket.write(bytes);
    QByteArray answer;
    EXPECT_TRUE(waitUntil([&] {
      answer += socket.readAll();
      return socket.state() != QAbstractSocket::ConnectedState;
    }));
    return answer + socket.readAll();
  }
  QByteArray requestFor(const QByteArray& method, const QByteArray& target, const QString& capability,
                        const QString& session = kSession, const QByteArray& extra = {}) {
    return method + ' ' + target + " HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + capability.toLatin1() +
           "\r\nX-Zarkelo-Session: " + session.toUtf8() + "\r\n" + extra + "\r\n";
  }

  qint64 clock = 1000;
  QTemporaryDir dir;
  std::unique_ptr<LanListener> listener;
  QString xid;
};

TEST_F(LanRoute, DownloadsAndUploadsArriveByteExactOverOneConnection) {
  const QByteArray big = randomBytes(3 * 1024 * 1024 + 17);
  writeFile(dir.filePath(QStringLiteral("big.bin")), big);
  writeFile(dir.filePath(QStringLiteral("empty")), {});
  const QString cap = listener->capabilities().issue(
      kSession, xid, LanCapabilities::Method::Get,
      {{0, localFile(dir.filePath(QStringLiteral("big.bin")), big.size())}, {4, localFile(dir.filePath(QStringLiteral("empty")), 0)}});
  LanClient client(target(cap));
  qint64 progressed = 0;
  client.setProgress([&](qint64 n) { progressed += n; });
  QByteArray got;
  bool finished = false;
  const Outcome first = fetch(client, 0, big.size(), &got, &finished);
  ASSERT_TRUE(first.ok) << first.why.toStdString();
  EXPECT_TRUE(finished);
  EXPECT_TRUE(got == big);
  EXPECT_EQ(progressed, big.size());
  QByteArray none;
  bool emptyDone = false;
  ASSERT_TRUE(fetch(client, 4, 0, &none, &emptyDone).ok);
  EXPECT_TRUE(emptyDone && none.isEmpty());
  EXPECT_EQ(listener->connectionCount(), 1);  // kept alive between the files

  // An upload: the host's sink takes exactly the granted file.
  QByteArray received;
  bool stored = false;
  listener->setOpenSink([&](const QString& session, const QString& x, qint64 index, qint64 size, QString*,
                            TransferReason*) {
    EXPECT_EQ(session, kSession);
    EXPECT_EQ(x, xid);
    EXPECT_EQ(index, 2);
    EXPECT_EQ(size, big.size());
    return std::make_unique<MemorySink>(&received, &stored);
  });
  const QString putCap =
      listener->capabilities().issue(kSession, xid, LanCapabilities::Method::Put, {{2, localFile(QString(), big.size())}});
  LanClient uploader(target(putCap));
  const Outcome up = send(uploader, 2, dir.filePath(QStringLiteral("big.bin")), big.size());
  ASSERT_TRUE(up.ok) << up.why.toStdString();
  EXPECT_TRUE(stored);
  EXPECT_TRUE(received == big);
}

TEST_F(LanRoute, SlowClientsHoldingEverySlotDoNotKeepAFileFromGoingThrough) {
  // Every slot taken by a client that sends its request head a byte a second.
  std::vector<std::unique_ptr<QSslSocket>> slow;
  for (int i = 0; i < LanListener::kMaxConnections; ++i) {
    auto socket = std::make_unique<QSslSocket>();
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), listener->serverPort());
    ASSERT_TRUE(waitUntil([&] { return socket->isEncrypted(); }));
    slow.push_back(std::move(socket));
  }
  QTimer drip;
  QObject::connect(&drip, &QTimer::timeout, [&] {
    for (const auto& socket : slow)
      if (socket->state() == QAbstractSocket::ConnectedState) socket->write("G");
  });
  drip.start(1000);
  ASSERT_TRUE(waitUntil([&] { return listener->connectionCount() == LanListener::kMaxConnections; }));

  const QByteArray bytes = randomBytes(256 * 1024);
  writeFile(dir.filePath(QStringLiteral("a.bin")), bytes);
  const QString cap = listener->capabilities().issue(kSession, xid, LanCapabilities::Method::Get,
                                                     {{0, localFile(dir.filePath(QStringLiteral("a.bin")), bytes.size())}});
  LanClient client(target(cap));
  QByteArray got;
  bool finished = false;
  const Outcome o = fetch(client, 0, bytes.size(), &got, &finished);
  ASSERT_TRUE(o.ok) << o.why.toStdString();
  EXPECT_TRUE(got == bytes);
  // And none of them keeps its slot past the deadline for its head.
  QElapsedTimer clock;
  clock.start();
  EXPECT_TRUE(waitUntil(
      [&] {
        return std::none_of(slow.begin(), slow.end(),
                            [](const auto& s) { return s->state() == QAbstractSocket::ConnectedState; });
      },
      std::chrono::seconds(8)));
  EXPECT_LT(clock.elapsed(), LanListener::kHeadDeadlineMs + 2000);
}

TEST_F(LanRoute, ListenerRefusesEverythingButAGrantedFile) {
  writeFile(dir.filePath(QStringLiteral("a.txt")), "alpha");
  writeFile(dir.filePath(QStringLiteral("secret.txt")), "secret");
  const QString cap = listener->capabilities().issue(kSession, xid, LanCapabilities::Method::Get,
                                                     {{0, localFile(dir.filePath(QStringLiteral("a.txt")), 5)}});
  const QString otherXid = QUuid::createUuid().toString(QUuid::WithoutBraces);
  const QString otherCap = listener->capabilities().issue(QStringLiteral("C-3|C-2"), otherXid,
                                                          LanCapabilities::Method::Get,
                                                          {{0, localFile(dir.filePath(QStringLiteral("secret.txt")), 6)}});
  const QByteArray good = "/t/" + xid.toLatin1() + "/0";
  EXPECT_EQ(raw(requestFor("GET", good, cap)), 200);

  EXPECT_EQ(raw("GET " + good + " HTTP/1.1\r\nHost: x\r\nX-Zarkelo-Session: C-1|C-2\r\n\r\n"), 401);  // none
  EXPECT_EQ(raw(requestFor("GET", good, QStringLiteral("AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"))), 401);
  EXPECT_EQ(raw(requestFor("GET", good, cap.left(cap.size() - 1))), 401);
  // Another session's capability, with its own or with this session's name.
  EXPECT_EQ(raw(requestFor("GET", "/t/" + otherXid.toLatin1() + "/0", otherCap)), 403);
  EXPECT_EQ(raw(requestFor("GET", good, otherCap, QStringLiteral("C-3|C-2"))), 403);
  EXPECT_EQ(raw(requestFor("GET", good, cap, QStringLiteral("C-3|C-2"))), 403);
  // A file outside the checked list.
  EXPECT_EQ(raw(requestFor("GET", "/t/" + xid.toLatin1() + "/1", cap)), 403);
  // Path tricks and listings never reach a file.
  for (const QByteArray& target :
       {QByteArray("/t/") + xid.toLatin1() + "/../1", QByteArray("/t/") + xid.toLatin1() + "/%2e%2e/secret.txt",
        QByteArray("/t/") + xid.toLatin1() + "/0%2f..%2fsecret.txt", QByteArray("/t/") + xid.toLatin1() + "/00",
        QByteArray("/t/") + xid.toLatin1() + "/0?x=1", QByteArray("/t/") + xid.toLatin1() + "/0/",
        dir.filePath(QStringLiteral("secret.txt")).toLatin1(), QByteArray("//") + dir.path().toLatin1(),
        QByteArray("/"), QByteArray("/t/"), QByteArray("/t/") + xid.toLatin1() + "/",
        QByteArray("/t/") + xid.toUpper().toLatin1() + "/0", QByteArray("*"),
        QByteArray("https://127.0.0.1") + good})
    EXPECT_EQ(raw(requestFor("GET", target, cap)), 404) << target.toStdString();
  for (const QByteArray method : {"POST", "DELETE", "HEAD", "OPTIONS", "PROPFIND", "TRACE"})
    EXPECT_EQ(raw(requestFor(method, good, cap)), 405) << method.toStdString();
  // A granted GET is no permission to write.
  EXPECT_EQ(raw(requestFor("PUT", good, cap, kSession, "Transfer-Encoding: chunked\r\n")), 403);
  EXPECT_EQ(raw("GET " + good + " HTTP/1.0\r\n\r\n"), 400);
  EXPECT_EQ(raw(QByteArray("GET ") + QByteArray(9000, 'a') + " HTTP/1.1\r\n\r\n"), 400);

  // Expired after idling, and gone with its transfer.
  clock += LanCapabilities::kIdleMs + 1;
  EXPECT_EQ(raw(requestFor("GET", good, cap)), 401);
  const QString again = listener->capabilities().issue(kSession, xid, LanCapabilities::Method::Get,
                                                       {{0, localFile(dir.filePath(QStringLiteral("a.txt")), 5)}});
  EXPECT_EQ(raw(requestFor("GET", good, again)), 200);
  listener->capabilities().revokeTransfer(xid);
  EXPECT_EQ(raw(requestFor("GET", good, again)), 401);
  // A transfer that ended with a reason: its capability is answered with it,
  // to its own session and for a while only.
  const QString ended = listener->capabilities().issue(kSession, xid, LanCapabilities::Method::Get,
                                                       {{0, localFile(dir.filePath(QStringLiteral("a.txt")), 5)}});
  listener->capabilities().revokeTransfer(xid, TransferReason::Disk);
  EXPECT_TRUE(untilClosed(requestFor("GET", good, ended)).contains("\r\nX-Zarkelo-Reason: disk\r\n"));
  EXPECT_TRUE(untilClosed(requestFor("GET", good, ended, QStringLiteral("C-3|C-2"))).contains("X-Zarkelo-Reason: gone"));
  clock += LanCapabilities::kEndedKeepMs + 1;
  EXPECT_TRUE(untilClosed(requestFor("GET", good, ended)).contains("X-Zarkelo-Reason: gone"));

  // TLS 1.2 only with forward secrecy and AEAD suites.
  EXPECT_TRUE(handshakeWith(QStringLiteral("ECDHE-ECDSA-AES128-GCM-SHA256")));
  EXPECT_FALSE(handshakeWith(QStringLiteral("ECDHE-ECDSA-AES128-SHA")));
  EXPECT_FALSE(handshakeWith(QStringLiteral("ECDHE-ECDSA-AES256-SHA384")));
}

TEST_F(LanRoute, ARequestOfUnclearFramingIsRefusedAndNothingAfterItIsServed) {
  writeFile(dir.filePath(QStringLiteral("a.txt")), "alpha");
  writeFile(dir.filePath(QStringLiteral("b.txt")), "SMUGGLED");
  const QString cap = listener->capabilities().issue(
      kSession, xid, LanCapabilities::Method::Get,
      {{0, localFile(dir.filePath(QStringLiteral("a.txt")), 5)}, {1, localFile(dir.filePath(QStringLiteral("b.txt")), 8)}});
  const QString putCap =
      listener->capabilities().issue(kSession, xid, LanCapabilities::Method::Put, {{2, localFile(QString(), 5)}});
  listener->setOpenSink([](const QString&, const QString&, qint64, qint64, QString*, TransferReason*) {
    return std::unique_ptr<LanFileSink>();  // never reached
  });
  const QByteArray good = requestFor("GET", "/t/" + xid.toLatin1() + "/0", cap);
  const QByteArray smuggled = requestFor("GET", "/t/" + xid.toLatin1() + "/1", cap);
  for (const auto& [fields, body] : testutil::unclearFramings()) {
    for (const QByteArray& target : {QByteArray("/t/") + xid.toLatin1() + "/2", QByteArray("/elsewhere")}) {
      const QByteArray unclear = requestFor("PUT", target, putCap, kSession, fields) + body;
      // As the connection's first request and behind one that is answered.
      for (const QByteArray& before : {QByteArray(), good}) {
        const QByteArray answer = untilClosed(before + unclear + smuggled);
        const QByteArray refusal = "HTTP/1.1 400 Bad Request\r\n";
        EXPECT_TRUE(before.isEmpty() ? answer.startsWith(refusal)
                                     : answer.startsWith("HTTP/1.1 200 OK\r\n") && answer.contains("alpha") &&
                                           answer.contains(refusal))
            << (before + unclear).toStdString() << answer.toStdString();
        EXPECT_FALSE(answer.contains("SMUGGLED")) << unclear.toStdString();
      }
    }
  }
}

TEST_F(LanRoute, AFileTheHostStopsSendingIsNeverDeliveredWholeAndThePeerHearsWhy) {
  const QByteArray bytes = randomBytes(1024 * 1024);
  const QString path = dir.filePath(QStringLiteral("f.bin"));
  writeFile(path, bytes);
  const QString cap =
      listener->capabilities().issue(kSession, xid, LanCapabilities::Method::Get, {{0, localFile(path, bytes.size() + 10)}});
  LanClient client(target(cap));
  QByteArray got;
  bool finished = false;
  const Outcome o = fetch(client, 0, bytes.size() + 10, &got, &finished);
  EXPECT_FALSE(o.ok);
  EXPECT_TRUE(o.reached);
  EXPECT_FALSE(finished);
  EXPECT_TRUE(o.why.contains(QStringLiteral("409"))) << o.why.toStdString();
  EXPECT_EQ(client.failure(), TransferReason::Source);

  // The transfer ends on the host while one of its files is being sent: the
  // body stops there, and the peer hears the host's reason (its cancel read
  // as the peer's).
  qint64 taken = 0;  // outlives the sink, which the client lets go when the file fails
  struct Ending : LanFileSink {
    std::function<void()> first;
    qint64& taken;
    explicit Ending(qint64& t) : taken(t) {}
    bool write(QByteArrayView bytes, const QByteArray&) override {
      if (taken == 0) first();
      taken += bytes.size();
      return true;
    }
    void finish(const lan::Digest&, Kept kept) override { kept(QString()); }
  };
  const qint64 kBig = qint64(1) << 30;
  const QString bigPath = dir.filePath(QStringLiteral("big.bin"));
  {
    QFile big(bigPath);
    ASSERT_TRUE(big.open(QIODevice::WriteOnly) && big.resize(kBig));  // sparse
  }
  LanClient fetcher(target(listener->capabilities().issue(kSession, xid, LanCapabilities::Method::Get,
                                                          {{1, localFile(bigPath, kBig)}})));
  auto ending = std::make_unique<Ending>(taken);
  ending->first = [&] { listener->endTransfer(xid, TransferReason::Cancel); };
  Outcome cut;
  fetcher.get(1, kBig, std::move(ending), [&](bool ok, bool reached, const QString& why) { cut = {true, ok, reached, why}; });
  ASSERT_TRUE(waitUntil([&] { return cut.ended; }, std::chrono::seconds(20)));
  EXPECT_FALSE(cut.ok);
  EXPECT_TRUE(cut.reached);
  EXPECT_EQ(fetcher.failure(), TransferReason::PeerCancel) << cut.why.toStdString();
  EXPECT_EQ(cut.why, QStringLiteral("the host ended the transfer"));
  EXPECT_GT(taken, 0);
  EXPECT_LT(taken, kBig / 8);
  EXPECT_EQ(listener->capabilities().size(), 0);

  // An upload whose file no longer has its announced size is not sent.
  listener->setOpenSink([&](const QString&, const QString&, qint64, qint64, QString*, TransferReason*) {
    return std::make_unique<MemorySink>(&got, &finished);
  });
  const QString putCap =
      listener->capabilities().issue(kSession, xid, LanCapabilities::Method::Put, {{0, localFile(QString(), bytes.size() + 1)}});
  LanClient uploader(target(putCap));
  EXPECT_FALSE(send(uploader, 0, path, bytes.size() + 1).ok);
  EXPECT_FALSE(finished);
}

// A peer whose disk is behind leaves the bytes with the host: what it holds
// stays bounded however large the file, and the file still arrives whole. A
// body the host breaks off and closes meanwhile is read to its end once the
// disk catches up: the peer hears the host's reason, not a closed connection.
TEST_F(LanRoute, PeerWhoseDiskIsBehindStopsTakingBytesUntilItCatchesUp) {
  // A host that pushes one body as fast as the peer takes it.
  testsupport::DescriptorListener server;
  const ztls::Identity identity = freshIdentity();
  QString why;
  const auto context = znet::TlsContext::server(identity.certificatePem, identity.keyPem, &why);
  ASSERT_TRUE(context) << why.toStdString();
  ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
  const QByteArray block = randomBytes(1024 * 1024);
  constexpr qint64 kBlocks = 160;
  FileSum sum(SumKind::Sha256);
  for (qint64 i = 0; i < kBlocks; ++i) sum.add(block);
  const QByteArray digest = QByteArray::fromHex(sum.hex().toLatin1());
  znet::TlsChannel host;
  QByteArray request;
  qint64 queued = 0, blocksSent = 0;
  auto pump = [&] {
    while (blocksSent < kBlocks && host.bytesToWrite() < 4 * 1024 * 1024) {
      host.write(lan::chunkStart(block.size()) + block + "\r\n");
      queued += block.size();
      if (++blocksSent == kBlocks) host.write(lan::lastChunk({"sha-256", digest}));
    }
  };
  QObject::connect(&host, &znet::TlsChannel::readyRead, [&] {
    const bool answered = request.contains("\r\n\r\n");
    request += host.readAll();
    if (answered || !request.contains("\r\n\r\n")) return;
    host.write(QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"));
    pump();
  });
  QObject::connect(&host, &znet::TlsChannel::bytesWritten, pump);
  server.accepted = [&](qintptr descriptor) { host.accept(descriptor, context); };

  // The sink owns up to all it was given as not yet on disk, until released.
  // What it saw lives in the test: the client frees the sink when the body ends.
  struct DiskState {
    FileSum hash{SumKind::Sha256};
    qint64 taken = 0;
    qint64 owed = 0;  // not on disk yet beyond what was taken
    bool behind = true, whole = false;
  } state;
  struct SlowDisk : LanFileSink {
    DiskState* s;
    explicit SlowDisk(DiskState* state) : s(state) {}
    bool write(QByteArrayView bytes, const QByteArray&) override {
      s->hash.add(bytes);
      s->taken += bytes.size();
      return true;
    }
    qint64 pending() const override { return s->behind ? s->taken + s->owed : 0; }
    void finish(const lan::Digest& d, Kept kept) override {
      s->whole = d.bytes.toHex() == s->hash.hex().toLatin1();
      kept(s->whole ? QString() : QStringLiteral("digest differs"));
    }
  };
  auto owned = std::make_unique<SlowDisk>(&state);
  DiskState* disk = &state;
  const QString certificateDigest =
      QString::fromLatin1(QSslCertificate(identity.certificatePem).digest(QCryptographicHash::Sha256).toHex());
  LanClient client({QStringLiteral("https://127.0.0.1:%1").arg(server.serverPort()), certificateDigest,
                    QStringLiteral("cap"), kSession, xid});
  Outcome o;
  client.get(0, kBlocks * block.size(), std::move(owned),
             [&](bool ok, bool reached, const QString& w) { o = {true, ok, reached, w}; });

  // The host's sending stalls with most of the file still unsent.
  qint64 handed = -1;
  QElapsedTimer still;
  ASSERT_TRUE(waitUntil([&] {
    const qint64 now = queued - host.bytesToWrite();
    if (now != handed) handed = now, still.restart();
    return disk->taken > 0 && host.bytesToWrite() > 0 && still.elapsed() > 300;
  }, std::chrono::seconds(15))) << "the peer took " << handed << " bytes";
  EXPECT_LT(handed, kBlocks * block.size() / 2);
  EXPECT_FALSE(o.ended);

  disk->behind = false;
  ASSERT_TRUE(waitUntil([&] { return o.ended; }, std::chrono::seconds(20)));
  EXPECT_TRUE(o.ok) << o.why.toStdString();
  EXPECT_TRUE(disk->whole);
  EXPECT_EQ(disk->taken, kBlocks * block.size());

  // The disk falls behind with the first block; the rest of the body, broken
  // off, and the host's close arrive while it is.
  znet::TlsChannel cutter;
  bool cutterClosed = false, answered = false;
  QByteArray asked;
  QObject::connect(&cutter, &znet::TlsChannel::closed, [&] { cutterClosed = true; });
  QObject::connect(&cutter, &znet::TlsChannel::readyRead, [&] {
    asked += cutter.readAll();
    if (answered || !asked.contains("\r\n\r\n")) return;
    answered = true;
    cutter.write(QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n") + lan::chunkStart(block.size()) +
                 block + "\r\n");
  });
  server.accepted = [&](qintptr descriptor) { cutter.accept(descriptor, context); };
  DiskState late;
  late.owed = lan::kMaxPendingBytes;
  LanClient cut({QStringLiteral("https://127.0.0.1:%1").arg(server.serverPort()), certificateDigest,
                 QStringLiteral("cap"), kSession, xid});
  Outcome c;
  cut.get(0, kBlocks * block.size(), std::make_unique<SlowDisk>(&late),
          [&](bool ok, bool reached, const QString& w) { c = {true, ok, reached, w}; });
  ASSERT_TRUE(waitUntil([&] { return late.taken > 0; }));
  for (int i = 0; i < 3; ++i) cutter.write(lan::chunkStart(block.size()) + block + "\r\n");
  cutter.write(lan::brokenOff("source", QStringLiteral("the file changed")));
  cutter.closeAfterWrites();
  ASSERT_TRUE(waitUntil([&] { return cutterClosed; }));
  EXPECT_FALSE(testutil::comesWithin([&] { return c.ended; }, std::chrono::milliseconds(300))) << c.why.toStdString();
  late.behind = false;
  ASSERT_TRUE(waitUntil([&] { return c.ended; }, std::chrono::seconds(20)));
  EXPECT_FALSE(c.ok);
  EXPECT_EQ(c.why, QStringLiteral("the file changed"));
  EXPECT_EQ(cut.failure(), TransferReason::Source);
  EXPECT_EQ(late.taken, 4 * block.size());
}

TEST_F(LanRoute, UnreachableOrUnpinnedHostMeansTheRelay) {
  writeFile(dir.filePath(QStringLiteral("a.txt")), "alpha");
  const QString cap = listener->capabilities().issue(kSession, xid, LanCapabilities::Method::Get,
                                                     {{0, localFile(dir.filePath(QStringLiteral("a.txt")), 5)}});
  // Never reached, and quickly told so; nothing written.
  auto unreached = [&](const LanClient::Target& t) {
    QElapsedTimer timer;
    timer.start();
    LanClient client(t);
    QByteArray got;
    bool finished = false;
    const Outcome o = fetch(client, 0, 5, &got, &finished);
    EXPECT_FALSE(o.ok);
    EXPECT_FALSE(o.reached) << t.url.toStdString();
    EXPECT_TRUE(got.isEmpty());
    EXPECT_LT(timer.elapsed(), 3000);
  };
  // A closed loopback port.
  QTcpServer probe;
  ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
  const quint16 closed = probe.serverPort();
  probe.close();
  LanClient::Target t = target(cap);
  t.url = QStringLiteral("https://127.0.0.1:%1").arg(closed);
  unreached(t);
  // A listener that accepts but never answers the handshake: the short time-out.
  QTcpServer silent;
  ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
  t.url = QStringLiteral("https://127.0.0.1:%1").arg(silent.serverPort());
  unreached(t);
  // The right address with another certificate's fingerprint.
  t = target(cap);
  t.fingerprint = QString(64, QLatin1Char('0'));
  unreached(t);
  // Nor an address outside the local networks (refused before any packet).
  t = target(cap);
  t.url = QStringLiteral("https://192.0.2.7:%1").arg(listener->serverPort());
  unreached(t);
  // Names are never looked up.
  t = target(cap);
  t.url = QStringLiteral("https://localhost:%1").arg(listener->serverPort());
  unreached(t);
}

// The addresses are chosen from lists of interfaces; none of this machine's
// own addresses is used.
TEST(LanAddresses, OnlyLocalNetworksOfInterfacesThatAreUpAtMostFourMostReachableFirst) {
  auto up = [](QStringList addresses, bool isUp = true, bool loopback = false) {
    LanInterface i;
    i.up = isUp;
    i.loopback = loopback;
    // "ADDRESS/PREFIX", or the address alone.
    for (const QString& a : addresses)
      i.addresses.append({QHostAddress(a.section(QLatin1Char('/'), 0, 0)),
                          a.contains(QLatin1Char('/')) ? a.section(QLatin1Char('/'), 1).toInt() : -1});
    return i;
  };
  auto texts = [](const QList<QHostAddress>& list) {
    QStringList out;
    for (const QHostAddress& a : list) out.append(a.toString());
    return out;
  };
  // Loopback, public, a down interface, and the link-local IPv6 with its scope.
  const QList<LanInterface> home{
      up({QStringLiteral("127.0.0.1"), QStringLiteral("::1")}, true, true),
      up({QStringLiteral("fe80::1%eth0"), QStringLiteral("203.0.113.9"), QStringLiteral("192.168.1.20"),
          QStringLiteral("2001:db8::5")}),
      up({QStringLiteral("10.0.0.3")}, false),
      up({QStringLiteral("169.254.7.7"), QStringLiteral("fd12:3456::9"), QStringLiteral("100.64.1.1")}),
  };
  EXPECT_EQ(texts(selectLanAddresses(home)),
            (QStringList{QStringLiteral("192.168.1.20"), QStringLiteral("fd12:3456::9"), QStringLiteral("169.254.7.7"),
                         QStringLiteral("fe80::1%eth0")}));
  // More than four: the first four by rank; repeats count once.
  const QList<LanInterface> many{
      up({QStringLiteral("fe80::2"), QStringLiteral("10.1.1.1"), QStringLiteral("10.1.1.1")}),
      up({QStringLiteral("172.16.0.1"), QStringLiteral("172.31.255.1"), QStringLiteral("172.32.0.1")}),
      up({QStringLiteral("fd00::1"), QStringLiteral("192.168.0.1")}),
  };
  EXPECT_EQ(texts(selectLanAddresses(many)),
            (QStringList{QStringLiteral("10.1.1.1"), QStringLiteral("172.16.0.1"), QStringLiteral("172.31.255.1"),
                         QStringLiteral("192.168.0.1")}));
  // Nothing local: nothing announced.
  EXPECT_TRUE(selectLanAddresses({up({QStringLiteral("198.51.100.1")}), up({QStringLiteral("127.0.0.2")}, true, true)})
                  .isEmpty());
  EXPECT_TRUE(selectLanAddresses({}).isEmpty());

  // The setting: unset finds, an address sets one, "off" and nonsense turn the route off.
  EXPECT_EQ(lanSettingFrom(false, QString()).mode, LanSetting::Mode::Found);
  EXPECT_EQ(lanSettingFrom(true, QStringLiteral("off")).mode, LanSetting::Mode::Off);
  EXPECT_TRUE(lanSettingFrom(true, QStringLiteral("off")).error.isEmpty());
  const LanSetting fixed = lanSettingFrom(true, QStringLiteral("127.0.0.1"));
  EXPECT_EQ(fixed.mode, LanSetting::Mode::Fixed);
  EXPECT_EQ(fixed.address, QHostAddress(QHostAddress::LocalHost));
  for (const char* bad : {"", "0.0.0.0", "::", "255.255.255.255", "224.0.0.1", "my-host"}) {
    const LanSetting s = lanSettingFrom(true, QString::fromLatin1(bad));
    EXPECT_EQ(s.mode, LanSetting::Mode::Off) << bad;
    EXPECT_FALSE(s.error.isEmpty()) << bad;
  }

  // What a peer follows of a grant: local-network addresses only, in order,
  // at most four; a grant of a bridge with one address is read too.
  EXPECT_EQ(lanUrlsOf(Json{{"url", "https://192.168.1.20:4433"}}), QStringList{QStringLiteral("https://192.168.1.20:4433")});
  const Json grant{{"url", "https://10.0.0.1:1"},
                   {"urls",
                    {"https://203.0.113.9:1", "https://example.com:1", "http://10.0.0.1:1", "https://10.0.0.1:1/x",
                     "https://u@10.0.0.1:1", "https://10.0.0.1", 7, "https://[fe80::1%25eth0]:1", "https://10.0.0.1:1",
                     "https://10.0.0.1:1", "https://[fd00::1]:2", "https://127.0.0.1:3", "https://172.16.0.1:4"}}};
  EXPECT_EQ(lanUrlsOf(grant), (QStringList{QStringLiteral("https://[fe80::1%25eth0]:1"), QStringLiteral("https://10.0.0.1:1"),
                                           QStringLiteral("https://[fd00::1]:2"), QStringLiteral("https://127.0.0.1:3")}));
  EXPECT_EQ(lanUrl(QHostAddress(QStringLiteral("fd00::1")), 2), QStringLiteral("https://[fd00::1]:2"));

  // What it dials of them: on a network of its own interfaces that are up,
  // loopback only when its own route serves there, and only the grant's port.
  const QList<LanInterface> mine{
      up({QStringLiteral("127.0.0.1/8")}, true, true),
      up({QStringLiteral("192.168.1.20/24"), QStringLiteral("fe80::1%eth0/64"), QStringLiteral("203.0.113.9/24")}),
      up({QStringLiteral("10.0.0.3/8")}, false),
      up({QStringLiteral("172.16.5.5")}),  // no prefix known: the address alone
  };
  const struct {
    const char* address;
    bool loopback;  // the peer's own route serves on loopback
    bool dialed;
  } rows[] = {
      {"192.168.1.77", false, true},  {"192.168.2.77", false, false},  // its network, the next one
      {"10.1.2.3", false, false},                                      // the network of an interface that is down
      {"172.16.5.5", false, true},    {"172.16.5.6", false, false},
      {"fe80::9%eth0", false, true},  {"fd00::1", false, false},       // unique-local where it has no address
      {"203.0.113.10", false, false},                                  // public, even on its own network
      {"192.0.2.1", true, false},     {"127.0.0.1", false, false},     {"::1", false, false},
      {"127.0.0.1", true, true},      {"::1", true, true},
  };
  for (const auto& row : rows)
    EXPECT_EQ(dialable(QHostAddress(QString::fromLatin1(row.address)), mine, row.loopback), row.dialed)
        << row.address << " loopback " << row.loopback;
  const QStringList offered{QStringLiteral("https://192.168.1.77:22"), QStringLiteral("https://192.168.9.9:4433"),
                            QStringLiteral("https://192.168.1.77:4433"), QStringLiteral("https://127.0.0.1:4433")};
  EXPECT_EQ(dialableLanUrls(offered, 4433, mine, false), QStringList{QStringLiteral("https://192.168.1.77:4433")});
  EXPECT_EQ(dialableLanUrls(offered, 22, mine, true), QStringList{QStringLiteral("https://192.168.1.77:22")});
  EXPECT_EQ(lanPortOf(grant), 1);
  EXPECT_EQ(lanPortOf(Json{{"urls", {"https://[fd00::1]:2", "https://10.0.0.1:1"}}}), 2);
  EXPECT_EQ(lanPortOf(Json{{"url", "https://example.com:3"}}), 0);
}

TEST(TlsIdentity, MakesSignedAndPinnedCertificatesAndKeepsThem) {
  QString error;
  const auto ca = ztls::makeSelfSigned({QStringLiteral("Test Authority"), {}, 30, true}, &error);
  ASSERT_TRUE(ca) << error.toStdString();
  const auto server = ztls::makeSigned(
      *ca, {QStringLiteral("127.0.0.1"), {QStringLiteral("127.0.0.1"), QStringLiteral("localhost")}, 30, false}, &error);
  ASSERT_TRUE(server) << error.toStdString();
  const QSslCertificate authority(ca->certificatePem, QSsl::Pem);
  const QSslCertificate leaf(server->certificatePem, QSsl::Pem);
  // Verified against the authority alone, as the service's clients do.
  const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
  QSslConfiguration trusting = saved;
  trusting.setCaCertificates({authority});
  QSslConfiguration::setDefaultConfiguration(trusting);
  EXPECT_TRUE(QSslCertificate::verify({leaf, authority}, QStringLiteral("127.0.0.1")).isEmpty());
  EXPECT_TRUE(QSslCertificate::verify({leaf, authority}, QStringLiteral("localhost")).isEmpty());
  EXPECT_FALSE(QSslCertificate::verify({leaf, authority}, QStringLiteral("127.0.0.2")).isEmpty());
  QSslConfiguration::setDefaultConfiguration(saved);
  EXPECT_FALSE(QSslKey(server->keyPem, QSsl::Ec, QSsl::Pem, QSsl::PrivateKey).isNull());

  QTemporaryDir dir;
  const QString cert = dir.filePath(QStringLiteral("bridge/lan.pem"));
  const QString key = dir.filePath(QStringLiteral("bridge/lan.key"));
  const ztls::CertificateSpec spec{QStringLiteral("bridge"), {QStringLiteral("127.0.0.1")}, 30, false};
  const auto first = ztls::ensureSelfSigned(cert, key, spec, &error);
  ASSERT_TRUE(first) << error.toStdString();
  EXPECT_EQ(QFile::permissions(key) & 0x0077, 0);
  const auto kept = ztls::ensureSelfSigned(cert, key, spec, &error);
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->certificatePem, first->certificatePem);
  // Another address, or a key that does not belong to the certificate: made anew.
  const auto moved = ztls::ensureSelfSigned(
      cert, key, {QStringLiteral("bridge"), {QStringLiteral("127.0.0.2")}, 30, false}, &error);
  ASSERT_TRUE(moved);
  EXPECT_NE(moved->certificatePem, first->certificatePem);
  ASSERT_TRUE(ztls::writePrivateFile(key, server->keyPem));
  const auto repaired = ztls::ensureSelfSigned(
      cert, key, {QStringLiteral("bridge"), {QStringLiteral("127.0.0.2")}, 30, false}, &error);
  ASSERT_TRUE(repaired);
  EXPECT_NE(repaired->certificatePem, moved->certificatePem);
  EXPECT_EQ(readFile(key), repaired->keyPem);
}

}  // namespace
