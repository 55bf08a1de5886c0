// Account login through the bridge: the "Login" frame and the handler of its
// "LoginResult".
#pragma once

#include "core/vex_json.h"

#include <QString>

struct LoginAccount {
  QString Id_acc;
  QString Password;
  QString Device = QStringLiteral("IPhone");
  QString isCheckAccOnly = QStringLiteral("0");
  bool Relogin = false;
  QString Version;
  QString Source = QStringLiteral("IOS");
  VEX_FIELDS(Id_acc, Password, Device, isCheckAccOnly, Relogin, Version, Source)
};

// A login record for an account id (or e-mail) and password, carrying AppVersion.
LoginAccount MakeLoginAccount(const QString& id, const QString& password);

// Sends "Login" with that record (nothing is written while not connected).
void SendLogin(const QString& id, const QString& password);

// Handler of a "LoginResult" data text. Success is a JSON object whose
// top-level "Result" is 1; it makes a new shared UserInfo and tells the login
// view. Anything else is a failure.
void DoMsg_LoginResult(const QString& text);
