#include "lan_addresses.h"

#include <QNetworkInterface>
#include <QUrl>

namespace vantrel {

namespace {

bool isPrivateIPv4(const QHostAddress& address) {
  bool v4 = false;
  const quint32 ip = address.toIPv4Address(&v4);
  return v4 && ((ip >> 24) == 10 || (ip >> 20) == ((172u << 4) | 1u) || (ip >> 16) == ((192u << 8) | 168u));
}

// Lower ranks are announced first: the addresses a peer most likely shares.
int rank(const QHostAddress& address) {
  if (isPrivateIPv4(address)) return 0;
  if (address.isUniqueLocalUnicast()) return 1;
  return address.protocol() == QAbstractSocket::IPv4Protocol ? 2 : 3;
}

}  // namespace

LanSetting lanSettingFrom(bool set, const QString& value) {
  LanSetting setting;
  if (!set) return setting;
  if (value.trimmed().compare(QLatin1String("off"), Qt::CaseInsensitive) == 0) {
    setting.mode = LanSetting::Mode::Off;
    return setting;
  }
  const QHostAddress address(value.trimmed());
  if (address.isNull() || address.isBroadcast() || address.isMulticast() ||
      address == QHostAddress(QHostAddress::AnyIPv4) || address == QHostAddress(QHostAddress::AnyIPv6)) {
    setting.mode = LanSetting::Mode::Off;
    setting.error = QStringLiteral("VANTREL_LAN_ADDRESS is not an address to listen on");
    return setting;
  }
  setting.mode = LanSetting::Mode::Fixed;
  setting.address = address;
  return setting;
}

bool isLanAddress(const QHostAddress& address) {
  if (address.isNull() || address.isLoopback()) return false;
  return isPrivateIPv4(address) || address.isLinkLocal() || address.isUniqueLocalUnicast();
}

bool isLocalNetwork(const QHostAddress& address) { return address.isLoopback() || isLanAddress(address); }

QList<QHostAddress> selectLanAddresses(const QList<LanInterface>& interfaces) {
  QList<QHostAddress> found;
  for (const LanInterface& interface : interfaces) {
    if (!interface.up || interface.loopback) continue;
    for (const auto& [address, prefix] : interface.addresses)
      if (isLanAddress(address) && !found.contains(address)) found.append(address);
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const QHostAddress& a, const QHostAddress& b) { return rank(a) < rank(b); });
  if (found.size() > kMaxLanAddresses) found.resize(kMaxLanAddresses);
  return found;
}

QList<LanInterface> systemInterfaces() {
  QList<LanInterface> interfaces;
  for (const QNetworkInterface& system : QNetworkInterface::allInterfaces()) {
    LanInterface interface;
    const auto flags = system.flags();
    interface.up = flags.testFlag(QNetworkInterface::IsUp) && flags.testFlag(QNetworkInterface::IsRunning);
    interface.loopback = flags.testFlag(QNetworkInterface::IsLoopBack);
    for (const QNetworkAddressEntry& entry : system.addressEntries())
      interface.addresses.append({entry.ip(), entry.prefixLength()});
    interfaces.append(interface);
  }
  return interfaces;
}

QString lanUrl(const QHostAddress& address, quint16 port) {
  QUrl url;
  url.setScheme(QStringLiteral("https"));
  url.setHost(address.toString());
  url.setPort(port);
  return url.toString();
}

bool followableLanUrl(const QString& text, QString* host, quint16* port) {
  const QUrl url(text, QUrl::StrictMode);
  if (!url.isValid() || url.scheme() != QLatin1String("https") || url.port() <= 0 || !url.path().isEmpty() ||
      url.hasQuery() || url.hasFragment() || !url.userInfo().isEmpty())
    return false;
  // Only an address, never a name to look up: the route is one machine's listener.
  if (!isLocalNetwork(QHostAddress(url.host()))) return false;
  if (host) *host = url.host();
  if (port) *port = quint16(url.port());
  return true;
}

QStringList followableLanUrls(const QStringList& urls) {
  QStringList kept;
  for (const QString& url : urls) {
    if (kept.size() == kMaxLanAddresses) break;
    if (followableLanUrl(url) && !kept.contains(url)) kept.append(url);
  }
  return kept;
}

bool dialable(const QHostAddress& address, const QList<LanInterface>& interfaces, bool loopback) {
  if (address.isLoopback()) return loopback;
  if (!isLanAddress(address)) return false;
  for (const LanInterface& interface : interfaces) {
    if (!interface.up || interface.loopback) continue;
    for (const auto& [own, prefix] : interface.addresses) {
      // A prefix the system does not know (-1) is the address alone.
      const int bits = prefix >= 0 ? prefix : own.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
      if (isLanAddress(own) && address.isInSubnet(own, bits)) return true;
    }
  }
  return false;
}

QStringList dialableLanUrls(const QStringList& urls, quint16 port, const QList<LanInterface>& interfaces,
                            bool loopback) {
  QStringList kept;
  for (const QString& url : urls) {
    QString host;
    quint16 at = 0;
    if (followableLanUrl(url, &host, &at) && at == port && dialable(QHostAddress(host), interfaces, loopback))
      kept.append(url);
  }
  return kept;
}

}  // namespace vantrel
