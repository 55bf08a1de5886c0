#include "local_sharing/ui/share_card_controller.h"

#include "core/localized.h"
#include "core/util_db.h"
#include "core/util_system.h"
#include "local_sharing/share_store.h"
#include "shell/main_view_state.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QMetaObject>
#include <QMutexLocker>

#include <optional>

ShareCardController::ShareCardController(SharingObjPtr share, MainViewState* window, QObject* parent)
    : QObject(parent), share_(std::move(share)), window_(window), seen_(current()) {
  openUrl_ = [](const QUrl& url) { QDesktopServices::openUrl(url); };
  if (SharingObjList* shares = list())
    connect(shares, &SharingObjList::itemsChanged, this, &ShareCardController::onShareChanged);
  // The sheet changed the tag: show the new one.
  connect(&isShowEditTagView, &ShowFlag::changed, this, &ShareCardController::changed);
  scheduleRefreshTagURL();
}

QString ShareCardController::pathCaption() const {
  return share_->isdir ? L("LS_SharingFolder") : L("Sharing File");
}

ShareCardController::Toggles ShareCardController::current() const {
  return {share_->isDefault, share_->isenabled, share_->isdownload, share_->isupload, share_->isfiledel};
}

SharingObjList* ShareCardController::list() const { return window_ ? window_->sharingObjList() : nullptr; }

void ShareCardController::setDefault(bool on) {
  share_->isDefault = on;
  onShareChanged();
}

void ShareCardController::setEnabled(bool on) {
  share_->isenabled = on;
  onShareChanged();
}

void ShareCardController::setDownload(bool on) {
  share_->isdownload = on;
  onShareChanged();
}

void ShareCardController::setUpload(bool on) {
  share_->isupload = on;
  onShareChanged();
}

void ShareCardController::setDelete(bool on) {
  share_->isfiledel = on;
  onShareChanged();
}

void ShareCardController::onShareChanged() {
  const Toggles now = current();
  const Toggles before = seen_;
  // Marked as seen first: the saves below make the list announce changes.
  seen_ = now;
  if (now == before) {
    emit changed();
    return;
  }
  if (now.isfiledel != before.isfiledel)
    toggleChanged(now.isfiledel);  // one save covers the other toggles as well
  else
    saveToggles();
}

void ShareCardController::saveToggles() {
  bool result = false;
  {
    // The save and the new default mark stand or fall together, so a failed
    // marking never leaves two default shares behind.
    QMutexLocker lock(&UtilDB::mutex());
    std::optional<sql::Transaction> transaction;
    if (sql::Database* db = UtilDB::db()) transaction.emplace(*db);
    result = transaction && transaction->isActive() && saveShare(*share_);
    if (result && share_->isDefault) {
      SharingObjList* shares = list();
      result = shares && shares->setDefaultShare(share_->tag);
    }
    if (result) result = transaction->commit();
  }
  showUpdateResult(result);
  scheduleRefreshTagURL();
  emit changed();
}

void ShareCardController::toggleChanged(bool on) {
  share_->isfilenew = on;
  share_->isfilerename = on;
  saveToggles();
}

void ShareCardController::changePath() {
  QPointer<ShareCardController> self(this);
  UtilSystem::openPanel(QStringLiteral("Choose one file or folder"), 1, [self](const QString& text) {
    if (self) self->onPathChosen(text);
  });
}

void ShareCardController::onPathChosen(const QString& text) {
  if (text.isEmpty()) return;
  if (!QFileInfo(text).isDir() && !UtilSystem::isExistingFile(text)) return;
  share_->path = text;
  store();
}

void ShareCardController::openFolder() {
  if (!share_->path.isEmpty()) openUrl_(QUrl::fromLocalFile(share_->path));
}

void ShareCardController::openAccessURL() {
  const QUrl url(share_->tagURL, QUrl::StrictMode);
  if (url.isValid() && !url.scheme().isEmpty()) openUrl_(url);
}

void ShareCardController::editAccessCode() {
  if (!window_) return;
  QPointer<ShareCardController> self(this);
  QPointer<MainViewState> window = window_;
  window_->openInputDialog(
      L("LS_AccessCodeSetTitle"), QString(),
      [self, window] {
        if (self && window) self->setAccessCode(window->dialogInputSetting.value());
      },
      0, 30, DialogInput_Setting_ValidType::dsvPassword, true);
}

void ShareCardController::setAccessCode(const QString& value) {
  share_->setSharePassword(value);
  store();
}

void ShareCardController::askRemoval() {
  if (!window_) return;
  QPointer<ShareCardController> self(this);
  window_->openConfirmDialog(QStringLiteral("Kelvor"), L("LS_RemoveInfo") + QLatin1Char('\n') + share_->path, [self] {
    if (self) self->removeShare();
  });
}

void ShareCardController::removeShare() {
  SharingObjList* shares = list();
  showUpdateResult(shares && shares->removeShare(share_->tag));
}

void ShareCardController::store() {
  showUpdateResult(saveShare(*share_));
  emit changed();
}

void ShareCardController::showUpdateResult(bool success) {
  if (window_) window_->showUpdateResult(success);
}

void ShareCardController::scheduleRefreshTagURL() {
  QPointer<ShareCardController> self(this);
  SharingObjPtr share = share_;
  QMetaObject::invokeMethod(
      this,
      [self, share] {
        share->refreshTagURL();
        if (self) emit self->changed();
      },
      Qt::QueuedConnection);
}
