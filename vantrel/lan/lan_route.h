// The bridge's side of the local-network route as a whole: the certificate,
// the listener on the addresses the setting gives and, when the addresses are
// found rather than set, keeping them up to date as interfaces come and go.
#pragma once

#include "lan_addresses.h"
#include "lan_listener.h"

#include <QObject>
#include <QTimer>

namespace vantrel {

class LanRoute : public QObject {
  Q_OBJECT
 public:
  static constexpr int kRefreshMs = 10000;

  LanRoute(LanSetting setting, quint16 port, QObject* parent = nullptr);

  // Makes or reuses the certificate kept in `folder` (key 0600) and listens.
  // False, with the reason, when the route cannot be served at all.
  bool start(const QString& folder, QString* error);
  LanListener* listener() const { return listener_; }
  // The addresses announced now, "https://ADDRESS:PORT" each.
  QStringList urls() const { return listener_ ? listener_->urls() : QStringList(); }

 private:
  QList<QHostAddress> wanted() const;
  void refresh();

  LanSetting setting_;
  quint16 port_;
  LanListener* listener_ = nullptr;
  QList<QHostAddress> current_;
  bool unserved_ = false;  // some of current_ could not be bound
  QTimer refresh_;
};

}  // namespace vantrel
