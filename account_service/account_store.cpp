#include "account_store.h"

#include "password_hash.h"

#include <QDateTime>
#include <QDir>
#include <QRandomGenerator>
#include <QRegularExpression>

namespace kelvor {

namespace {

constexpr char kSelect[] =
    "SELECT id, email, name_acc, hostname, acode, mbr_type, maxsharecount, limit_dpc FROM accounts ";

Account rowToAccount(const sql::Row& row) {
  Account a;
  a.id = row.integer(0);
  row.textsInto({&a.email, &a.nameAcc, &a.hostname, &a.acode}, 1);
  a.mbrType = int(row.integer(5));
  a.maxShareCount = int(row.integer(6));
  a.limitDpc = int(row.integer(7));
  return a;
}

bool hasControl(const QString& text) {
  for (QChar c : text)
    if (c.category() == QChar::Other_Control) return true;
  return false;
}

}  // namespace

QString checkEmail(const QString& email) {
  static const QRegularExpression form(QStringLiteral("^[^@\\s]+@[^@\\s]+$"));
  if (email.isEmpty() || email.size() > 254 || !form.match(email).hasMatch())
    return QStringLiteral("not an e-mail address");
  return {};
}

QString checkPassword(const QString& password) {
  if (password.isEmpty()) return QStringLiteral("the password is empty");
  if (password.size() > 256) return QStringLiteral("the password is longer than 256 characters");
  return {};
}

QString checkDisplayName(const QString& name) {
  if (name.trimmed().isEmpty()) return QStringLiteral("the name is empty");
  if (name.size() > 64 || hasControl(name)) return QStringLiteral("the name is too long or holds control characters");
  return {};
}

QString checkHostname(const QString& hostname) {
  static const QRegularExpression form(QStringLiteral("^[a-z0-9][a-z0-9-]{0,62}$"));
  if (!form.match(hostname).hasMatch())
    return QStringLiteral("a host name is 1 to 63 of a-z, 0-9 and '-', not starting with '-'");
  return {};
}

QString checkAccessCode(const QString& acode) {
  static const QRegularExpression form(QStringLiteral("^[A-Za-z0-9]{4,32}$"));
  if (!form.match(acode).hasMatch()) return QStringLiteral("an access code is 4 to 32 letters or digits");
  return {};
}

bool AccountStore::open(const QString& dataDir, QString* error) {
  auto opened = sql::Database::open(QDir(dataDir).filePath(QStringLiteral("accounts.db")), error);
  if (!opened) return false;
  db_ = std::move(*opened);
  const QString schema[] = {
      QStringLiteral("PRAGMA foreign_keys = ON"),
      QStringLiteral("CREATE TABLE IF NOT EXISTS accounts ("
                     " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                     " email TEXT NOT NULL UNIQUE COLLATE NOCASE,"
                     " password TEXT NOT NULL,"
                     " name_acc TEXT NOT NULL,"
                     " hostname TEXT NOT NULL UNIQUE COLLATE NOCASE,"
                     " acode TEXT NOT NULL,"
                     " mbr_type INTEGER NOT NULL DEFAULT 1,"
                     " maxsharecount INTEGER NOT NULL DEFAULT 10,"
                     " limit_dpc INTEGER NOT NULL DEFAULT 3 CHECK (limit_dpc >= 1))"),
      QStringLiteral("CREATE TABLE IF NOT EXISTS credentials ("
                     " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                     " account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
                     " hash TEXT NOT NULL UNIQUE,"
                     " created INTEGER NOT NULL)"),
      QStringLiteral("CREATE TABLE IF NOT EXISTS login_tokens ("
                     " hash TEXT PRIMARY KEY,"
                     " account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,"
                     " client_id TEXT NOT NULL,"
                     " created INTEGER NOT NULL,"
                     " expires INTEGER NOT NULL)"),
      QStringLiteral("CREATE TABLE IF NOT EXISTS usual_sources ("
                     " account_id INTEGER PRIMARY KEY REFERENCES accounts(id) ON DELETE CASCADE,"
                     " address TEXT NOT NULL)"),
  };
  for (const QString& statement : schema) {
    if (!db_.execute(statement)) {
      *error = db_.lastError();
      return false;
    }
  }
  return true;
}

std::optional<qint64> AccountStore::addAccount(const NewAccount& in, QString* error) {
  QString acode = in.acode;
  if (acode.isEmpty()) acode = QString::number(QRandomGenerator::system()->bounded(100000, 1000000));
  const QString hostname = in.hostname.toLower();
  for (const QString& why : {checkEmail(in.email), checkPassword(in.password), checkDisplayName(in.name),
                             checkHostname(hostname), checkAccessCode(acode)}) {
    if (!why.isEmpty()) {
      *error = why;
      return std::nullopt;
    }
  }
  if (in.limitDpc < 1) {
    *error = QStringLiteral("limit_dpc must be at least 1");
    return std::nullopt;
  }
  if (findByEmail(in.email)) {
    *error = QStringLiteral("an account with this e-mail exists");
    return std::nullopt;
  }
  if (findByHostname(hostname)) {
    *error = QStringLiteral("the host name is taken");
    return std::nullopt;
  }
  const bool ok = db_.execute(
      QStringLiteral("INSERT INTO accounts (email, password, name_acc, hostname, acode, mbr_type, maxsharecount, "
                     "limit_dpc) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
      {in.email, hashPassword(in.password, in.passwordCost), in.name, hostname, acode, in.mbrType, in.maxShareCount, in.limitDpc});
  if (!ok) {
    *error = db_.lastError();
    return std::nullopt;
  }
  return db_.lastInsertId();
}

bool AccountStore::removeAccount(const QString& email, QString* error) {
  if (!db_.execute(QStringLiteral("DELETE FROM accounts WHERE email = ?"), {email})) {
    *error = db_.lastError();
    return false;
  }
  if (db_.changes() == 0) {
    *error = QStringLiteral("no account with this e-mail");
    return false;
  }
  return true;
}

QList<Account> AccountStore::listAccounts() {
  QList<sql::Row> rows;
  db_.query(QString::fromLatin1(kSelect) + QStringLiteral("ORDER BY id"), {}, &rows);
  QList<Account> out;
  for (const auto& row : rows) out.append(rowToAccount(row));
  return out;
}

std::optional<Account> AccountStore::findOne(const QString& where, const QVariant& value) {
  QList<sql::Row> rows;
  if (!db_.query(QString::fromLatin1(kSelect) + where, {value}, &rows) || rows.isEmpty()) return std::nullopt;
  return rowToAccount(rows.first());
}

std::optional<Account> AccountStore::findById(qint64 id) { return findOne(QStringLiteral("WHERE id = ?"), id); }

std::optional<Account> AccountStore::findByEmail(const QString& email) {
  return findOne(QStringLiteral("WHERE email = ?"), email);
}

std::optional<Account> AccountStore::findByHostname(const QString& hostname) {
  return findOne(QStringLiteral("WHERE hostname = ?"), hostname);
}

std::optional<PasswordRecord> AccountStore::passwordRecord(const QString& email) {
  QList<sql::Row> rows;
  if (!db_.query(QStringLiteral("SELECT id, password FROM accounts WHERE email = ?"), {email}, &rows) ||
      rows.isEmpty())
    return std::nullopt;
  return PasswordRecord{rows.first().integer(0), rows.first().text(1)};
}

std::optional<PasswordRecord> AccountStore::passwordRecordById(qint64 id) {
  QList<sql::Row> rows;
  if (!db_.query(QStringLiteral("SELECT id, password FROM accounts WHERE id = ?"), {id}, &rows) || rows.isEmpty())
    return std::nullopt;
  return PasswordRecord{rows.first().integer(0), rows.first().text(1)};
}

std::optional<Account> AccountStore::checkLogin(const QString& email, const QString& password) {
  const auto stored = passwordRecord(email);
  if (!stored || !verifyPassword(password, stored->record)) return std::nullopt;
  return findById(stored->accountId);
}

std::optional<Account> AccountStore::checkLoginById(qint64 id, const QString& password) {
  const auto stored = passwordRecordById(id);
  if (!stored || !verifyPassword(password, stored->record)) return std::nullopt;
  return findById(id);
}

bool AccountStore::updateSettings(qint64 id, const QString& name, const QString& hostnameIn, const QString& acode,
                                  QString* error) {
  const QString hostname = hostnameIn.toLower();
  for (const QString& why : {checkDisplayName(name), checkHostname(hostname), checkAccessCode(acode)}) {
    if (!why.isEmpty()) {
      *error = why;
      return false;
    }
  }
  const auto holder = findByHostname(hostname);
  if (holder && holder->id != id) {
    *error = QStringLiteral("the host name is taken");
    return false;
  }
  if (!db_.execute(QStringLiteral("UPDATE accounts SET name_acc = ?, hostname = ?, acode = ? WHERE id = ?"),
                {name, hostname, acode, id})) {
    *error = db_.lastError();
    return false;
  }
  return true;
}

QString AccountStore::issueCredential(qint64 accountId) {
  const QString credential = randomHex(32);
  db_.execute(QStringLiteral("INSERT INTO credentials (account_id, hash, created) VALUES (?, ?, ?)"),
           {accountId, sha256Hex(credential), QDateTime::currentMSecsSinceEpoch()});
  db_.execute(QStringLiteral("DELETE FROM credentials WHERE account_id = ? AND id NOT IN "
                          "(SELECT id FROM credentials WHERE account_id = ? ORDER BY id DESC LIMIT ?)"),
           {accountId, accountId, kMaxCredentials});
  return credential;
}

bool AccountStore::checkCredential(qint64 accountId, const QString& credential) {
  if (credential.isEmpty() || credential.size() > 256) return false;
  QList<sql::Row> rows;
  db_.query(QStringLiteral("SELECT 1 FROM credentials WHERE account_id = ? AND hash = ?"),
           {accountId, sha256Hex(credential)}, &rows);
  return !rows.isEmpty();
}

void AccountStore::saveToken(const StoredToken& token) {
  db_.execute(QStringLiteral("INSERT OR REPLACE INTO login_tokens (hash, account_id, client_id, created, expires) "
                          "VALUES (?, ?, ?, ?, ?)"),
           {token.hash, token.accountId, token.clientId, token.createdMs, token.expiresMs});
}

void AccountStore::dropToken(const QString& hash) {
  db_.execute(QStringLiteral("DELETE FROM login_tokens WHERE hash = ?"), {hash});
}

QList<StoredToken> AccountStore::liveTokens(qint64 nowMs) {
  db_.execute(QStringLiteral("DELETE FROM login_tokens WHERE expires <= ?"), {nowMs});
  QList<sql::Row> rows;
  db_.query(QStringLiteral("SELECT hash, account_id, client_id, created, expires FROM login_tokens "
                          "ORDER BY created, rowid"),
           {}, &rows);
  QList<StoredToken> out;
  for (const auto& row : rows)
    out.append({row.text(0), row.integer(1), row.text(2), row.integer(3), row.integer(4)});
  return out;
}

void AccountStore::setUsualSource(qint64 accountId, const QString& address) {
  db_.execute(QStringLiteral("INSERT OR REPLACE INTO usual_sources (account_id, address) VALUES (?, ?)"),
              {accountId, address});
}

QString AccountStore::usualSource(qint64 accountId) {
  QList<sql::Row> rows;
  db_.query(QStringLiteral("SELECT address FROM usual_sources WHERE account_id = ?"), {accountId}, &rows);
  return rows.isEmpty() ? QString() : rows[0].text(0);
}

}  // namespace kelvor
