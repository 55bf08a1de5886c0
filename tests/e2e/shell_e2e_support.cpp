#include "shell_e2e_support.h"

#include "support/proc_stats.h"
#include "support/process_signal.h"
#include "support/reported_port.h"
#include "support/test_util.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>

#include <sqlite3.h>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace e2e {

quint16 freePort() {
  QTcpServer probe;
  if (!probe.listen(QHostAddress::LocalHost, 0)) return 0;
  const quint16 port = probe.serverPort();
  probe.close();
  return port;
}

LoggedProcess::~LoggedProcess() { stop(); }

bool LoggedProcess::start(const QString& program, const QStringList& args, const QProcessEnvironment& env) {
  process_.setProcessChannelMode(QProcess::MergedChannels);
  process_.setProcessEnvironment(env);
  // Killed when the test process dies, even by a crash or a time-out.
  process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
  QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] { readOutput(); });
  process_.start(program, args);
  return process_.waitForStarted(5000);
}

void LoggedProcess::readOutput() {
  partial_ += process_.readAllStandardOutput();
  qsizetype newline;
  while ((newline = partial_.indexOf('\n')) >= 0) {
    lines_ << QString::fromUtf8(partial_.left(newline));
    partial_.remove(0, newline + 1);
  }
}

int LoggedProcess::waitForLine(const QString& text, std::chrono::milliseconds timeout, int from) {
  int found = -1;
  testutil::waitUntil(
      [&] {
        for (int i = from; i < lines_.size(); ++i)
          if (lines_[i].contains(text)) {
            found = i;
            return true;
          }
        return false;
      },
      timeout);
  return found;
}

int LoggedProcess::countLines(const QString& text) const {
  int n = 0;
  for (const QString& line : lines_)
    if (line.contains(text)) ++n;
  return n;
}

QProcessEnvironment emailLogin(const QString& email, const QString& password) {
  QProcessEnvironment env;
  env.insert(QStringLiteral("ZARKELO_TEST_LOGIN_EMAIL"), email);
  env.insert(QStringLiteral("ZARKELO_TEST_LOGIN_PASSWORD"), password);
  return env;
}

void LoggedProcess::stop() {
  if (process_.state() == QProcess::NotRunning) return;
  const QList<qint64> bridges = procstats::childrenNamed(process_.processId(), "Vantrel_amd");
  process_.kill();
  process_.waitForFinished(5000);
  for (qint64 pid : bridges) testsupport::signalProcess(pid, SIGKILL);
  readOutput();
}

bool Service::start(const QString& email, const QString& password, const QString& name, const QString& hostname) {
  const QString program = testutil::binDir() + QStringLiteral("/kelvor-service");
  const QString data = dir_.path();
  QProcess add;
  add.start(program, {QStringLiteral("add-account"), QStringLiteral("--data"), data, QStringLiteral("--email"), email,
                      QStringLiteral("--password"), password, QStringLiteral("--name"), name,
                      QStringLiteral("--hostname"), hostname});
  if (!add.waitForFinished(10000) || add.exitCode() != 0) return false;
  port_ = 0;  // the service picks a free port and tells which
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("HOME"), data);
  if (!process_.start(program,
                      {QStringLiteral("serve"), QStringLiteral("--data"), data, QStringLiteral("--listen"), host()},
                      env))
    return false;
  const int line = process_.waitForLine(QStringLiteral("Kelvor service listening on"), std::chrono::seconds(30));
  if (line < 0) return false;
  port_ = testsupport::loopbackPortIn(process_.lines().at(line));
  return port_ != 0;
}

bool Service::offerInstaller(const QString& number, const QByteArray& bytes) {
  const QString name = QStringLiteral("Kelvor") + number + QStringLiteral(".dmg");
  if (!QDir(dir_.path()).mkpath(QStringLiteral("installers"))) return false;
  QFile installer(dir_.filePath(QStringLiteral("installers/") + name));
  QFile version(dir_.filePath(QStringLiteral("version.json")));
  if (!installer.open(QIODevice::WriteOnly) || installer.write(bytes) != bytes.size()) return false;
  if (!version.open(QIODevice::WriteOnly)) return false;
  version.write(QStringLiteral(R"({"number":"%1","file":"%2"})").arg(number, name).toUtf8());
  return true;
}

