#include "vantrel_harness.h"

#include "protocol/startup_code.h"
#include "support/event_wait.h"
#include "support/process_signal.h"
#include "support/reported_port.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <QEventLoop>
#include <QTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QRegularExpression>
#include <QTcpServer>
#include <QUuid>

#include <QFileInfo>

#include <csignal>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/prctl.h>

namespace vantreltest {

bool spinUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  return testsupport::spinEventsUntil(done, timeout);
}

void idleFor(std::chrono::milliseconds time) { testsupport::spinEventsFor(time); }

quint16 freePort() {
  QTcpServer probe;
  if (!probe.listen(QHostAddress::LocalHost, 0)) return 0;
  return probe.serverPort();
}

quint16 reportedPort(const QByteArray& output, const QByteArray& marker) {
  const qsizetype at = output.lastIndexOf(marker);
  const qsizetype end = at < 0 ? -1 : output.indexOf('\n', at);
  if (end < 0) return 0;  // not there, or not the whole line yet
  return testsupport::loopbackPortIn(QString::fromLatin1(output.mid(at, end - at)));
}

QString binDir() { return QStringLiteral(ZARKELO_BIN_DIR); }

QString startupArgument() {
  return QStringLiteral("-scode=") + QString::fromLatin1(bridgelink::kBridgeStartupCode);
}

QString bridgeExecutable(const QString& folder) {
  const QString copy = folder + QStringLiteral("/Vantrel_amd");
  if (!QFile::exists(copy)) QFile::copy(binDir() + QStringLiteral("/Vantrel_amd"), copy);
  return copy;
}

// ---- Child -------------------------------------------------------------------

namespace {
// The child is killed when the test process dies, even by a crash or a
// time-out, so that nothing it started outlives it.
void dieWithParent(QProcess& process) {
  process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}
}  // namespace

Child::Child() : home_(QDir::tempPath() + QStringLiteral("/vantrel-home-XXXXXX")) {
  env_ = QProcessEnvironment::systemEnvironment();
  env_.insert(QStringLiteral("HOME"), home_.path());
  env_.remove(QStringLiteral("XDG_DOCUMENTS_DIR"));
  env_.insert(QStringLiteral("XDG_CONFIG_HOME"), home_.path() + QStringLiteral("/.config"));
  env_.insert(QStringLiteral("XDG_DATA_HOME"), home_.path() + QStringLiteral("/.local/share"));
  env_.remove(QStringLiteral("VANTREL_SECRET"));
  process_.setProcessChannelMode(QProcess::MergedChannels);
  QObject::connect(&process_, &QProcess::readyRead, &process_, [this] { output_ += process_.readAll(); });
}

Child::~Child() { stop(); }

bool Child::start(const QString& program, const QStringList& args) {
  process_.setProcessEnvironment(env_);
  dieWithParent(process_);
  if (launcher.isEmpty()) process_.start(program, args);
  else process_.start(launcher.first(), launcher.mid(1) + QStringList{program} + args);
  return process_.waitForStarted(5000);
}

