#include "confinement.h"

#include <fcntl.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace confinement {

namespace {

bool limit(int resource, rlim_t value, const char* name, QString* error) {
  const rlimit bound{value, value};
  if (::setrlimit(resource, &bound) == 0) return true;
  *error = QStringLiteral("%1: %2").arg(QLatin1String(name), QString::fromLocal8Bit(std::strerror(errno)));
  return false;
}

#ifndef ZARKELO_SANITIZED
bool installFilter(int channel, QString* error) {
  // Anything not listed fails with EPERM: the decoder sees an error, not a crash.
  std::unique_ptr<void, decltype(&seccomp_release)> ctx(seccomp_init(SCMP_ACT_ERRNO(EPERM)), &seccomp_release);
  if (!ctx) {
    *error = QStringLiteral("seccomp_init failed");
    return false;
  }
  scmp_filter_ctx f = ctx.get();
  int rc = 0;
  auto allow = [&](int call) { rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, call, 0); };
  for (int call : {SCMP_SYS(read), SCMP_SYS(readv), SCMP_SYS(pread64), SCMP_SYS(preadv), SCMP_SYS(lseek),
                   SCMP_SYS(fstat), SCMP_SYS(close), SCMP_SYS(mmap), SCMP_SYS(munmap),
                   SCMP_SYS(mremap), SCMP_SYS(mprotect), SCMP_SYS(brk), SCMP_SYS(madvise), SCMP_SYS(futex),
                   SCMP_SYS(set_robust_list), SCMP_SYS(get_robust_list), SCMP_SYS(rseq), SCMP_SYS(set_tid_address),
                   SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(rt_sigaction), SCMP_SYS(rt_sigprocmask),
                   SCMP_SYS(rt_sigreturn), SCMP_SYS(sigaltstack), SCMP_SYS(restart_syscall), SCMP_SYS(getpid),
                   SCMP_SYS(gettid), SCMP_SYS(getrandom), SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres),
                   SCMP_SYS(clock_nanosleep), SCMP_SYS(nanosleep), SCMP_SYS(gettimeofday), SCMP_SYS(sched_yield),
                   SCMP_SYS(sched_getaffinity), SCMP_SYS(sysinfo), SCMP_SYS(getrusage), SCMP_SYS(getrlimit),
                   SCMP_SYS(poll), SCMP_SYS(ppoll), SCMP_SYS(membarrier), SCMP_SYS(uname), SCMP_SYS(getuid),
                   SCMP_SYS(geteuid), SCMP_SYS(getgid), SCMP_SYS(getegid),
                   // Qt gives every thread it starts a wake-up counter; it can only
                   // name itself, and writing to it is refused like any other write.
                   SCMP_SYS(eventfd2)})
    allow(call);
  // Signals only to itself (abort, thread cancellation).
  rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 1, SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(::getpid())));
  // Its own limits may be read, never changed.
  rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(prlimit64), 2, SCMP_A0(SCMP_CMP_EQ, 0),
                         SCMP_A2(SCMP_CMP_EQ, 0));
  // Descriptor flags only: no locks on the user's files, no new descriptors.
  for (int command : {F_GETFD, F_SETFD, F_GETFL, F_SETFL})
    rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(fcntl), 1, SCMP_A1(SCMP_CMP_EQ, scmp_datum_t(command)));
  // Metadata of open descriptors only, never of a path.
  rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(newfstatat), 1,
                         SCMP_A3(SCMP_CMP_MASKED_EQ, AT_EMPTY_PATH, AT_EMPTY_PATH));
  rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(statx), 1,
                         SCMP_A2(SCMP_CMP_MASKED_EQ, AT_EMPTY_PATH, AT_EMPTY_PATH));
  // Writes go to standard output and error (both the client's log) only; the
  // protocol runs over `channel`.
  for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(write), 1, SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(fd)));
    rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(writev), 1, SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(fd)));
  }
  for (int call : {SCMP_SYS(recvmsg), SCMP_SYS(recvfrom), SCMP_SYS(sendmsg), SCMP_SYS(sendto)})
    rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, call, 1, SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(channel)));
  // Threads, never new processes. clone3 hides its flags from the filter:
  // reporting it missing makes the C library fall back to clone.
  rc |= seccomp_rule_add(f, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1,
                         SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD));
  rc |= seccomp_rule_add(f, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
  // Paths and sockets are refused with the errors their callers expect.
  for (int call : {SCMP_SYS(open), SCMP_SYS(openat), SCMP_SYS(openat2), SCMP_SYS(creat)})
    rc |= seccomp_rule_add(f, SCMP_ACT_ERRNO(EACCES), call, 0);
  for (int call : {SCMP_SYS(socket), SCMP_SYS(socketpair)}) rc |= seccomp_rule_add(f, SCMP_ACT_ERRNO(EACCES), call, 0);
  if (rc != 0) {
    *error = QStringLiteral("seccomp rules refused");
    return false;
  }
  const int loaded = seccomp_load(f);
  if (loaded != 0) {
    *error = QStringLiteral("seccomp_load: %1").arg(QString::fromLocal8Bit(std::strerror(-loaded)));
    return false;
  }
  return true;
}
#endif

}  // namespace

bool filtersSystemCalls() {
#ifdef ZARKELO_SANITIZED
  return false;
#else
  return true;
#endif
}

bool confineProcess(int channel, QString* error) {
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    *error = QStringLiteral("PR_SET_NO_NEW_PRIVS: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    return false;
  }
  rlimit cpu{kCpuSeconds, kCpuSeconds + 4};  // SIGXCPU at the soft limit, SIGKILL at the hard one
  if (::setrlimit(RLIMIT_CPU, &cpu) != 0) {
    *error = QStringLiteral("RLIMIT_CPU: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
    return false;
  }
  if (!limit(RLIMIT_NOFILE, kOpenFiles, "RLIMIT_NOFILE", error) || !limit(RLIMIT_FSIZE, 0, "RLIMIT_FSIZE", error) ||
      !limit(RLIMIT_CORE, 0, "RLIMIT_CORE", error))
    return false;
#ifdef ZARKELO_SANITIZED
  (void)channel;
  return true;
#else
  return limit(RLIMIT_AS, kAddressSpaceBytes, "RLIMIT_AS", error) && installFilter(channel, error);
#endif
}

}  // namespace confinement
