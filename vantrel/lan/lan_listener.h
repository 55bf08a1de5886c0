// The host's listener of the local-network route: HTTPS on the announced
// address with the bridge's own certificate (peers pin its fingerprint). It
// serves nothing but requests that carry a capability:
//   GET /t/<transfer>/<index>   one file of a download (chunked, digest trailer)
//   PUT /t/<transfer>/<index>   one file of an upload (chunked, digest trailer)
// with "Authorization: Bearer <capability>" and "X-Zarkelo-Session: <session>".
// Every other method, path, or query is refused; there is no listing.
#pragma once

#include "lan_capabilities.h"
#include "lan_sink.h"
#include "common/net/tls_channel.h"

#include <QHostAddress>
#include <QSslConfiguration>
#include <QSet>
#include <QStringList>
#include <QTcpServer>

#include <functional>
#include <memory>

namespace vantrel {

class LanServerConnection;

class LanListener : public QTcpServer {
  Q_OBJECT
 public:
  static constexpr int kMaxConnections = 16;
  static constexpr int kIdleTimeoutMs = 15000;
  // A request head must arrive whole within this; when all slots are taken,
  // the connection waiting longest for its head makes room for a new one.
  static constexpr int kHeadDeadlineMs = 5000;

  // Opens the file an upload writes, or null (with the cause and its reason
  // code) when it cannot.
  using OpenSink = std::function<std::unique_ptr<LanFileSink>(const QString& session, const QString& xid, qint64 index,
                                                              qint64 size, QString* why,
                                                              protocol::TransferReason* reason)>;

  LanListener(QSslConfiguration tls, QObject* parent = nullptr);
  ~LanListener() override;

  // Listens on `address` (port 0: any free port).
  bool start(const QHostAddress& address, quint16 port, QString* error);
  // Listens on every one of `addresses` (none: nowhere), all on one port
  // (0: the port used before, else any free one, tried afresh while another
  // address has it taken). An address that cannot be
  // bound is left out; false, with the reasons, when one was. Connections
  // already open stay.
  bool listenOn(const QList<QHostAddress>& addresses, quint16 port, QString* error);
  // "https://ADDRESS:PORT" of the first address listened on, or "".
  QString url() const;
  // Of every address listened on, in order.
  QStringList urls() const;
  // SHA-256 of the certificate, lower-case hex.
  QString fingerprint() const;

  LanCapabilities& capabilities() { return capabilities_; }
  const LanCapabilities& capabilities() const { return capabilities_; }
  // The transfer ended: its capability goes, and a file of it being sent is
  // broken off, telling the peer `reason` (None: it finished; nothing is sent).
  void endTransfer(const QString& xid, protocol::TransferReason reason);
  void setOpenSink(OpenSink open) { openSink_ = std::move(open); }
  const OpenSink& openSink() const { return openSink_; }
  // Connections currently open (for the limit).
  int connectionCount() const { return int(connections_.size()); }

 protected:
  void incomingConnection(qintptr descriptor) override;

 private:
  friend class LanServerConnection;
  friend class LanAcceptor;
  // One try of listenOn; `portTaken` set when an address after the first
  // found the port taken.
  QStringList listenAll(const QList<QHostAddress>& addresses, quint16 port, bool* portTaken);
  QSslConfiguration tls_;
  std::shared_ptr<znet::TlsContext> server_;
  LanCapabilities capabilities_;
  OpenSink openSink_;
  QSet<LanServerConnection*> connections_;
  QList<QHostAddress> listened_;  // the first on this server, the others on extra_
  QList<QTcpServer*> extra_;
  quint16 port_ = 0;
};

}  // namespace vantrel
