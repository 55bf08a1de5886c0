#include "shell/version_check.h"

#include "core/log.h"
#include "core/util_system.h"
#include "shell/service_urls.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QPointer>
#include <QRegularExpression>
#include <QTimer>
#include <QtConcurrent>

namespace {

constexpr int kCallHttpTimeout = 5;

// An optional sign followed by digits; anything else (or an overflow) is 0.
qint64 componentValue(const QString& component) {
  static const QRegularExpression integer(QRegularExpression::anchoredPattern(QStringLiteral("[+-]?[0-9]+")));
  if (!integer.match(component).hasMatch()) return 0;
  bool ok = false;
  const qint64 value = component.toLongLong(&ok);
  return ok ? value : 0;
}

// The reply of a bridge web call: the body text holding JSON, or the object itself.
std::optional<vex::Json> replyObject(const vex::Json& reply, QString* parseError) {
  if (reply.is_string()) {
    try {
      return vex::Json::parse(reply.get<std::string>());
    } catch (const vex::Json::exception& e) {
      if (parseError) *parseError = QString::fromUtf8(e.what());
      return std::nullopt;
    }
  }
  if (reply.is_object()) return reply;
  if (parseError) *parseError = QStringLiteral("not a JSON text");
  return std::nullopt;
}

QString textOf(const vex::Json& object, const char* key) {
  if (!object.is_object()) return {};
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return {};
  return QString::fromStdString(it->get<std::string>());
}

qint64 integerOf(const vex::Json& object, const char* key) {
  if (!object.is_object()) return 0;
  const auto it = object.find(key);
  if (it == object.end()) return 0;
  if (it->is_number_integer()) return it->get<qint64>();
  if (it->is_number()) return static_cast<qint64>(it->get<double>());
  if (it->is_string()) return componentValue(QString::fromStdString(it->get<std::string>()));
  if (it->is_boolean()) return it->get<bool>() ? 1 : 0;
  return 0;
}

bool boolOf(const vex::Json& object, const char* key) {
  if (!object.is_object()) return false;
  const auto it = object.find(key);
  if (it == object.end()) return false;
  if (it->is_boolean()) return it->get<bool>();
  if (it->is_number()) return it->get<double>() != 0;
  if (it->is_string()) {
    const QString text = QString::fromStdString(it->get<std::string>()).toLower();
    return text == QLatin1String("true") || text == QLatin1String("1") || text == QLatin1String("yes");
  }
  return false;
}

bool isHexDigest(const QString& text) {
  static const QRegularExpression hex(QRegularExpression::anchoredPattern(QStringLiteral("[0-9a-fA-F]{64}")));
  return hex.match(text).hasMatch();
}

}  // namespace

VersionOrder compareVersion(const QString& number, const QString& appVersion) {
  const QStringList mine = number.split(QLatin1Char('.'), Qt::SkipEmptyParts);
  const QStringList theirs = appVersion.split(QLatin1Char('.'), Qt::SkipEmptyParts);
  if (mine.size() != 3 || theirs.size() != 3) return VersionOrder::notComparable;
  for (int i = 0; i < 3; ++i) {
    const qint64 a = componentValue(mine[i]);
    const qint64 b = componentValue(theirs[i]);
    if (a > b) return VersionOrder::newer;
    if (a < b) return VersionOrder::notNewer;
  }
  return VersionOrder::notNewer;
}

bool isPlainVersionNumber(const QString& number) {
  static const QRegularExpression plain(
      QRegularExpression::anchoredPattern(QStringLiteral("[0-9]{1,9}\\.[0-9]{1,9}\\.[0-9]{1,9}")));
  return plain.match(number).hasMatch();
}

UpgradeController::UpgradeController(Hooks hooks, QString appVersion, QString kelvorDir, QObject* parent)
    : QObject(parent), hooks_(std::move(hooks)), appVersion_(std::move(appVersion)), kelvorDir_(std::move(kelvorDir)) {}

QString UpgradeController::versionsDir() const { return kelvorDir_ + QStringLiteral("/versions"); }

QString UpgradeController::tmpPathFor(const QString& number) const {
  return versionsDir() + QStringLiteral("/Kelvor") + number + QStringLiteral(".tmp");
}

QString UpgradeController::installerPathFor(const QString& number) const {
  return versionsDir() + QStringLiteral("/Kelvor") + number + QStringLiteral(".dmg");
}

void UpgradeController::checkNewVersion() {
  if (!hooks_.callHttp) return;
  QPointer<UpgradeController> self(this);
  hooks_.callHttp(serviceurls::wireText(serviceurls::versionUrl()), kCallHttpTimeout,
                  [self](const vex::Json& reply) {
                    if (self) self->checkNewVersionResult(reply);
                  });
}

