// The account record of this run, and two small records of the same unit.
#pragma once

#include "core/vex_json.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

class UserInfo {
 public:
  int64_t id_acc = 0;
  QString hostname = QStringLiteral("*");
  bool isAnonymous = false;
  QString Token;
  QString IsDupeLogin;
  QString ClientID;
  QString name_acc = QStringLiteral("Anonymous");
  int64_t isseed = 0;
  QString rooturl;
  QString email;
  QString password;
  int64_t mbr_type = 1;
  QString mbr_info;
  int64_t maxdevice = 0;
  int64_t maxsubaccounts = 0;
  int64_t limit_uspeed = 1024;
  int64_t limit_dspeed = 1024;
  int64_t limit_upc = 1;
  int64_t limit_dpc = 1;
  int64_t limit_hostname = 8;
  int64_t maxsharecount = 1;

  VEX_FIELDS(id_acc, hostname, isAnonymous, Token, IsDupeLogin, ClientID, name_acc, isseed, rooturl, email,
             password, mbr_type, mbr_info, maxdevice, maxsubaccounts, limit_uspeed, limit_dspeed, limit_upc,
             limit_dpc, limit_hostname, maxsharecount)

  // The shared record, made with the defaults at first use. Main thread only.
  static std::shared_ptr<UserInfo> shared();
  // Replaces the shared record and announces it (UserInfoEvents::sharedUserChanged).
  static void setShared(std::shared_ptr<UserInfo> user);
  // Announces a change made in place to the shared record.
  static void notifySharedChanged();
};

// Signal source for views that show the account.
class UserInfoEvents : public QObject {
  Q_OBJECT
 public:
  static UserInfoEvents* instance();
 signals:
  void sharedUserChanged();
};

// Body of the host's answer to "ValidInfo".
struct ValidInfo {
  bool IsHostValid = false;
  bool IsCanUpDown = false;
  bool IsCanReceiveFile = false;
  bool SP_DownloadNow = false;
  VEX_FIELDS(IsHostValid, IsCanUpDown, IsCanReceiveFile, SP_DownloadNow)
};

struct SessionInfo {
  uint64_t LastActive = 0;
  VEX_FIELDS(LastActive)
};
