// The one frame format written to the bridge: an envelope around a message
// with a bridge code and its data.
#pragma once

#include "core/vex_json.h"

#include <QString>

// The message: a bridge code and its data, either a JSON string holding the
// payload's own JSON text or the payload as a nested object.
class JsonMsg {
 public:
  JsonMsg() = default;
  JsonMsg(QString code, vex::Json data) : Code(std::move(code)), Data(std::move(data)) {}

  QString Code;
  vex::Json Data;
  VEX_FIELDS(Code, Data)
};

class Envolope {
 public:
  Envolope() = default;
  explicit Envolope(JsonMsg msg) : Msg(std::move(msg)) {}

  QString VType = QStringLiteral("WinContrlSet->");
  QString UUID;
  QString Id_user1;
  QString Id_user2;
  JsonMsg Msg;
  VEX_FIELDS(VType, UUID, Id_user1, Id_user2, Msg)
};
