// The peer's side of the local-network route: fetches files from, or sends
// files to, the host's listener over one kept-alive TLS connection, one
// request at a time. The host's certificate is accepted only when its SHA-256
// is exactly the fingerprint received through the relay. Connecting and the
// TLS handshake get a short time; when they fail the caller falls back to the
// relay. Only addresses of local networks are followed.
#pragma once

#include "lan_body.h"
#include "net/lan_http.h"
#include "lan_sink.h"

#include "transfer/transfer_files.h"
#include "transfer/transfer_workers.h"

#include <QObject>
#include "net/tls_channel.h"

#include <QTimer>

#include <functional>
#include <memory>

namespace vantrel {

class LanClient : public QObject {
 public:
  static constexpr int kConnectTimeoutMs = 1000;
  static constexpr int kIdleTimeoutMs = 30000;

  struct Target {
    QString url;          // "https://ADDRESS:PORT"
    QString fingerprint;  // SHA-256 of the host's certificate, hex
    QString capability;
    QString session;
    QString xid;
    int connectTimeoutMs = kConnectTimeoutMs;  // for the TCP and TLS handshake
  };
  // `ok`; `reached` is false when the host could not be reached at all (the
  // relay is then the way), true once a request got as far as the host.
  using Done = std::function<void(bool ok, bool reached, const QString& why)>;
  using Progress = std::function<void(qint64 bytes)>;

  explicit LanClient(Target target, QObject* parent = nullptr);
  ~LanClient() override;

  // One file into `sink`; `size` is what the host's manifest said.
  void get(qint64 index, qint64 size, std::unique_ptr<LanFileSink> sink, Done done);
  // One local file to the host; it must keep `size` bytes while it is read.
  void put(qint64 index, const QString& local, qint64 size, Done done);
  // Bytes of file content moved by the running request, as they go.
  void setProgress(Progress progress) { progress_ = std::move(progress); }
  // Stops the running request without calling its `done`.
  void abort();

 private:
  enum class Phase { Idle, Connecting, Sending, Head, Body, Commit, Closed };
  void begin();
  void connectToHost();
  void onEncrypted();
  void onReadable();
  void onWritten();
  void sendRequest();
  void pumpUpload();
  void onHead(const lan::Head& head);
  void feedBody();
  void finish(bool ok, const QString& why);
  void dropConnection();
  bool pinned() const;

  Target target_;
  QString host_;
  quint16 port_ = 0;
  bool reached_ = false;
  std::unique_ptr<TlsChannel> socket_;
  QTimer timer_;
  Phase phase_ = Phase::Idle;
  QByteArray buffer_;
  Progress progress_;
  // the running request
  bool isPut_ = false;
  qint64 index_ = -1;
  qint64 size_ = 0;
  Done done_;
  std::unique_ptr<LanFileSink> sink_;
  lan::FileBody body_;
  std::unique_ptr<SourceReader> source_;
  QString local_;
  bool uploadEnded_ = false;
  int status_ = 0;
};

}  // namespace vantrel
