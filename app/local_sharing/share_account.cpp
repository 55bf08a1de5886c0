#include "local_sharing/share_account.h"

#include "bridge/user_info.h"

namespace shareaccount {

qint64 id() { return UserInfo::shared()->id_acc; }
QString hostname() { return UserInfo::shared()->hostname; }

void setForTesting(qint64 accountId, const QString& host) {
  auto user = std::make_shared<UserInfo>(*UserInfo::shared());
  user->id_acc = accountId;
  user->hostname = host;
  UserInfo::setShared(std::move(user));
}

}  // namespace shareaccount