int Child::run(const QString& program, const QStringList& args, QByteArray* output, int timeoutMs) {
  QProcess process;
  process.setProcessEnvironment(env_);
  process.setProcessChannelMode(QProcess::MergedChannels);
  dieWithParent(process);
  process.start(program, args);
  if (!process.waitForFinished(timeoutMs)) {
    process.kill();
    process.waitForFinished(2000);
    return -1;
  }
  if (output) *output = process.readAll();
  return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

void Child::kill() {
  if (process_.state() == QProcess::NotRunning) return;
  testsupport::signalProcess(process_.processId(), SIGKILL);
  process_.waitForFinished(5000);
}

bool Child::pause() {
  return process_.state() == QProcess::Running && testsupport::signalProcess(process_.processId(), SIGSTOP);
}

bool Child::resume() {
  return process_.state() == QProcess::Running && testsupport::signalProcess(process_.processId(), SIGCONT);
}

void Child::stop() {
  if (process_.state() == QProcess::NotRunning) return;
  resume();  // a paused child would take the SIGTERM only once it goes on
  process_.terminate();
  if (!process_.waitForFinished(3000)) kill();
}

QByteArray Child::output() {
  output_ += process_.readAll();
  return output_;
}

// ---- Service -----------------------------------------------------------------

bool Service::start() {
  port_ = 0;  // the service picks a free port and tells which
  if (!child_.start(binDir() + QStringLiteral("/kelvor-service"),
                    QStringList{QStringLiteral("serve"), QStringLiteral("--data"), data_.path(), QStringLiteral("--listen"),
                                host()} +
                        serveArguments()))
    return false;
  if (!spinUntil([this] { return reportedPort(child_.output(), "listening on") != 0 && QFile::exists(caFile()); },
                 30s))
    return false;
  port_ = reportedPort(child_.output(), "listening on");
  return true;
}

bool Service::restart(const std::function<void()>& whileDown) {
  child_.kill();
  if (whileDown) whileDown();
  const qsizetype started = child_.output().count("listening on");
  if (!child_.start(binDir() + QStringLiteral("/kelvor-service"),
                    QStringList{QStringLiteral("serve"), QStringLiteral("--data"), data_.path(), QStringLiteral("--listen"),
                                host()} +
                        serveArguments()))
    return false;
  return spinUntil([this, started] { return child_.output().count("listening on") > started; }, 30s);
}

bool Service::addAccount(const QString& email, const QString& password, const QString& name, const QString& hostname,
                         qint64* id) {
  QByteArray output;
  const bool added = child_.run(binDir() + QStringLiteral("/kelvor-service"),
                                {QStringLiteral("add-account"), QStringLiteral("--data"), data_.path(),
                                 QStringLiteral("--email"), email, QStringLiteral("--password"), password,
                                 QStringLiteral("--name"), name, QStringLiteral("--hostname"), hostname},
                                &output) == 0;
  if (!added) return false;
  if (!id) return true;
  *id = output.trimmed().toLongLong();
  return *id > 0;
}

bool Service::addAnnAndBob(qint64* annId) {
  return addAccount(QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"), QStringLiteral("Ann"),
                    QStringLiteral("ann-host"), annId) &&
         addAccount(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"), QStringLiteral("Bob"),
                    QStringLiteral("bob-host"));
}

QStringList Service::serveArguments() const {
  if (!relayPingSeconds) return serveOptions;
  return serveOptions + QStringList{QStringLiteral("--relay-ping"), QString::number(relayPingSeconds)};
}

void Service::configure(QProcessEnvironment& env) const {
  env.insert(QStringLiteral("ZARKELO_SERVICE_HOST"), host());
  env.insert(QStringLiteral("ZARKELO_CA_FILE"), caFile());
  if (relayPingSeconds) env.insert(QStringLiteral("VANTREL_RELAY_PING"), QString::number(relayPingSeconds));
}

QSslConfiguration Service::tls() const {
  QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
  tls.addCaCertificates(QSslCertificate::fromPath(caFile()));
  return tls;
}

Json Service::bridgeLogin(const Json& body) const {
  QNetworkAccessManager network;
  QNetworkRequest request(QUrl(siteBase() + QStringLiteral("/api2/bridge/login")));
  request.setSslConfiguration(tls());
  request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
  QNetworkReply* reply = network.post(request, QByteArray::fromStdString(body.dump()));
  spinUntil([reply] { return reply->isFinished(); }, 15s);
  const Json answer = Json::parse(reply->readAll().toStdString(), nullptr, false);
  delete reply;
  return answer.is_discarded() ? Json() : answer;
}

// ---- BridgeProcess -------------------------------------------------------------

bool BridgeProcess::start(const Service* service, const QByteArray& secret, quint16 port) {
  // Without a port given, the bridge picks a free one and tells which.
  port_ = port;
  child_.env().insert(QStringLiteral("VANTREL_PORT"), QString::number(port));
  if (!secret.isEmpty()) child_.env().insert(QStringLiteral("VANTREL_SECRET"), QString::fromLatin1(secret));
  if (service) service->configure(child_.env());
  // The local-network route on loopback only, never on this machine's own
  // network address.
  if (!child_.env().contains(QStringLiteral("VANTREL_LAN_ADDRESS")))
    child_.env().insert(QStringLiteral("VANTREL_LAN_ADDRESS"), QStringLiteral("127.0.0.1"));
  if (!child_.start(bridgeExecutable(child_.home()), {startupArgument()})) return false;
  if (!spinUntil([this] { return reportedPort(child_.output(), "listening on") != 0; }, 30s)) return false;
  port_ = reportedPort(child_.output(), "listening on");
  // A restart of the same child comes back on the same port.
  child_.env().insert(QStringLiteral("VANTREL_PORT"), QString::number(port_));
  return port == 0 || port_ == port;
}

QString BridgeProcess::lanUrl() {
  const QRegularExpression pattern(QStringLiteral("local-network route on (https://\\S+)"));
  QString url;
  spinUntil([&] { return !(url = pattern.match(QString::fromUtf8(child_.output())).captured(1)).isEmpty(); });
  return url;
}

// ---- ClientLink ------------------------------------------------------------------

ClientLink::ClientLink() : socket_(std::make_unique<QWebSocket>()) {
  socket_->setMaxAllowedIncomingMessageSize(64 * 1024 * 1024);
  QObject::connect(socket_.get(), &QWebSocket::textMessageReceived, socket_.get(),
                   [this](const QString& text) { onText(text); });
}

ClientLink::~ClientLink() { socket_->abort(); }

bool ClientLink::open(quint16 port, const QByteArray& secret, const QByteArray& origin) {
  QNetworkRequest request(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(port)));
  if (!secret.isEmpty()) request.setRawHeader("X-Zarkelo-Secret", secret);
  if (!origin.isEmpty()) request.setRawHeader("Origin", origin);
  socket_->open(request);
  spinUntil([this] {
    return socket_->state() == QAbstractSocket::ConnectedState || socket_->state() == QAbstractSocket::UnconnectedState;
  });
  return isOpen();
}

