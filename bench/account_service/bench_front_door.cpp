// The service's one port under floods, against the service as a real process:
//  - one address (127.0.0.2) opening TCP connections that never begin their
//    TLS handshake, at 600 and at 2,400 a second, while an account from
//    127.0.0.1 signs in again and again, each time on a connection of its own:
//    how many of its sign-ins are answered, and how the others end;
//  - an office of 50 sign-ins at once from one address beside 600 sign-ins in
//    flight from another, without and with that address's silent connections
//    at 2,400 a second: how many of the office's are answered;
//  - an attacker at the account's own address (127.0.0.1) keeping 2 x 64 relay
//    connections that never say hello, each reopened as soon as it ends, while
//    the account opens relay connections one after another and says hello on
//    each as soon as it is upgraded (whole, then in two parts 100 ms apart, as
//    over a slow link): how many of them close after their hello began.
// ZARKELO_BENCH_SERVICE names another kelvor-service executable to measure
// (for instance an older build); the default is the one beside this program.
// ZARKELO_BENCH_SECONDS sets how long each case runs (default 20);
// ZARKELO_BENCH_ONLY ("silent", "office", "churn") picks one kind of case.
#include "account_store.h"
#include "core/open_files.h"
#include "silent_flood.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

using nlohmann::json;
constexpr int kOfficeAccounts = 18;

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

class Service {
 public:
  bool start() {
    QString error;
    {
      kelvor::AccountStore store;
      if (!store.open(dir_.path(), &error)) return false;
      store.addAccount({QStringLiteral("ann@x.org"), QStringLiteral("pw"), QStringLiteral("Ann"),
                        QStringLiteral("ann-host"), QString()},
                       &error);
      for (int i = 0; i < kOfficeAccounts; ++i)
        store.addAccount({QStringLiteral("u%1@x.org").arg(i), QStringLiteral("pw"), QStringLiteral("U"),
                          QStringLiteral("u%1-host").arg(i), QString()},
                         &error);
    }
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    port_ = probe.serverPort();
    probe.close();
    QString program = qEnvironmentVariable("ZARKELO_BENCH_SERVICE");
    if (program.isEmpty()) program = QCoreApplication::applicationDirPath() + QStringLiteral("/kelvor-service");
    std::printf("service: %s\n", qPrintable(program));
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start(program, {QStringLiteral("serve"), QStringLiteral("--data"), dir_.path(), QStringLiteral("--listen"),
                             QStringLiteral("127.0.0.1:%1").arg(port_)});
    QByteArray output;
    if (!spin([&] {
          output += process_.readAll();
          return output.contains("listening on");
        }))
      return false;
    // Its log is read and dropped.
    QObject::connect(&process_, &QProcess::readyRead, [this] { process_.readAll(); });
    tls_ = QSslConfiguration::defaultConfiguration();
    tls_.addCaCertificates(QSslCertificate::fromPath(dir_.filePath(QStringLiteral("ca.pem"))));
    return true;
  }
  ~Service() {
    process_.terminate();
    if (!process_.waitForFinished(5000)) process_.kill();
  }
  quint16 port() const { return port_; }
  const QSslConfiguration& tls() const { return tls_; }

 private:
  QTemporaryDir dir_;
  QProcess process_;
  quint16 port_ = 0;
  QSslConfiguration tls_;
};

QByteArray signInRequest(const json& body) {
  const QByteArray text = QByteArray::fromStdString(body.dump());
  return "POST /api2/bridge/login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
         "Content-Length: " + QByteArray::number(text.size()) + "\r\nConnection: close\r\n\r\n" + text;
}

