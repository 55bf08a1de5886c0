#include "lan_route.h"

#include "common/tls/tls_identity.h"
#include "core/log.h"

#include <QSslKey>

namespace vantrel {

LanRoute::LanRoute(LanSetting setting, quint16 port, QObject* parent)
    : QObject(parent), setting_(std::move(setting)), port_(port) {
  refresh_.setInterval(kRefreshMs);
  connect(&refresh_, &QTimer::timeout, this, &LanRoute::refresh);
}

QList<QHostAddress> LanRoute::wanted() const {
  if (setting_.mode == LanSetting::Mode::Fixed) return {setting_.address};
  return selectLanAddresses(systemInterfaces());
}

bool LanRoute::start(const QString& folder, QString* error) {
  if (setting_.mode == LanSetting::Mode::Off) {
    *error = setting_.error.isEmpty() ? QStringLiteral("turned off") : setting_.error;
    return false;
  }
  current_ = wanted();
  // Peers pin the certificate's digest; the names are those of the start.
  QStringList hosts;
  for (QHostAddress address : std::as_const(current_)) {
    address.setScopeId(QString());
    hosts.append(address.toString());
  }
  const auto identity =
      ztls::ensureSelfSigned(folder + QStringLiteral("/lan.pem"), folder + QStringLiteral("/lan.key"),
                             {QStringLiteral("Vantrel ") + hosts.value(0, QStringLiteral("bridge")), hosts, 825, false},
                             error);
  if (!identity) return false;
  QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
  tls.setLocalCertificate(QSslCertificate(identity->certificatePem, QSsl::Pem));
  tls.setPrivateKey(QSslKey(identity->keyPem, QSsl::Ec, QSsl::Pem, QSsl::PrivateKey));
  listener_ = new LanListener(tls, this);
  QString why;
  unserved_ = !listener_->listenOn(current_, port_, &why);
  if (unserved_) {
    if (setting_.mode == LanSetting::Mode::Fixed) {
      *error = why;
      delete listener_;
      listener_ = nullptr;
      return false;
    }
    zlog::parts(QStringLiteral("Vantrel - local-network route: some addresses are not served:"), why);
  }
  if (setting_.mode == LanSetting::Mode::Found) refresh_.start();
  return true;
}

void LanRoute::refresh() {
  const QList<QHostAddress> now = wanted();
  // An address that could not be bound (a new IPv6 address is not usable
  // at once) is tried again at the next look.
  if (now == current_ && !unserved_) return;
  const QStringList before = listener_->urls();
  current_ = now;
  QString why;
  unserved_ = !listener_->listenOn(current_, port_, &why);
  if (unserved_)
    zlog::parts(QStringLiteral("Vantrel - local-network route: some addresses are not served:"), why);
  const QStringList urls = listener_->urls();
  if (urls == before) return;
  zlog::parts(QStringLiteral("Vantrel - local-network addresses now:"),
              urls.isEmpty() ? QStringLiteral("none") : urls.join(QLatin1Char(' ')));
}

}  // namespace vantrel
