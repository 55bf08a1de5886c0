// The bridge: serves its one local client (sign-in, web calls, peer links)
// and relays peer requests and replies through the account service.
//
// Peer traffic is bound to sessions. A session exists only after the service
// announced it to this bridge, and carries frames between exactly two clients;
// a frame for a session this bridge does not hold, or from a party that is not
// the session's other client, is logged and dropped. A reply of the local
// client is relayed only for a request that was delivered to it, and a peer's
// reply is delivered only for a request the local client sent, each only
// within the session the request travelled in.
#pragma once

#include "client_port.h"
#include "credential_store.h"
#include "http_calls.h"
#include "lan/lan_route.h"
#include "service_link.h"
#include "token_table.h"
#include "transfer/transfer_engine.h"
#include "wire.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <deque>
#include <memory>

namespace vantrel {

class Bridge : public QObject {
  Q_OBJECT
 public:
  static constexpr int kMaxRememberedRequests = 4096;
  // A peer's requests waiting for this host's client, per session and for
  // all sessions of one account together; past either the peer is answered
  // "busy", so that one account's requests cannot fill the client's link.
  static constexpr int kMaxRequestsInFlight = 64;
  static constexpr int kMaxRequestsInFlightPerAccount = 16;
  // Longest token or code a relayed frame may carry (ours are far shorter).
  static constexpr int kMaxRelayedNameChars = 256;
  // How long a request that is never answered counts as in flight.
  static constexpr int kUnansweredHoldMs = 1000;

  explicit Bridge(QObject* parent = nullptr);
  Bridge(CredentialStore credentials, QObject* parent = nullptr);

  // Listens on 127.0.0.1:port; a non-empty secret is then required.
  bool start(quint16 port, const QByteArray& secret, QString* error);
  // Serves transfers over the local-network route as `setting` says, with
  // the certificate kept in `folder` (made there on first use, key 0600).
  // With the route off, peers' grants are not followed either.
  bool startLan(const LanSetting& setting, quint16 port, const QString& folder, QString* error);
  // This bridge's own announced addresses, "https://ADDRESS:PORT" each.
  QStringList lanUrls() const { return lan_ ? lan_->urls() : QStringList(); }

  ClientPort* clientPort() const { return port_; }
  ServiceLink* serviceLink() const { return service_; }
  bool isSignedIn() const { return !token_.isEmpty(); }
  int sessionCount() const { return int(sessions_.size()); }
  void setConnectTimeout(int ms) { connectTimeoutMs_ = ms; }
  TransferEngine* transfers() const { return transfers_; }

  // The client is gone: running transfers are cancelled with `why`, every
  // session is closed (its peer hears "closed" and asks in vain no more),
  // the relay is signed out, then retired() follows. Once; client frames
  // and peers' requests are no longer served meanwhile.
  void retire(const QString& why);

 signals:
  void retired();

 private:
  struct Session {
    QString peer;  // the other client's id
    QString hostname;
    QString tag;
    QString peerAccount;  // the calling account, in a session a peer opened
    QString peerName;     // and its name, both as the relay gave them
    bool toHost = false;  // this bridge opened it: the peer is the host
    QStringList lanUrls;  // the addresses the host announced, followable ones only
    // Data bytes the relay takes now for this session; negative when the
    // service gives no window (it then sets no limit of its own).
    qint64 credit = -1;
  };
  struct PendingInit {
    quint64 generation = 0;
    QString hostname;
    QString tag;
    bool sent = false;
    QString password;  // the access code to present once the session is open
  };

  // A client frame: read at once when small, else on the reader thread (in
  // order with the frames after it, which wait; the link's own frames, sign-in
  // and control, do not).
  void onClientText(const QString& text);
  void onClientFrame(const std::optional<ClientFrame>& frame);
  void takeReadFrames();
  // The client's answer to (or notice of) one of the bridge's own transfer checks.
  bool isCheckAnswer(const ClientFrame& frame) const;
  // The client's answer to a peer's request, its relay message written by the reader.
  bool relayWrittenReply(const Json& envelope, const QByteArray& written);
  void onLogin(const Json& data);
  void onClientInit(const Json& data);
  void onWsdc(const Json& data);
  void onControl(const Json& data);
  // The host's local-network addresses: announced to the peer ahead of the
  // host's "ClientTouch" reply, kept by the peer for "GetLanHttp".
  void announceLan(const QString& session, const Json& touchReply);
  void onLanAnnounced(const QString& session, const Json& msg);
  QString connectedHostLan() const;
  void onHostCallback(const Json& data);

