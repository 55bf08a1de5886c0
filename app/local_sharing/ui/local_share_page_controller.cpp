#include "local_sharing/ui/local_share_page_controller.h"

#include "bridge/user_info.h"
#include "shell/view_handles.h"
#include "core/localized.h"
#include "core/util_system.h"
#include "local_sharing/share_store.h"
#include "shell/main_view_shared.h"
#include "shell/show_flag.h"

#include <QFileInfo>

LocalSharePageController::LocalSharePageController(ShowFlag& isShowLogin, SharingObjList* list,
                                                   HostnameSource hostname, QObject* parent)
    : QObject(parent), isShowLogin_(isShowLogin), list_(list), hostname_(std::move(hostname)) {
  if (!hostname_) hostname_ = [] { return UserInfo::shared()->hostname; };
  connect(&isShowLogin_, &ShowFlag::changed, this, &LocalSharePageController::changed);
  if (list_) connect(list_, &SharingObjList::itemsChanged, this, &LocalSharePageController::changed);
  connect(UserInfoEvents::instance(), &UserInfoEvents::sharedUserChanged, this, &LocalSharePageController::changed);
}

bool LocalSharePageController::isShowLogin() const { return isShowLogin_.value(); }

QString LocalSharePageController::changeHostText() const {
  return L("LS_ChangeHost") + QStringLiteral(" (") + hostname_() + QStringLiteral(")");
}

QString LocalSharePageController::createShareText() const {
  if (isShowLogin()) return QString();
  return L("LS_CreateHost") + QStringLiteral("  (") + QString::number(shares().size()) + QStringLiteral(")");
}

LocalSharePageController::Content LocalSharePageController::content() const {
  if (!shares().isEmpty()) return Content::shareCards;
  return isShowLogin() ? Content::nothing : Content::noShares;
}

QList<SharingObjPtr> LocalSharePageController::shares() const {
  return list_ ? list_->items() : QList<SharingObjPtr>();
}

void LocalSharePageController::changeHost() {
  if (MainViewHandle* window = shell::mainViewShared()) window->openQRSettings();
}

void LocalSharePageController::createShare() {
  QPointer<LocalSharePageController> self(this);
  UtilSystem::openPanel(QStringLiteral("Choose one file or folder"), 1, [self](const QString& path) {
    if (self) self->addShare(path);
  });
}

void LocalSharePageController::addShare(const QString& path) {
  // Cancel gives "", several folders give a joined text that names nothing.
  if (path.isEmpty() || !QFileInfo::exists(path)) return;
  MainViewHandle* window = shell::mainViewShared();
  if (!::createShare(path)) {
    if (window)
      window->showAlertToast(
          makeToast(AlertToast::Type::error, QStringLiteral("red"), QStringLiteral("Path Alread Exists!")));
    return;
  }
  if (window)
    window->showAlertToast(makeToast(AlertToast::Type::complete, QStringLiteral("green"), QStringLiteral("Done!")));
  if (list_) list_->setItems(loadShares(QString(), false, false));
}