void UpgradeController::checkNewVersionResult(const vex::Json& reply) {
  if (reply.is_null()) return;
  QString parseError;
  const auto object = replyObject(reply, &parseError);
  if (!object) {
    zlog::line(QStringLiteral("Json error : ") + parseError);
    return;
  }
  if (integerOf(*object, "info") != 1) return;
  const QString number = textOf(*object, "number");
  const QString rawUrl = textOf(*object, "url");
  // The digest is optional; one that is given must be a SHA-256 and is checked.
  const auto digest = object->find("sha256");
  const bool hasDigest = digest != object->end() && !digest->is_null();
  const QString sha256 = textOf(*object, "sha256").toLower();

  switch (compareVersion(number, appVersion_)) {
    case VersionOrder::notComparable:
      return;
    case VersionOrder::notNewer:
      zlog::line(QStringLiteral("No Newer Version."));
      return;
    case VersionOrder::newer:
      break;
  }
  // The number becomes a file name: only plain numbers. The installer must
  // come over https, and match its digest when the reply carries one.
  if (!isPlainVersionNumber(number)) {
    zlog::parts(QStringLiteral("Upgrade refused, version number not plain:"), number);
    return;
  }
  const QUrl installerUrl(rawUrl, QUrl::TolerantMode);
  if (!installerUrl.isValid() || installerUrl.scheme() != QLatin1String("https") || installerUrl.host().isEmpty()) {
    zlog::parts(QStringLiteral("Upgrade refused, installer address not https:"), rawUrl);
    return;
  }
  const QString url = QString::fromUtf8(installerUrl.toEncoded(QUrl::FullyEncoded));
  if (hasDigest && !isHexDigest(sha256)) {
    zlog::parts(QStringLiteral("Upgrade refused, installer digest not valid for"), number);
    return;
  }

  QDir().mkpath(versionsDir());
  const QString tmp = tmpPathFor(number);
  const QString dmg = installerPathFor(number);

  auto download = [this, url, dmg, tmp, sha256, number] {
    if (!hooks_.callHttpDownload) return;
    QPointer<UpgradeController> self(this);
    hooks_.callHttpDownload(CallHttpDownloadInfo{url, tmp}, [self, url, dmg, tmp, sha256, number](const vex::Json& result) {
      if (self) self->onDownloadResult(result, url, dmg, tmp, sha256, number);
    });
  };

  if (QFileInfo(dmg).isFile()) {
    // Fetched before: offer it again at once, unless it no longer matches.
    verifyDigest(dmg, sha256, [this, dmg, number, download](bool matches) {
      if (matches) {
        offer(dmg, number);
        return;
      }
      zlog::parts(QStringLiteral("Installer digest mismatch, fetching again:"), dmg);
      QFile::remove(dmg);
      download();
    });
    return;
  }
  download();
}

void UpgradeController::onDownloadResult(const vex::Json& reply, const QString& url, const QString& dmg,
                                         const QString& tmp, const QString& sha256, const QString& number) {
  zlog::line(zlog::excerpt(reply.dump(-1, ' ', false, vex::Json::error_handler_t::replace)));
  if (reply.is_null()) return;
  const auto object = replyObject(reply, nullptr);
  if (!object || !boolOf(*object, "IsSucc")) return;
  zlog::parts(QStringLiteral("Got New Version -"), url, dmg);
  if (sha256.isEmpty()) {
    // Nothing to check against: the file takes the installer's name (the rename logs a missing
    // file) and is offered; a missing installer is refused when the user says yes.
    UtilSystem::renameFile(tmp, dmg);
    offer(dmg, number);
    return;
  }
  verifyDigest(tmp, sha256, [this, dmg, tmp, number](bool matches) {
    if (!matches) {
      zlog::parts(QStringLiteral("Installer digest mismatch, discarded:"), tmp);
      QFile::remove(tmp);
      return;
    }
    if (!UtilSystem::replaceFile(tmp, dmg)) return;
    zlog::parts(QStringLiteral("Installer verified:"), dmg);
    offer(dmg, number);
  });
}

QString UpgradeController::fileSha256(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  QCryptographicHash hash(QCryptographicHash::Sha256);
  if (!hash.addData(&file)) return {};
  return QString::fromLatin1(hash.result().toHex());
}

void UpgradeController::verifyDigest(const QString& path, const QString& expected, std::function<void(bool)> done) {
  if (expected.isEmpty()) {
    // No digest to check against: the file only has to be there.
    done(QFileInfo(path).isFile());
    return;
  }
  auto* watcher = new QFutureWatcher<QString>(this);
  connect(watcher, &QFutureWatcher<QString>::finished, this, [watcher, expected, done = std::move(done)] {
    watcher->deleteLater();
    const QString actual = watcher->result();
    done(!actual.isEmpty() && actual.compare(expected, Qt::CaseInsensitive) == 0);
  });
  watcher->setFuture(QtConcurrent::run([path] { return fileSha256(path); }));
}

void UpgradeController::offer(const QString& dmg, const QString& number) {
  emit installerReady(dmg);
  if (hooks_.showUpgradeDialog) hooks_.showUpgradeDialog(dmg, number);
}

void UpgradeController::openInstaller(const QString& path) {
  if (!QFileInfo(path).isFile() || !hooks_.openFile) return;
  // The path reaches the opener as one file address; no shell sees it.
  QPointer<UpgradeController> self(this);
  hooks_.openFile(QUrl::fromLocalFile(path), [self, path](bool started) {
    if (!self) return;
    if (!started) {
      // Nothing would be left running: the application stays and says where the installer is.
      zlog::parts(QStringLiteral("The installer could not be opened, staying:"), path);
      if (self->hooks_.notOpened) self->hooks_.notOpened(path);
      return;
    }
    if (self->hooks_.clearBridge) self->hooks_.clearBridge();
    QTimer::singleShot(self->quitDelayMs, self, [self] {
      if (self && self->hooks_.quitApp) self->hooks_.quitApp();
    });
  });
}
