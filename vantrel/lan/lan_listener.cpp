#include "lan_listener.h"

#include "lan_addresses.h"
#include "lan_body.h"
#include "net/lan_http.h"

#include "transfer/transfer_files.h"
#include "common/net/tls_channel.h"
#include "transfer/transfer_workers.h"

#include "core/log.h"

#include <QPointer>
#include <QRegularExpression>
#include <QSslKey>
#include <vector>
#include <QTimer>

#include <unistd.h>

#include <chrono>
#include <deque>

namespace vantrel {

using protocol::TransferReason;

namespace {

constexpr qint64 kReadBytes = 512 * 1024;
constexpr qint64 kHighWater = 4 * 1024 * 1024;

qint64 nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// "/t/<transfer>/<index>" and nothing else: no query, no escapes, no dots.
bool parseTarget(const QByteArray& target, QString* xid, qint64* index) {
  static const QRegularExpression pattern(
      QStringLiteral("^/t/([0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12})/(0|[1-9][0-9]{0,8})$"));
  const auto match = pattern.match(QString::fromLatin1(target));
  if (!match.hasMatch()) return false;
  *xid = match.captured(1);
  *index = match.captured(2).toLongLong();
  return true;
}

// What the peer is told a refused capability means; `ended`: why its
// transfer ended, when it did lately.
TransferReason reasonOf(LanCapabilities::Refusal refusal, TransferReason ended) {
  switch (refusal) {
    case LanCapabilities::Refusal::Ended: return ended;
    case LanCapabilities::Refusal::Unknown: return TransferReason::Gone;  // the transfer ended here
    case LanCapabilities::Refusal::Expired: return TransferReason::Timeout;
    default: return TransferReason::Refused;
  }
}

QByteArray statusLine(int status) {
  switch (status) {
    case 200: return "200 OK";
    case 204: return "204 No Content";
    case 400: return "400 Bad Request";
    case 401: return "401 Unauthorized";
    case 403: return "403 Forbidden";
    case 404: return "404 Not Found";
    case 405: return "405 Method Not Allowed";
    case 409: return "409 Conflict";
    case 422: return "422 Unprocessable Content";
    case 503: return "503 Service Unavailable";
    default: return "500 Internal Server Error";
  }
}

}  // namespace

// One accepted TLS connection; requests one after the other (keep-alive).
// Uploads may come pipelined: the next request is read while the files before
// it are synced and renamed, and the answers go out in the order of the
// requests, each once its file is in place.
class LanServerConnection : public QObject {
 public:
  LanServerConnection(LanListener* owner, znet::TlsChannel* socket) : QObject(owner), owner_(owner), socket_(socket) {
    owner_->connections_.insert(this);
    socket_->setParent(this);
    idle_.setSingleShot(true);
    idle_.setInterval(LanListener::kIdleTimeoutMs);
    connect(&idle_, &QTimer::timeout, this, [this] {
      if (answers_.empty()) close();
      else idle_.start();  // answers owed: the peer waits for them
    });
    connect(socket_, &znet::TlsChannel::readyRead, this, [this] { onReadable(); });
    connect(socket_, &znet::TlsChannel::bytesWritten, this, [this] { onWritten(); });
    connect(socket_, &znet::TlsChannel::closed, this, [this] { close(); });
    headDeadline_.setSingleShot(true);
    connect(&headDeadline_, &QTimer::timeout, this, [this] {
      zlog::line(QStringLiteral("Vantrel - local-network request head not in time, closed"));
      close();
    });
    awaitHead();
    idle_.start();
  }
  ~LanServerConnection() override { owner_->connections_.remove(this); }

  // Waiting for a request head: since when (ms of the connection's clock), or -1.
  qint64 waitingForHeadSince() const { return state_ == State::Head && answers_.empty() ? headSince_ : -1; }
  void drop() { close(); }

  // A file of an ended transfer is not sent on. (One being taken fails at
  // its next bytes, and its answer names the reason.)
  void transferEnded(const QString& xid, TransferReason reason) {
    if (state_ == State::Get && xid_ == xid) breakOff(reason, QStringLiteral("the host ended the transfer"));
  }

 private:
  // Refusing: an error answer waits behind answers owed; nothing more is read.
  enum class State { Head, Get, Put, Refusing, Closed };
  // Uploads read whose answers are owed, at most; beyond it reading waits.
  static constexpr size_t kMaxOwed = 16;

