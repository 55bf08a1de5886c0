#include "bridge.h"

#include "common/tls/tls_identity.h"
#include "core/log.h"
#include "core/post_back.h"
#include "lan/transfer_lan.h"
#include "protocol/data_frame.h"
#include "protocol/peer_requests.h"
#include "protocol/share_spot.h"

#include <QTimer>
#include <QUrl>
#include <QUuid>

namespace vantrel {

namespace {

// Larger credit in one step than any window: not from a sound service.
constexpr qint64 kMaxCreditStep = 1024 * 1024 * 1024;

// The data window the service gives a session, or -1 when it names none.
qint64 windowOf(const Json& op) {
  const qint64 window = intOf(op, "window");
  return window > 0 ? window : -1;
}

const QString kNotServedOnBridge = QStringLiteral("This request is not served by the bridge");

// A transfer check the client has taken (its turn came) gets this long to be
// answered; one still waiting for its turn is not timed by it, only bounded
// (a client that never says it took the check) as long as the engine waits
// for one the client keeps answering "busy".
constexpr int kClientCheckTimeoutMs = 10000;
constexpr int kClientCheckWaitMs = ClientAsks::kBusyGiveUpMs;

// A member without copying it (transfer chunks are large), or null.
const Json& memberOf(const Json& object, const char* key) {
  static const Json null;
  if (!object.is_object()) return null;
  const auto it = object.find(key);
  return it == object.end() ? null : *it;
}

// The address without its query, which may carry a token.
QString loggable(const QString& address) {
  return QUrl(address).adjusted(QUrl::RemoveQuery | QUrl::RemoveUserInfo | QUrl::RemoveFragment).toString();
}

// A "WSDC" delivery in `session`, whose name holds the two clients' ids.
Json wsdcIn(const QString& session, const QString& token, const QString& code, const Json& msg,
            const QString& peerAccount = {}, const QString& peerName = {}) {
  const QStringList ids = session.split(QLatin1Char('|'));
  return WsdcDelivery{token, session, code, msg, ids.value(0), ids.value(1), peerAccount, peerName}.toJSONModel();
}

// The answer to a request for a host that is gone.
Json unreachableAnswer() { return FailureMsg{0, QLatin1String(kHostUnreachable)}.toJSONModel(); }

}  // namespace

Bridge::Bridge(QObject* parent) : Bridge(CredentialStore(), parent) {}

Bridge::Bridge(CredentialStore credentials, QObject* parent)
    : QObject(parent),
      port_(new ClientPort(this)),
      http_(new HttpCalls(this)),
      service_(new ServiceLink(http_->network(), this)),
      credentials_(std::move(credentials)),
      transfers_(new TransferEngine(
          [this](const QString& session, const QString& op, const QString& xid, const Json& msg) {
            return sendTransferFrame(session, op, xid, msg);
          },
          [this](const QString& session, const QString& xid, quint32 file, quint64 offset, QByteArrayView bytes) {
            return sendTransferData(session, xid, file, offset, bytes);
          },
          [this](const QString& session, const QString& code, const Json& msg, TransferEngine::AskDone done) {
            askClient(session, code, msg, std::move(done));
          },
          this)) {
  reader_ = new QThreadPool(this);
  reader_->setMaxThreadCount(1);  // one reader: the frames come out in order
  connect(port_, &ClientPort::textReceived, this, &Bridge::onClientText);
  connect(service_, &ServiceLink::ready, this, &Bridge::onRelayReady);
  connect(service_, &ServiceLink::lost, this, &Bridge::onRelayLost);
  connect(service_, &ServiceLink::tokenRefused, this, &Bridge::onTokenRefused);
  connect(service_, &ServiceLink::opReceived, this, &Bridge::onServiceOp);
  connect(service_, &ServiceLink::binaryReceived, this, &Bridge::onServiceData);
  transfers_->setRoom([this](const QString& session, qint64 bytes) {
    const auto it = sessions_.constFind(session);
    return it != sessions_.constEnd() && (it->credit < 0 || it->credit >= bytes);
  });
  transfers_->setAccountOf([this](const QString& session) { return sessions_.value(session).peerAccount; });
}

bool Bridge::start(quint16 port, const QByteArray& secret, QString* error) {
  port_->setSecret(secret);
  return port_->listen(port, error);
}

bool Bridge::startLan(const LanSetting& setting, quint16 port, const QString& folder, QString* error) {
  lanOff_ = setting.mode == LanSetting::Mode::Off;
  // Loopback is dialed only by a bridge that serves there itself (tests, one machine).
  transfers_->setLanFollowing(!lanOff_, setting.mode == LanSetting::Mode::Fixed && setting.address.isLoopback());
  auto* route = new LanRoute(setting, port, this);
  if (!route->start(folder, error)) {
    delete route;
    return false;
  }
  lan_ = route;
  transfers_->setLanListener(lan_->listener());
  return true;
}

// ---- the client ------------------------------------------------------------

namespace {

// A client frame and, for an answer to a peer's request, the relay message that
// carries it: written where the frame is read, so that a large answer costs
// the event loop only its write.
struct ReadResult {
  std::optional<ClientFrame> frame;
  QByteArray written;
};

ReadResult readAside(const QString& text) {
  ReadResult read{readClientFrame(text), {}};
  if (!read.frame || read.frame->code != QLatin1String("WSDC")) return read;
  const Json& envelope = read.frame->data;
  const QString token = textOf(envelope, "Token");
  const QString code = textOf(envelope, "Code");
  if (token.isEmpty() || code == QLatin1String("ClientTouch")) return read;
  const RelayFrame reply{QStringLiteral("reply"), token, code, valueOf(envelope, "Data")};
  if (const auto op = vex::dump(RelayOp{QStringLiteral("relay"), textOf(envelope, "Session"), reply.toJSONModel()}
                                    .toJSONModel()))
    read.written = QByteArray::fromStdString(*op);
  return read;
}

// The link's own frames, served at once whatever waits to be read.
bool isLinkFrame(const ClientFrame& frame) {
  return frame.code == QLatin1String("Login") || frame.code == QLatin1String("P2PClientControl");
}

}  // namespace

void Bridge::onClientText(const QString& text) {
  if (retiring_) return;
  if (text.size() >= kReadAsideChars) {
    auto slot = std::make_shared<ReadFrame>();
    reading_.push_back(slot);
    postback::run(reader_, this, [text] { return readAside(text); }, [this, slot](ReadResult read) {
      slot->ready = true;
      slot->frame = std::move(read.frame);
      slot->written = std::move(read.written);
      takeReadFrames();
    });
    return;
  }
  auto frame = readClientFrame(text);
  // The client's answers to the bridge's own checks need no order with the
  // peers' answers being read: a transfer's next step waits for them.
  if (reading_.empty() || (frame && (isLinkFrame(*frame) || isCheckAnswer(*frame)))) return onClientFrame(frame);
  reading_.push_back(std::make_shared<ReadFrame>(ReadFrame{true, std::move(frame), {}}));
}

bool Bridge::isCheckAnswer(const ClientFrame& frame) const {
  return frame.code == QLatin1String("WSDC") && checks_.contains(textOf(frame.data, "Token"));
}

void Bridge::takeReadFrames() {
  while (!reading_.empty() && reading_.front()->ready) {
    const std::shared_ptr<ReadFrame> read = reading_.front();
    reading_.pop_front();
    if (retiring_) continue;
    if (!read->written.isEmpty() && read->frame && relayWrittenReply(read->frame->data, read->written)) continue;
    onClientFrame(read->frame);
  }
}

void Bridge::onClientFrame(const std::optional<ClientFrame>& frame) {
  if (!frame) {
    zlog::line(QStringLiteral("Vantrel - client frame is not a JSON object, dropped"));
    return;
  }
  if (!frame->data.is_object()) {
    zlog::parts(QStringLiteral("Vantrel - client frame without a payload object, dropped:"), zlog::excerpt(frame->code));
    return;
  }
  if (frame->code == QLatin1String("Login")) return onLogin(frame->data);
  if (frame->code == QLatin1String("ClientInit")) return onClientInit(frame->data);
  if (frame->code == QLatin1String("WSDC")) return onWsdc(frame->data);
  if (frame->code == QLatin1String("P2PClientControl")) return onControl(frame->data);
  if (frame->code == QLatin1String("P2PCallHostFuncCallback")) return onHostCallback(frame->data);
  zlog::parts(QStringLiteral("Vantrel - unknown client code, dropped:"), zlog::excerpt(frame->code));
}

void Bridge::sendToClient(quint64 generation, const QString& code, const Json& payload, bool urgent) {
  // A sign-in's answer, like the heartbeat's, goes ahead of peers' traffic.
  urgent = urgent || code == QLatin1String("LoginResult");
  if (!port_->sendTo(generation, clientFrameText(code, payload), urgent))
    zlog::parts(QStringLiteral("Vantrel - the asking client is gone, answer dropped:"), zlog::excerpt(code));
}

void Bridge::deliverToClient(const QString& code, const Json& payload) {
  if (!port_->send(clientFrameText(code, payload), code == QLatin1String("LoginResult")))
    zlog::parts(QStringLiteral("Vantrel - no client connected, dropped:"), zlog::excerpt(code));
}

void Bridge::onLogin(const Json& data) {
  const quint64 generation = port_->clientGeneration();
  ServiceLoginRequest request;
  request.Id_acc = textOf(data, "Id_acc");
  request.Password = textOf(data, "Password");
  request.Device = textOf(data, "Device");
  request.Version = textOf(data, "Version");
  if (request.Id_acc.isEmpty() || request.Password.isEmpty()) {
    sendToClient(generation, QStringLiteral("LoginResult"),
                 FailureMsg{0, QStringLiteral("The account and the password are required")}.toJSONModel());
    return;
  }
  // An (id, id) sign-in presents the device credential kept for that account.
  if (request.Id_acc == request.Password) {
    if (const auto stored = credentials_.load(); stored && QString::number(stored->ACC) == request.Id_acc)
      request.Credential = stored->Credential;
  }
  const quint64 seq = ++loginSeq_;
  service_->login(request, [this, generation, seq](const std::optional<Json>& answer, const QString& failure) {
    if (!answer) {
      zlog::parts(QStringLiteral("Vantrel - sign-in failed:"), failure);
      sendToClient(generation, QStringLiteral("LoginResult"),
                   FailureMsg{0, QStringLiteral("The account service cannot be reached")}.toJSONModel());
      return;
    }
    const auto result = acceptSignIn(*answer, seq);
    if (!result) {
      const QString info = textOf(*answer, "Info");
      zlog::parts(QStringLiteral("Vantrel - sign-in refused:"), info.left(200));
      Json failure = FailureMsg{0, info.isEmpty() ? QStringLiteral("Sign-in refused") : info}.toJSONModel();
      // A sign-in paused after many wrong passwords: for how long.
      if (const qint64 paused = intOf(*answer, "PausedSeconds"); paused > 0)
        failure["PausedSeconds"] = std::min<qint64>(paused, 24 * 3600);
      // Too busy to check it: the client says to try again, not that the password is wrong.
      if (intOf(*answer, "Busy") == 1) failure["Busy"] = 1;
      sendToClient(generation, QStringLiteral("LoginResult"), failure);
      return;
    }
    sendToClient(generation, QStringLiteral("LoginResult"), result->toJSONModel());
  });
}

std::optional<LoginResultMsg> Bridge::acceptSignIn(const Json& answer, quint64 seq) {
  const QString token = textOf(answer, "Token");
  if (intOf(answer, "Result") != 1 || token.isEmpty()) return std::nullopt;
  LoginResultMsg result;
  result.ACC = intOf(answer, "ACC");
  result.name_acc = textOf(answer, "name_acc");
  result.rooturl = textOf(answer, "rooturl");
  result.ClientID = textOf(answer, "ClientID");
  result.Token = token;
  const Json limit = valueOf(answer, "limit");
  result.limit = LoginLimit{intOf(limit, "maxsharecount"), intOf(limit, "limit_dpc"), intOf(limit, "mbr_type")};
  const QString credential = textOf(answer, "Credential");
  if (!credential.isEmpty()) credentials_.save(StoredCredential{result.ACC, credential});
  if (seq > appliedLoginSeq_ && !retiring_) {
    // A newer sign-in replaces the account, its relay and its sessions.
    appliedLoginSeq_ = seq;
    dropSessions();
    token_ = token;
    clientId_ = result.ClientID;
    acc_ = result.ACC;
    service_->open(token_);
    zlog::parts(QStringLiteral("Vantrel - signed in, account"), QString::number(acc_));
  }
  return result;
}

void Bridge::onTokenRefused() {
  // The service no longer knows this sign-in (it lost its state, or the token
  // expired): sign in again with the device credential, then tell the client
  // its new token and client id as a "LoginResult" of its own.
  if (signingInAgain_ || token_.isEmpty()) return;
  const auto stored = credentials_.load();
  if (!stored || stored->ACC != acc_) {
    zlog::line(QStringLiteral("Vantrel - the service forgot this sign-in and no device credential is kept"));
    return;
  }
  ServiceLoginRequest request;
  request.Id_acc = request.Password = QString::number(acc_);
  request.Device = QStringLiteral("IPhone");
  request.Credential = stored->Credential;
  signingInAgain_ = true;
  const quint64 seq = ++loginSeq_;
  zlog::line(QStringLiteral("Vantrel - signing in again with the device credential"));
  service_->login(request, [this, seq](const std::optional<Json>& answer, const QString& failure) {
    signingInAgain_ = false;
    if (!answer) {
      // The relay keeps retrying; its next refusal brings us back here.
      zlog::parts(QStringLiteral("Vantrel - signing in again failed:"), failure);
      return;
    }
    const auto result = acceptSignIn(*answer, seq);
    if (!result) {
      zlog::parts(QStringLiteral("Vantrel - signing in again refused:"), textOf(*answer, "Info").left(200));
      service_->close();
      token_.clear();
      return;
    }
    if (seq == appliedLoginSeq_) deliverToClient(QStringLiteral("LoginResult"), result->toJSONModel());
  });
}

void Bridge::failInitTo(quint64 generation, const QString& why) {
  zlog::parts(QStringLiteral("Vantrel - peer link failed:"), why);
  sendToClient(generation, QStringLiteral("P2PCLIENT"),
               P2PClientDelivery{QStringLiteral("P2PConFailed"), QString(), FailureMsg{0, why}.toJSONModel()}
                   .toJSONModel());
}

void Bridge::failInit(const QString& ref, const QString& why) {
  const auto it = pendingInits_.find(ref);
  if (it == pendingInits_.end()) return;
  const quint64 generation = it->generation;
  pendingInits_.erase(it);
  failInitTo(generation, why);
}

void Bridge::onClientInit(const Json& data) {
  const quint64 generation = port_->clientGeneration();
  const QString hostname = textOf(data, "Hostname");
  if (!isSignedIn()) return failInitTo(generation, QStringLiteral("not signed in"));
  if (textOf(data, "Id_user") != token_)
    return failInitTo(generation, QStringLiteral("the request is not from the signed-in account"));
  if (hostname.isEmpty()) return failInitTo(generation, QStringLiteral("no host name"));
  const QString ref = QStringLiteral("r%1").arg(++nextRef_);
  pendingInits_.insert(ref, PendingInit{generation, hostname, textOf(data, "Hosttag"), false, textOf(data, "Hostpassword")});
  QTimer::singleShot(connectTimeoutMs_, this, [this, ref] { failInit(ref, QStringLiteral("no answer from the service")); });
  sendPendingInits();  // at once when the relay is ready, else as soon as it is
}

void Bridge::sendPendingInits() {
  if (!service_->isReady()) return;
  for (auto it = pendingInits_.begin(); it != pendingInits_.end(); ++it) {
    if (it->sent) continue;
    it->sent = service_->sendModel(ConnectOp{QStringLiteral("connect"), it.key(), it->hostname, it->tag});
  }
}

void Bridge::onWsdc(const Json& envelope) {
  const QString token = textOf(envelope, "Token");
  const QString session = textOf(envelope, "Session");
  const QString code = textOf(envelope, "Code");
  if (token.isEmpty()) {
    zlog::parts(QStringLiteral("Vantrel - WSDC without a token, dropped:"), zlog::excerpt(code));
    return;
  }
  // The client's answer to a host check the bridge asked for a transfer, or
  // its notice that the check's turn came.
  if (const auto check = checks_.find(token); check != checks_.end()) {
    if (intOf(envelope, protocol::kCheckTakenField) == 1) return checkTaken(token);
    const TransferEngine::AskDone done = check->done;
    checks_.erase(check);
    done(valueOf(envelope, "Data"));
    return;
  }
  // The client's reply to a request that was delivered to it.
  if (delivered_.contains(token)) {
    if (!delivered_.take(token, session)) {
      zlog::parts(QStringLiteral("Vantrel - WSDC reply names another session, dropped:"), zlog::excerpt(code));
      return;
    }
    if (code == QLatin1String("ClientTouch")) announceLan(session, valueOf(envelope, "Data"));
    relay(session, RelayFrame{QStringLiteral("reply"), token, code, valueOf(envelope, "Data")});
    return;
  }
  if (textOf(envelope, "IsProcessOnBridge") == QLatin1String("YES")) {
    // Answered from this bridge's own transfer state.
    Json answer;
    if (code == QLatin1String("RemoteUploadTaskInfo"))
      answer = transfers_->uploadProgress(session);
    else if (code == QLatin1String("CancelUploading"))
      answer = transfers_->cancelUpload(session);
    else
      answer = NotServedReply{0, false, kNotServedOnBridge}.toJSONModel();
    deliverToClient(QStringLiteral("WSDC"), wsdcIn(session, token, code, answer));
    return;
  }
  if (!sessions_.contains(session)) {
    // The host went away (or never was): the asking view hears it at once
    // instead of waiting for an answer that cannot come. Not so for a late
    // answer to what the bridge itself asked: the client would take it for a
    // peer's request.
    if (closedTokens_.contains(token) || token.startsWith(QLatin1String("Vantrel"))) {
      zlog::parts(QStringLiteral("Vantrel - WSDC for a closed session, dropped:"), zlog::excerpt(code));
      return;
    }
    zlog::parts(QStringLiteral("Vantrel - WSDC for a session that is not open, answered as unreachable:"),
                zlog::excerpt(code));
    answerUnreachable(token, session, code);
    return;
  }
  sent_.insert(token, session);
  // The host announces its addresses anew with its answer.
  if (code == QLatin1String("ClientTouch")) sessions_[session].lanUrls.clear();
  relay(session, RelayFrame{QStringLiteral("request"), token, code, valueOf(envelope, "Data")});
}

bool Bridge::relayWrittenReply(const Json& envelope, const QByteArray& written) {
  const QString token = textOf(envelope, "Token");
  if (checks_.contains(token) || !delivered_.contains(token)) return false;  // not a peer's: served as any frame
  const QString session = textOf(envelope, "Session");
  const QString code = textOf(envelope, "Code");
  if (!delivered_.take(token, session)) {
    zlog::parts(QStringLiteral("Vantrel - WSDC reply names another session, dropped:"), zlog::excerpt(code));
    return true;
  }
  relayWritten(session, RelayFrame{QStringLiteral("reply"), token, code, Json()}, written);
  return true;
}

void Bridge::onHostCallback(const Json& data) {
  const QString token = textOf(data, "Token");
  const QString session = textOf(data, "Session");
  if (token.isEmpty() || !delivered_.take(token, session)) {
    zlog::line(QStringLiteral("Vantrel - host function result for no pending call, dropped"));
    return;
  }
  relay(session, RelayFrame{QStringLiteral("reply"), token, textOf(data, "Code"), valueOf(data, "Data")});
}

void Bridge::onControl(const Json& envelope) {
  const quint64 generation = port_->clientGeneration();
  const QString token = textOf(envelope, "Token");
  const QString code = textOf(envelope, "Code");
  const Json payload = valueOf(envelope, "Data");
  auto answer = [this, generation, token, code](const Json& msg) {
    // The heartbeat's answer goes ahead of peers' traffic to the client.
    sendToClient(generation, QStringLiteral("P2PCLIENT"), P2PClientDelivery{code, token, msg}.toJSONModel(),
                 code == QLatin1String("PingBridge"));
  };
  if (code == QLatin1String("PingBridge")) return answer(Json("Pong"));
  if (code == QLatin1String("GetLanHttp")) return answer(Json(connectedHostLan().toStdString()));
  if (code == QLatin1String("CallHttp")) {
    const QString url = textOf(payload, "URL");
    zlog::parts(QStringLiteral("Vantrel - CallHttp"), loggable(url));
    http_->fetchText(url, intOf(payload, "Timeout"), [answer, url](bool ok, const QString& body) {
      if (!ok) zlog::parts(QStringLiteral("Vantrel - CallHttp failed:"), loggable(url), zlog::excerpt(body));
      // The callers parse the answer text as JSON: a failure is a JSON refusal.
      answer(Json((ok ? body : modelText(FailureMsg{0, body})).toStdString()));
    });
    return;
  }
  if (code == QLatin1String("CallHttpDownload")) {
    const QString url = textOf(payload, "URL");
    zlog::parts(QStringLiteral("Vantrel - CallHttpDownload"), loggable(url));
    http_->download(url, textOf(payload, "SaveAt"), [answer, url](bool ok, const QString& reason) {
      if (!ok) zlog::parts(QStringLiteral("Vantrel - CallHttpDownload failed:"), loggable(url), reason);
      answer(DownloadResultMsg{ok, reason}.toJSONModel());
    });
    return;
  }
  if (code == QLatin1String("Trans2_FS_00_CallStart")) return transfers_->startUpload(payload, answer);
  if (code == QLatin1String("StartRemoteUpload")) return transfers_->startSend(payload, answer);
  if (code == QLatin1String("PreparingUpload")) return transfers_->prepareUpload(payload, answer);
  if (const auto reply = transferRequest(code, payload)) return answer(*reply);
  zlog::parts(QStringLiteral("Vantrel - unknown bridge request, dropped:"), zlog::excerpt(code));
}

// ---- the service -----------------------------------------------------------

void Bridge::onRelayReady() {
  if (service_->clientId() != clientId_)
    zlog::parts(QStringLiteral("Vantrel - the relay names another client id:"), service_->clientId());
  sendPendingInits();
}

void Bridge::onRelayLost() {
  dropSessions();
  // Links asked for on the lost connection get no answer any more.
  const QStringList refs = pendingInits_.keys();
  for (const QString& ref : refs)
    if (pendingInits_.value(ref).sent) failInit(ref, QStringLiteral("the relay connection dropped"));
}

void Bridge::retire(const QString& why) {
  if (retiring_) return;
  retiring_ = true;
  zlog::parts(QStringLiteral("Vantrel - ending:"), why);
  // Peers hear why their transfers end, then that the sessions are closed.
  transfers_->endAll(why);
  for (auto it = sessions_.constBegin(); it != sessions_.constEnd(); ++it)
    service_->sendModel(SessionOp{QStringLiteral("close"), it.key()});
  dropSessions();
  pendingInits_.clear();
  token_.clear();
  clientId_.clear();
  acc_ = 0;
  service_->signOut([this] {
    zlog::line(QStringLiteral("Vantrel - signed out"));
    emit retired();
  });
}

void Bridge::dropSessions() {
  transfers_->allSessionsGone();
  for (auto it = sessions_.constBegin(); it != sessions_.constEnd(); ++it) {
    endRequestsOf(it.key());
    tellSessionClosed(it.key());
  }
  sessions_.clear();
  initChecks_.clear();
  delivered_.clear();
  sent_.clear();
}

// The client's host side forgets what the session was allowed.
void Bridge::tellSessionClosed(const QString& session) {
  if (!port_->hasClient()) return;
  const QString token = QStringLiteral("VantrelClosed-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
  deliverToClient(QStringLiteral("WSDC"), wsdcIn(session, token, QStringLiteral("SessionClosed"), Json::object()));
}

void Bridge::endRequestsOf(const QString& session) {
  for (const QString& token : sent_.tokensOf(session)) {
    sent_.take(token, session);
    answerUnreachable(token, session, QString());
  }
  for (const QString& token : delivered_.tokensOf(session)) closedTokens_.insert(token, session);
}

void Bridge::answerUnreachable(const QString& token, const QString& session, const QString& code) {
  closedTokens_.insert(token, session);
  deliverToClient(QStringLiteral("WSDC"), wsdcIn(session, token, code, unreachableAnswer()));
}

void Bridge::forgetSession(const QString& session) {
  transfers_->sessionGone(session);
  service_->dropSession(session);
  if (sessions_.contains(session)) {
    endRequestsOf(session);
    tellSessionClosed(session);
  }
  sessions_.remove(session);
  initChecks_.forgetSession(session);
  delivered_.forgetSession(session);
  sent_.forgetSession(session);
}

void Bridge::onServiceOp(const Json& op) {
  const QString name = textOf(op, "op");
  if (name == QLatin1String("session")) return onSessionOpened(op);
  if (name == QLatin1String("connect_failed")) {
    failInit(textOf(op, "ref"), textOf(op, "error"));
    return;
  }
  if (name == QLatin1String("relay")) {
    const QString session = textOf(op, "Session");
    const auto it = sessions_.constFind(session);
    if (it == sessions_.constEnd() || it->peer != textOf(op, "from")) {
      zlog::line(QStringLiteral("Vantrel - relayed frame outside an open session, dropped"));
      return;
    }
    onRelayedFrame(session, memberOf(op, "frame"));
    return;
  }
  if (name == QLatin1String("closed")) {
    forgetSession(textOf(op, "Session"));
    return;
  }
  if (name == QLatin1String("credit")) {
    const QString session = textOf(op, "Session");
    const auto it = sessions_.find(session);
    const qint64 n = intOf(op, "n");
    if (it == sessions_.end() || it->credit < 0 || n <= 0 || n > kMaxCreditStep) return;
    it->credit += n;
    transfers_->resume(session);
    return;
  }
  if (name == QLatin1String("error")) {
    zlog::parts(QStringLiteral("Vantrel - the service reports:"), zlog::excerpt(textOf(op, "error")));
    return;
  }
  zlog::parts(QStringLiteral("Vantrel - unknown service operation, dropped:"), zlog::excerpt(name));
}

void Bridge::onSessionOpened(const Json& op) {
  const QString session = textOf(op, "Session");
  const QString id1 = textOf(op, "ClientID1");
  const QString id2 = textOf(op, "ClientID2");
  const QString ref = textOf(op, "ref");
  const QString self = service_->clientId();
  const bool valid = !id1.isEmpty() && !id2.isEmpty() && session == id1 + QLatin1Char('|') + id2 &&
                     (id1 == self || id2 == self) &&
                     (ref.isEmpty() || !op.contains("Result") || intOf(op, "Result") == 1);
  if (!valid) {
    zlog::parts(QStringLiteral("Vantrel - malformed session announcement, dropped:"), zlog::excerpt(session));
    if (!ref.isEmpty()) failInit(ref, QStringLiteral("the service's answer is malformed"));
    return;
  }
  const QString peer = id1 == self ? id2 : id1;
  if (ref.isEmpty()) {
    // A peer opened a session to this host.
    const qint64 caller = intOf(op, "ACC");
    keepSession(session, Session{peer, QString(), textOf(op, "tag"), caller > 0 ? QString::number(caller) : QString(),
                                 caller > 0 ? textOf(op, "uname") : QString(), false, {}, windowOf(op)});
    zlog::parts(QStringLiteral("Vantrel - session opened by a peer:"), zlog::excerpt(session));
    return;
  }
  const auto it = pendingInits_.find(ref);
  if (it == pendingInits_.end()) {
    zlog::parts(QStringLiteral("Vantrel - session for a link no longer wanted, closing:"), zlog::excerpt(session));
    service_->sendModel(SessionOp{QStringLiteral("close"), session});
    return;
  }
  const PendingInit pending = *it;
  pendingInits_.erase(it);
  keepSession(session, Session{peer, pending.hostname, pending.tag, QString(), QString(), true, {}, windowOf(op)});
  zlog::parts(QStringLiteral("Vantrel - session opened:"), zlog::excerpt(session));
  if (!pending.password.isEmpty()) {
    // The host learns the access code given with "ClientInit" as it would
    // from the browser's own check, ahead of any request of the client.
    const QString token = QStringLiteral("VantrelInit-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    initChecks_.insert(token, session);
    relay(session, RelayFrame{QStringLiteral("request"), token, QStringLiteral("checkAccessCode"),
                              Json{{"tag", pending.tag.toStdString()}, {"password", pending.password.toStdString()}}});
  }
  GetShareHost6ClientMsg msg;
  msg.ClientID1 = id1;
  msg.ClientID2 = id2;
  msg.uname = textOf(op, "uname").isEmpty() ? pending.hostname : textOf(op, "uname");
  msg.source = QStringLiteral("relay");
  sendToClient(pending.generation, QStringLiteral("P2PCLIENT"),
               P2PClientDelivery{QStringLiteral("GetShareHost6Client"), QString(), msg.toJSONModel()}.toJSONModel());
}

// The service names one session for every link from one client to another:
// a link opened again joins the session already open, with the transfers,
// credit and addresses it has, rather than replacing them.
void Bridge::keepSession(const QString& session, const Session& fresh) {
  if (sessions_.contains(session)) {
    zlog::parts(QStringLiteral("Vantrel - session opened again, kept as it is:"), zlog::excerpt(session));
    return;
  }
  sessions_.insert(session, fresh);
}

void Bridge::relay(const QString& session, const RelayFrame& frame) {
  const auto op = vex::dump(RelayOp{QStringLiteral("relay"), session, frame.toJSONModel()}.toJSONModel());
  relayWritten(session, frame, op ? QByteArray::fromStdString(*op) : QByteArray());
}

// `written` is the relay message of `frame`, whose "Msg" is not looked at.
void Bridge::relayWritten(const QString& session, const RelayFrame& frame, const QByteArray& written) {
  const auto from = sessions_.constFind(session);
  const QString account = from == sessions_.constEnd() ? QString() : from->peerAccount;
  if (frame.kind == QLatin1String("reply") && written.size() >= ServiceLink::kLargeMessage &&
      !service_->takes(session, account, written.size())) {
    // Its (or its account's, or everyone's) big answers wait already: the
    // peer hears "busy", as when it asks too much.
    relay(session, RelayFrame{frame.kind, frame.Token, frame.Code, Json{{"Result", 0}, {"Info", "busy"}}});
    return;
  }
  if (service_->sendWritten(written, session, account)) return;
  if (!service_->isReady()) {
    zlog::parts(QStringLiteral("Vantrel - relay not connected, dropped:"), zlog::excerpt(frame.Code));
    return;
  }
  // Larger than the relay takes: an answer is replaced by a failure, so that
  // the peer hears something rather than waiting for what cannot come. Tried
  // once: the token and code are the peer's, never resent in a loop.
  if (frame.kind != QLatin1String("reply")) return;
  const RelayFrame failure{frame.kind, frame.Token, frame.Code, FailureMsg{0, QLatin1String(kAnswerTooLarge)}.toJSONModel()};
  if (!service_->sendModel(RelayOp{QStringLiteral("relay"), session, failure.toJSONModel()}))
    zlog::parts(QStringLiteral("Vantrel - answer too large, dropped:"), zlog::excerpt(frame.Code));
}

void Bridge::onRelayedFrame(const QString& session, const Json& frame) {
  const QString kind = textOf(frame, "kind");
  const QString token = textOf(frame, "Token");
  const QString code = textOf(frame, "Code");
  const Json& msg = memberOf(frame, "Msg");
  if (kind == QLatin1String("xfer")) return transfers_->onPeerFrame(session, code, token, msg);
  if (kind == QLatin1String("lan")) return onLanAnnounced(session, msg);
  if (token.isEmpty() || token.size() > kMaxRelayedNameChars || code.size() > kMaxRelayedNameChars) {
    zlog::parts(QStringLiteral("Vantrel - relayed frame without a usable token, dropped:"), zlog::excerpt(code));
    return;
  }
  if (kind == QLatin1String("reply")) {
    if (initChecks_.take(token, session)) return;  // the host's answer comes with the client's own requests
    if (!sent_.take(token, session)) {
      zlog::parts(QStringLiteral("Vantrel - relayed reply to no request of this client, dropped:"), zlog::excerpt(code));
      return;
    }
    if (code == QLatin1String("ClientTouch")) touched_ = session;
    deliverToClient(QStringLiteral("WSDC"), wsdcIn(session, token, code, msg));
    return;
  }
  if (kind != QLatin1String("request")) {
    zlog::parts(QStringLiteral("Vantrel - relayed frame of unknown kind, dropped:"), zlog::excerpt(kind));
    return;
  }
  if (delivered_.contains(token)) {
    // A token in flight is served once: a repeat is dropped, so that it never
    // costs the client (nor counts against the bounds) more than one request.
    if (delivered_.sessionOf(token) != session)
      zlog::parts(QStringLiteral("Vantrel - relayed request reuses another session's token, dropped:"), zlog::excerpt(code));
    return;
  }
  if (!port_->hasClient() || retiring_) {
    // Nobody serves this host now: the peer hears so rather than nothing.
    zlog::parts(QStringLiteral("Vantrel - no client connected, answered as unreachable:"), zlog::excerpt(code));
    relay(session, RelayFrame{QStringLiteral("reply"), token, code, unreachableAnswer()});
    return;
  }
  const Session from = sessions_.value(session);
  if (delivered_.countOf(session) >= kMaxRequestsInFlight ||
      inFlightOfAccount(from.peerAccount) >= kMaxRequestsInFlightPerAccount) {
    // Only this session (or account) waits: its peer sends faster than the client answers.
    relay(session, RelayFrame{QStringLiteral("reply"), token, code, Json{{"Result", 0}, {"Info", "busy"}}});
    return;
  }
  delivered_.insert(token, session);
  // One that is never answered holds its place for a while only: bounded like
  // the others, it never blocks its session for good.
  if (protocol::isUnansweredRequest(code))
    QTimer::singleShot(kUnansweredHoldMs, this, [this, token, session] { delivered_.take(token, session); });
  if (code == QLatin1String("buildIcon2")) {
    // Thumbnails are a host function: called directly, answered by callback.
    const HostCallText call{token, HostCallRequest{code, msg}};
    Json delivery = HostCall{session, modelText(call), from.peerAccount}.toJSONModel();
    delivery[protocol::kHostTransfersField] = transfers_->activeCount();
    deliverToClient(QStringLiteral("P2PCallHostFunc"), delivery);
    return;
  }
  Json delivery = wsdcIn(session, token, code, msg, from.peerAccount, from.peerName);
  delivery[protocol::kHostTransfersField] = transfers_->activeCount();
  deliverToClient(QStringLiteral("WSDC"), delivery);
}

int Bridge::inFlightOfAccount(const QString& account) const {
  if (account.isEmpty()) return 0;  // a session without a vouched account is bounded by itself
  int count = 0;
  for (auto it = sessions_.constBegin(); it != sessions_.constEnd(); ++it)
    if (it->peerAccount == account) count += delivered_.countOf(it.key());
  return count;
}

// ---- the local-network route ---------------------------------------------

void Bridge::announceLan(const QString& session, const Json& touchReply) {
  // Nothing when no share of the host's client allows the route.
  if (!lanAllowedBy(valueOf(touchReply, "data"))) return;
  const QStringList urls = lanUrls();
  if (urls.isEmpty()) return;
  Json list = Json::array();
  for (const QString& url : urls) list.push_back(url.toStdString());
  relay(session, RelayFrame{QStringLiteral("lan"), QString(), QStringLiteral("announce"), Json{{"urls", list}}});
}

void Bridge::onLanAnnounced(const QString& session, const Json& msg) {
  const auto it = sessions_.find(session);
  if (it == sessions_.end() || !it->toHost) {
    zlog::line(QStringLiteral("Vantrel - local-network addresses from a peer that is not the host, dropped"));
    return;
  }
  QStringList urls;
  if (const Json& list = memberOf(msg, "urls"); list.is_array())
    for (const Json& url : list) {
      if (urls.size() == kMaxLanAddresses) break;
      urls.append(asText(url));
    }
  it->lanUrls = followableLanUrls(urls);
}

QString Bridge::connectedHostLan() const {
  if (lanOff_) return QString();
  const auto it = sessions_.constFind(touched_);
  return it == sessions_.constEnd() ? QString() : it->lanUrls.value(0);
}

// ---- transfers -------------------------------------------------------------

bool Bridge::sendTransferFrame(const QString& session, const QString& op, const QString& xid, const Json& msg) {
  if (!sessions_.contains(session)) return false;
  return service_->sendModel(RelayOp{QStringLiteral("relay"), session, RelayFrame{QStringLiteral("xfer"), xid, op, msg}.toJSONModel()});
}

bool Bridge::sendTransferData(const QString& session, const QString& xid, quint32 file, quint64 offset,
                              QByteArrayView bytes) {
  const auto it = sessions_.find(session);
  if (it == sessions_.end()) return false;
  // The header alone: the payload is copied once, into the WebSocket frame.
  const QByteArray head = protocol::encodeDataFrameHead({session.toUtf8(), xid.toUtf8(), file, offset}, bytes.size());
  if (head.isEmpty() || !service_->sendBinary(head, bytes)) return false;
  if (it->credit >= 0) it->credit = std::max<qint64>(0, it->credit - head.size() - bytes.size());
  return true;
}

void Bridge::onServiceData(const QByteArray& message) {
  const auto frame = protocol::decodeDataFrame(message);
  if (!frame) {
    zlog::line(QStringLiteral("Vantrel - malformed data frame, dropped"));
    return;
  }
  const QString session = QString::fromUtf8(frame->header.session);
  if (!sessions_.contains(session)) {
    zlog::line(QStringLiteral("Vantrel - data frame outside an open session, dropped"));
    return;
  }
  transfers_->onPeerData(session, QString::fromUtf8(frame->header.transfer), frame->header.file,
                         qint64(frame->header.offset), frame->payload, message);
}

void Bridge::askClient(const QString& session, const QString& code, const Json& msg, TransferEngine::AskDone done) {
  if (!port_->hasClient()) {
    zlog::parts(QStringLiteral("Vantrel - no client to check a transfer:"), zlog::excerpt(code));
    done(std::nullopt);
    return;
  }
  // Asked the way a peer would ask, so the client's own path rules decide.
  const QString token = QStringLiteral("VantrelCheck-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
  checks_.insert(token, PendingCheck{std::move(done), false});
  // Marked as the bridge's own, which a peer's request never is: the client
  // serves it in the checks' lane, ahead of peers' requests, and the answer
  // says where the checked path lies.
  // The peer's account with it, so that checks share the client by account.
  Json delivery = wsdcIn(session, token, code, msg, sessions_.value(session).peerAccount);
  delivery[protocol::kTransferCheckField] = 1;
  delivery[protocol::kHostTransfersField] = transfers_->activeCount();
  deliverToClient(QStringLiteral("WSDC"), delivery);
  QTimer::singleShot(kClientCheckWaitMs, this, [this, token] {
    const auto it = checks_.find(token);
    if (it != checks_.end() && !it->taken) checkLate(token, "the client never took a transfer check");
  });
}

void Bridge::checkTaken(const QString& token) {
  const auto it = checks_.find(token);
  if (it == checks_.end() || it->taken) return;
  it->taken = true;
  QTimer::singleShot(kClientCheckTimeoutMs, this, [this, token] {
    if (checks_.contains(token)) checkLate(token, "the client did not answer a transfer check");
  });
}

void Bridge::checkLate(const QString& token, const char* why) {
  const auto it = checks_.find(token);
  if (it == checks_.end()) return;
  const TransferEngine::AskDone late = it->done;
  checks_.erase(it);
  zlog::line(QStringLiteral("Vantrel - ") + QLatin1String(why));
  late(std::nullopt);
}

std::optional<Json> Bridge::transferRequest(const QString& code, const Json& payload) {
  const QString session = textOf(payload, "Session");
  if (code == QLatin1String("Trans3_FC_00_CallStart")) return transfers_->startDownload(payload);
  if (code == QLatin1String("Trans3_FC_TransTaskInfo")) return transfers_->downloadProgress(session);
  if (code == QLatin1String("Trans3_FC_00_Cancel")) return transfers_->cancelDownload(session);
  if (code == QLatin1String("Trans2_FS_00_Cancel")) return transfers_->cancelUpload(session);
  if (code == QLatin1String("ResetRemoteUploadStatus_FromLocal")) return transfers_->resetReceive(session);
  if (code == QLatin1String("CancelFileReceive_FromLocal")) return transfers_->cancelReceive(session);
  if (code == QLatin1String("RefreshRemoteUploadStatus_FromLocal")) return transfers_->receiveStatus(session);
  return std::nullopt;
}

}  // namespace vantrel
