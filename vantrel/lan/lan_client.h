// The peer's side of the local-network route: fetches files from, or sends
// files to, the host's listener over one kept-alive TLS connection. Fetches
// are pipelined (several requests sent ahead, answered in order, each file's
// sync and rename left to the sink while the next one arrives), and so are
// uploads (bodies sent one after the other while the host syncs and renames
// the earlier files). The host's certificate is accepted only when its SHA-256
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
#include "common/net/tls_channel.h"

#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

namespace vantrel {

class LanClient : public QObject {
 public:
  static constexpr int kConnectTimeoutMs = 1000;
  static constexpr int kIdleTimeoutMs = 30000;
  // Requests whose answer has not ended, and fetched files still being
  // synced and renamed, at most at once.
  static constexpr int kMaxRequests = 8;
  static constexpr int kMaxCommitting = 16;

  struct Target {
    QString url;          // "https://ADDRESS:PORT"
    QString fingerprint;  // SHA-256 of the host's certificate, hex
    QString capability;
    QString session;
    QString xid;
    SumKind sum = SumKind::Sha256;  // the transfer's whole-file check
    int connectTimeoutMs = kConnectTimeoutMs;  // for the TCP and TLS handshake
  };
  // `ok`; `reached` is false when the host could not be reached at all (the
  // relay is then the way), true once a request got as far as the host.
  using Done = std::function<void(bool ok, bool reached, const QString& why)>;
  using Progress = std::function<void(qint64 bytes)>;

  explicit LanClient(Target target, QObject* parent = nullptr);
  ~LanClient() override;

  // One file into `sink`; `size` is what the host's manifest said. `done`
  // runs once the file is in place. Fetches may follow one another before
  // the earlier ones are done (see `canFetch`); after a failure no further
  // `done` of the fetches sent before it runs.
  void get(qint64 index, qint64 size, std::unique_ptr<LanFileSink> sink, Done done);
  bool canFetch() const { return fetches_.size() < kMaxRequests && committing_ < kMaxCommitting; }
  // One local file to the host; it must keep `size` bytes while it is read.
  // `done` runs once the host has it in place. Uploads may follow one another
  // before the earlier ones are answered (see `canPut`); their bodies go in
  // order. A file that cannot be opened, or whose first read fails, is
  // skipped with nothing of it sent: `skipped` hears it (`unread`: it is there
  // but this process may not read it; else it is gone) instead of `done`, and
  // the rest goes on. When a file cannot be sent otherwise (it changed, or
  // its reading failed midway), the answers to those before it are still
  // heard, then its `done` hears the failure and no later one runs.
  void put(qint64 index, const QString& local, qint64 size, Done done);
  bool canPut() const { return puts_.size() < kMaxRequests; }
  using Skipped = std::function<void(qint64 index, const QString& why, bool unread)>;
  void setSkipped(Skipped skipped) { skipped_ = std::move(skipped); }
  // Bytes of file content moved, as they go.
  void setProgress(Progress progress) { progress_ = std::move(progress); }
  // The body of upload `index` begins to go.
  void setBegun(std::function<void(qint64 index)> begun) { begun_ = std::move(begun); }
  // Stops the running request without calling its `done`.
  void abort();
  // Why the last `done` that heard a failure failed, as a transfer's reason:
  // what the host said (its "cancel" read as the peer's), the host gone or
  // silent, or a file of this side that changed while it was sent.
  TransferReason failure() const { return failure_; }

 private:
  enum class Phase { Idle, Connecting, Head, Body, Closed };
  void connectToHost();
  void onEncrypted();
  void onReadable();
  void readAnswers();
  void onWritten();
  void sendNextBody();
  void pumpUpload();
  void bodyFailed(QString why);
  // The first upload not sent leaves the queue unsent and `skipped_` hears
  // it; false when that ended this route.
  bool skipUnsent(const QString& why, bool unread);
  QByteArray requestHead(const char* method, qint64 index) const;
  bool onHead(const lan::Head& head);
  bool onPutAnswered();
  bool feedBody();
  void sendFetch(qint64 index);
  // `why` by value: it may live in the queues that a failure clears.
  void finish(bool ok, QString why, TransferReason reason = TransferReason::Failed);
  void fileKept(const Done& done, const QString& why);
  LanFileSink* bodySink() const;
  void dropConnection();
  bool pinned() const;

  Target target_;
  QString host_;
  quint16 port_ = 0;
  bool reached_ = false;
  TransferReason failure_ = TransferReason::None;
  std::unique_ptr<znet::TlsChannel> socket_;
  QString closedWhy_;  // the host closed the connection (why), once it has
  QTimer timer_;
  Phase phase_ = Phase::Idle;
  QByteArray buffer_;
  Progress progress_;
  // fetches sent (or to send once connected), answered in this order
  struct Fetch {
    qint64 index = -1;
    qint64 size = 0;
    std::unique_ptr<LanFileSink> sink;
    Done done;
  };
  std::deque<Fetch> fetches_;
  int committing_ = 0;
  quint64 generation_ = 0;  // changes when the fetches sent so far are dropped
  lan::FileBody body_;
  // uploads sent (or to send), answered in this order
  bool isPut_ = false;
  struct Put {
    qint64 index = -1;
    qint64 size = 0;
    QString local;
    Done done;
    bool sent = false;  // its whole body is written, or it failed here
    QString why;        // why this side could not send it
  };
  std::deque<Put> puts_;
  std::unique_ptr<SourceReader> source_;  // the body being sent: the first put not sent
  bool headSent_ = false;                 // ... its request head has gone (with its first bytes)
  std::function<void(qint64)> begun_;
  Skipped skipped_;
};

}  // namespace vantrel