  // A request head gets kHeadDeadlineMs as a whole, however it trickles,
  // counted once no answer is owed (until then the peer may just be waiting).
  void awaitHead() {
    state_ = State::Head;
    if (!answers_.empty()) return headDeadline_.stop();
    headSince_ = nowMs();
    headDeadline_.start(LanListener::kHeadDeadlineMs);
  }

  void close() {
    if (state_ == State::Closed) return;
    state_ = State::Closed;
    owner_->connections_.remove(this);  // its slot is free at once
    headDeadline_.stop();
    source_.reset();
    sink_.reset();  // an unfinished upload is discarded
    answers_.clear();
    idle_.stop();
    socket_->abort();
    deleteLater();
  }

  // ---- answers, in the order of the requests ---------------------------------

  struct Answer {
    quint64 id = 0;
    bool ready = false;
    int status = 0;
    QByteArray body;
    TransferReason reason = TransferReason::None;
  };

  // An answer to give later, in its turn; its id.
  quint64 owe() {
    Answer& owed = answers_.emplace_back();
    owed.id = nextAnswer_++;
    return owed.id;
  }

  // Answer `id` is known; it goes out once those before it have. An error
  // answer names its reason code for the peer.
  void answer(quint64 id, int status, const QByteArray& body = {}, TransferReason reason = TransferReason::Failed) {
    if (answers_.empty() || id < answers_.front().id || id - answers_.front().id >= answers_.size()) return;
    Answer& a = answers_[size_t(id - answers_.front().id)];
    a.ready = true;
    a.status = status;
    a.body = body;
    a.reason = reason;
    if (status >= 400) {
      // Nothing after an error is read or answered; an upload being read is discarded.
      while (answers_.back().id != id) answers_.pop_back();
      state_ = State::Refusing;
      headDeadline_.stop();
      sink_.reset();
      source_.reset();
    }
    flushAnswers();
  }

  void flushAnswers() {
    const bool wasFull = owesTooMany();
    while (!answers_.empty() && answers_.front().ready) {
      const Answer a = std::move(answers_.front());
      answers_.pop_front();
      if (!writeAnswer(a.status, a.body, a.reason)) return;
    }
    if (state_ != State::Head) return;
    if (answers_.empty()) {
      idle_.start();
      awaitHead();
    }
    // Reading waited for room.
    if (wasFull && !owesTooMany()) QTimer::singleShot(0, this, [this] { onReadable(); });
  }

  // Writes one answer; false when the connection ends with it (after an error).
  bool writeAnswer(int status, const QByteArray& body, TransferReason reason) {
    const bool keep = status < 400;
    QByteArray head = "HTTP/1.1 " + statusLine(status) + "\r\nContent-Length: " + QByteArray::number(body.size()) +
                      "\r\nCache-Control: no-store\r\n";
    if (!body.isEmpty()) head += "Content-Type: text/plain; charset=utf-8\r\n";
    if (!keep) head += "Connection: close\r\nX-Zarkelo-Reason: " + protocol::reasonCode(reason).toLatin1() + "\r\n";
    socket_->write(head + "\r\n" + body);
    if (keep) return true;
    closeAfterWrites();
    return false;
  }

  // Ends the connection once what was written has gone, the reason last:
  // a peer still reading a body it holds back for its disk gets it whole. A
  // peer that does not read at all is dropped after the idle time.
  void closeAfterWrites() {
    state_ = State::Closed;
    answers_.clear();
    headDeadline_.stop();
    idle_.stop();
    socket_->closeAfterWrites();
    connect(socket_, &znet::TlsChannel::closed, this, &QObject::deleteLater);
    QTimer::singleShot(LanListener::kIdleTimeoutMs, this, [this] { socket_->abort(), deleteLater(); });
  }

  // An error answer to the request being read, after those owed; the
  // connection ends with it.
  void refuse(int status, const char* why, TransferReason reason = TransferReason::Failed) {
    zlog::parts(QStringLiteral("Vantrel - local-network request refused:"), QString::fromUtf8(why));
    answer(owe(), status, QByteArray(why) + '\n', reason);
  }

  bool owesTooMany() const { return state_ == State::Head && answers_.size() >= kMaxOwed; }

