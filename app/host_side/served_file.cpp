#include "host_side/served_file.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int openServedFile(const QString& resolved) {
  // Non-blocking, so that a FIFO put in place of the file cannot hold the thread.
  const int fd = ::open(QFile::encodeName(resolved).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}
