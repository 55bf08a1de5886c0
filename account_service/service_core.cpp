#include "service_core.h"

#include "core/log.h"
#include "password_hash.h"
#include "wire_models.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace kelvor {

namespace {

constexpr qsizetype kMaxLoginBody = 64 * 1024;

Reply numberFailure(const QString& why, int status = 200) {
  NumberResult r;
  r.Result = 0;
  r.Info = why.toStdString();
  return {status, r.toJSONModel()};
}

Reply textFailure(const QString& why) {
  TextResult r;
  r.Result = QStringLiteral("0");
  r.Info = why.toStdString();
  return {200, r.toJSONModel()};
}

QString textOf(const vex::Json& object, const char* key, bool* ok) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) {
    *ok = false;
    return {};
  }
  return QString::fromStdString(it->get<std::string>());
}

std::optional<qint64> accountIdText(const QString& text) {
  static const QRegularExpression digits(QStringLiteral("^[0-9]{1,18}$"));
  if (!digits.match(text).hasMatch()) return std::nullopt;
  return text.toLongLong();
}

bool isVersionNumber(const QString& text) {
  static const QRegularExpression form(QStringLiteral("^[0-9]{1,6}\\.[0-9]{1,6}\\.[0-9]{1,6}$"));
  return form.match(text).hasMatch();
}

}  // namespace

qint64 ServiceCore::now() const { return nowMs ? nowMs() : QDateTime::currentMSecsSinceEpoch(); }

bool ServiceCore::isPlausibleQrToken(const QString& token) {
  static const QRegularExpression form(QStringLiteral("^[A-Za-z0-9_-]{1,128}$"));
  return form.match(token).hasMatch();
}

bool ServiceCore::loadVersion(const QString& dataDir, QString* error) {
  version_.reset();
  QFile file(QDir(dataDir).filePath(QStringLiteral("version.json")));
  if (!file.exists()) return true;
  if (!file.open(QIODevice::ReadOnly) || file.size() > 64 * 1024) {
    *error = QStringLiteral("version.json cannot be read");
    return false;
  }
  const auto tree = vex::Json::parse(file.readAll().toStdString(), nullptr, false);
  bool ok = tree.is_object();
  const QString number = ok ? textOf(tree, "number", &ok) : QString();
  const QString fileName = ok ? textOf(tree, "file", &ok) : QString();
  if (!ok) {
    *error = QStringLiteral("version.json needs the texts \"number\" and \"file\"");
    return false;
  }
  // The number becomes part of a file name on the client: digits and dots only.
  if (!isVersionNumber(number)) {
    *error = QStringLiteral("version.json: \"number\" must be three numbers joined by dots");
    return false;
  }
  static const QRegularExpression plainName(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]{0,127}$"));
  if (!plainName.match(fileName).hasMatch()) {
    *error = QStringLiteral("version.json: \"file\" must be a plain file name");
    return false;
  }
  VersionRecord record;
  record.number = number;
  record.fileName = fileName;
  record.filePath = QDir(dataDir).filePath(QStringLiteral("installers/") + fileName);
  QFile installer(record.filePath);
  if (!installer.open(QIODevice::ReadOnly)) {
    *error = QStringLiteral("the installer is missing: ") + record.filePath;
    return false;
  }
  QCryptographicHash hash(QCryptographicHash::Sha256);
  hash.addData(&installer);
  record.sha256 = QString::fromLatin1(hash.result().toHex());
  version_ = record;
  return true;
}

Reply ServiceCore::login(const QByteArray& body) {
  if (body.size() > kMaxLoginBody) return numberFailure(QStringLiteral("request too large"), 413);
  const auto tree = vex::Json::parse(body.toStdString(), nullptr, false);
  if (!tree.is_object()) return numberFailure(QStringLiteral("the body is not a JSON object"), 400);
  bool ok = true;
  const QString id = textOf(tree, "Id_acc", &ok).trimmed();
  const QString password = textOf(tree, "Password", &ok);
  if (!ok) return numberFailure(QStringLiteral("Id_acc and Password must be texts"), 400);
  bool hasCredential = true;
  const QString credential = textOf(tree, "Credential", &hasCredential);

  if (id.contains(QLatin1Char('@'))) {
    const auto account = store_.checkLogin(id, password);
    if (!account) return numberFailure(QStringLiteral("wrong e-mail or password"));
    return acceptLogin(*account, QString());
  }
  const auto accountId = accountIdText(id);
  if (!accountId) return numberFailure(QStringLiteral("wrong e-mail or password"));
  if (password == id) {
    // The login that follows a QR sign-in, and its repeats on reconnect.
    const auto account = store_.findById(*accountId);
    if (!account) return numberFailure(QStringLiteral("unknown account"));
    if (hasCredential && store_.checkCredential(*accountId, credential)) return acceptLogin(*account, credential);
    if (takeQrConfirmation(*accountId)) return acceptLogin(*account, QString());
    // An account whose password happens to be its own id.
    if (store_.checkLoginById(*accountId, password)) return acceptLogin(*account, QString());
    return numberFailure(QStringLiteral("no confirmed sign-in for this account"));
  }
  const auto account = store_.checkLoginById(*accountId, password);
  if (!account) return numberFailure(QStringLiteral("wrong e-mail or password"));
  return acceptLogin(*account, QString());
}