// One sign-in on a connection of its own from `from`: the answer's JSON, or
// why there is none.
json signInOnce(const Service& service, const QString& from, int timeoutMs, QString* failure) {
  QSslSocket socket;
  socket.setSslConfiguration(service.tls());
  socket.bind(QHostAddress(from), 0);
  QByteArray received;
  bool closed = false;
  QString error;
  QObject::connect(&socket, &QSslSocket::encrypted,
                   [&] { socket.write(signInRequest({{"Id_acc", "ann@x.org"}, {"Password", "pw"}})); });
  QObject::connect(&socket, &QSslSocket::readyRead, [&] { received += socket.readAll(); });
  QObject::connect(&socket, &QSslSocket::disconnected, [&] { closed = true; });
  QObject::connect(&socket, &QSslSocket::errorOccurred, [&] {
    if (error.isEmpty()) error = socket.errorString();
    closed = true;
  });
  socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), service.port());
  auto body = [&] {
    const qsizetype end = received.indexOf("\r\n\r\n");
    return end < 0 ? QByteArray() : received.mid(end + 4);
  };
  spin([&] { return closed || json::accept(body().toStdString()); }, timeoutMs);
  received += socket.readAll();
  const json answer = json::parse(body().toStdString(), nullptr, false);
  if (answer.is_object()) return answer;
  *failure = closed ? (error.isEmpty() ? QStringLiteral("closed") : error) : QStringLiteral("no answer in time");
  return json::object();
}

int seconds() {
  const int s = qEnvironmentVariableIntValue("ZARKELO_BENCH_SECONDS");
  return s > 0 ? s : 20;
}

void silentFloodCase(int perSecond) {
  Service service;
  if (!service.start()) return void(std::printf("the service did not start\n"));
  QString failure;
  signInOnce(service, QStringLiteral("127.0.0.1"), 10000, &failure);  // its usual address from now on
  testsvc::SilentFlood flood({"127.0.0.2"}, service.port(), perSecond);
  long heldMost = 0;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] { heldMost = std::max(heldMost, flood.held.load()); });
  watch.start(50);
  spin([] { return false; }, 2000);  // the flood fills what it can first
  int tries = 0, in = 0;
  QMap<QString, int> failures;
  QElapsedTimer clock;
  clock.start();
  std::vector<qint64> times;
  while (clock.elapsed() < seconds() * 1000) {
    QElapsedTimer one;
    one.start();
    failure.clear();
    const json answer = signInOnce(service, QStringLiteral("127.0.0.1"), 10000, &failure);
    ++tries;
    if (answer.value("Result", 0) == 1) {
      ++in;
      times.push_back(one.elapsed());
    } else {
      ++failures[failure.isEmpty() ? QString::fromStdString(answer.dump()) : failure];
    }
    spin([] { return false; }, 250);
  }
  std::sort(times.begin(), times.end());
  std::printf("silent connections from one address at %d/s (%ld opened, %ld refused by the system, at most %ld held "
              "at once): the account from another address signed in %d of %d times (%.0f%%), median %lld ms, "
              "slowest %lld ms\n",
              perSecond, flood.opened.load(), flood.failed.load(), heldMost, in, tries,
              100.0 * in / std::max(1, tries), times.empty() ? -1LL : times[times.size() / 2],
              times.empty() ? -1LL : times.back());
  for (auto it = failures.cbegin(); it != failures.cend(); ++it)
    std::printf("  %d x %s\n", it.value(), qPrintable(it.key()));
}