bool ClientLink::isOpen() const { return socket_->state() == QAbstractSocket::ConnectedState; }

void ClientLink::close() {
  socket_->close();
  spinUntil([this] { return socket_->state() == QAbstractSocket::UnconnectedState; }, 2s);
}

void ClientLink::send(const QString& code, const Json& payload, bool asText) {
  Json data = asText ? Json(payload.dump()) : payload;
  const Json frame = {{"VType", "WinContrlSet->"}, {"UUID", ""}, {"Id_user1", ""}, {"Id_user2", ""},
                      {"Msg", {{"Code", code.toStdString()}, {"Data", data}}}};
  socket_->sendTextMessage(QString::fromStdString(frame.dump()));
}

QString ClientLink::control(const QString& code, const Json& payload) {
  const QString token = QStringLiteral("P2PClientTest") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
  send(QStringLiteral("P2PClientControl"),
       {{"Session", ""}, {"Code", code.toStdString()}, {"Token", token.toStdString()}, {"ClientID1", ""},
        {"ClientID2", ""}, {"ClientIDRemote", ""}, {"IsProcessOnBridge", "-"}, {"Data", payload}},
       false);
  return token;
}

std::optional<Json> ClientLink::ask(const QString& session, const QString& code, const Json& payload,
                                    std::chrono::milliseconds timeout) {
  const QString token = request(session, code, payload);
  auto reply = waitFor(
      [&](const Frame& f) { return f.code == QLatin1String("WSDC") && vantrel::textOf(f.data, "Token") == token; },
      timeout);
  if (!reply) return std::nullopt;
  return vantrel::valueOf(reply->data, "Msg");
}

Json ClientLink::answer(const QString& session, const QString& code, const Json& payload,
                        std::chrono::milliseconds timeout) {
  auto reply = ask(session, code, payload, timeout);
  if (!reply)
    throw std::runtime_error("no reply to the peer request " + code.toStdString() + " within " +
                             std::to_string(timeout.count()) + " ms");
  return std::move(*reply);
}

