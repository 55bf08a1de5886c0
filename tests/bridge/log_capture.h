// Captures what the process writes to standard output (the log) while alive,
// then passes it on.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

class LogCapture {
 public:
  LogCapture() {
    std::fflush(stdout);
    saved_ = ::dup(1);
    file_ = std::tmpfile();
    ::dup2(::fileno(file_), 1);
  }
  ~LogCapture() {
    const QByteArray captured = bytes();
    ::dup2(saved_, 1);
    ::close(saved_);
    std::fclose(file_);
    // Hand the captured lines (and any test failure printed meanwhile) on.
    std::fwrite(captured.constData(), 1, size_t(captured.size()), stdout);
    std::fflush(stdout);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  QString text() const { return QString::fromUtf8(bytes()); }
  QStringList lines() const { return text().split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
  bool contains(const QString& part) const { return text().contains(part); }

 private:
  QByteArray bytes() const {
    std::fflush(stdout);
    struct stat info {};
    if (::fstat(::fileno(file_), &info) != 0) return {};
    QByteArray data(qsizetype(info.st_size), '\0');
    const ssize_t n = ::pread(::fileno(file_), data.data(), size_t(data.size()), 0);
    data.resize(n > 0 ? qsizetype(n) : 0);
    return data;
  }

  int saved_ = -1;
  std::FILE* file_ = nullptr;
};
