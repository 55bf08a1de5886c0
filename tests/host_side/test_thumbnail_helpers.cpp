// The thumbnail helper processes: faults in the middle of a request, and the
// confinement each helper runs under.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "host_side/thumbnail_helpers.h"
#include "support/test_util.h"

namespace {

using namespace std::chrono_literals;
using Outcome = ThumbnailHelpers::Outcome;


QString targetOf(const QString& link) {
  char buffer[512];
  const ssize_t n = ::readlink(QFile::encodeName(link).constData(), buffer, sizeof(buffer) - 1);
  return n > 0 ? QString::fromLocal8Bit(buffer, int(n)) : QString();
}

// Whether process `pid` holds a descriptor of the same object as our `fd`.
bool holds(qint64 pid, int fd) {
  const QString wanted = targetOf(QStringLiteral("/proc/self/fd/%1").arg(fd));
  const QDir dir(QStringLiteral("/proc/%1/fd").arg(pid));
  for (const QString& entry : dir.entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files))
    if (targetOf(dir.filePath(entry)) == wanted) return true;
  return false;
}

QString procText(qint64 pid, const char* file) {
  QFile f(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(file)));
  return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()) : QString();
}

class ThumbnailHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp.isValid());
    image = tmp.filePath(QStringLiteral("photo.jpg"));
    QImage picture(400, 300, QImage::Format_RGB32);
    picture.fill(Qt::darkCyan);
    ASSERT_TRUE(picture.save(image));
  }

  ThumbnailHelpers::Result thumbnail(ThumbnailHelpers& pool) {
    const int fd = ::open(QFile::encodeName(image).constData(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    auto result = pool.request(thumbwire::Request{thumbwire::Kind::thumbnail, QSize(48, 48), QStringLiteral("photo.jpg")},
                               fd, 20s);
    ::close(fd);
    return result;
  }

  QTemporaryDir tmp;
  QString image;
  const QString program = testutil::binDir() + QStringLiteral("/zarkelo-thumbnailer");
};

TEST_F(ThumbnailHelperTest, AHelperThatCrashesOrHangsMidRequestEndsOnlyThatRequest) {
  ThumbnailHelpers pool(program, 2);
  for (const int signal : {SIGSEGV, SIGSTOP}) {
    SCOPED_TRACE(signal == SIGSEGV ? "SIGSEGV" : "SIGSTOP");
    // A pipe nobody writes to: the helper that gets it waits in its read.
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    std::atomic<bool> done{false};
    ThumbnailHelpers::Result stuck;
    // A crash must be noticed when it happens, long before the limit.
    const auto limit = signal == SIGSEGV ? 60s : 3s;
    std::thread asking([&] {
      stuck = pool.request(thumbwire::Request{thumbwire::Kind::thumbnail, QSize(48, 48), QStringLiteral("a.png")},
                           pipeFds[0], limit);
      done = true;
    });
    qint64 pid = -1;
    const bool midRequest = testutil::waitUntil(
        [&] {
          for (qint64 p : pool.pids())
            if (holds(p, pipeFds[0])) pid = p;
          return pid > 0;
        },
        20s);
    EXPECT_TRUE(midRequest);
    if (!midRequest) ::close(pipeFds[1]);  // lets the request end
    // Meanwhile the other helper answers as usual.
    EXPECT_EQ(thumbnail(pool).outcome, Outcome::picture);

    if (pid > 0) ::kill(pid_t(pid), signal);
    EXPECT_TRUE(testutil::waitUntil([&] { return done.load(); }, 30s));  // well before a crash's 60 s limit
    asking.join();
    ::close(pipeFds[0]);
    if (midRequest) ::close(pipeFds[1]);
    if (!midRequest) continue;
    EXPECT_EQ(stuck.outcome, Outcome::failed);  // answered without a picture
    EXPECT_FALSE(pool.pids().contains(pid));
    EXPECT_NE(::kill(pid_t(pid), 0), 0) << "killed and reaped";
    // A fresh helper takes the next request.
    EXPECT_EQ(thumbnail(pool).outcome, Outcome::picture);
  }
}

TEST_F(ThumbnailHelperTest, ThreeRequestsAtOnceGetThreeHelpersOfWhichTwoStay) {
  ThumbnailHelpers pool(program, 3, 300ms);
  // Three pipes held open: each request keeps its helper busy until its pipe closes.
  int pipes[3][2];
  std::atomic<int> answered{0};
  std::vector<std::thread> asking;
  for (auto& fds : pipes) {
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    asking.emplace_back([&pool, &answered, fd = fds[0]] {
      const auto result =
          pool.request(thumbwire::Request{thumbwire::Kind::thumbnail, QSize(48, 48), QStringLiteral("a.png")}, fd, 20s);
      if (result.outcome == Outcome::none) ++answered;  // an empty file has no picture
    });
  }
  EXPECT_TRUE(testutil::waitUntil([&] { return pool.pids().size() == 3; }, 20s));
  for (auto& fds : pipes) ::close(fds[1]);
  EXPECT_TRUE(testutil::waitUntil([&] { return answered == 3; }, 20s));
  for (auto& thread : asking) thread.join();
  for (auto& fds : pipes) ::close(fds[0]);
  EXPECT_TRUE(testutil::waitUntil([&] { return pool.pids().size() == 2; }, 10s));
  EXPECT_EQ(thumbnail(pool).outcome, Outcome::picture);
}

TEST_F(ThumbnailHelperTest, TheFilterRefusesSocketsAndPathsAndTheLimitsHold) {
  ThumbnailHelpers pool(program, 1);
  EXPECT_EQ(thumbnail(pool).outcome, Outcome::picture);
  ASSERT_EQ(pool.pids().size(), 1);
  const qint64 pid = pool.pids().first();
  const QString status = procText(pid, "status");
  EXPECT_TRUE(status.contains(QStringLiteral("NoNewPrivs:\t1"))) << status.toStdString();
  const QString limits = procText(pid, "limits").simplified();
  for (const char* line : {"Max cpu time 60 64 seconds", "Max file size 0 0 bytes", "Max open files 16 16 files"})
    EXPECT_TRUE(limits.contains(QLatin1String(line))) << line;
#ifdef ZARKELO_SANITIZED
  GTEST_SKIP() << "the sanitizers' runtime cannot run under the filter and the address-space limit";
#endif
  EXPECT_TRUE(status.contains(QStringLiteral("Seccomp:\t2"))) << status.toStdString();
  EXPECT_TRUE(limits.contains(QLatin1String("Max address space 1073741824 1073741824 bytes")));

  const auto socket = pool.request(thumbwire::Request{thumbwire::Kind::probeSocket, QSize(1, 1), {}}, -1, 20s);
  ASSERT_EQ(socket.outcome, Outcome::text);
  EXPECT_TRUE(socket.bytes.startsWith("refused")) << socket.bytes.constData();
  const auto open = pool.request(thumbwire::Request{thumbwire::Kind::probeOpen, QSize(1, 1), image}, -1, 20s);
  ASSERT_EQ(open.outcome, Outcome::text);
  EXPECT_TRUE(open.bytes.startsWith("refused")) << open.bytes.constData();
  // Refused calls leave the helper working.
  EXPECT_EQ(thumbnail(pool).outcome, Outcome::picture);
  EXPECT_EQ(pool.pids(), QList<qint64>{pid});
}

}  // namespace
