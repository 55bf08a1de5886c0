// Loopback harness for the bridge: free ports, the bridge and the account
// service as real processes (each with its own temporary home), and a client
// link that talks to a bridge the way the client application does.
// Used by the tests and by the relay benchmark; needs a running Qt
// application object.
#pragma once

#include "wire.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QSet>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QString>
#include <QTemporaryDir>
#include <QWebSocket>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace vantreltest {

using vex::Json;
using namespace std::chrono_literals;

// Waits in the event loop (without spinning) until `done` or the time runs out.
// The defaults here are generous: a loaded machine is slow, not wrong.
bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 30s);
// Runs the event loop for `time`, as given (a pause, not a wait for something).
void idleFor(std::chrono::milliseconds time);

// A port that was free a moment ago (the benchmarks' own servers); the test
// children bind port 0 instead and report the port they got.
quint16 freePort();
// The port in the last line of `output` holding `marker` ("... 127.0.0.1:PORT..."), or 0.
quint16 reportedPort(const QByteArray& output, const QByteArray& marker);
QString binDir();
QString startupArgument();
// A private copy of the bridge executable in `folder`: a client started from
// the build folder kills every bridge it finds there, and must not reach the
// bridges of tests running beside it.
QString bridgeExecutable(const QString& folder);

// A child process with its own temporary home, stopped by its id on destruction.
class Child {
 public:
  Child();
  ~Child();
  QString home() const { return home_.path(); }
  QProcessEnvironment& env() { return env_; }
  // Starts and waits for the process to be running.
  bool start(const QString& program, const QStringList& args);
  // Runs to the end (for short commands); the exit code, or -1.
  int run(const QString& program, const QStringList& args, QByteArray* output = nullptr, int timeoutMs = 15000);
  void kill();  // SIGKILL, then waits
  void stop();  // SIGTERM, then SIGKILL when it lingers
  // Holds the running process still (SIGSTOP) and lets it go on (SIGCONT): a
  // transfer through it cannot end while the test acts on it.
  bool pause();
  bool resume();
  QProcess& process() { return process_; }
  QByteArray output();  // everything written so far (stdout and stderr)
  // A command that starts the program (its arguments first, then the
  // program's): for one without the capabilities that pass file permissions.
  QStringList launcher;

 private:
  QTemporaryDir home_;
  QProcessEnvironment env_;
  QProcess process_;
  QByteArray output_;
};

// kelvor-service with a temporary data folder on a port it picks itself.
class Service {
 public:
  bool start();
  // Kills the service at once (SIGKILL), runs `whileDown`, and starts it again
  // on the same data and port.
  bool restart(const std::function<void()>& whileDown = {});
  // Adds an account through the service's command line; `id` receives its number.
  bool addAccount(const QString& email, const QString& password, const QString& name, const QString& hostname,
                  qint64* id = nullptr);
  // The two accounts the end-to-end tests use: Ann ("ann@example.com",
  // "ann-pass", host "ann-host") and Bob ("bob@example.com", "bob-pass", host "bob-host").
  bool addAnnAndBob(qint64* annId = nullptr);
  QString dataDir() const { return data_.path(); }
  QString host() const { return QStringLiteral("127.0.0.1:%1").arg(port_); }
  QString caFile() const { return data_.path() + QStringLiteral("/ca.pem"); }
  QString siteBase() const { return QStringLiteral("https://") + host(); }
  // The environment a bridge needs to reach this service.
  void configure(QProcessEnvironment& env) const;
  // TLS that trusts the service's own authority.
  QSslConfiguration tls() const;
  // A bridge's HTTPS sign-in ("api2/bridge/login") with `body`: the service's
  // answer, or null when none came.
  Json bridgeLogin(const Json& body) const;
  Child& child() { return child_; }
  // Options given to "serve" besides the data folder and the address.
  QStringList serveOptions;
  // When set, how long both ends of a relay connection wait in silence before
  // they ping (three times that and it is dropped): the service's
  // --relay-ping and the bridges' VANTREL_RELAY_PING.
  int relayPingSeconds = 0;

 private:
  QStringList serveArguments() const;
  QTemporaryDir data_;
  Child child_;
  quint16 port_ = 0;
};

// Vantrel_amd on a port it picks itself (or `port`) with its own home, its local-network route on
// 127.0.0.1 unless the environment says otherwise.
class BridgeProcess {
 public:
  bool start(const Service* service, const QByteArray& secret = {}, quint16 port = 0);
  quint16 port() const { return port_; }
  Child& child() { return child_; }
  // The first address of its local-network route as its log gives it, once
  // the route is up ("" when it does not come up in time).
  QString lanUrl();