QString ClientLink::request(const QString& session, const QString& code, const Json& payload) {
  const QString token = QStringLiteral("ClientWSDCTest%1-").arg(++counter_) +
                        QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
  ownTokens_.insert(token);
  const QStringList ids = session.split(QLatin1Char('|'));
  send(QStringLiteral("WSDC"),
       {{"Session", session.toStdString()}, {"Code", code.toStdString()}, {"Token", token.toStdString()},
        {"ClientID1", ids.value(0).toStdString()}, {"ClientID2", ids.value(1).toStdString()},
        {"ClientIDRemote", ids.value(1).toStdString()}, {"IsProcessOnBridge", "NO"}, {"Data", payload}},
       false);
  return token;
}

void ClientLink::onText(const QString& text) {
  const auto tree = vantrel::parseJson(text);
  if (!tree || !tree->is_object()) return;
  Frame frame{vantrel::textOf(*tree, "Code"), nullptr, false};
  const Json data = vantrel::valueOf(*tree, "Data");
  frame.dataWasText = data.is_string();
  if (data.is_string()) {
    if (auto parsed = vantrel::parseJson(vantrel::asText(data))) frame.data = *parsed;
  }
  if (server_ && frame.code == QLatin1String("WSDC") && !ownTokens_.contains(vantrel::textOf(frame.data, "Token"))) {
    const Json& d = frame.data;
    const QStringList ids = vantrel::textOf(d, "Session").split(QLatin1Char('|'));
    const Json reply = {{"Data", server_(vantrel::textOf(d, "Code"), vantrel::valueOf(d, "Msg"))},
                        {"Token", d.value("Token", "")},
                        {"ClientID1", ids.value(0).toStdString()},
                        {"ClientID2", ids.value(1).toStdString()},
                        {"ClientIDRemote", ids.value(0).toStdString()},
                        {"Session", d.value("Session", "")},
                        {"Code", d.value("Code", "")}};
    send(QStringLiteral("WSDC"), reply, true);
    return;
  }
  if (server_ && frame.code == QLatin1String("P2PCallHostFunc")) {
    const auto call = vantrel::parseJson(vantrel::textOf(frame.data, "TxtMsg"));
    if (call) {
      const Json request = vantrel::valueOf(*call, "Msg");
      const Json result = server_(vantrel::textOf(request, "Code"), vantrel::valueOf(request, "Msg"));
      send(QStringLiteral("P2PCallHostFuncCallback"),
           {{"Data", result}, {"Code", request.value("Code", "")}, {"Session", frame.data.value("Session", "")},
            {"Token", call->value("Token", "")}},
           true);
      return;
    }
  }
  inbox_.push_back(std::move(frame));
}

void ClientLink::serve(std::function<Json(const QString&, const Json&)> reply) { server_ = std::move(reply); }

std::optional<ClientLink::Frame> ClientLink::waitFor(const std::function<bool(const Frame&)>& match,
                                                      std::chrono::milliseconds timeout) {
  std::optional<Frame> found;
  spinUntil(
      [&] {
        for (auto it = inbox_.begin(); it != inbox_.end(); ++it) {
          if (match(*it)) {
            found = std::move(*it);
            inbox_.erase(it);
            return true;
          }
        }
        return false;
      },
      timeout);
  return found;
}

std::optional<ClientLink::Frame> ClientLink::waitForCode(const QString& code, std::chrono::milliseconds timeout) {
  return waitFor([&](const Frame& f) { return f.code == code; }, timeout);
}

std::optional<Json> ClientLink::waitReply(const QString& token, std::chrono::milliseconds timeout) {
  auto frame = waitFor(
      [&](const Frame& f) {
        return f.code == QLatin1String("P2PCLIENT") && vantrel::textOf(f.data, "Token") == token;
      },
      timeout);
  if (!frame) return std::nullopt;
  return vantrel::valueOf(frame->data, "Msg");
}

