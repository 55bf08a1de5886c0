// zarkelo-thumbnailer: started by the client with a connected Unix socket as
// its standard input and output; decodes the files whose descriptors it is
// handed and answers PNG thumbnails (media/thumbnail_wire.h).
#include "confinement.h"
#include "thumbnailer_service.h"

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

// Descriptors the client let slip through are not this process's business.
void closeInheritedDescriptors() {
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return;
#endif
  for (int fd = 3; fd < 1024; ++fd) ::close(fd);
}

}  // namespace

#ifdef ZARKELO_SANITIZED
// Fontconfig keeps what Poppler's font lookup loaded until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif

int main() {
  closeInheritedDescriptors();
  // Threads Qt starts (image scaling) get its own small event dispatcher, not
  // GLib's, which aborts when it cannot make its pipes.
  ::setenv("QT_NO_GLIB", "1", 1);
  // The protocol gets a descriptor of its own; whatever a library prints to
  // standard output goes to standard error instead of into a reply.
  const int channel = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  if (channel < 0) return 2;
  const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (nothing < 0 || ::dup2(nothing, STDIN_FILENO) < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return 2;
  ::close(nothing);
  ::signal(SIGPIPE, SIG_IGN);
  // With no file size allowed, a write to a standard error that is a file
  // fails (EFBIG) instead of ending the helper: its diagnostics are lost then.
  ::signal(SIGXFSZ, SIG_IGN);
  // Few malloc arenas: every thread's own arena would eat into the address-space limit.
  ::mallopt(M_ARENA_MAX, 2);

  thumbnailer::warmUp();
  QString error;
  if (!confinement::confineProcess(channel, &error)) {
    std::fprintf(stderr, "zarkelo-thumbnailer: cannot confine itself: %s\n", error.toLocal8Bit().constData());
    return 2;
  }
  return thumbnailer::serve(channel);
}
