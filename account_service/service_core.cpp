#include "service_core.h"

#include "core/log.h"
#include "password_hash.h"
#include "wire_models.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include <chrono>

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

qint64 steadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
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

ServiceCore::ServiceCore(AccountStore& store) : store_(store) {
  hashSlots_ = std::max(2, QThread::idealThreadCount());
  pool_.setMaxThreadCount(hashSlots_);
  waitTimer_.setInterval(250);
  QObject::connect(&waitTimer_, &QTimer::timeout, &mainThread_, [this] { endLongWaits(); });
  passwords_.nowMs = [this] { return now(); };
  passwordSources_.nowMs = [this] { return now(); };
  accountCeiling_.nowMs = [this] { return now(); };
  checks_.nowMs = steadyMs;  // a measure of load: never the replaceable clock
  acodes_.nowMs = [this] { return now(); };
  for (const StoredToken& stored : store_.liveTokens(now())) {
    sessions_.insert(stored.hash, LoginSession{stored.accountId, stored.clientId, stored.hash, stored.createdMs,
                                               stored.expiresMs});
    tokensByAccount_[stored.accountId].append(stored.hash);
  }
}

ServiceCore::~ServiceCore() {
  // Answers still queued for mainThread_ are dropped with it.
  pool_.waitForDone();
}

bool ServiceCore::isSignInHandle(const QString& text) {
  static const QRegularExpression form(QStringLiteral("^[0-9a-f]{%1}$").arg(kHandleBytes * 2));
  return form.match(text).hasMatch();
}

void ServiceCore::checkPassword(const std::optional<PasswordRecord>& stored, const QString& accountKey,
                                const QString& source, const QString& password, PasswordDone done) {
  Attempt attempt{stored, accountKey, source, password,
                  QCryptographicHash::hash((accountKey + QChar(0) + password).toUtf8(), QCryptographicHash::Sha256),
                  std::move(done), steadyMs()};
  if (const qint64 pause = pausedFor(attempt)) return attempt.done(PasswordCheck::Paused, pause);
  if (!waitTimer_.isActive()) waitTimer_.start();
  if (waiting_.push(source, accountKey, attempt, isUsualSource(stored, source))) return serveWaiting();
  // Beyond its bounds: told after a while, so that a client that tries again
  // at once is not answered in a tight loop.
  if (busyLater_.size() >= std::size_t(kMaxBusyLater)) return attempt.done(PasswordCheck::Busy, 0);
  busyLater_.push_back({steadyMs() + kBusyDelayMs, std::move(attempt.done)});
}

qint64 ServiceCore::pausedFor(const Attempt& attempt) {
  const bool ceiling = !isUsualSource(attempt.stored, attempt.source);
  return std::max({passwords_.pauseLeftMs(attempt.pairKey()), passwordSources_.pauseLeftMs(attempt.sourceKey()),
                   ceiling ? accountCeiling_.pauseLeftMs(attempt.accountKey) : qint64(0)});
}

bool ServiceCore::hasPlace(const Attempt& attempt) {
  if (!checks_.available(attempt.pairKey())) return false;
  // The same password for the same account while one such attempt is checked
  // adds no guess (a user's devices signing in together): it takes no place.
  if (attemptsRunning_.contains(attempt.same)) return true;
  const bool ceiling = !isUsualSource(attempt.stored, attempt.source);
  return passwords_.hasRoom(attempt.pairKey()) && passwordSources_.hasRoom(attempt.sourceKey()) &&
         (!ceiling || accountCeiling_.hasRoom(attempt.accountKey));
}

void ServiceCore::start(Attempt attempt) {
  checks_.take(attempt.pairKey());
  const bool ceiling = !isUsualSource(attempt.stored, attempt.source);
  if (attemptsRunning_.contains(attempt.same)) return hash(std::move(attempt), false, ceiling);
  passwords_.begin(attempt.pairKey());
  passwordSources_.begin(attempt.sourceKey());
  if (ceiling) accountCeiling_.begin(attempt.accountKey);
  hash(std::move(attempt), true, ceiling);
}

