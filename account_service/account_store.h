// The accounts of the service, kept in SQLite in the data folder
// ("accounts.db"), with their device credentials (stored as SHA-256 only).
#pragma once

#include "core/sql.h"
#include "password_hash.h"

#include <QString>

#include <optional>

namespace kelvor {

struct Account {
  qint64 id = 0;
  QString email;
  QString nameAcc;
  QString hostname;
  QString acode;
  int mbrType = 1;
  int maxShareCount = 10;
  int limitDpc = 3;
};

// A login token as kept on disk: its SHA-256 only, with its client id and expiry.
struct StoredToken {
  QString hash;
  qint64 accountId = 0;
  QString clientId;
  qint64 createdMs = 0;
  qint64 expiresMs = 0;
};

// The stored password record of an account, for checking off the main thread.
struct PasswordRecord {
  qint64 accountId = 0;
  QString record;
};

struct NewAccount {
  QString email;
  QString password;
  QString name;
  QString hostname;
  QString acode;  // empty: a random one
  int limitDpc = 3;
  int maxShareCount = 10;
  int mbrType = 1;
  int passwordCost = kPasswordIterations;  // PBKDF2 iterations of its record
};

// Field checks shared by the command line and the settings page; each gives
// an empty text when the value is acceptable, else why not.
QString checkEmail(const QString& email);
QString checkPassword(const QString& password);
QString checkDisplayName(const QString& name);
QString checkHostname(const QString& hostname);
QString checkAccessCode(const QString& acode);

class AccountStore {
 public:
  // Opens or creates DIR/accounts.db.
  bool open(const QString& dataDir, QString* error);

  // The new account's id, or nothing with the reason in `error`.
  std::optional<qint64> addAccount(const NewAccount& account, QString* error);
  bool removeAccount(const QString& email, QString* error);
  QList<Account> listAccounts();

  std::optional<Account> findById(qint64 id);
  std::optional<Account> findByEmail(const QString& email);
  std::optional<Account> findByHostname(const QString& hostname);
  // The account when the e-mail exists and the password matches.
  std::optional<Account> checkLogin(const QString& email, const QString& password);
  std::optional<Account> checkLoginById(qint64 id, const QString& password);
  std::optional<PasswordRecord> passwordRecord(const QString& email);
  std::optional<PasswordRecord> passwordRecordById(qint64 id);

  // Display name, host name and access code, each checked; empty `error` on success.
  bool updateSettings(qint64 id, const QString& name, const QString& hostname, const QString& acode,
                      QString* error);

  // A new device credential for the account (only its hash is kept; the
  // account keeps its newest kMaxCredentials).
  QString issueCredential(qint64 accountId);
  bool checkCredential(qint64 accountId, const QString& credential);

  static constexpr int kMaxCredentials = 10;

  // Login tokens, so that sign-ins outlive a restart of the service.
  void saveToken(const StoredToken& token);
  void dropToken(const QString& hash);
  // The unexpired tokens, oldest first; expired ones are deleted.
  QList<StoredToken> liveTokens(qint64 nowMs);

  // The address of the account's last successful sign-in ("" when none yet).
  void setUsualSource(qint64 accountId, const QString& address);
  QString usualSource(qint64 accountId);

 private:
  std::optional<Account> findOne(const QString& where, const QVariant& value);
  sql::Database db_;
};

}  // namespace kelvor
