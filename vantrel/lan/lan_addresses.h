// Which addresses the local-network route listens on and announces, and which
// announced addresses a peer follows. Only local networks: the private IPv4
// ranges, link-local (IPv4 and IPv6) and IPv6 unique-local; never a public
// address, never a name to look up.
#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

namespace vantrel {

// The bridge listens on and announces at most this many addresses.
inline constexpr int kMaxLanAddresses = 4;

// One network interface as the selection sees it.
struct LanInterface {
  bool up = false;  // up and running
  bool loopback = false;
  // Each address with the prefix length of its network (QHostAddress::isInSubnet's pair).
  QList<QPair<QHostAddress, int>> addresses;
};

// How the route is set up: VANTREL_LAN_ADDRESS unset finds the addresses,
// an address sets the one address, "off" turns the route off.
struct LanSetting {
  enum class Mode { Found, Fixed, Off };
  Mode mode = Mode::Found;
  QHostAddress address;  // Fixed
  QString error;         // why the value was not taken (the route is then off)
};
LanSetting lanSettingFrom(bool set, const QString& value);

// A private, link-local or unique-local address (not loopback).
bool isLanAddress(const QHostAddress& address);
// What a peer may connect to: a local-network address or loopback.
bool isLocalNetwork(const QHostAddress& address);

// The addresses of the interfaces that are up and not loopback, local
// networks only, without repeats, at most kMaxLanAddresses: private IPv4
// first, then unique-local IPv6, then link-local IPv4 and IPv6, each group in
// the interfaces' order.
QList<QHostAddress> selectLanAddresses(const QList<LanInterface>& interfaces);
// This machine's interfaces, as the system lists them.
QList<LanInterface> systemInterfaces();

// "https://ADDRESS:PORT" ("[…]" around IPv6).
QString lanUrl(const QHostAddress& address, quint16 port);
// The address and port of an announced "https://ADDRESS:PORT" when a peer
// may follow it (a local-network address, no name, path, query or user);
// false otherwise.
bool followableLanUrl(const QString& url, QString* host = nullptr, quint16* port = nullptr);
// The announced addresses of a grant or an announcement: its "urls" (the
// followable ones, in order, at most kMaxLanAddresses).
QStringList followableLanUrls(const QStringList& urls);

// Whether this bridge dials `address` of a peer's grant: a local-network
// address inside the network of one of its own interfaces that are up, or
// loopback when its own route serves on loopback; nothing else, so that a
// host cannot use the route to probe other machines or other ports.
bool dialable(const QHostAddress& address, const QList<LanInterface>& interfaces, bool loopback);
// Of followable `urls`, those on `port` (the one the grant names for its
// route) at a `dialable` address, in order.
QStringList dialableLanUrls(const QStringList& urls, quint16 port, const QList<LanInterface>& interfaces,
                            bool loopback);

}  // namespace vantrel