void ServiceCore::hash(Attempt attempt, bool holdsPlaces, bool ceiling) {
  ++hashing_;
  ++attemptsRunning_[attempt.same];
  const QString record = attempt.stored ? attempt.stored->record : QString();
  const qint64 accountId = attempt.stored ? attempt.stored->accountId : 0;
  const QString password = std::exchange(attempt.password, QString());
  QObject* target = &mainThread_;
  pool_.start([this, target, record, password, accountId, holdsPlaces, ceiling, attempt = std::move(attempt)] {
    // An unknown account costs the same hashing as a known one.
    static const QString unknown = hashPassword(QStringLiteral("no such account"));
    const bool right = verifyPassword(password, record.isEmpty() ? unknown : record) && accountId > 0;
    QMetaObject::invokeMethod(
        target,
        [this, right, accountId, holdsPlaces, ceiling, attempt] {
          --hashing_;
          if (--attemptsRunning_[attempt.same] <= 0) attemptsRunning_.remove(attempt.same);
          const QString sourceKey = attempt.sourceKey();
          const QString pairKey = attempt.pairKey();
          if (holdsPlaces) {
            passwords_.end(pairKey, !right);
            passwordSources_.end(sourceKey, !right);
            if (ceiling) accountCeiling_.end(attempt.accountKey, !right);
          }
          if (right) {
            passwords_.succeeded(pairKey);
            passwordSources_.succeeded(sourceKey);
            accountCeiling_.succeeded(attempt.accountKey);
            noteUsualSource(accountId, attempt.source);
          }
          attempt.done(right ? PasswordCheck::Right : PasswordCheck::Wrong, right ? accountId : 0);
          serveWaiting();
        },
        Qt::QueuedConnection);
  });
}

void ServiceCore::serveWaiting() {
  // An answer may bring new attempts (and serve them): each turn looks anew.
  while (hashing_ < hashSlots_) {
    auto next = waiting_.take([this](const Attempt& a) { return pausedFor(a) > 0 || hasPlace(a); });
    if (!next) break;
    if (const qint64 pause = pausedFor(*next)) {
      next->done(PasswordCheck::Paused, pause);
      continue;
    }
    start(std::move(*next));
  }
  if (waiting_.empty() && busyLater_.empty()) waitTimer_.stop();
}

void ServiceCore::endLongWaits() {
  const qint64 t = steadyMs();
  for (Attempt& attempt : waiting_.removeIf([t](const Attempt& a) { return t - a.waitingSince >= kMaxWaitMs; })) {
    const qint64 pause = pausedFor(attempt);
    attempt.done(pause > 0 ? PasswordCheck::Paused : PasswordCheck::Busy, pause);
  }
  while (!busyLater_.empty() && busyLater_.front().first <= t) {
    const PasswordDone done = std::move(busyLater_.front().second);
    busyLater_.pop_front();
    done(PasswordCheck::Busy, 0);
  }
  serveWaiting();
}

bool ServiceCore::isUsualSource(const std::optional<PasswordRecord>& stored, const QString& source) {
  if (!stored) return false;
  auto it = usualSource_.constFind(stored->accountId);
  if (it == usualSource_.constEnd()) it = usualSource_.insert(stored->accountId, store_.usualSource(stored->accountId));
  return !it->isEmpty() && *it == source;
}

void ServiceCore::noteUsualSource(qint64 accountId, const QString& source) {
  if (accountId <= 0 || source.isEmpty() || usualSource_.value(accountId) == source) return;
  usualSource_.insert(accountId, source);
  store_.setUsualSource(accountId, source);
}

void ServiceCore::checkEmailPassword(const QString& email, const QString& password, const QString& source,
                                     PasswordDone done) {
  const auto stored = store_.passwordRecord(email);
  const QString key = stored ? QStringLiteral("acc:") + QString::number(stored->accountId)
                             : QStringLiteral("email:") + email.toLower();
  checkPassword(stored, key, source, password, std::move(done));
}

