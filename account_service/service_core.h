// What the service knows besides the stored accounts: who is signed in (login
// tokens and client ids, kept hashed in the database with an expiry so that
// they outlive a restart), which QR tokens were confirmed with their one-time
// sign-in handles, and the version record. Every web API reply is built here;
// the HTTPS front end only maps addresses to these calls. Passwords are
// checked on a worker pool, a few at a time, taken in turn by address and
// account (TurnQueue); their answers come back on the main thread.
#pragma once

#include "account_store.h"
#include "check_budget.h"
#include "core/vex_json.h"
#include "throttle.h"
#include "turn_queue.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>

#include <deque>

#include <functional>
#include <optional>

namespace kelvor {

struct LoginSession {
  qint64 accountId = 0;
  QString clientId;
  QString tokenHash;  // SHA-256 of the login token; the token itself is never kept
  qint64 createdMs = 0;
  qint64 expiresMs = 0;
};

struct Reply {
  int status = 200;
  vex::Json body;
};

// The installer on offer: version.json of the data folder
// {"number": "1.0.3", "file": "Kelvor1.0.3.dmg"}, the file in DATA/installers/.
struct VersionRecord {
  QString number;
  QString fileName;
  QString filePath;
  QString sha256;
};

class ServiceCore {
 public:
  static constexpr qint64 kQrLifetimeMs = 5 * 60 * 1000;
  static constexpr qint64 kTokenLifetimeMs = 30LL * 24 * 60 * 60 * 1000;
  static constexpr int kTokensPerAccount = 64;
  static constexpr int kHandleBytes = 24;  // 192 random bits

  // Takes up the unexpired login tokens kept in the store.
  explicit ServiceCore(AccountStore& store);
  ~ServiceCore();

  // Reads DATA/version.json when present. False (with the reason) for a file
  // that is there but unusable; no file means no version on offer.
  bool loadVersion(const QString& dataDir, QString* error);
  const std::optional<VersionRecord>& version() const { return version_; }

  using ReplyDone = std::function<void(const Reply&)>;
  // Empty on success, else why the form was refused.
  using FormDone = std::function<void(const QString& why)>;

  // POST /api2/bridge/login with its raw body; `source` is the caller's
  // address. `done` runs on the main thread, possibly before this returns.
  void login(const QByteArray& body, const QString& source, ReplyDone done);
  // GET endpoints; `siteBase` is "https://host:port" as the callers reach us.
  Reply hostnameGet(const QString& token);
  Reply qrCheck(const QString& qrToken);
  Reply acodeGet(const QString& token);
  Reply acodeCheck(const QString& token, const QString& email, const QString& acode, const QString& source);
  Reply versionInfo(const QString& siteBase);

  // The QR sign-in page's form.
  void confirmQr(const QString& qrToken, const QString& email, const QString& password, const QString& source,
                 FormDone done);
  // The settings page's form.
  void saveSettings(const QString& email, const QString& password, const QString& name, const QString& hostname,
                    const QString& acode, const QString& source, FormDone done);

  std::optional<LoginSession> sessionByToken(const QString& token) const;
  AccountStore& store() { return store_; }

  static bool isPlausibleQrToken(const QString& token);
  static bool isSignInHandle(const QString& text);

  // Told the client id of each sign-in dropped for a newer one of its account
  // (its relay connection must go with it).
  std::function<void(const QString& clientId)> tokenDropped;

  // The clock of the QR codes, the tokens and the throttles, replaceable by tests.
  std::function<qint64()> nowMs;
  // Wrong passwords (sign-in, QR confirm and settings forms) and wrong contact
  // access codes, per account and per source address.
  Throttle& passwordThrottle() { return passwords_; }

  // Busy: not checked in time, the attempt may come again at once.
  enum class PasswordCheck { Right, Wrong, Paused, Busy };
  // The second value is the account when Right, the milliseconds the pause has left when Paused.
  using PasswordDone = std::function<void(PasswordCheck, qint64 accountId)>;
  // Checks an e-mail and password signing in from `source` (an address);
  // `done` runs on the main thread.
  void checkEmailPassword(const QString& email, const QString& password, const QString& source, PasswordDone done);
  Throttle& acodeThrottle() { return acodes_; }

