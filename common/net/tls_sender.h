// The system calls of a connection's large sends, on a thread of their own.
// A TLS worker that encrypts and also writes to the socket keeps one core
// busy with both; with a sender, it encrypts records into the BIO newBio()
// makes, which gathers them into large pieces, and the sender writes those to
// the socket while the worker encrypts the next ones. At most about kAhead
// bytes wait between the two: beyond that the BIO asks the worker to retry.
#pragma once

#include <QByteArray>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

struct bio_st;
struct bio_method_st;

namespace znet {

class TlsSender {
 public:
  static constexpr qint64 kPiece = 256 * 1024;
  static constexpr qint64 kAhead = 1024 * 1024;

  // `fd`: the connected non-blocking socket, which stays the caller's.
  // `wake` is called on the sender's thread when room frees up after
  // sleepUntilRoom(), when everything has left after sleepUntilSent(), and
  // when sending fails.
  TlsSender(int fd, std::function<void()> wake);
  ~TlsSender();  // stops at once; what had not left is dropped
  TlsSender(const TlsSender&) = delete;
  TlsSender& operator=(const TlsSender&) = delete;

  // A new BIO writing through this sender, for SSL_set0_wbio(); it must be
  // freed before the sender.
  bio_st* newBio();

  // Stops the thread at once (what had not left is dropped); failed() then
  // tells for good whether a send failed.
  void stop();
  bool failed() const { return failed_.load(); }
  // The BIO takes more now (or sending failed: it takes nothing any more).
  bool hasRoom() const { return !full() || failed(); }
  // Whether the worker should sleep until woken: true while the BIO takes no
  // more; false once it does (or sending failed).
  bool sleepUntilRoom();
  // Likewise until every byte handed over has left.
  bool sleepUntilSent();

 private:
  static bio_method_st* method();
  static int bioWrite(bio_st* bio, const char* data, size_t size, size_t* written);
  static long bioControl(bio_st* bio, int command, long number, void* pointer);
  bool full() const { return queued_.load() >= kAhead; }
  bool sleepUntil(qint64 bytes);
  void handOver();
  void run();
  void send(const QByteArray& piece);

  const int fd_;
  const int stopWake_;  // eventfd: stop() for a sender waiting for the socket
  std::function<void()> wake_;
  QByteArray gathering_;  // the worker's, not yet handed over

  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<QByteArray> pieces_;
  bool stop_ = false;
  std::atomic<qint64> queued_ = 0;   // bytes handed over, not yet sent
  std::atomic<qint64> wakeAt_ = -1;  // wake the worker once queued_ is at most this
  std::atomic_bool failed_ = false;
  std::thread thread_;
};

}  // namespace znet