Reply ServiceCore::acceptLogin(const Account& account, const QString& credential) {
  LoginSession session;
  session.accountId = account.id;
  session.clientId = QStringLiteral("C") + randomHex(8).toUpper();
  session.token = randomHex(24);
  session.createdMs = now();
  sessions_.insert(session.token, session);
  auto& tokens = tokensByAccount_[account.id];
  tokens.append(session.token);
  while (tokens.size() > kTokensPerAccount) {
    const LoginSession dropped = sessions_.take(tokens.takeFirst());
    if (tokenDropped && !dropped.clientId.isEmpty()) tokenDropped(dropped.clientId);
  }

  LoginReply reply;
  reply.ACC = account.id;
  reply.name_acc = account.nameAcc;
  reply.rooturl = account.hostname;
  reply.ClientID = session.clientId;
  reply.Token = session.token;
  reply.limit.maxsharecount = account.maxShareCount;
  reply.limit.limit_dpc = account.limitDpc;
  reply.limit.mbr_type = account.mbrType;
  reply.Credential = credential.isEmpty() ? store_.issueCredential(account.id) : credential;
  zlog::parts(QStringLiteral("Login"), QString::number(account.id), session.clientId);
  return {200, reply.toJSONModel()};
}

bool ServiceCore::takeQrConfirmation(qint64 accountId) {
  dropExpiredQr();
  for (auto it = qr_.begin(); it != qr_.end(); ++it) {
    if (it->accountId == accountId && !it->consumed) {
      it->consumed = true;
      return true;
    }
  }
  return false;
}

void ServiceCore::dropExpiredQr() {
  const qint64 t = now();
  for (auto it = qr_.begin(); it != qr_.end();) {
    if (t - it->confirmedMs >= kQrLifetimeMs || t < it->confirmedMs)
      it = qr_.erase(it);
    else
      ++it;
  }
}

std::optional<LoginSession> ServiceCore::sessionByToken(const QString& token) const {
  const auto it = sessions_.constFind(token);
  if (token.isEmpty() || it == sessions_.constEnd()) return std::nullopt;
  return *it;
}

Reply ServiceCore::hostnameGet(const QString& token) {
  const auto session = sessionByToken(token);
  const auto account = session ? store_.findById(session->accountId) : std::nullopt;
  if (!account) return textFailure(QStringLiteral("unknown token"));
  HostnameInfo info{account->hostname, account->nameAcc};
  TextResult reply;
  reply.Result = QStringLiteral("1");
  reply.Info = info.toJSONModel();
  return {200, reply.toJSONModel()};
}

Reply ServiceCore::qrCheck(const QString& qrToken) {
  dropExpiredQr();
  const auto it = qr_.constFind(qrToken);
  if (!isPlausibleQrToken(qrToken) || it == qr_.constEnd()) return textFailure(QStringLiteral("not confirmed"));
  if (it->consumed) return textFailure(QStringLiteral("already used"));
  TextResult reply;
  reply.Result = QStringLiteral("1");
  reply.Info = QString::number(it->accountId).toStdString();
  return {200, reply.toJSONModel()};
}

Reply ServiceCore::acodeGet(const QString& token) {
  const auto session = sessionByToken(token);
  const auto account = session ? store_.findById(session->accountId) : std::nullopt;
  if (!account) return numberFailure(QStringLiteral("unknown token"));
  NumberResult reply;
  reply.Result = 1;
  reply.Info = account->acode.toStdString();
  return {200, reply.toJSONModel()};
}

Reply ServiceCore::acodeCheck(const QString& token, const QString& email, const QString& acode) {
  if (!sessionByToken(token)) return numberFailure(QStringLiteral("unknown token"));
  const auto account = store_.findByEmail(email);
  NumberResult reply;
  reply.Result = 1;
  reply.Info = account && !acode.isEmpty() &&
               constantTimeEquals(account->acode.toUtf8(), acode.toUtf8());
  return {200, reply.toJSONModel()};
}

Reply ServiceCore::versionInfo(const QString& siteBase) {
  if (!version_) return {200, NoVersionReply{}.toJSONModel()};
  VersionReply reply;
  reply.number = version_->number;
  reply.url = siteBase + QStringLiteral("/api2/version/download/") + version_->fileName;
  reply.sha256 = version_->sha256;
  return {200, reply.toJSONModel()};
}

QString ServiceCore::confirmQr(const QString& qrToken, const QString& email, const QString& password) {
  if (!isPlausibleQrToken(qrToken)) return QStringLiteral("This sign-in code is not valid.");
  const auto account = store_.checkLogin(email, password);
  if (!account) return QStringLiteral("Wrong e-mail or password.");
  dropExpiredQr();
  if (qr_.contains(qrToken)) return QStringLiteral("This sign-in code was used already.");
  qr_.insert(qrToken, QrConfirmation{account->id, now(), false});
  zlog::parts(QStringLiteral("QR sign-in confirmed for account"), QString::number(account->id));
  return {};
}

QString ServiceCore::saveSettings(const QString& email, const QString& password, const QString& name,
                                  const QString& hostname, const QString& acode) {
  const auto account = store_.checkLogin(email, password);
  if (!account) return QStringLiteral("Wrong e-mail or password.");
  QString error;
  if (!store_.updateSettings(account->id, name, hostname, acode, &error)) return error;
  return {};
}

}  // namespace kelvor
