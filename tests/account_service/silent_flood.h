// TCP connections that never send a byte (no TLS handshake begins), opened
// from loopback addresses of their own at a steady rate on a thread of their
// own, each closed once the service closes it. Used by the front-door tests
// and by the front-door benchmark.
#pragma once

#include <QElapsedTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

namespace testsvc {

class SilentFlood {
 public:
  // `from`: the source addresses, taken in turn; `maxHeld`: at most this many
  // open at once (the process's own descriptors).
  SilentFlood(std::vector<std::string> from, quint16 port, int perSecond, long maxHeld = 15000)
      : thread_([this, from = std::move(from), port, perSecond, maxHeld] { run(from, port, perSecond, maxHeld); }) {}
  ~SilentFlood() {
    stop_ = true;
    thread_.join();
  }
  std::atomic<long> opened{0}, failed{0}, held{0};

 private:
  void run(const std::vector<std::string>& from, quint16 port, int perSecond, long maxHeld) {
    const int poll = ::epoll_create1(EPOLL_CLOEXEC);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    std::vector<sockaddr_in> sources(from.size());
    for (std::size_t i = 0; i < from.size(); ++i) {
      sources[i].sin_family = AF_INET;
      ::inet_pton(AF_INET, from[i].c_str(), &sources[i].sin_addr);
    }
    std::vector<bool> open(1 << 16, false);  // by descriptor
    QElapsedTimer clock;
    clock.start();
    long count = 0;
    while (!stop_) {
      const long due = long(clock.elapsed() * perSecond / 1000);
      while (count < due && held < maxHeld && !stop_) {
        sockaddr_in& source = sources[std::size_t(count++ % long(sources.size()))];
        ++opened;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0 || fd >= int(open.size()) ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
            (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)) {
          if (fd >= 0) ::close(fd);
          ++failed;
          continue;
        }
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP;
        event.data.fd = fd;
        ::epoll_ctl(poll, EPOLL_CTL_ADD, fd, &event);
        open[std::size_t(fd)] = true;
        ++held;
      }
      count = std::max(count, due - perSecond);  // a stall is not made up in a burst
      epoll_event events[256];
      const int n = ::epoll_wait(poll, events, 256, 1);
      for (int i = 0; i < n; ++i) {
        ::close(events[i].data.fd);  // the service closed it
        open[std::size_t(events[i].data.fd)] = false;
        --held;
      }
    }
    for (std::size_t fd = 0; fd < open.size(); ++fd)
      if (open[fd]) ::close(int(fd));
    ::close(poll);
  }

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace testsvc