 private:
  Child child_;
  quint16 port_ = 0;
};

// One client connection to a bridge, framing like the client application.
class ClientLink {
 public:
  ClientLink();
  ~ClientLink();
  bool open(quint16 port, const QByteArray& secret = {}, const QByteArray& origin = {});
  bool isOpen() const;
  void close();
  QWebSocket& socket() { return *socket_; }

  // Writes a frame; `asText` puts the payload in "Data" as JSON text.
  void send(const QString& code, const Json& payload, bool asText = true);
  // A bridge request ("P2PClientControl") with a fresh token; returns the token.
  QString control(const QString& code, const Json& payload);
  // A peer request ("WSDC") in a session; returns the token.
  QString request(const QString& session, const QString& code, const Json& payload);

  struct Frame {
    QString code;
    Json data;  // the parsed "Data" text
    bool dataWasText = false;
  };
  // Waits for a frame that `match` accepts and removes it from the inbox.
  std::optional<Frame> waitFor(const std::function<bool(const Frame&)>& match, std::chrono::milliseconds timeout = 30s);
  std::optional<Frame> waitForCode(const QString& code, std::chrono::milliseconds timeout = 30s);
  // The "Msg" of the "P2PCLIENT" reply under `token`.
  std::optional<Json> waitReply(const QString& token, std::chrono::milliseconds timeout = 30s);
  // A peer request in `session` and the "Msg" of its "WSDC" reply; none when
  // no reply comes in time.
  std::optional<Json> ask(const QString& session, const QString& code, const Json& payload,
                          std::chrono::milliseconds timeout = 30s);
  // The same, for a test that cannot go on without the reply: when none comes
  // in time it throws, which fails and ends the test.
  Json answer(const QString& session, const QString& code, const Json& payload,
              std::chrono::milliseconds timeout = 30s);
  // Sign-in; the "LoginResult" data.
  std::optional<Json> login(const QString& id, const QString& password, std::chrono::milliseconds timeout = 30s);

  // Answers every peer request delivered as "WSDC" with `reply(code, msg)`.
  void serve(std::function<Json(const QString& code, const Json& msg)> reply);

  std::vector<Frame>& inbox() { return inbox_; }

 private:
  void onText(const QString& text);
  std::unique_ptr<QWebSocket> socket_;
  std::vector<Frame> inbox_;
  std::function<Json(const QString&, const Json&)> server_;
  QSet<QString> ownTokens_;  // tokens of this link's own peer requests
  int counter_ = 0;
};

// A relay connection written by hand, as a hostile bridge would hold one: it
// can announce frames it never completes, and it reads only when told to.
struct RawRelayClient {
  bool open(quint16 port, const QSslConfiguration& tls);
  // A masked frame (zero mask) with `opcode` announcing `declared` payload bytes.
  static QByteArray frameHeader(int opcode, quint64 declared);
  void sendText(const Json& frame);
  // Reads what arrived and parses complete server frames into messages.
  void pump();
  bool waitText(const std::string& part, std::chrono::milliseconds timeout = 5s);

  QSslSocket socket;
  QByteArray buffer;
  std::vector<QByteArray> binaries;
  std::vector<std::string> texts;
  QByteArray partial;
  int partialOpcode = 0;
};
// Signs `email` in over HTTPS and says hello on a hand-written relay
// connection; null unless the relay answers "ready". `signedIn` receives the
// sign-in answer.
std::unique_ptr<RawRelayClient> rawRelayOnline(const Service& service, const QString& email, const QString& password,
                                               Json* signedIn = nullptr);

// A client signed in on a bridge of its own.
struct Signed {
  BridgeProcess bridge;
  ClientLink link;
  Json result;  // the "LoginResult" data
};
// Starts a bridge (through `launcher`, when given) and signs in through it;
// null on failure, with the reason in `why`.
std::unique_ptr<Signed> signIn(const Service* service, const QString& email, const QString& password,
                               std::string* why = nullptr, const QStringList& launcher = {});

// Ann's client on one bridge, answering peer requests with `serve`, and Bob's
// on another, with Bob's session to Ann's share "docs" open.
struct LinkedPair {
  Service service;
  BridgeProcess hostBridge, peerBridge;
  ClientLink host, peer;
  QString session;  // "ClientID1|ClientID2"
  bool start(std::function<Json(const QString& code, const Json& msg)> serve);
};

}  // namespace vantreltest