void ServiceCore::login(const QByteArray& body, const QString& source, ReplyDone done) {
  if (body.size() > kMaxLoginBody) return done(numberFailure(QStringLiteral("request too large"), 413));
  const auto tree = vex::Json::parse(body.toStdString(), nullptr, false);
  if (!tree.is_object()) return done(numberFailure(QStringLiteral("the body is not a JSON object"), 400));
  bool ok = true;
  const QString id = textOf(tree, "Id_acc", &ok).trimmed();
  const QString password = textOf(tree, "Password", &ok);
  if (!ok) return done(numberFailure(QStringLiteral("Id_acc and Password must be texts"), 400));
  bool hasCredential = true;
  const QString credential = textOf(tree, "Credential", &hasCredential);

  const auto afterPassword = [this, done, source](PasswordCheck check, qint64 accountId) {
    if (check == PasswordCheck::Busy) {
      // Not checked in time (others came first): nothing was counted against it.
      Reply reply = numberFailure(QStringLiteral("busy, try again"));
      reply.body["Busy"] = 1;
      return done(reply);
    }
    if (check == PasswordCheck::Paused) {
      // How long the pause lasts, in whole seconds, so that the user can be told.
      Reply reply = numberFailure(QStringLiteral("too many wrong attempts, try again later"));
      reply.body["PausedSeconds"] = (accountId + 999) / 1000;
      return done(reply);
    }
    const auto account = check == PasswordCheck::Right ? store_.findById(accountId) : std::nullopt;
    if (!account) return done(numberFailure(QStringLiteral("wrong e-mail or password")));
    done(acceptLogin(*account, QString(), source));
  };
  if (id.contains(QLatin1Char('@'))) return checkEmailPassword(id, password, source, afterPassword);
  if (password == id && isSignInHandle(id)) {
    // The sign-in that follows a QR confirmation, with the handle that the
    // check of that QR token gave.
    const auto accountId = takeSignInHandle(id);
    const auto account = accountId ? store_.findById(*accountId) : std::nullopt;
    if (!account) return done(numberFailure(QStringLiteral("no confirmed sign-in for this handle")));
    return done(acceptLogin(*account, QString(), source));
  }
  const auto accountId = accountIdText(id);
  if (!accountId) return done(numberFailure(QStringLiteral("wrong e-mail or password")));
  if (password == id) {
    // The repeats of a sign-in on reconnect: the bridge's device credential.
    const auto account = store_.findById(*accountId);
    if (account && hasCredential && store_.checkCredential(*accountId, credential))
      return done(acceptLogin(*account, credential, source));
    return done(numberFailure(QStringLiteral("no confirmed sign-in for this account")));
  }
  checkPassword(store_.passwordRecordById(*accountId), QStringLiteral("acc:") + QString::number(*accountId), source,
                password, afterPassword);
}

Reply ServiceCore::acceptLogin(const Account& account, const QString& credential, const QString& source) {
  noteUsualSource(account.id, source);
  const QString token = randomHex(24);
  LoginSession session;
  session.accountId = account.id;
  session.clientId = QStringLiteral("C") + randomHex(8).toUpper();
  session.tokenHash = sha256Hex(token);
  session.createdMs = now();
  session.expiresMs = session.createdMs + kTokenLifetimeMs;
  sessions_.insert(session.tokenHash, session);
  store_.saveToken({session.tokenHash, account.id, session.clientId, session.createdMs, session.expiresMs});
  auto& tokens = tokensByAccount_[account.id];
  tokens.append(session.tokenHash);
  while (tokens.size() > kTokensPerAccount) {
    const QString evicted = tokens.takeFirst();
    const LoginSession dropped = sessions_.take(evicted);
    store_.dropToken(evicted);
    if (tokenDropped && !dropped.clientId.isEmpty()) tokenDropped(dropped.clientId);
  }

  LoginReply reply;
  reply.ACC = account.id;
  reply.name_acc = account.nameAcc;
  reply.rooturl = account.hostname;
  reply.ClientID = session.clientId;
  reply.Token = token;
  reply.limit.maxsharecount = account.maxShareCount;
  reply.limit.limit_dpc = account.limitDpc;
  reply.limit.mbr_type = account.mbrType;
  reply.Credential = credential.isEmpty() ? store_.issueCredential(account.id) : credential;
  zlog::parts(QStringLiteral("Login"), QString::number(account.id), session.clientId);
  return {200, reply.toJSONModel()};
}

