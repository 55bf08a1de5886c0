#include "tls_sender.h"

#include <openssl/bio.h>

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace znet {

namespace {

// Room for a piece and the record that crosses its end, so appending never
// reallocates.
constexpr qsizetype kGatherCapacity = TlsSender::kPiece + 64 * 1024;

}  // namespace

BIO_METHOD* TlsSender::method() {
  static BIO_METHOD* const made = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tls sender");
    if (m) {
      BIO_meth_set_write_ex(m, &TlsSender::bioWrite);
      BIO_meth_set_ctrl(m, &TlsSender::bioControl);
    }
    return m;
  }();
  return made;
}

TlsSender::TlsSender(int fd, std::function<void()> wake)
    : fd_(fd), stopWake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), wake_(std::move(wake)) {
  gathering_.reserve(kGatherCapacity);
  thread_ = std::thread([this] { run(); });
}

TlsSender::~TlsSender() {
  stop();
  ::close(stopWake_);
}

void TlsSender::stop() {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
  }
  changed_.notify_one();
  const quint64 one = 1;
  [[maybe_unused]] const ssize_t n = ::write(stopWake_, &one, sizeof one);
  if (thread_.joinable()) thread_.join();
}

bio_st* TlsSender::newBio() {
  BIO* bio = method() ? BIO_new(method()) : nullptr;
  if (!bio) return nullptr;
  BIO_set_data(bio, this);
  BIO_set_init(bio, 1);
  return bio;
}

int TlsSender::bioWrite(bio_st* bio, const char* data, size_t size, size_t* written) {
  auto* self = static_cast<TlsSender*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  if (self->failed()) return 0;
  if (self->full()) {
    BIO_set_retry_write(bio);
    return 0;
  }
  self->gathering_.append(data, qsizetype(size));
  if (self->gathering_.size() >= kPiece) self->handOver();
  *written = size;
  return 1;
}

long TlsSender::bioControl(bio_st* bio, int command, long, void*) {
  auto* self = static_cast<TlsSender*>(BIO_get_data(bio));
  switch (command) {
    case BIO_CTRL_FLUSH:
      self->handOver();
      return self->failed() ? 0 : 1;
    case BIO_CTRL_WPENDING:
      return long(self->gathering_.size());
    default:
      return 0;
  }
}

void TlsSender::handOver() {
  if (gathering_.isEmpty()) return;
  {
    const std::lock_guard<std::mutex> guard(lock_);
    queued_ += gathering_.size();
    pieces_.push_back(std::move(gathering_));
  }
  changed_.notify_one();
  gathering_ = QByteArray();
  gathering_.reserve(kGatherCapacity);
}

bool TlsSender::sleepUntilRoom() { return sleepUntil(kAhead - 1); }

bool TlsSender::sleepUntilSent() { return sleepUntil(0); }

// The worker announces what it waits for, then looks again: either it sees
// the sender's progress, or the sender sees the announcement and wakes it.
bool TlsSender::sleepUntil(qint64 bytes) {
  wakeAt_ = bytes;
  if (queued_.load() <= bytes || failed()) {
    wakeAt_ = -1;
    return false;
  }
  return true;
}

void TlsSender::run() {
  while (true) {
    QByteArray piece;
    {
      std::unique_lock<std::mutex> guard(lock_);
      changed_.wait(guard, [this] { return stop_ || !pieces_.empty(); });
      if (stop_) return;
      piece = pieces_.front();
    }
    send(piece);
    if (failed()) {
      wake_();
      return;
    }
    {
      const std::lock_guard<std::mutex> guard(lock_);
      if (stop_) return;
      pieces_.pop_front();
      queued_ -= piece.size();
    }
    qint64 at = wakeAt_.load();
    if (at >= 0 && queued_.load() <= at && wakeAt_.compare_exchange_strong(at, -1)) wake_();
  }
}

void TlsSender::send(const QByteArray& piece) {
  qint64 at = 0;
  while (at < piece.size()) {
    // MSG_NOSIGNAL: a peer that closed makes this fail with EPIPE, not raise SIGPIPE.
    const ssize_t n = ::send(fd_, piece.constData() + at, size_t(piece.size() - at), MSG_NOSIGNAL);
    if (n > 0) {
      at += n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd fds[2] = {{fd_, POLLOUT, 0}, {stopWake_, POLLIN, 0}};
      while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
      }
      if (fds[1].revents & POLLIN) return;  // stop() says so
      continue;
    }
    failed_ = true;
    return;
  }
}

}  // namespace znet