// A sign-in on a connection of its own, answered as it comes; `again`: sent
// anew on the same connection after each answer.
struct SignIn {
  SignIn(const Service& service, const QString& from, const std::string& email, bool again = false) {
    const QByteArray request = signInRequest({{"Id_acc", email}, {"Password", "pw"}}).replace("Connection: close", "X: y");
    socket.setSslConfiguration(service.tls());
    socket.bind(QHostAddress(from), 0);
    QObject::connect(&socket, &QSslSocket::encrypted, [this, request] { socket.write(request); });
    QObject::connect(&socket, &QSslSocket::readyRead, [this, request, again] {
      in += socket.readAll();
      for (;;) {
        const qsizetype end = in.indexOf("\r\n\r\n");
        if (end < 0) return;
        const qsizetype at = in.toLower().indexOf("content-length:");
        const qsizetype length = at < 0 ? 0 : in.mid(at + 15, in.indexOf("\r\n", at) - at - 15).trimmed().toLongLong();
        if (in.size() < end + 4 + length) return;
        answer = json::parse(in.mid(end + 4, length).toStdString(), nullptr, false);
        in.remove(0, end + 4 + length);
        ++answers;
        if (!again) return;
        socket.write(request);
      }
    });
    QObject::connect(&socket, &QSslSocket::disconnected, [this] { closed = true; });
    QObject::connect(&socket, &QSslSocket::errorOccurred, [this] { closed = true; });
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), service.port());
  }
  bool busy() const { return answers > 0 && answer.is_object() && answer.value("Busy", 0) == 1; }
  bool in_() const { return answers > 0 && answer.is_object() && answer.value("Result", 0) == 1; }
  QSslSocket socket;
  QByteArray in;
  json answer;
  int answers = 0;
  bool closed = false;
};

// 50 sign-ins at once from one address (an office), each "busy" tried again,
// beside 600 right sign-ins in flight from another address, sent anew as
// each is answered (they fill that address's places in the sign-in queue),
// and that address's silent connections at `silentPerSecond`.
void officeCase(int silentPerSecond) {
  Service service;
  if (!service.start()) return void(std::printf("the service did not start\n"));
  std::vector<std::unique_ptr<SignIn>> flood;
  for (int i = 0; i < 600; ++i)
    flood.push_back(std::make_unique<SignIn>(service, QStringLiteral("127.0.0.2"), "ann@x.org", true));
  std::unique_ptr<testsvc::SilentFlood> silent;
  if (silentPerSecond > 0) silent = std::make_unique<testsvc::SilentFlood>(std::vector<std::string>{"127.0.0.2"}, service.port(), silentPerSecond);
  spin([&] {
    int answered = 0;
    for (const auto& f : flood) answered += f->answers;
    return answered >= 300;
  });
  QElapsedTimer clock;
  clock.start();
  std::vector<std::unique_ptr<SignIn>> office;
  auto email = [](int i) { return "u" + std::to_string(i % kOfficeAccounts) + "@x.org"; };
  for (int i = 0; i < 50; ++i) office.push_back(std::make_unique<SignIn>(service, QStringLiteral("127.0.0.3"), email(i)));
  int busy = 0;
  spin([&] {
    bool all = true;
    for (std::size_t i = 0; i < office.size(); ++i) {
      if (office[i]->busy()) office[i] = std::make_unique<SignIn>(service, QStringLiteral("127.0.0.3"), email(int(i))), ++busy;
      all = all && (office[i]->answers > 0 || office[i]->closed);
    }
    return all;
  }, 60000);
  int in = 0, unanswered = 0, other = 0;
  for (const auto& o : office) {
    if (o->in_()) ++in;
    else if (o->answers == 0) ++unanswered;
    else ++other;
  }
  std::printf("an office of 50 sign-ins from one address beside 600 in flight from another%s: %d signed in, %d without "
              "an answer, %d other, after %lld ms (%d times busy before)\n",
              silentPerSecond > 0 ? qPrintable(QStringLiteral(" and its silent connections at %1/s").arg(silentPerSecond)) : "",
              in, unanswered, other, clock.elapsed(), busy);
}

