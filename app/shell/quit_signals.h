// SIGTERM, SIGINT and SIGHUP end the client the way its quit action does.
// The handler only writes the signal's number to a pipe; the main thread reads
// it and runs the quit path, so nothing unsafe happens inside the handler.
#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

class QuitSignals : public QObject {
  Q_OBJECT
 public:
  // `quit` runs on the main thread once per signal received.
  explicit QuitSignals(std::function<void()> quit, QObject* parent = nullptr);
  ~QuitSignals() override;

 private:
  void onReadable();

  std::function<void()> quit_;
  QSocketNotifier* notifier_ = nullptr;
};
