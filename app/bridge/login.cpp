#include "bridge/login.h"

#include "bridge/bridge_link.h"
#include "bridge/env.h"
#include "core/json_read.h"
#include "bridge/user_info.h"
#include "core/log.h"

LoginAccount MakeLoginAccount(const QString& id, const QString& password) {
  LoginAccount account;
  account.Id_acc = id;
  account.Password = password;
  account.Version = Env::AppVersion;
  return account;
}

void SendLogin(const QString& id, const QString& password) {
  const auto text = MakeLoginAccount(id, password).toJSONString();
  if (text) SendToBridge(QStringLiteral("Login"), *text);
}

namespace {
bool isSuccess(const std::optional<vex::Json>& result) {
  if (!result || !result->is_object()) return false;
  const vex::Json& value = jsonread::member(*result, "Result");
  return value.is_number() && value.get<double>() == 1.0;
}
}  // namespace

void DoMsg_LoginResult(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  const auto result = jsonread::parse(std::string_view(bytes.constData(), size_t(bytes.size())));
  if (!isSuccess(result)) {
    if (!result) zlog::line(QStringLiteral("Json error!"));
    if (Env::LoginViewShared && result && jsonread::integer(*result, "Busy") == 1)
      Env::LoginViewShared->onLoginBusy();
    else if (Env::LoginViewShared)
      Env::LoginViewShared->onLoginFailed(result ? jsonread::integer(*result, "PausedSeconds") : 0);
    else
      zlog::line(QStringLiteral("Login failed, no login view to tell"));
    return;
  }

  zlog::line(QStringLiteral("Host Login Succeeded"));
  auto user = std::make_shared<UserInfo>();
  zlog::line(QStringLiteral("UserInfo"));
  const vex::Json& r = *result;
  const vex::Json& limit = jsonread::member(r, "limit");
  user->isAnonymous = false;
  user->id_acc = jsonread::integer(r, "ACC");
  user->name_acc = jsonread::text(r, "name_acc");
  user->hostname = jsonread::text(r, "rooturl");
  user->ClientID = jsonread::text(r, "ClientID");
  user->Token = jsonread::text(r, "Token");
  user->maxsharecount = jsonread::integer(limit, "maxsharecount");
  user->limit_dpc = jsonread::integer(limit, "limit_dpc");
  user->mbr_type = jsonread::integer(limit, "mbr_type");
  user->rooturl = jsonread::text(r, "rooturl");
  UserInfo::setShared(user);

  if (Env::LoginViewShared)
    Env::LoginViewShared->onLoginSucceeded(text, user);
  else
    zlog::line(QStringLiteral("Login succeeded, no login view to tell"));
}