 private:
  struct QrConfirmation {
    qint64 accountId = 0;
    qint64 confirmedMs = 0;
    QString handle;  // the one sign-in this confirmation allows
    bool consumed = false;
  };
  qint64 now() const;
  // A password check, under way or waiting for a place under its throttle keys.
  struct Attempt {
    std::optional<PasswordRecord> stored;
    QString accountKey;
    QString source;
    QString password;
    QByteArray same;  // SHA-256 of the account key and the password: identical attempts
    PasswordDone done;
    qint64 waitingSince = 0;  // steady clock, ms
    // Its keys under passwordSources_ and passwords_.
    QString sourceKey() const { return QStringLiteral("src:") + source; }
    QString pairKey() const { return accountKey + QLatin1Char('|') + source; }
  };
  // Checks a password on the worker pool under the throttle keys of its account
  // (`accountKey`) and of `source`; `done` runs on the main thread.
  void checkPassword(const std::optional<PasswordRecord>& stored, const QString& accountKey, const QString& source,
                     const QString& password, PasswordDone done);
  // How long a key of the attempt is paused still (0: not paused).
  qint64 pausedFor(const Attempt& attempt);
  // Whether its keys have a place for it now.
  bool hasPlace(const Attempt& attempt);
  // Starts the check of an attempt that has a place.
  void start(Attempt attempt);
  void hash(Attempt attempt, bool holdsPlaces, bool ceiling);
  // Starts waiting attempts in turn while the pool has room, and answers
  // those paused meanwhile.
  void serveWaiting();
  // Answers the attempts that waited too long.
  void endLongWaits();
  bool isUsualSource(const std::optional<PasswordRecord>& stored, const QString& source);
  void noteUsualSource(qint64 accountId, const QString& source);
  Reply acceptLogin(const Account& account, const QString& credential, const QString& source);
  std::optional<qint64> takeSignInHandle(const QString& handle);
  void dropExpiredQr();

  AccountStore& store_;
  QHash<QString, LoginSession> sessions_;           // by SHA-256 of the login token
  QHash<qint64, QList<QString>> tokensByAccount_;   // token hashes, oldest first
  QHash<QString, QrConfirmation> qr_;               // by QR token
  QHash<QString, QString> qrByHandle_;              // sign-in handle -> QR token
  std::optional<VersionRecord> version_;
  // Wrong passwords per (account, source address), per source address, and
  // a short ceiling per account that does not apply at the address of the
  // account's last successful sign-in. An attempt holds a place under each key
  // while it is checked; one that finds no place waits for an earlier one to
  // end. Identical attempts (the same password for the same account) being
  // checked at once take one place.
  Throttle passwords_;
  // Many people may sign in at once behind one address: its count allows more.
  Throttle passwordSources_{2000, 5 * 60 * 1000, 0, 32};
  Throttle accountCeiling_{1000, 10 * 1000, 10 * 60 * 1000, 10};
  // Checks per (account, source address), right or wrong: a burst of 64, then 4 a second.
  CheckBudget checks_{64, 4};
  // Every attempt waits its turn for the pool (at most kMaxWaitMs, then it is
  // answered busy), within these bounds (per account at an address, per
  // address, per account, in all, and the places of attempts from their
  // account's usual address).
  static constexpr TurnLimits kWaitLimits{64, 256, 256, 1024, 256};
  static constexpr qint64 kMaxWaitMs = 5000;
  TurnQueue<Attempt> waiting_{kWaitLimits};
  // Attempts beyond those bounds, answered busy after kBusyDelayMs (at once
  // beyond kMaxBusyLater); oldest first.
  static constexpr qint64 kBusyDelayMs = 1000;
  static constexpr int kMaxBusyLater = 4096;
  std::deque<std::pair<qint64, PasswordDone>> busyLater_;
  QTimer waitTimer_;                           // ends waits that took too long
  int hashSlots_ = 2;                          // checks at once: one per core
  int hashing_ = 0;
  QHash<qint64, QString> usualSource_;         // account -> address of its last successful sign-in
  QHash<QByteArray, int> attemptsRunning_;     // Attempt::same -> how many
  Throttle acodes_;
  QThreadPool pool_;
  QObject mainThread_;  // receives the answers of the worker pool
};

}  // namespace kelvor