  // Takes a successful sign-in answer: keeps the credential and, unless a
  // newer sign-in was applied, switches the bridge to it. Nothing for a refusal.
  std::optional<LoginResultMsg> acceptSignIn(const Json& answer, quint64 seq);
  void onTokenRefused();

  void onRelayReady();
  void onRelayLost();
  void onServiceOp(const Json& op);
  void onSessionOpened(const Json& op);
  void onRelayedFrame(const QString& session, const Json& frame);
  // Requests of `account`'s sessions that wait for the client.
  int inFlightOfAccount(const QString& account) const;
  void keepSession(const QString& session, const Session& fresh);

  void sendPendingInits();
  void failInit(const QString& ref, const QString& why);
  void failInitTo(quint64 generation, const QString& why);
  void relay(const QString& session, const RelayFrame& frame);
  void relayWritten(const QString& session, const RelayFrame& frame, const QByteArray& written);
  void forgetSession(const QString& session);
  void tellSessionClosed(const QString& session);
  void dropSessions();
  // The local client's requests still waiting in `session` are answered as
  // unreachable; its host side's replies due there are late from now on.
  void endRequestsOf(const QString& session);
  void answerUnreachable(const QString& token, const QString& session, const QString& code);
  void sendToClient(quint64 generation, const QString& code, const Json& payload, bool urgent = false);
  void deliverToClient(const QString& code, const Json& payload);
  // Transfers: frames to the peer, and host checks asked of the own client.
  bool sendTransferFrame(const QString& session, const QString& op, const QString& xid, const Json& msg);
  bool sendTransferData(const QString& session, const QString& xid, quint32 file, quint64 offset, QByteArrayView bytes);
  void onServiceData(const QByteArray& message);
  void askClient(const QString& session, const QString& code, const Json& msg, TransferEngine::AskDone done);
  // The client took the check (its turn came): its answer is due within the time-out.
  void checkTaken(const QString& token);
  // The check ends unanswered.
  void checkLate(const QString& token, const char* why);
  std::optional<Json> transferRequest(const QString& code, const Json& payload);

  ClientPort* port_;
  HttpCalls* http_;
  ServiceLink* service_;
  CredentialStore credentials_;

  QString token_;
  QString clientId_;
  qint64 acc_ = 0;
  quint64 loginSeq_ = 0;
  quint64 appliedLoginSeq_ = 0;
  bool signingInAgain_ = false;

  QHash<QString, Session> sessions_;
  QHash<QString, PendingInit> pendingInits_;
  quint64 nextRef_ = 0;
  int connectTimeoutMs_ = 10000;
  TokenTable delivered_{kMaxRememberedRequests};  // peers' requests handed to the local client
  TokenTable sent_{kMaxRememberedRequests};       // the local client's requests relayed to peers
  TransferEngine* transfers_;
  LanRoute* lan_ = nullptr;
  bool lanOff_ = false;
  QString touched_;  // the session whose host last answered "ClientTouch": the connected host
  struct PendingCheck {
    TransferEngine::AskDone done;
    bool taken = false;  // the client said its turn came
  };
  QHash<QString, PendingCheck> checks_;  // host checks asked of the local client
  TokenTable initChecks_{kMaxRememberedRequests};   // access codes presented for "ClientInit"
  // Tokens of closed sessions: late replies of the client's host side, and
  // requests already answered as unreachable. Never answered (again): the
  // client would take such an answer for a peer's request.
  TokenTable closedTokens_{kMaxRememberedRequests};
  bool retiring_ = false;
  // Client frames at least this long are read on the reader thread.
  static constexpr qsizetype kReadAsideChars = 32 * 1024;
  struct ReadFrame {
    bool ready = false;
    std::optional<ClientFrame> frame;
    QByteArray written;  // a peer's answer, as the relay message that carries it
  };
  std::deque<std::shared_ptr<ReadFrame>> reading_;  // in the client's order
  QThreadPool* reader_ = nullptr;
};

}  // namespace vantrel
