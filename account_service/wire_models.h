// The JSON the service writes: web API replies and relay frames.
#pragma once

#include "core/vex_json.h"
#include "protocol/login_result.h"

#include <QString>

namespace kelvor {

using LoginReply = protocol::SignInReply;

// "Result" as a number (the login, access-code endpoints).
struct NumberResult {
  int Result = 0;
  vex::Json Info;
  VEX_FIELDS(Result, Info)
};

// "Result" as the text "1" / "0" (host-name refresh, QR token check).
struct TextResult {
  QString Result = QStringLiteral("0");
  vex::Json Info;
  VEX_FIELDS(Result, Info)
};

struct HostnameInfo {
  QString rooturl;
  QString name_acc;
  VEX_FIELDS(rooturl, name_acc)
};

struct VersionReply {
  int info = 1;
  QString number;
  QString url;
  QString sha256;
  VEX_FIELDS(info, number, url, sha256)
};

struct NoVersionReply {
  int info = 0;
  VEX_FIELDS(info)
};

// ---- relay frames ----

struct RelayReady {
  QString op = QStringLiteral("ready");
  QString ClientID;
  qint64 ACC = 0;
  VEX_FIELDS(op, ClientID, ACC)
};

struct RelayError {
  QString op = QStringLiteral("error");
  QString error;
  VEX_FIELDS(op, error)
};

struct RelaySessionToCaller {
  QString op = QStringLiteral("session");
  vex::Json ref;
  int Result = 1;
  QString Session;
  QString ClientID1;
  QString ClientID2;
  QString hostname;
  QString tag;
  QString uname;
  qint64 window = 0;  // data bytes each side may send before credit comes back
  VEX_FIELDS(op, ref, Result, Session, ClientID1, ClientID2, hostname, tag, uname, window)
};

struct RelaySessionToHost {
  QString op = QStringLiteral("session");
  QString Session;
  QString ClientID1;
  QString ClientID2;
  QString tag;
  QString uname;
  qint64 ACC = 0;  // the calling account
  qint64 window = 0;
  VEX_FIELDS(op, Session, ClientID1, ClientID2, tag, uname, ACC, window)
};

// Data bytes of the session that left for the other side: the sender may send as many more.
struct RelayCredit {
  QString op = QStringLiteral("credit");
  QString Session;
  qint64 n = 0;
  VEX_FIELDS(op, Session, n)
};

struct RelayConnectFailed {
  QString op = QStringLiteral("connect_failed");
  vex::Json ref;
  QString error;
  VEX_FIELDS(op, ref, error)
};

struct RelayForward {
  QString op = QStringLiteral("relay");
  QString Session;
  QString from;
  vex::Json frame;
  VEX_FIELDS(op, Session, from, frame)
};

struct RelayClosed {
  QString op = QStringLiteral("closed");
  QString Session;
  VEX_FIELDS(op, Session)
};

struct RelayPong {
  QString op = QStringLiteral("pong");
  VEX_FIELDS(op)
};

}  // namespace kelvor
