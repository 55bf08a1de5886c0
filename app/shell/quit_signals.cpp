#include "shell/quit_signals.h"

#include "core/log.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
int pipeFds[2] = {-1, -1};

void onSignal(int number) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(number);
  [[maybe_unused]] const ssize_t written = ::write(pipeFds[1], &byte, 1);
  errno = saved;
}

}  // namespace

QuitSignals::QuitSignals(std::function<void()> quit, QObject* parent) : QObject(parent), quit_(std::move(quit)) {
  if (pipeFds[0] < 0 && ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
    zlog::line(QStringLiteral("Termination signals cannot be watched: no pipe"));
    return;
  }
  notifier_ = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &QuitSignals::onReadable);
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  // A second signal while the first is being handled takes the default
  // action, so a client that hangs on its way out can still be ended.
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  for (const int number : kSignals) ::sigaction(number, &action, nullptr);
}

QuitSignals::~QuitSignals() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (const int number : kSignals) ::sigaction(number, &action, nullptr);
}

void QuitSignals::onReadable() {
  unsigned char byte = 0;
  bool received = false;
  while (::read(pipeFds[0], &byte, 1) == 1) {
    received = true;
    zlog::line(QStringLiteral("Quitting on signal %1").arg(int(byte)));
  }
  if (received && quit_) quit_();
}
