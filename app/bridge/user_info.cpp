#include "bridge/user_info.h"

namespace {
std::shared_ptr<UserInfo>& sharedSlot() {
  static std::shared_ptr<UserInfo> user = std::make_shared<UserInfo>();
  return user;
}
}  // namespace

std::shared_ptr<UserInfo> UserInfo::shared() { return sharedSlot(); }

void UserInfo::setShared(std::shared_ptr<UserInfo> user) {
  sharedSlot() = user ? std::move(user) : std::make_shared<UserInfo>();
  notifySharedChanged();
}

void UserInfo::notifySharedChanged() { emit UserInfoEvents::instance()->sharedUserChanged(); }

UserInfoEvents* UserInfoEvents::instance() {
  static UserInfoEvents* events = new UserInfoEvents;  // lives for the whole process
  return events;
}
