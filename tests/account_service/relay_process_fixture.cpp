#include "relay_process_fixture.h"

#include "protocol/data_frame.h"
#include "support/test_util.h"

#include <QElapsedTimer>
#include <QFile>

namespace relaytest {

QByteArray dataFrame(const std::string& session, quint32 file, const QByteArray& payload) {
  protocol::DataFrameHeader header;
  header.session = QByteArray::fromStdString(session);
  header.transfer = QByteArrayLiteral("T1");
  header.file = file;
  header.offset = quint64(file) * 4096;
  return protocol::encodeDataFrame(header, payload);
}

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
  testutil::idleFor(std::chrono::milliseconds(ms));
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

void RelayProcess::SetUp() {
  ASSERT_TRUE(service.addAnnAndBob());
  ASSERT_TRUE(service.addAccount(QStringLiteral("carol@example.com"), QStringLiteral("carol-pass"), QStringLiteral("Carol"),
                                 QStringLiteral("carol-host")));
  ASSERT_TRUE(service.start());
  tls = service.tls();
}

void RelayProcess::TearDown() { service.child().stop(); }

QString RelayProcess::relayUrl() const { return QStringLiteral("wss://") + service.host() + QStringLiteral("/relay"); }

json RelayProcess::login(const json& body) { return service.bridgeLogin(body); }

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

std::unique_ptr<RawRelayClient> RelayProcess::onlineRaw(const std::string& id, const std::string& password,
                                                        std::string* clientId, const std::string& credential) {
  json body{{"Id_acc", id}, {"Password", password}};
  if (!credential.empty()) body["Credential"] = credential;
  const json session = login(body);
  auto client = std::make_unique<RawRelayClient>();
  bool ready = client->open(QUrl(relayUrl()).port(), tls);
  if (ready) {
    client->sendText({{"op", "hello"}, {"Token", session.value("Token", "")}});
    ready = client->waitText("\"ready\"");
  }
  if (!ready) {
    ADD_FAILURE() << "no relay connection of " << id << " came to \"ready\"";
    return std::make_unique<RawRelayClient>();
  }
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

qint64 RelayProcess::serviceRssKb(bool peak) {
  QFile status(QStringLiteral("/proc/%1/status").arg(service.child().process().processId()));
  if (!status.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith(peak ? "VmHWM:" : "VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLongLong();
  return -1;
}

qint64 RelayProcess::roundTripMs(RelayClient& from, RelayClient& to, const std::string& session) {
  QElapsedTimer clock;
  clock.start();
  const QByteArray frame = dataFrame(session, 1, QByteArrayLiteral("small"));
  from.socket.sendBinaryMessage(frame);
  if (to.nextBinary() != frame) return -1;
  to.send({{"op", "relay"}, {"Session", session}, {"frame", {{"ok", 1}}}});
  json answer;
  do answer = from.next();
  while (answer.value("op", "") == "credit");
  return answer["frame"].value("ok", 0) == 1 ? clock.elapsed() : -1;
}

bool RelayProcess::relayDownload(RelayClient& caller, RelayClient& host, const std::string& hostname, qint64 bytes) {
  const std::string session = connect(caller, host, hostname);
  if (session.empty()) return false;
  constexpr qint64 kFrame = 512 * 1024;
  const QByteArray file = testutil::randomBytes(bytes);
  std::vector<QByteArray> frames;
  for (qint64 at = 0; at < bytes; at += kFrame)
    frames.push_back(dataFrame(session, quint32(frames.size()), file.mid(at, kFrame)));
  qint64 credit = 4 * 1024 * 1024;  // the window the relay announces
  std::size_t sent = 0, arrived = 0;
  auto ended = [&](RelayClient& side) {
    for (const json& frame : side.frames) {
      if (frame.value("op", "") == "closed") return true;
      if (&side == &host && frame.value("op", "") == "credit") credit += frame.value("n", qint64(0));
    }
    side.frames.clear();
    return false;
  };
  QElapsedTimer clock;
  clock.start();
  while (arrived < frames.size() && clock.elapsed() < 30000) {
    for (; sent < frames.size() && credit >= frames[sent].size(); ++sent) {
      credit -= frames[sent].size();
      host.socket.sendBinaryMessage(frames[sent]);
    }
    testutil::waitUntil([&] { return !caller.binaries.empty() || !host.frames.empty() || !caller.frames.empty(); }, 1s);
    if (ended(host) || ended(caller)) return false;
    for (const QByteArray& got : caller.binaries)
      if (got != frames[arrived++]) return false;
    caller.binaries.clear();
  }
  caller.send({{"op", "close"}, {"Session", session}});
  return arrived == frames.size() && testutil::waitUntil([&] {
           return std::any_of(host.frames.begin(), host.frames.end(),
                              [](const json& frame) { return frame.value("op", "") == "closed"; });
         }) && (host.frames.clear(), true);
}

RelayProcess::TimedSession RelayProcess::bobsTimedSession() {
  TimedSession session;
  session.host = online("bob@example.com", "bob-pass");
  session.caller = online("bob@example.com", "bob-pass");
  session.id = connect(*session.caller, *session.host, "bob-host");
  return session;
}

void RelayProcess::timeRoundTrip(TimedSession& session) {
  const qint64 ms = roundTripMs(*session.caller, *session.host, session.id);
  ASSERT_GE(ms, 0);
  session.worstMs = std::max(session.worstMs, ms);
}

}  // namespace relaytest