  // What the peer is told of an upload not taken: the transfer's end (a full
  // disk, a cancel) says why, also once the transfer is gone here; anything
  // else is the body's fault.
  TransferReason uploadReason(const LanFileSink& sink, const QByteArray& capability) const {
    TransferReason ended = owner_->capabilities_.endedWith(capability);
    if (ended == TransferReason::None) ended = sink.endedWith();
    return ended != TransferReason::None ? ended : TransferReason::Failed;
  }

  void onReadable() {
    idle_.start();
    if (state_ == State::Put && body_.holdForDisk(sink_.get(), this, [this] { onReadable(); })) return;
    // Bytes not taken stay in the socket, so that the peer waits.
    if (state_ == State::Refusing || state_ == State::Closed || owesTooMany()) return;
    if (buffer_.isEmpty()) buffer_ = socket_->readAll();  // no copy when nothing is left over
    else buffer_ += socket_->readAll();
    while (state_ != State::Closed) {
      if (state_ == State::Put) {
        if (!feedUpload()) return;
        continue;
      }
      if (state_ != State::Head || buffer_.isEmpty() || owesTooMany()) return;
      lan::Head head;
      const qsizetype used = lan::parseRequestHead(buffer_, &head);
      if (used == 0) return;
      if (used < 0) return refuse(400, "malformed request");
      const znet::Framing framing = znet::requestFraming(head);
      if (framing.kind == znet::Framing::Kind::Invalid) return refuse(400, "unclear body framing");
      buffer_.remove(0, used);
      headDeadline_.stop();
      onRequest(head, framing);
    }
  }

  void onRequest(const lan::Head& head, const znet::Framing& framing) {
    const bool get = head.method == "GET";
    const bool put = head.method == "PUT";
    if (!get && !put) return refuse(405, "method not allowed");
    QString xid;
    qint64 index = -1;
    if (!parseTarget(head.target, &xid, &index)) return refuse(404, "not found");
    const QByteArray authorization = head.field("authorization");
    const QByteArray capability = authorization.startsWith("Bearer ") ? authorization.mid(7).trimmed() : QByteArray();
    const QString session = QString::fromUtf8(head.field("x-zarkelo-session"));
    LanCapabilities::File file;
    const auto refusal = owner_->capabilities_.check(
        capability, session, xid, get ? LanCapabilities::Method::Get : LanCapabilities::Method::Put, index, &file);
    if (refusal != LanCapabilities::Refusal::None)
      return refuse(refusal == LanCapabilities::Refusal::NoCapability || refusal == LanCapabilities::Refusal::Unknown ||
                            refusal == LanCapabilities::Refusal::Expired || refusal == LanCapabilities::Refusal::Ended
                        ? 401
                        : 403,
                    LanCapabilities::reasonText(refusal), reasonOf(refusal, owner_->capabilities_.endedWith(capability)));
    capability_ = capability;
    xid_ = xid;
    if (get) return startGet(head, framing, file);
    startPut(framing, session, xid, index, file);
  }

  // ---- a download: the checked file, as it was checked -------------------------

  void startGet(const lan::Head& head, const znet::Framing& framing, const LanCapabilities::File& entry) {
    if (framing.kind != znet::Framing::Kind::None) return refuse(400, "a download carries no body");
    if (!answers_.empty()) return refuse(400, "a download does not follow unanswered uploads");
    QString why;
    bool changed = false;
    // The check the fetcher wants when this side makes it, else SHA-256.
    sum_ = lan::wantsDigest(head.field("want-repr-digest"), sumName(SumKind::Xxh3)) ? SumKind::Xxh3 : SumKind::Sha256;
    auto file = SourceFile::open(entry.file, sum_, &why, &changed);
    if (!file)
      return refuse(409, changed ? "the file changed since it was checked" : "the file cannot be read",
                    TransferReason::Source);
    state_ = State::Get;
    socket_->write(
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\n"
        "Trailer: Repr-Digest\r\nCache-Control: no-store\r\n\r\n");
    // Read and hashed ahead on a worker; each chunk that arrives is sent on.
    source_ = std::make_unique<SourceReader>(std::move(file), kReadBytes, this, [this] { pumpGet(); });
  }

  void onWritten() {
    idle_.start();
    if (state_ == State::Get) pumpGet();
  }