QSslConfiguration Service::tls() const {
  QSslConfiguration config = QSslConfiguration::defaultConfiguration();
  config.addCaCertificates(QSslCertificate::fromPath(caFile()));
  return config;
}

int Service::confirmQr(const QString& mid, const QString& token, const QString& email, const QString& password) {
  QUrlQuery form;
  form.addQueryItem(QStringLiteral("mid"), QString::fromLatin1(QUrl::toPercentEncoding(mid)));
  form.addQueryItem(QStringLiteral("token"), QString::fromLatin1(QUrl::toPercentEncoding(token)));
  form.addQueryItem(QStringLiteral("email"), QString::fromLatin1(QUrl::toPercentEncoding(email)));
  form.addQueryItem(QStringLiteral("password"), QString::fromLatin1(QUrl::toPercentEncoding(password)));
  QNetworkAccessManager net;
  QNetworkRequest request(QUrl(QStringLiteral("https://%1/wx/login/confirm").arg(host())));
  request.setSslConfiguration(tls());
  request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
  QNetworkReply* reply = net.post(request, form.query(QUrl::FullyEncoded).toUtf8());
  testutil::waitUntil([reply] { return reply->isFinished(); }, std::chrono::seconds(10));
  const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  reply->deleteLater();
  return status;
}

namespace {
// A private link (or copy) of a built executable.
bool linkExecutable(const QString& name, const QString& folder) {
  const QString source = testutil::binDir() + QLatin1Char('/') + name;
  const QString target = folder + QLatin1Char('/') + name;
  return ::link(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) == 0 ||
         QFile::copy(source, target);
}
}  // namespace

Client::Client(const Service& service, bool withBridge) : service_(service), bridgePort_(freePort()) {
  // The client kills leftover bridges of its own folder: give it a folder of its own.
  linkExecutable(QStringLiteral("zarkelo"), bin_.path());
  if (withBridge) installBridge();
}

bool Client::installBridge() { return linkExecutable(QStringLiteral("Vantrel_amd"), bin_.path()); }

bool Client::start(const QProcessEnvironment& extra) {
  process_ = std::make_unique<LoggedProcess>();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("HOME"), home_.path());
  env.remove(QStringLiteral("XDG_DOCUMENTS_DIR"));
  env.insert(QStringLiteral("XDG_CONFIG_HOME"), home_.path() + QStringLiteral("/.config"));
  env.insert(QStringLiteral("XDG_DATA_HOME"), home_.path() + QStringLiteral("/.local/share"));
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  env.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
  env.insert(QStringLiteral("ZARKELO_SERVICE_HOST"), service_.host());
  env.insert(QStringLiteral("ZARKELO_CA_FILE"), service_.caFile());
  env.insert(QStringLiteral("ZARKELO_BRIDGE_PORT"), QString::number(bridgePort_));
  env.remove(QStringLiteral("ZARKELO_TEST_LOGIN_EMAIL"));
  env.remove(QStringLiteral("ZARKELO_TEST_LOGIN_PASSWORD"));
  env.insert(QStringLiteral("ZARKELO_TEST_LOGIN_PAGE_FILE"), home_.path() + QStringLiteral("/login-pages.txt"));
  for (const QString& key : extra.keys()) env.insert(key, extra.value(key));
  return process_->start(bin_.path() + QStringLiteral("/zarkelo"), {}, env);
}

void Client::stop() {
  if (process_) process_->stop();
}

qint64 Client::bridgePid() const {
  if (!process_) return 0;
  const auto pids = procstats::childrenNamed(process_->pid(), "Vantrel_amd");
  return pids.isEmpty() ? 0 : pids.first();
}

QString storedSetting(const QString& databaseFile, const QString& key, bool* present) {
  if (present) *present = false;
  sqlite3* db = nullptr;
  QString value;
  // Opened for writing (never created): a client killed inside a transaction
  // leaves a hot journal that only a writer may roll back; a read-only
  // connection would fail to read anything at all.
  if (QFile::exists(databaseFile) &&
      sqlite3_open_v2(QFile::encodeName(databaseFile).constData(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "select value from icons where key = ?1", -1, &statement, nullptr) == SQLITE_OK) {
      const QByteArray k = key.toUtf8();
      sqlite3_bind_text(statement, 1, k.constData(), int(k.size()), SQLITE_TRANSIENT);
      if (sqlite3_step(statement) == SQLITE_ROW) {
        if (present) *present = true;
        value = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
      }
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return value;
}

}  // namespace e2e