std::optional<Json> ClientLink::login(const QString& id, const QString& password, std::chrono::milliseconds timeout) {
  send(QStringLiteral("Login"), {{"Id_acc", id.toStdString()}, {"Password", password.toStdString()},
                                 {"Device", "IPhone"}, {"isCheckAccOnly", "0"}, {"Relogin", false},
                                 {"Version", "1.0.2"}, {"Source", "IOS"}});
  auto frame = waitForCode(QStringLiteral("LoginResult"), timeout);
  if (!frame) return std::nullopt;
  return frame->data;
}

// ---- RawRelayClient ----------------------------------------------------------------

bool RawRelayClient::open(quint16 port, const QSslConfiguration& tls) {
  socket.setSslConfiguration(tls);
  socket.setReadBufferSize(64 * 1024);
  socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
  if (!spinUntil([this] { return socket.isEncrypted(); })) return false;
  socket.write("GET /relay HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
  if (!spinUntil([this] {
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

void RawRelayClient::sendText(const Json& frame) {
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
  return spinUntil(
      [&] {
        pump();
        return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(part) != std::string::npos; });
      },
      timeout);
}

std::unique_ptr<RawRelayClient> rawRelayOnline(const Service& service, const QString& email, const QString& password,
                                               Json* signedIn) {
  const Json session = service.bridgeLogin({{"Id_acc", email.toStdString()}, {"Password", password.toStdString()}});
  if (signedIn) *signedIn = session;
  auto client = std::make_unique<RawRelayClient>();
  if (!session.is_object() || !client->open(QUrl(service.siteBase()).port(), service.tls())) return nullptr;
  client->sendText({{"op", "hello"}, {"Token", session.value("Token", "")}});
  if (!client->waitText("\"ready\"")) return nullptr;
  return client;
}

// ---- Signed ----------------------------------------------------------------------

std::unique_ptr<Signed> signIn(const Service* service, const QString& email, const QString& password,
                               std::string* why, const QStringList& launcher) {
  auto s = std::make_unique<Signed>();
  s->bridge.child().launcher = launcher;
  if (!s->bridge.start(service) || !s->link.open(s->bridge.port())) {
    if (why) *why = "bridge not reachable: " + s->bridge.child().output().toStdString();
    return nullptr;
  }
  auto result = s->link.login(email, password, 20s);
  if (!result || vantrel::intOf(*result, "Result") != 1) {
    if (why)
      *why = "sign-in of " + email.toStdString() + " failed: " + (result ? result->dump() : "no answer") + "\n" +
             s->bridge.child().output().toStdString();
    return nullptr;
  }
  s->result = *result;
  return s;
}

// ---- LinkedPair ------------------------------------------------------------------

bool LinkedPair::start(std::function<Json(const QString& code, const Json& msg)> serve) {
  if (!service.addAnnAndBob() || !service.start()) return false;
  if (!hostBridge.start(&service) || !peerBridge.start(&service)) return false;
  if (!host.open(hostBridge.port()) || !peer.open(peerBridge.port())) return false;
  const auto a = host.login(QStringLiteral("ann@example.com"), QStringLiteral("ann-pass"), 20s);
  const auto b = peer.login(QStringLiteral("bob@example.com"), QStringLiteral("bob-pass"), 20s);
  if (!a || !b) return false;
  host.serve(std::move(serve));
  peer.send(QStringLiteral("ClientInit"), {{"Id_user", vantrel::textOf(*b, "Token").toStdString()},
                                           {"Hostname", "ann-host"}, {"Hosttag", "docs"}, {"Hostpassword", ""}});
  const auto opened = peer.waitForCode(QStringLiteral("P2PCLIENT"), 10s);
  if (!opened || vantrel::textOf(opened->data, "Type") != QLatin1String("GetShareHost6Client")) return false;
  const Json msg = vantrel::valueOf(opened->data, "Msg");
  session = vantrel::textOf(msg, "ClientID1") + QLatin1Char('|') + vantrel::textOf(msg, "ClientID2");
  return true;
}

}  // namespace vantreltest