  // A file that changed or cannot be read any more ends the body early,
  // without a digest and with the reason, and then the connection: the
  // receiver never takes it as a whole file.
  void pumpGet() {
    while (state_ == State::Get && source_->hasChunk() && socket_->bytesToWrite() < kHighWater) {
      const SourceReader::Chunk chunk = source_->take();
      if (!chunk.why.isEmpty()) return breakOff(TransferReason::Source, chunk.why);
      if (!chunk.bytes.isEmpty()) {
        socket_->write(lan::chunkStart(chunk.bytes.size()));
        socket_->write(chunk.bytes);
        socket_->write("\r\n", 2);
      }
      if (chunk.last) return finishGet(chunk.sum);
    }
  }

  // The body being sent ends early, without a digest and with the reason;
  // the connection ends with it.
  void breakOff(TransferReason reason, const QString& why) {
    zlog::parts(QStringLiteral("Vantrel - local-network download broken off:"), why);
    source_.reset();
    socket_->write(lan::brokenOff(protocol::reasonCode(reason).toLatin1(), why));
    closeAfterWrites();
  }

  void finishGet(const QString& sum) {
    source_.reset();
    socket_->write(lan::lastChunk({sumName(sum_), QByteArray::fromHex(sum.toLatin1())}));
    owner_->capabilities_.touch(capability_);
    awaitHead();
    if (!buffer_.isEmpty()) QTimer::singleShot(0, this, [this] { onReadable(); });
  }

  // ---- an upload: into the sink's partial file ---------------------------------

  void startPut(const znet::Framing& framing, const QString& session, const QString& xid, qint64 index,
                const LanCapabilities::File& entry) {
    if (framing.kind != znet::Framing::Kind::Chunked) return refuse(400, "an upload is sent chunked");
    QString why;
    TransferReason reason = TransferReason::Gone;
    sink_ = owner_->openSink_ ? owner_->openSink_(session, xid, index, entry.size, &why, &reason) : nullptr;
    if (!sink_) {
      zlog::parts(QStringLiteral("Vantrel - local-network upload not taken:"), why);
      return answer(owe(), 409, why.toUtf8() + '\n', reason);
    }
    body_.start(entry.size);
    state_ = State::Put;
  }

  // False when the buffer is used up or the connection ended.
  bool feedUpload() {
    if (buffer_.isEmpty()) return false;
    using Result = lan::FileBody::Result;
    const Result result = body_.feed(buffer_, *sink_);
    if (result == Result::More) return false;
    if (result != Result::Whole) {
      const TransferReason reason = uploadReason(*sink_, capability_);
      sink_.reset();
      if (result == Result::Bad) refuse(400, "malformed body or the file cannot be written", reason);
      else if (result == Result::TooLong) refuse(422, "more bytes than the file has", reason);
      else if (result == Result::Broken) refuse(422, "the body was broken off", reason);
      else refuse(422, result == Result::Short ? "fewer bytes than the file has" : "no digest", reason);
      return false;
    }
    // Answered once the file is checked, synced and in place; the next
    // request is read meanwhile.
    const quint64 id = owe();
    std::shared_ptr<LanFileSink> sink = std::move(sink_);
    awaitHead();
    QPointer<LanServerConnection> self(this);
    sink->finish(body_.digest(), [self, sink, id, capability = capability_](const QString& why) {
      if (!self || self->state_ == State::Closed) return;
      self->owner_->capabilities_.touch(capability);
      if (!why.isEmpty()) {
        zlog::parts(QStringLiteral("Vantrel - local-network upload not kept:"), why);
        return self->answer(id, 422, why.toUtf8() + '\n', self->uploadReason(*sink, capability));
      }
      self->answer(id, 204);
    });
    // `finish` may have answered already, with an error too.
    return self && state_ == State::Head;
  }

  LanListener* owner_;
  znet::TlsChannel* socket_;
  State state_ = State::Head;
  QTimer idle_;
  QTimer headDeadline_;
  qint64 headSince_ = 0;
  QByteArray buffer_;
  QByteArray capability_;  // of the request being read
  QString xid_;            // its transfer
  std::deque<Answer> answers_;  // owed, in the order of the requests
  quint64 nextAnswer_ = 0;
  // download
  std::unique_ptr<SourceReader> source_;
  SumKind sum_ = SumKind::Sha256;  // the check of the download being answered
  // upload
  std::unique_ptr<LanFileSink> sink_;
  lan::FileBody body_;
};

// Accepts on one more address of the listener, for the listener.
class LanAcceptor : public QTcpServer {
 public:
  explicit LanAcceptor(LanListener* owner) : QTcpServer(owner), owner_(owner) {}

 protected:
  void incomingConnection(qintptr descriptor) override { owner_->incomingConnection(descriptor); }