std::optional<qint64> ServiceCore::takeSignInHandle(const QString& handle) {
  dropExpiredQr();
  const auto it = qrByHandle_.constFind(handle);
  if (it == qrByHandle_.constEnd()) return std::nullopt;
  const auto qr = qr_.find(*it);
  qrByHandle_.erase(it);
  if (qr == qr_.end() || qr->consumed) return std::nullopt;
  qr->consumed = true;
  return qr->accountId;
}

void ServiceCore::dropExpiredQr() {
  const qint64 t = now();
  for (auto it = qr_.begin(); it != qr_.end();) {
    if (t - it->confirmedMs >= kQrLifetimeMs || t < it->confirmedMs) {
      qrByHandle_.remove(it->handle);
      it = qr_.erase(it);
    } else {
      ++it;
    }
  }
}

std::optional<LoginSession> ServiceCore::sessionByToken(const QString& token) const {
  if (token.isEmpty() || token.size() > 256) return std::nullopt;
  const auto it = sessions_.constFind(sha256Hex(token));
  if (it == sessions_.constEnd() || now() >= it->expiresMs) return std::nullopt;
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
  // The one-time handle of this confirmation: the client that polls this QR
  // token signs in with it, and nobody else can.
  TextResult reply;
  reply.Result = QStringLiteral("1");
  reply.Info = it->handle.toStdString();
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

Reply ServiceCore::acodeCheck(const QString& token, const QString& email, const QString& acode,
                              const QString& source) {
  const auto session = sessionByToken(token);
  if (!session) return numberFailure(QStringLiteral("unknown token"));
  NumberResult reply;
  reply.Result = 1;
  reply.Info = false;
  const QString askerKey = QStringLiteral("acc:") + QString::number(session->accountId);
  const QString sourceKey = QStringLiteral("src:") + source;
  if (!acodes_.allowed(askerKey) || !acodes_.allowed(sourceKey)) return {200, reply.toJSONModel()};
  acodes_.countWrong(askerKey);
  acodes_.countWrong(sourceKey);
  const auto account = store_.findByEmail(email);
  const bool right = account && !acode.isEmpty() && constantTimeEquals(account->acode.toUtf8(), acode.toUtf8());
  if (right) {
    acodes_.succeeded(askerKey);
    acodes_.succeeded(sourceKey);
  }
  reply.Info = right;
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

void ServiceCore::confirmQr(const QString& qrToken, const QString& email, const QString& password,
                            const QString& source, FormDone done) {
  if (!isPlausibleQrToken(qrToken)) return done(QStringLiteral("This sign-in code is not valid."));
  dropExpiredQr();
  if (qr_.contains(qrToken)) return done(QStringLiteral("This sign-in code was used already."));
  checkEmailPassword(email, password, source, [this, qrToken, done](PasswordCheck check, qint64 accountId) {
    if (check == PasswordCheck::Busy) return done(QStringLiteral("The service is busy. Please try again in a moment."));
    if (check == PasswordCheck::Paused) return done(QStringLiteral("Too many wrong attempts. Try again later."));
    if (check != PasswordCheck::Right) return done(QStringLiteral("Wrong e-mail or password."));
    dropExpiredQr();
    if (qr_.contains(qrToken)) return done(QStringLiteral("This sign-in code was used already."));
    QrConfirmation confirmation{accountId, now(), randomHex(kHandleBytes), false};
    qrByHandle_.insert(confirmation.handle, qrToken);
    qr_.insert(qrToken, confirmation);
    zlog::parts(QStringLiteral("QR sign-in confirmed for account"), QString::number(accountId));
    done(QString());
  });
}

void ServiceCore::saveSettings(const QString& email, const QString& password, const QString& name,
                               const QString& hostname, const QString& acode, const QString& source, FormDone done) {
  checkEmailPassword(email, password, source,
                     [this, name, hostname, acode, done](PasswordCheck check, qint64 accountId) {
                       if (check == PasswordCheck::Busy)
                         return done(QStringLiteral("The service is busy. Please try again in a moment."));
                       if (check == PasswordCheck::Paused)
                         return done(QStringLiteral("Too many wrong attempts. Try again later."));
                       if (check != PasswordCheck::Right) return done(QStringLiteral("Wrong e-mail or password."));
                       QString error;
                       if (!store_.updateSettings(accountId, name, hostname, acode, &error)) return done(error);
                       done(QString());
                     });
}

}  // namespace kelvor