// A relay connection written by hand from 127.0.0.1: upgraded, then says
// hello (when given a token) at once, or never.
struct RawRelay {
  RawRelay(const Service& service, std::string helloToken, int splitMs = 0) : token(std::move(helloToken)) {
    socket.setSslConfiguration(service.tls());
    socket.bind(QHostAddress(QStringLiteral("127.0.0.1")), 0);
    QObject::connect(&socket, &QSslSocket::encrypted, [this] {
      socket.write("GET /relay HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    });
    QObject::connect(&socket, &QSslSocket::readyRead, [this, splitMs] {
      in += socket.readAll();
      if (!upgraded && in.contains("\r\n\r\n")) {
        upgraded = in.startsWith("HTTP/1.1 101");
        in.remove(0, in.indexOf("\r\n\r\n") + 4);
        if (upgraded && !token.empty()) {
          const QByteArray payload = QByteArray::fromStdString(json{{"op", "hello"}, {"Token", token}}.dump());
          QByteArray frame(1, char(0x81));
          frame += char(0x80 | 126);
          frame += char(payload.size() >> 8);
          frame += char(payload.size() & 0xff);
          frame += QByteArray(4, '\0');  // a zero mask leaves the payload as it is
          frame += payload;
          helloAt.start();
          if (splitMs <= 0) return void(socket.write(frame));
          // Its first bytes now, the rest a moment later, as over a slow link.
          socket.write(frame.left(8));
          QTimer::singleShot(splitMs, &socket, [this, rest = frame.mid(8)] { socket.write(rest); });
        }
      }
      if (in.contains("\"ready\"")) ready = true;
    });
    QObject::connect(&socket, &QSslSocket::disconnected, [this] { ended = true; });
    QObject::connect(&socket, &QSslSocket::errorOccurred, [this] { ended = true; });
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), service.port());
  }
  std::string token;
  QSslSocket socket;
  QByteArray in;
  bool upgraded = false, ready = false, ended = false;
  QElapsedTimer helloAt;
};

void churnCase(int attackers, int splitMs) {
  Service service;
  if (!service.start()) return void(std::printf("the service did not start\n"));
  QString failure;
  const json session = signInOnce(service, QStringLiteral("127.0.0.1"), 10000, &failure);
  const std::string token = session.value("Token", "");
  if (token.empty()) return void(std::printf("no sign-in: %s\n", qPrintable(failure)));
  std::vector<std::unique_ptr<RawRelay>> churn;
  for (int i = 0; i < attackers; ++i) churn.push_back(std::make_unique<RawRelay>(service, std::string()));
  long reopened = 0;
  QTimer renew;
  QObject::connect(&renew, &QTimer::timeout, [&] {
    for (auto& raw : churn)
      if (raw->ended) raw = std::make_unique<RawRelay>(service, std::string()), ++reopened;
  });
  renew.start(1);
  int opened = 0, ready = 0, closedAfterHello = 0, closedBefore = 0;
  std::vector<qint64> closedAfterMs;
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < seconds() * 1000) {
    RawRelay own(service, token, splitMs);
    ++opened;
    spin([&] { return own.ready || own.ended; }, 10000);
    if (own.ready) {
      ++ready;
      own.socket.disconnectFromHost();
      spin([&] { return own.ended; }, 2000);
    } else if (own.helloAt.isValid()) {
      ++closedAfterHello;
      closedAfterMs.push_back(own.helloAt.elapsed());
    } else {
      ++closedBefore;
    }
  }
  renew.stop();
  std::printf("%d relay connections without hello churned at the account's address (%ld reopened): of its %d relay "
              "connections (hello %s) %d came to \"ready\", %d closed after their hello began, %d before it\n",
              attackers, reopened, opened, splitMs > 0 ? qPrintable(QStringLiteral("in two parts %1 ms apart").arg(splitMs)) : "whole",
              ready, closedAfterHello, closedBefore);
  for (qint64 ms : closedAfterMs) std::printf("  closed %lld ms after its hello\n", ms);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  openfiles::raiseSoftLimit();
  // ZARKELO_BENCH_ONLY: "silent", "office" or "churn" runs those cases only.
  const QString only = qEnvironmentVariable("ZARKELO_BENCH_ONLY");
  auto runs = [&](const char* name) { return only.isEmpty() || only == QLatin1String(name); };
  if (runs("silent"))
    for (int rate : {600, 2400}) silentFloodCase(rate);
  if (runs("office")) officeCase(0), officeCase(2400);
  if (runs("churn")) churnCase(2 * 64, 0), churnCase(2 * 64, 100);
  return 0;
}
