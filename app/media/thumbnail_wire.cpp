#include "media/thumbnail_wire.h"

#include <QtEndian>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace thumbwire {

namespace {

using Clock = std::chrono::steady_clock;

// Closes every descriptor in the control message except the first, which is
// kept in `*keep` when asked for (and not yet set).
void takeDescriptors(msghdr& message, int* keep) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
      if (keep && *keep < 0)
        *keep = fd;
      else
        ::close(fd);
    }
  }
}

// Reads exactly `size` bytes; the first read may bring a descriptor.
ReadStatus readExactly(int socket, char* into, size_t size, int* receivedFd, Clock::time_point deadline,
                       bool unlimited) {
  size_t done = 0;
  while (done < size) {
    if (!unlimited) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return ReadStatus::timedOut;
      pollfd waiting{socket, POLLIN, 0};
      const int ready = ::poll(&waiting, 1, int(left));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return ReadStatus::broken;
      if (ready == 0) return ReadStatus::timedOut;
    }
    iovec part{into + done, size - done};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    const ssize_t got = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno == ECONNRESET ? ReadStatus::closed : ReadStatus::broken;
    takeDescriptors(message, receivedFd);
    if (got == 0) return ReadStatus::closed;
    done += size_t(got);
  }
  return ReadStatus::ok;
}

}  // namespace

QByteArray encodeRequest(const Request& request) {
  QByteArray out(5, '\0');
  out[0] = char(request.kind);
  qToBigEndian(quint16(request.box.width()), out.data() + 1);
  qToBigEndian(quint16(request.box.height()), out.data() + 3);
  out += request.name.toUtf8().left(kMaxRequest - 5);
  return out;
}

std::optional<Request> decodeRequest(const QByteArray& payload) {
  if (payload.size() < 5 || payload.size() > kMaxRequest) return std::nullopt;
  Request request;
  const auto kind = quint8(payload[0]);
  if (kind < quint8(Kind::thumbnail) || kind > quint8(Kind::probeOpen)) return std::nullopt;
  request.kind = Kind(kind);
  const int width = qFromBigEndian<quint16>(payload.constData() + 1);
  const int height = qFromBigEndian<quint16>(payload.constData() + 3);
  if (width < 1 || height < 1 || width > kMaxBoxEdge || height > kMaxBoxEdge) return std::nullopt;
  request.box = QSize(width, height);
  request.name = QString::fromUtf8(payload.mid(5));
  return request;
}

QByteArray encodeReply(const Reply& reply) {
  QByteArray out(1, char(quint8(reply.status) | (reply.retiring ? kRetiring : 0)));
  if (reply.status != Status::none) out += reply.bytes;
  return out;
}

std::optional<Reply> decodeReply(const QByteArray& payload) {
  if (payload.isEmpty()) return std::nullopt;
  Reply reply;
  const auto status = quint8(payload[0]);
  reply.retiring = status & kRetiring;
  const quint8 kind = status & ~kRetiring;
  if (kind > quint8(Status::text)) return std::nullopt;
  reply.status = Status(kind);
  reply.bytes = payload.mid(1);
  if (reply.status == Status::none && !reply.bytes.isEmpty()) return std::nullopt;
  return reply;
}

bool writeFrame(int socket, const QByteArray& payload, int passFd) {
  QByteArray frame(4, '\0');
  qToBigEndian(quint32(payload.size()), frame.data());
  frame += payload;
  size_t done = 0;
  bool fdSent = passFd < 0;
  while (done < size_t(frame.size())) {
    iovec part{frame.data() + done, size_t(frame.size()) - done};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (!fdSent) {
      std::memset(control, 0, sizeof(control));
      message.msg_control = control;
      message.msg_controllen = sizeof(control);
      cmsghdr* c = CMSG_FIRSTHDR(&message);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(c), &passFd, sizeof(int));
    }
    const ssize_t sent = ::sendmsg(socket, &message, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    fdSent = true;
    done += size_t(sent);
  }
  return true;
}

ReadStatus readFrame(int socket, qint32 maxPayload, QByteArray& payload, int* receivedFd, int timeoutMs) {
  if (receivedFd) *receivedFd = -1;
  const bool unlimited = timeoutMs < 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(unlimited ? 0 : timeoutMs);
  char header[4];
  ReadStatus status = readExactly(socket, header, sizeof(header), receivedFd, deadline, unlimited);
  if (status != ReadStatus::ok) return status;
  const quint32 size = qFromBigEndian<quint32>(header);
  if (size > quint32(maxPayload)) return ReadStatus::broken;
  payload.resize(qsizetype(size));
  if (size == 0) return ReadStatus::ok;
  return readExactly(socket, payload.data(), size, nullptr, deadline, unlimited);
}

}  // namespace thumbwire
