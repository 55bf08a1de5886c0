// What the service knows besides the stored accounts: who is signed in (login
// tokens and client ids, in memory), which QR tokens were confirmed, and the
// version record. Every web API reply is built here; the HTTPS front end only
// maps addresses to these calls.
#pragma once

#include "account_store.h"
#include "core/vex_json.h"

#include <QHash>
#include <QString>

#include <functional>
#include <optional>

namespace kelvor {

struct LoginSession {
  qint64 accountId = 0;
  QString clientId;
  QString token;
  qint64 createdMs = 0;
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
  static constexpr int kTokensPerAccount = 64;

  explicit ServiceCore(AccountStore& store) : store_(store) {}

  // Reads DATA/version.json when present. False (with the reason) for a file
  // that is there but unusable; no file means no version on offer.
  bool loadVersion(const QString& dataDir, QString* error);
  const std::optional<VersionRecord>& version() const { return version_; }

  // POST /api2/bridge/login with its raw body.
  Reply login(const QByteArray& body);
  // GET endpoints; `siteBase` is "https://host:port" as the callers reach us.
  Reply hostnameGet(const QString& token);
  Reply qrCheck(const QString& qrToken);
  Reply acodeGet(const QString& token);
  Reply acodeCheck(const QString& token, const QString& email, const QString& acode);
  Reply versionInfo(const QString& siteBase);

  // The QR sign-in page's form: empty on success, else why it was refused.
  QString confirmQr(const QString& qrToken, const QString& email, const QString& password);
  // The settings page's form.
  QString saveSettings(const QString& email, const QString& password, const QString& name, const QString& hostname,
                       const QString& acode);

  std::optional<LoginSession> sessionByToken(const QString& token) const;
  AccountStore& store() { return store_; }

  static bool isPlausibleQrToken(const QString& token);

  // Told the client id of each sign-in dropped for a newer one of its account
  // (its relay connection must go with it).
  std::function<void(const QString& clientId)> tokenDropped;

  // The clock, replaceable by tests.
  std::function<qint64()> nowMs;

 private:
  struct QrConfirmation {
    qint64 accountId = 0;
    qint64 confirmedMs = 0;
    bool consumed = false;
  };

  qint64 now() const;
  Reply acceptLogin(const Account& account, const QString& credential);
  bool takeQrConfirmation(qint64 accountId);
  void dropExpiredQr();

  AccountStore& store_;
  QHash<QString, LoginSession> sessions_;           // by login token
  QHash<qint64, QList<QString>> tokensByAccount_;   // oldest first
  QHash<QString, QrConfirmation> qr_;               // by QR token
  std::optional<VersionRecord> version_;
};

}  // namespace kelvor
