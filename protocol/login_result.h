// The sign-in reply, declared once for its three sides: the service writes
// SignInReply to the bridge; the bridge keeps the device credential to itself
// and hands the rest to its client as the "LoginResult" frame's LoginResult.
#pragma once

#include "core/vex_json.h"

#include <QString>

namespace protocol {

// The account's limits.
struct LoginLimit {
  qint64 maxsharecount = 0;
  qint64 limit_dpc = 1;
  qint64 mbr_type = 1;
  VEX_FIELDS(maxsharecount, limit_dpc, mbr_type)
};

// A successful sign-in as the client reads it ("Result" 1).
struct LoginResult {
  int Result = 1;
  qint64 ACC = 0;
  QString name_acc;
  QString rooturl;
  QString ClientID;
  QString Token;
  LoginLimit limit;
  VEX_FIELDS(Result, ACC, name_acc, rooturl, ClientID, Token, limit)
};

// The service's reply to a bridge's sign-in: the result and the device
// credential that the bridge presents on its next sign-in.
struct SignInReply : LoginResult {
  QString Credential;
  VEX_FIELDS(Result, ACC, name_acc, rooturl, ClientID, Token, limit, Credential)
};

}  // namespace protocol
