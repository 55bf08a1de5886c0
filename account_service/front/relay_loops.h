// The service's connection threads: one event loop per core, each with a
// context object living in it. Connections are spread over them from their
// first byte (TLS, the first request, then the relay), so that they run in
// parallel and never wait for the main thread's sign-ins.
#pragma once

#include <QObject>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace kelvor {

class RelayLoops {
 public:
  // `count` loops (at least one); 0 takes the machine's ideal thread count.
  explicit RelayLoops(int count = 0);
  ~RelayLoops();  // quits and joins every loop
  RelayLoops(const RelayLoops&) = delete;
  RelayLoops& operator=(const RelayLoops&) = delete;

  int size() const { return static_cast<int>(loops_.size()); }
  // The next loop's thread, round robin.
  QThread* next();
  // Runs `work` on every loop in turn, waiting for each (never from a loop).
  void onEach(const std::function<void()>& work);

 private:
  struct Loop {
    std::unique_ptr<QThread> thread;
    QObject* context = nullptr;
  };
  std::vector<Loop> loops_;
  std::atomic<unsigned> next_{0};
};

}  // namespace kelvor
