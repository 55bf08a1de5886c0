// Real processes for the client's end-to-end tests: the account service with a
// temporary data folder, and clients each with their own temporary home, their
// own free bridge port and their own copy of the executables (so that the
// client's clean-up of leftover bridges never touches another test's bridge).
// Everything listens on 127.0.0.1 and is stopped by process id.
#pragma once

#include <QProcess>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <memory>

namespace e2e {

quint16 freePort();

// A child process whose output lines are collected as they come.
class LoggedProcess {
 public:
  LoggedProcess() = default;
  ~LoggedProcess();
  LoggedProcess(const LoggedProcess&) = delete;
  LoggedProcess& operator=(const LoggedProcess&) = delete;

  bool start(const QString& program, const QStringList& args, const QProcessEnvironment& env);
  // Waits until a line containing `text` has appeared after line `from`;
  // gives its index, or -1 on time-out.
  int waitForLine(const QString& text, std::chrono::milliseconds timeout, int from = 0);
  int countLines(const QString& text) const;
  const QStringList& lines() const { return lines_; }
  qint64 pid() const { return process_.processId(); }
  bool running() const { return process_.state() != QProcess::NotRunning; }
  // Kills the process and every bridge it started.
  void stop();
  QString dump() const { return lines_.join(QLatin1Char('\n')); }

 private:
  void readOutput();
  QProcess process_;
  QStringList lines_;
  QByteArray partial_;
};

// The environment that has a client sign in by e-mail and password at start.
QProcessEnvironment emailLogin(const QString& email, const QString& password);

class Service {
 public:
  // Puts an installer on offer (version.json and the file); call before start().
  bool offerInstaller(const QString& number, const QByteArray& bytes);
  // Creates the data folder, adds the account and starts serving on a free port.
  bool start(const QString& email, const QString& password, const QString& name, const QString& hostname);
  QString host() const { return QStringLiteral("127.0.0.1:%1").arg(port_); }
  QString caFile() const { return dir_.filePath(QStringLiteral("ca.pem")); }
  QSslConfiguration tls() const;
  // Confirms a QR token the way the phone's confirm page does; the HTTP status.
  int confirmQr(const QString& mid, const QString& token, const QString& email, const QString& password);
  LoggedProcess& process() { return process_; }

 private:
  QTemporaryDir dir_;
  quint16 port_ = 0;
  LoggedProcess process_;
};

class Client {
 public:
  // `binDir` holds the client and the bridge; they are linked into a folder of
  // this client's own. The home folder persists across restarts of this Client.
  // Without `withBridge` the bridge executable is missing until installBridge().
  explicit Client(const Service& service, bool withBridge = true);
  bool installBridge();
  bool start(const QProcessEnvironment& extra = {});
  void stop();
  LoggedProcess& process() { return *process_; }
  QString home() const { return home_.path(); }
  quint16 bridgePort() const { return bridgePort_; }
  QString databaseFile() const { return home_.path() + QStringLiteral("/Documents/Kelvor/db/kelvor.dat"); }
  // The bridge process started by the client, or 0.
  qint64 bridgePid() const;

 private:
  const Service& service_;
  QTemporaryDir home_;
  QTemporaryDir bin_;
  quint16 bridgePort_;
  std::unique_ptr<LoggedProcess> process_;
};

// A settings value read straight from a client's database file.
QString storedSetting(const QString& databaseFile, const QString& key, bool* present = nullptr);

}  // namespace e2e