 private:
  LanListener* owner_;
};

LanListener::LanListener(QSslConfiguration tls, QObject* parent) : QTcpServer(parent), tls_(std::move(tls)) {
  // Peers present capabilities, not certificates.
  QString why;
  server_ = znet::TlsContext::server(tls_.localCertificate().toPem(), tls_.privateKey().toPem(), &why);
  if (!server_) zlog::parts(QStringLiteral("Vantrel - local-network listener has no usable certificate:"), why);
}

LanListener::~LanListener() {
  // Before the members they use go; closing ones have left `connections_`
  // already but are still children waiting for their deletion.
  std::vector<LanServerConnection*> open;
  for (QObject* child : children())
    if (auto* connection = dynamic_cast<LanServerConnection*>(child)) open.push_back(connection);
  for (LanServerConnection* connection : open) delete connection;
}

bool LanListener::start(const QHostAddress& address, quint16 port, QString* error) {
  return listenOn({address}, port, error);
}

bool LanListener::listenOn(const QList<QHostAddress>& addresses, quint16 port, QString* error) {
  // With any port, one free on the first address may be taken on another
  // (another program listens there): all addresses then try a fresh port.
  constexpr int kFreshPortTries = 8;
  QStringList failures;
  for (int attempt = 0; attempt < kFreshPortTries; ++attempt) {
    bool portTaken = false;
    failures = listenAll(addresses, port, &portTaken);
    if (failures.isEmpty() || port != 0 || !portTaken) break;
    port_ = 0;
  }
  if (error) *error = failures.join(QStringLiteral("; "));
  return failures.isEmpty();
}

QStringList LanListener::listenAll(const QList<QHostAddress>& addresses, quint16 port, bool* portTaken) {
  close();
  qDeleteAll(extra_);
  extra_.clear();
  listened_.clear();
  QStringList failures;
  for (const QHostAddress& address : addresses) {
    QTcpServer* server = listened_.isEmpty() ? static_cast<QTcpServer*>(this) : new LanAcceptor(this);
    const quint16 wanted = port ? port : port_;
    bool ok = server->listen(address, wanted);
    // The port used before may be taken by now; the first address picks another.
    if (!ok && port == 0 && wanted != 0 && listened_.isEmpty()) ok = server->listen(address, 0);
    if (!ok) {
      if (!listened_.isEmpty() && server->serverError() == QAbstractSocket::AddressInUseError) *portTaken = true;
      failures.append(address.toString() + QStringLiteral(": ") + server->errorString());
      if (server != this) delete server;
      continue;
    }
    if (listened_.isEmpty()) port_ = serverPort();
    if (server != this) extra_.append(server);
    listened_.append(address);
  }
  return failures;
}

QString LanListener::url() const { return urls().value(0); }

QStringList LanListener::urls() const {
  QStringList all;
  if (!isListening()) return all;
  for (const QHostAddress& address : listened_) all.append(lanUrl(address, port_));
  return all;
}

QString LanListener::fingerprint() const {
  return QString::fromLatin1(tls_.localCertificate().digest(QCryptographicHash::Sha256).toHex());
}

void LanListener::endTransfer(const QString& xid, TransferReason reason) {
  capabilities_.revokeTransfer(xid, reason);
  if (reason == TransferReason::None) return;
  // Breaking one off may close it; the set changes meanwhile.
  const QList<LanServerConnection*> open = connections_.values();
  for (LanServerConnection* connection : open)
    if (connections_.contains(connection)) connection->transferEnded(xid, reason);
}

void LanListener::incomingConnection(qintptr descriptor) {
  if (server_ && connections_.size() >= kMaxConnections) {
    // Full: the connection that has waited longest for its request head goes first.
    LanServerConnection* slowest = nullptr;
    for (LanServerConnection* c : std::as_const(connections_)) {
      const qint64 since = c->waitingForHeadSince();
      if (since >= 0 && (!slowest || since < slowest->waitingForHeadSince())) slowest = c;
    }
    if (slowest) slowest->drop();
  }
  if (!server_ || connections_.size() >= kMaxConnections) {
    ::close(int(descriptor));
    return;
  }
  auto* socket = new znet::TlsChannel;
  socket->setReadBufferSize(8 * 1024 * 1024);
  new LanServerConnection(this, socket);
  socket->accept(descriptor, server_);
}

}  // namespace vantrel
