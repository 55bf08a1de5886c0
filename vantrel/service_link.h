// The bridge's link to the account service: the HTTPS sign-in, and the relay
// WebSocket ("wss://HOST/relay") that stays open while the bridge is signed
// in. The relay connection authenticates with the sign-in token, is pinged
// when silent and dropped when it stays silent (RelaySocket::watchSilence),
// and is reopened with a growing delay (1 s doubling up to 4 s, so
// that a restarted service is found again quickly) whenever it drops, until
// close() is called. A token the service no longer knows is reported, so that
// the bridge can sign in again.
#pragma once

#include "wire.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>

class QNetworkAccessManager;

#include "net/relay_socket.h"

namespace vantrel {

class ServiceLink : public QObject {
  Q_OBJECT
 public:
  static constexpr qint64 kMaxFrameBytes = 16 * 1024 * 1024;
  static constexpr int kSignOutMs = 2000;

  ServiceLink(QNetworkAccessManager* network, QObject* parent = nullptr);
  ~ServiceLink() override;

  // POST api2/bridge/login. The callback gets the service's JSON answer, or
  // nothing and the reason when no answer came.
  using LoginDone = std::function<void(const std::optional<Json>& answer, const QString& failure)>;
  void login(const ServiceLoginRequest& request, LoginDone done);

  // Opens the relay with a sign-in token (closing any earlier relay).
  void open(const QString& token);
  void close();
  // Ends the sign-in's relay for good: what was written leaves first, then a
  // close frame; `done` runs once the connection has ended, at the latest
  // after kSignOutMs.
  void signOut(std::function<void()> done);
  bool isReady() const { return ready_; }
  QString clientId() const { return clientId_; }

  // Writes one operation; false when the relay is not ready or the operation
  // is larger than the relay takes (protocol/relay_limits.h).
  bool send(const Json& op);
  template <class T>
  bool sendModel(const T& op) {
    return send(op.toJSONModel());
  }
  // Writes one operation already written out as UTF-8 JSON text (made on a
  // worker); false as send() is. A large one (a peer's big answer) of
  // `session` waits here while kMaxBacklog bytes wait to be sent, sessions
  // taking turns, so that others' file data and small messages never queue
  // behind one peer's big answers. What waits counts against `account` (the
  // session's peer's; the session itself when none).
  bool sendWritten(const QByteArray& utf8, const QString& session = {}, const QString& account = {});
  static constexpr qint64 kLargeMessage = 64 * 1024;
  static constexpr qint64 kMaxBacklog = 1024 * 1024;
  // Whether a message of `bytes` for `session` would be taken now: sent at
  // once, or held within the bounds: kMaxHeld messages per session,
  // kMaxHeldPerAccount bytes per account and kMaxHeldInAll in all (an account
  // holding nothing yet is always taken, so that one that floods never leaves
  // another none). Past them the bridge refuses its peer's answer.
  bool takes(const QString& session, const QString& account, qint64 bytes) const;
  static constexpr int kMaxHeld = 8;
  static constexpr qint64 kMaxHeldPerAccount = 8 * 1024 * 1024;
  static constexpr qint64 kMaxHeldInAll = 32 * 1024 * 1024;
  // The session ended: what it still held goes.
  void dropSession(const QString& session);
  qint64 heldBytes() const { return heldBytes_; }

  // Writes one binary message, `head` then `body` (a data frame,
  // protocol/data_frame.h); the relay forwards it unchanged to the other
  // client of the session in its header. False when the relay is not ready.
  bool sendBinary(QByteArrayView head, QByteArrayView body = {});

  static constexpr int kPingMs = 15000;
  static constexpr int kSilenceMs = 45000;
  // How often a silent relay is pinged and when it is given up; for the
  // connections opened from now on (tests shorten them).
  void setPing(int pingMs, int silenceMs);

 signals:
  void ready(const QString& clientId);
  // The relay dropped; every session through it is gone.
  void lost();
  // The service refused the sign-in token ("unknown token"); the relay keeps
  // retrying with it until open() gives a new one or close() is called.
  void tokenRefused();
  void opReceived(const vex::Json& op);
  // A binary message from the relay: a data frame of one of this bridge's
  // sessions, exactly as its sender wrote it (not yet checked).
  void binaryReceived(const QByteArray& message);

 private:
  void connectRelay();
  void onText(const QString& text);
  void onDropped();
  void scheduleRetry();
  bool write(const QByteArray& utf8, const QString& what);
  void releaseHeld();
  void dropHeld();
  bool goesAtOnce(qint64 bytes) const;
  struct Held {
    QByteArray message;
    QString account;
  };
  void forgetHeld(const Held& held);

  QNetworkAccessManager* network_;
  QPointer<RelaySocket> socket_;
  std::shared_ptr<znet::TlsContext> tls_;  // trusts what the default configuration trusts
  QString token_;
  QString clientId_;
  bool ready_ = false;
  bool wanted_ = false;
  int retryMs_ = 1000;
  int firstRetryMs_ = 1000;
  int maxRetryMs_ = 4000;
  int pingMs_ = kPingMs;
  int silenceMs_ = kSilenceMs;
  QTimer retryTimer_;
  QHash<QString, std::deque<Held>> held_;  // large messages by session, oldest first
  QStringList heldTurns_;                   // sessions with some held, in the order of their turns
  QHash<QString, qint64> heldByAccount_;    // their bytes by account
  qint64 heldBytes_ = 0;
  QTimer heldTimer_;                              // looks for room while some are held
};

}  // namespace vantrel
