// The relay under load, against the service as a real process: round trips
// (bridge A -> service -> bridge B -> service -> A, one outstanding per pair)
// with 100 busy pairs and with 1 pair, each beside the same pairs through a
// plain TLS WebSocket echo pair (a server on its own thread that only passes
// each message to the other socket of its pair), round by round
// (ZARKELO_BENCH_ROUNDS, default 5; medians and spread); the 100 pairs again,
// round by round without and then while attackers flood one receiver that
// never reads (16 senders sending data frames without regard to credit,
// reconnecting whenever their session is ended; on the cores this program was
// not given, when there are any); and one pair's latency while
// 200 sign-ins hash their passwords against the same pair idle.
// ZARKELO_BENCH_SERVICE names another kelvor-service executable to measure
// (for instance an older build); the default is the one beside this program.
#include "account_store.h"
#include "protocol/data_frame.h"

#include "support/interleaved.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSslCertificate>
#include <QSslSocket>
#include <QTimer>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QSslKey>
#include <QWebSocket>
#include <QWebSocketServer>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <sched.h>
#include <unistd.h>
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

namespace {

using nlohmann::json;
constexpr int kPairs = 100;
constexpr int kClientThreads = 4;
constexpr int kRunMs = 2000;
constexpr int kAttackers = 16;

// Sleeps in the event loop between checks: the timed overload of
// processEvents never waits, and a thread spinning on it took a core from
// the service and the pairs being measured.
template <class Done>
bool spin(Done done, int timeoutMs = 30000) {
  QElapsedTimer clock;
  clock.start();
  QTimer tick;
  tick.start(5);
  while (!done()) {
    if (clock.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

// One pair's two relay connections, living in one client thread.
struct Pair {
  QWebSocket a, b;
  std::string tokenA, tokenB, hostname;
  QString toB, toA;  // the relay frames each side sends
  QElapsedTimer sentAt;
  std::vector<double>* latencies = nullptr;
  std::atomic<bool>* running = nullptr;
  bool open(const QUrl& url, const QSslConfiguration& tls) {
    a.setSslConfiguration(tls);
    b.setSslConfiguration(tls);
    std::vector<json> inboxA, inboxB;
    auto collect = [](std::vector<json>* inbox) {
      return [inbox](const QString& text) { inbox->push_back(json::parse(text.toStdString(), nullptr, false)); };
    };
    auto ca = QObject::connect(&a, &QWebSocket::textMessageReceived, collect(&inboxA));
    auto cb = QObject::connect(&b, &QWebSocket::textMessageReceived, collect(&inboxB));
    a.open(url);
    b.open(url);
    if (!spin([&] { return a.state() == QAbstractSocket::ConnectedState && b.state() == QAbstractSocket::ConnectedState; }))
      return false;
    b.sendTextMessage(QString::fromStdString(json{{"op", "hello"}, {"Token", tokenB}}.dump()));
    if (!spin([&] { return !inboxB.empty(); }) || inboxB[0].value("op", "") != "ready") return false;
    a.sendTextMessage(QString::fromStdString(json{{"op", "hello"}, {"Token", tokenA}}.dump()));
    if (!spin([&] { return !inboxA.empty(); }) || inboxA[0].value("op", "") != "ready") return false;
    a.sendTextMessage(QString::fromStdString(json{{"op", "connect"}, {"ref", 1}, {"hostname", hostname}, {"tag", "t"}}.dump()));
    if (!spin([&] { return inboxA.size() > 1 && inboxB.size() > 1; })) return false;
    const std::string session = inboxA[1].value("Session", "");
    if (session.empty()) return false;
    QObject::disconnect(ca);
    QObject::disconnect(cb);
    return bounce(session);
  }
  // The echo pair: both sockets on `url`, which pairs them by its path; the
  // same messages as through the relay.
  bool openPlain(const QUrl& url, const QSslConfiguration& tls) {
    a.setSslConfiguration(tls);
    b.setSslConfiguration(tls);
    a.open(url);
    if (!spin([&] { return a.state() == QAbstractSocket::ConnectedState; })) return false;
    b.open(url);
    if (!spin([&] { return b.state() == QAbstractSocket::ConnectedState; })) return false;
    return bounce("plain-session|plain-session-b");
  }
  bool bounce(const std::string& session) {
    const json payload{{"Code", "WSDC"}, {"Msg", {{"Token", "P2PClient-000123"}, {"Data", std::string(200, 'x')}}}};
    toB = QString::fromStdString(json{{"op", "relay"}, {"Session", session}, {"frame", payload}}.dump());
    toA = QString::fromStdString(json{{"op", "relay"}, {"Session", session}, {"frame", {{"ok", 1}}}}.dump());
    QObject::connect(&b, &QWebSocket::textMessageReceived, [this](const QString&) { b.sendTextMessage(toA); });
    QObject::connect(&a, &QWebSocket::textMessageReceived, [this](const QString&) {
      latencies->push_back(double(sentAt.nsecsElapsed()) / 1e6);
      if (running->load()) send();
    });
    return true;
  }
  void send() {
    sentAt.start();
    a.sendTextMessage(toB);
  }
};

// A thread with its own event loop holding some pairs.
struct ClientThread {
  QThread thread;
  QObject* context = nullptr;
  std::vector<std::unique_ptr<Pair>> pairs;
  std::vector<double> latencies;
  explicit ClientThread(const QString& name = QStringLiteral("clients")) {
    thread.setObjectName(name);  // the name in per-thread CPU figures
    thread.start();
    context = new QObject;
    context->moveToThread(&thread);
  }
  ~ClientThread() {
    QMetaObject::invokeMethod(context, [this] {
      pairs.clear();
      delete context;
    }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
  }
  template <class F>
  void run(F f) {
    QMetaObject::invokeMethod(context, f, Qt::BlockingQueuedConnection);
  }
};

// A plain TLS WebSocket server on a thread of its own: every text message
// goes unchanged to the other socket of its pair (sockets opened on the same
// path), nothing is parsed.
class EchoServer {
 public:
  bool start(const QString& dir) {
    const QString key = dir + QStringLiteral("/echo-key.pem"), cert = dir + QStringLiteral("/echo-cert.pem");
    QProcess gen;
    gen.start(QStringLiteral("openssl"),
              {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
               QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
               QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-keyout"), key,
               QStringLiteral("-out"), cert, QStringLiteral("-days"), QStringLiteral("1")});
    if (!gen.waitForFinished(30000) || gen.exitCode() != 0) return false;
    QFile keyFile(key);
    keyFile.open(QIODevice::ReadOnly);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(QSslCertificate::fromPath(cert).value(0));
    tls.setPrivateKey(QSslKey(keyFile.readAll(), QSsl::Ec));
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    thread_.start();
    context_ = new QObject;
    context_->moveToThread(&thread_);
    bool ok = false;
    QMetaObject::invokeMethod(context_, [&] {
      server_ = new QWebSocketServer(QStringLiteral("echo"), QWebSocketServer::SecureMode, context_);
      server_->setSslConfiguration(tls);
      ok = server_->listen(QHostAddress::LocalHost, 0);
      port_ = server_->serverPort();
      QObject::connect(server_, &QWebSocketServer::newConnection, context_, [this] {
        while (QWebSocket* socket = server_->nextPendingConnection()) {
          const QString path = socket->requestUrl().path();
          QWebSocket* other = waiting_.take(path);
          if (!other) {
            waiting_.insert(path, socket);
            continue;
          }
          QObject::connect(socket, &QWebSocket::textMessageReceived, other, [other](const QString& m) { other->sendTextMessage(m); });
          QObject::connect(other, &QWebSocket::textMessageReceived, socket, [socket](const QString& m) { socket->sendTextMessage(m); });
        }
      });
    }, Qt::BlockingQueuedConnection);
    return ok;
  }
  ~EchoServer() {
    if (!context_) return;
    QMetaObject::invokeMethod(context_, [this] { delete context_; }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
  }
  QUrl url(int pair) const { return QUrl(QStringLiteral("wss://127.0.0.1:%1/p%2").arg(port_).arg(pair)); }

 private:
  QThread thread_;
  QObject* context_ = nullptr;
  QWebSocketServer* server_ = nullptr;
  QHash<QString, QWebSocket*> waiting_;
  quint16 port_ = 0;
};

class Service {
 public:
  bool start() {
    QString error;
    {
      kelvor::AccountStore store;
      if (!store.open(dir_.path(), &error)) return fail(error);
      for (int i = 0; i < kPairs; ++i)
        store.addAccount({QStringLiteral("h%1@x.org").arg(i), QStringLiteral("pw"), QStringLiteral("H"),
                          QStringLiteral("host-%1").arg(i), QString()},
                         &error);
      for (int i = 0; i < kAttackers; ++i)
        store.addAccount({QStringLiteral("e%1@x.org").arg(i), QStringLiteral("pw"), QStringLiteral("E"),
                          QStringLiteral("e%1-host").arg(i), QString()},
                         &error);
      for (const char* email : {"c0@x.org", "c1@x.org", "storm@x.org", "sink@x.org"})
        store.addAccount({QString::fromLatin1(email), QStringLiteral("pw"), QStringLiteral("C"),
                          QString::fromLatin1(email).section(QLatin1Char('@'), 0, 0) + QStringLiteral("-host"), QString()},
                         &error);
    }
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    port_ = probe.serverPort();
    probe.close();
    QString program = qEnvironmentVariable("ZARKELO_BENCH_SERVICE");
    if (program.isEmpty()) program = QCoreApplication::applicationDirPath() + QStringLiteral("/kelvor-service");
    std::fprintf(stderr, "service: %s\n", qPrintable(program));
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start(program, {QStringLiteral("serve"), QStringLiteral("--data"), dir_.path(), QStringLiteral("--listen"),
                             QStringLiteral("127.0.0.1:%1").arg(port_)});
    QByteArray output;
    if (!spin([&] {
          output += process_.readAll();
          return output.contains("listening on");
        }))
      return fail(QStringLiteral("the service did not start"));
    QObject::connect(&process_, &QProcess::readyRead, [this] { const QByteArray out = process_.readAll(); if (qEnvironmentVariableIsSet("ZARKELO_BENCH_SERVICE_LOG")) std::fwrite(out.constData(), 1, size_t(out.size()), stderr); });
    tls_ = QSslConfiguration::defaultConfiguration();
    tls_.addCaCertificates(QSslCertificate::fromPath(dir_.filePath(QStringLiteral("ca.pem"))));
    return true;
  }
  ~Service() {
    process_.terminate();
    if (!process_.waitForFinished(5000)) process_.kill();
  }
  // Signs in; the answer, or null.
  json login(const QString& email, QNetworkAccessManager& net) {
    QNetworkRequest request(QUrl(QStringLiteral("https://127.0.0.1:%1/api2/bridge/login").arg(port_)));
    request.setSslConfiguration(tls_);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply* reply = net.post(request, QByteArray::fromStdString(json{{"Id_acc", email.toStdString()}, {"Password", "pw"}}.dump()));
    spin([reply] { return reply->isFinished(); });
    const json answer = json::parse(reply->readAll().toStdString(), nullptr, false);
    reply->deleteLater();
    return answer;
  }
  QUrl relayUrl() const { return QUrl(QStringLiteral("wss://127.0.0.1:%1/relay").arg(port_)); }
  const QSslConfiguration& tls() const { return tls_; }
  quint16 port() const { return port_; }

 private:
  bool fail(const QString& why) {
    std::fprintf(stderr, "relay load setup: %s\n", qPrintable(why));
    return false;
  }
  QTemporaryDir dir_;
  QProcess process_;
  quint16 port_ = 0;
  QSslConfiguration tls_;
};

// A relay connection written by hand over TLS, as an attacker would write
// one: client frames carry a zero mask, which leaves their bytes as they are,
// so that a frame costs its sender no more than the encryption.
struct RawRelay {
  QSslSocket socket;
  QByteArray in;
  bool upgraded = false;
  static QByteArray frame(int opcode, const QByteArray& payload) {
    QByteArray out(1, char(0x80 | opcode));
    const quint64 size = quint64(payload.size());
    if (size < 126) {
      out += char(0x80 | size);
    } else if (size <= 0xffff) {
      out += char(0x80 | 126);
      for (int shift = 8; shift >= 0; shift -= 8) out += char((size >> shift) & 0xff);
    } else {
      out += char(0x80 | 127);
      for (int shift = 56; shift >= 0; shift -= 8) out += char((size >> shift) & 0xff);
    }
    return out + QByteArray(4, '\0') + payload;
  }
  static QByteArray text(const json& value) { return frame(0x1, QByteArray::fromStdString(value.dump())); }
  void connectTo(quint16 port, const QSslConfiguration& tls) {
    upgraded = false;
    in.clear();
    socket.setSslConfiguration(tls);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
  }
  void upgrade() {
    socket.write("GET /relay HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
  }
  // The server's text messages that arrived whole (its frames are unmasked).
  std::vector<json> read() {
    in += socket.readAll();
    std::vector<json> texts;
    if (!upgraded) {
      const qsizetype end = in.indexOf("\r\n\r\n");
      if (end < 0) return texts;
      upgraded = true;
      in.remove(0, end + 4);
    }
    while (in.size() >= 2) {
      const int opcode = in[0] & 0x0f;
      quint64 size = quint8(in[1]) & 0x7f;
      qsizetype at = 2;
      const int extra = size == 126 ? 2 : size == 127 ? 8 : 0;
      if (in.size() < at + extra) break;
      if (extra) {
        size = 0;
        for (int i = 0; i < extra; ++i) size = (size << 8) | quint8(in[at + i]);
        at += extra;
      }
      if (quint64(in.size() - at) < size) break;
      if (opcode == 0x1) texts.push_back(json::parse(in.mid(at, qsizetype(size)).toStdString(), nullptr, false));
      in.remove(0, at + qsizetype(size));
    }
    return texts;
  }
  static std::string op(const json& message) { return message.is_object() ? message.value("op", "") : ""; }
};

// A receiver that signs in and then never reads: its socket takes in at most
// 64 KiB.
struct DeafReceiver {
  RawRelay relay;
  bool open(quint16 port, const QSslConfiguration& tls, const std::string& token) {
    relay.connectTo(port, tls);
    if (!spin([this] { return relay.socket.isEncrypted(); })) return false;
    relay.upgrade();
    bool ready = false, helloSent = false;
    if (!spin([&] {
          for (const json& m : relay.read()) ready = ready || RawRelay::op(m) == "ready";
          if (relay.upgraded && !helloSent) helloSent = true, relay.socket.write(RawRelay::text({{"op", "hello"}, {"Token", token}}));
          return ready;
        }))
      return false;
    relay.socket.setReadBufferSize(64 * 1024);  // and it never reads again
    return true;
  }
};

// Moves the calling thread to the cores this program was not given, when the
// machine has any: an attacker's own CPU is not the service's cost (a real one
// sends from elsewhere), and on 2 cores the attackers' encryption took as
// much CPU as the attack cost the service. Without other cores, the thread
// stays where it is.
void moveToOtherCores() {
  static bool told = false;
  cpu_set_t given, others;
  CPU_ZERO(&others);
  if (sched_getaffinity(0, sizeof given, &given) != 0) return;
  const long cores = sysconf(_SC_NPROCESSORS_ONLN);
  std::string list;
  for (long cpu = 0; cpu < cores && cpu < CPU_SETSIZE; ++cpu)
    if (!CPU_ISSET(int(cpu), &given)) CPU_SET(int(cpu), &others), list += (list.empty() ? "" : ",") + std::to_string(cpu);
  const bool moved = CPU_COUNT(&others) > 0 && sched_setaffinity(0, sizeof others, &others) == 0;
  if (!std::exchange(told, true))
    std::printf("attackers run on %s\n", moved ? ("cores " + list).c_str() : "the same cores as the rest");
}

// One attacker: a session to the deaf receiver, flooded with the largest data
// frames without waiting for credit; a session that ends is opened again, and
// so is a connection the service closes (after a second, as a bridge retries).
struct Flooder {
  RawRelay relay;
  QTimer tick;
  quint16 port = 0;
  QSslConfiguration tls;
  std::string token;
  std::string session;
  QByteArray message;  // the whole WebSocket frame for `session`
  bool ready = false;
  bool running = false;
  ~Flooder() {
    running = false;
    tick.stop();
    relay.socket.disconnect();  // closing may still report bytes written
  }
  bool open(quint16 servicePort, const QSslConfiguration& config, const std::string& signIn) {
    port = servicePort;
    tls = config;
    token = signIn;
    QObject::connect(&relay.socket, &QSslSocket::encrypted, [this] { relay.upgrade(); });
    QObject::connect(&relay.socket, &QSslSocket::readyRead, [this] { onRead(); });
    QObject::connect(&relay.socket, &QSslSocket::disconnected, [this] {
      ready = false;
      session.clear();
      if (running) QTimer::singleShot(1000, &relay.socket, [this] { relay.connectTo(port, tls); });
    });
    QObject::connect(&tick, &QTimer::timeout, [this] { flood(); });
    QObject::connect(&relay.socket, &QSslSocket::encryptedBytesWritten, [this] { flood(); });
    relay.connectTo(port, tls);
    return true;  // not waiting for "ready": the service may make a flooder wait before its hello
  }
  void onRead() {
    const bool wasUpgraded = relay.upgraded;
    const std::vector<json> texts = relay.read();
    if (relay.upgraded && !wasUpgraded) relay.socket.write(RawRelay::text({{"op", "hello"}, {"Token", token}}));
    for (const json& m : texts) {
      const std::string name = RawRelay::op(m);
      if (name == "ready") {
        ready = true;
        if (running) connect();
      }
      if (name == "session") {
        session = m.value("Session", "");
        protocol::DataFrameHeader header;
        header.session = QByteArray::fromStdString(session);
        header.transfer = QByteArrayLiteral("X");
        message = RawRelay::frame(0x2, protocol::encodeDataFrame(header, QByteArray(8 * 1024 * 1024, 'f')));
      }
      if (running && ((name == "closed" && m.value("Session", "") == session) || name == "connect_failed")) connect();
    }
  }
  void connect() {
    session.clear();
    relay.socket.write(RawRelay::text(json::parse(R"({"op":"connect","ref":1,"hostname":"sink-host","tag":"t"})")));
  }
  void start() {
    running = true;
    connect();
    tick.start(5);
  }
  void flood() {
    if (!running || !ready || session.empty()) return;
    while (relay.socket.bytesToWrite() < 16 * 1024 * 1024 && relay.socket.state() == QAbstractSocket::ConnectedState)
      relay.socket.write(message);
  }
};

// The service with kPairs pairs open, spread over the client threads, and as
// many echo pairs.
struct Load {
  Service service;
  QTemporaryDir echoDir;
  EchoServer echo;
  std::vector<std::unique_ptr<ClientThread>> threads;
  std::vector<Pair*> pairs;  // pair i in thread i % kClientThreads
  std::vector<Pair*> plainPairs;
  // The attack, in a thread of its own: started once, then switched on and off.
  std::unique_ptr<ClientThread> attackThread;
  std::unique_ptr<DeafReceiver> deaf;
  std::vector<std::unique_ptr<Flooder>> flooders;
  bool startAttack() {
    QNetworkAccessManager net;
    const json sink = service.login(QStringLiteral("sink@x.org"), net);
    std::vector<json> senders;
    for (int i = 0; i < kAttackers; ++i) senders.push_back(service.login(QStringLiteral("e%1@x.org").arg(i), net));
    if (!attackThread) attackThread = std::make_unique<ClientThread>(QStringLiteral("attackers"));
    bool ok = true;
    attackThread->run([&] {
      moveToOtherCores();
      deaf = std::make_unique<DeafReceiver>();
      ok = deaf->open(service.port(), service.tls(), sink.value("Token", ""));
      for (int i = 0; i < kAttackers && ok; ++i) {
        flooders.push_back(std::make_unique<Flooder>());
        ok = flooders.back()->open(service.port(), service.tls(), senders[i].value("Token", ""));
      }
      for (auto& f : flooders) f->start();
    });
    if (!ok) std::fprintf(stderr, "relay load: the attack did not start\n");
    return ok;
  }
  void stopAttack() {
    if (!attackThread) return;
    attackThread->run([&] {
      flooders.clear();
      deaf.reset();
    });
  }
  bool start() {
    if (!service.start()) return false;
    if (!echo.start(echoDir.path())) {
      std::fprintf(stderr, "relay load setup: the echo server did not start\n");
      return false;
    }
    QNetworkAccessManager net;
    for (int i = 0; i < kClientThreads; ++i) threads.push_back(std::make_unique<ClientThread>());
    bool ok = true;
    for (int i = 0; i < kPairs && ok; ++i) {
      const json host = service.login(QStringLiteral("h%1@x.org").arg(i), net);
      const json caller = service.login(QStringLiteral("c%1@x.org").arg(i % 2), net);
      ClientThread& t = *threads[i % kClientThreads];
      t.run([&] {
        auto pair = std::make_unique<Pair>();
        pair->tokenA = caller.value("Token", "");
        pair->tokenB = host.value("Token", "");
        pair->hostname = "host-" + std::to_string(i);
        ok = pair->open(service.relayUrl(), service.tls());
        pairs.push_back(pair.get());
        t.pairs.push_back(std::move(pair));
      });
    }
    QSslConfiguration plainTls = QSslConfiguration::defaultConfiguration();
    plainTls.setPeerVerifyMode(QSslSocket::VerifyNone);
    for (int i = 0; i < kPairs && ok; ++i) {
      ClientThread& t = *threads[i % kClientThreads];
      t.run([&] {
        auto pair = std::make_unique<Pair>();
        ok = pair->openPlain(echo.url(i), plainTls);
        plainPairs.push_back(pair.get());
        t.pairs.push_back(std::move(pair));
      });
    }
    if (!ok) std::fprintf(stderr, "relay load setup: a pair did not open\n");
    return ok;
  }

  struct Result {
    double perSecond = 0, p50 = 0, p99 = 0;
  };
  // Runs `count` pairs busy for `ms`.
  Result run(int count, int ms, const std::function<void()>& meanwhile = {}, bool plain = false) {
    std::atomic<bool> running{true};
    for (auto& t : threads) t->latencies.clear();
    for (int i = 0; i < count; ++i) {
      ClientThread& t = *threads[i % kClientThreads];
      Pair* pair = plain ? plainPairs[i] : pairs[i];
      t.run([&t, pair, &running] {
        pair->latencies = &t.latencies;
        pair->running = &running;
        pair->send();
      });
    }
    QElapsedTimer clock;
    clock.start();
    if (meanwhile) meanwhile();
    spin([&] { return clock.elapsed() >= ms; }, ms + 1000);
    running = false;
    const double seconds = double(clock.elapsed()) / 1000;
    QThread::msleep(200);  // the last round trips come home
    std::vector<double> all;
    for (auto& t : threads) t->run([&] { all.insert(all.end(), t->latencies.begin(), t->latencies.end()); });
    Result result;
    if (all.empty()) return result;
    std::sort(all.begin(), all.end());
    result.perSecond = double(all.size()) / seconds;
    result.p50 = all[all.size() / 2];
    result.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    return result;
  }
};

std::unique_ptr<Load>& loadHolder() {
  static std::unique_ptr<Load> instance = [] {
    auto l = std::make_unique<Load>();
    if (!l->start()) l.reset();
    return l;
  }();
  return instance;
}

Load* load() { return loadHolder().get(); }

std::map<std::string, double> figures;

void report(benchmark::State& state, const std::string& name, const Load::Result& r) {
  state.counters["round_trips_per_s"] = r.perSecond;
  state.counters["p50_ms"] = r.p50;
  state.counters["p99_ms"] = r.p99;
  figures[name + " per s"] = r.perSecond;
  figures[name + " p50"] = r.p50;
  figures[name + " p99"] = r.p99;
}

// Round trips per second through the service and through the echo pair,
// 1 and 100 pairs, round by round; the figures are the medians.
void pairRounds(Load* l) {
  const int rounds = benchsupport::roundsFromEnvironment();
  struct Case {
    std::string name;
    int count;
    bool plain;
    std::vector<double> perSecond, p99;
  };
  std::vector<Case> cases{{"1 pair", 1, false, {}, {}},
                          {"1 echo pair", 1, true, {}, {}},
                          {"100 pairs", kPairs, false, {}, {}},
                          {"100 echo pairs", kPairs, true, {}, {}}};
  std::printf("== relay round trips: %d rounds of %d ms, interleaved\n", rounds, kRunMs);
  for (int round = 0; round < rounds; ++round)
    for (size_t k = 0; k < cases.size(); ++k) {
      Case& c = cases[round % 2 ? cases.size() - 1 - k : k];
      const Load::Result r = l->run(c.count, kRunMs, {}, c.plain);
      c.perSecond.push_back(r.perSecond);
      c.p99.push_back(r.p99);
    }
  for (const Case& c : cases) {
    const auto [lo, hi] = std::minmax_element(c.perSecond.begin(), c.perSecond.end());
    const double m = benchsupport::median(c.perSecond);
    std::printf("  %-16s median %9.0f round trips/s  spread %.0f..%.0f  p99 %.2f ms\n", c.name.c_str(), m, *lo, *hi,
                benchsupport::median(c.p99));
    figures[c.name + " per s"] = m;
    figures[c.name + " p99"] = benchsupport::median(c.p99);
  }
}

// The same 100 pairs while a deaf receiver is flooded by 16 senders, round by
// round beside the same pairs without the attack; the figures are the medians.
void BM_RelayHundredPairsUnderAttack(benchmark::State& state) {
  Load* l = load();
  if (!l) return state.SkipWithError("setup failed");
  const int rounds = benchsupport::roundsFromEnvironment();
  for (auto _ : state) {
    std::vector<double> quietRate, quietP99, attackedRate, attackedP99, attackedP50;
    for (int round = 0; round < rounds; ++round) {
      const Load::Result quiet = l->run(kPairs, kRunMs);
      if (!l->startAttack()) return state.SkipWithError("the attack did not start");
      QThread::msleep(500);  // the queues toward the deaf receiver fill first
      const Load::Result attacked = l->run(kPairs, kRunMs);
      l->stopAttack();
      quietRate.push_back(quiet.perSecond);
      quietP99.push_back(quiet.p99);
      attackedRate.push_back(attacked.perSecond);
      attackedP99.push_back(attacked.p99);
      attackedP50.push_back(attacked.p50);
    }
    report(state, "100 pairs under attack",
           {benchsupport::median(attackedRate), benchsupport::median(attackedP50), benchsupport::median(attackedP99)});
    figures["100 pairs beside the attack per s"] = benchsupport::median(quietRate);
    figures["100 pairs beside the attack p99"] = benchsupport::median(quietP99);
    std::printf("== 100 pairs, %d rounds, each without and then under attack\n", rounds);
    for (int round = 0; round < rounds; ++round)
      std::printf("  round %d: %.0f -> %.0f round trips/s, p99 %.2f -> %.2f ms\n", round + 1, quietRate[size_t(round)],
                  attackedRate[size_t(round)], quietP99[size_t(round)], attackedP99[size_t(round)]);
  }
}

// One pair's latency while 200 sign-ins (16 at a time) hash their passwords.
void BM_RelayDuringSignIns(benchmark::State& state) {
  Load* l = load();
  if (!l) return state.SkipWithError("setup failed");
  for (auto _ : state) {
    report(state, "idle", l->run(1, 1500));
    QElapsedTimer storm;
    double stormMs = 0;
    const auto busy = l->run(1, 1500, [&] {
      QNetworkAccessManager net;
      storm.start();
      int started = 0, finished = 0;
      std::function<void()> next = [&] {
        if (started >= 200) return;
        ++started;
        QNetworkRequest request(QUrl(QStringLiteral("https://127.0.0.1:%1/api2/bridge/login").arg(l->service.port())));
        request.setSslConfiguration(l->service.tls());
        request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        QNetworkReply* reply = net.post(request, R"({"Id_acc":"storm@x.org","Password":"pw"})");
        QObject::connect(reply, &QNetworkReply::finished, [&, reply] {
          reply->deleteLater();
          ++finished;
          next();
        });
      };
      for (int i = 0; i < 16; ++i) next();
      spin([&] { return finished >= 200; }, 120000);
      stormMs = double(storm.elapsed());
    });
    report(state, "during sign-ins", busy);
    state.counters["sign_ins_ms"] = stormMs;
  }
}

BENCHMARK(BM_RelayHundredPairsUnderAttack)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RelayDuringSignIns)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void printRatio(const char* label, const std::string& measured, const std::string& baseline) {
  const double m = figures[measured], b = figures[baseline];
  if (m > 0 && b > 0)
    std::printf("ratio %s: %.2f\n", label, m / b);
  else
    std::printf("ratio %s: not measured\n", label);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (Load* l = load()) pairRounds(l);
  benchmark::RunSpecifiedBenchmarks();
  printRatio("round trips per second, 100 pairs / 1 pair", "100 pairs per s", "1 pair per s");
  printRatio("round trips per second, the relay / an echo pair, 1 pair", "1 pair per s", "1 echo pair per s");
  printRatio("round trips per second, the relay / echo pairs, 100 pairs", "100 pairs per s", "100 echo pairs per s");
  printRatio("p99 latency, 100 pairs / 1 pair", "100 pairs p99", "1 pair p99");
  printRatio("round trips per second, 100 pairs under attack / without", "100 pairs under attack per s",
             "100 pairs beside the attack per s");
  printRatio("p99 latency, 100 pairs under attack / without", "100 pairs under attack p99",
             "100 pairs beside the attack p99");
  printRatio("median latency, during 200 sign-ins / idle", "during sign-ins p50", "idle p50");
  printRatio("p99 latency, during 200 sign-ins / idle", "during sign-ins p99", "idle p99");
  std::printf("figures: 100 pairs %.0f round trips/s (p99 %.2f ms); 1 pair %.0f/s (p99 %.2f ms); "
              "echo: 100 pairs %.0f/s, 1 pair %.0f/s\n",
              figures["100 pairs per s"], figures["100 pairs p99"], figures["1 pair per s"], figures["1 pair p99"],
              figures["100 echo pairs per s"], figures["1 echo pair per s"]);
  benchmark::Shutdown();
  if (Load* l = load()) l->attackThread.reset();
  // The pairs' threads end before the application object.
  loadHolder().reset();
  return 0;
}
