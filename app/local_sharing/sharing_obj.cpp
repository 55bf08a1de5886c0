#include "local_sharing/sharing_obj.h"

#include <QDateTime>

#include "core/service_config.h"
#include "local_sharing/share_account.h"
#include "local_sharing/share_store.h"

bool SharingObj::isShareExpired() const {
  if (days == 31) return false;
  if (days == 0) return true;
  if (daysctime == 0) return false;
  // A start stamp of 13 digits or more is in milliseconds.
  const quint64 start = daysctime >= 1000000000000ULL ? daysctime / 1000 : daysctime;
  const quint64 length = days > 365000 ? 365000ULL * 86400 : days * 86400;
  return quint64(QDateTime::currentSecsSinceEpoch()) >= start + length;
}

void SharingObj::setSharePassword(const QString& value) {
  password = value;
  passwordShowing = value.isEmpty() ? QString() : QStringLiteral("??????");
}

QString SharingObj::buildShareURL() const {
  return QStringLiteral("https://") + shareaccount::hostname() + QLatin1Char('.') + shareWebDomain() +
         QLatin1Char('/') + tag;
}

void SharingObj::refreshTagURL() {
  if (isDefault)
    tagURL =
        QStringLiteral("https://") + shareaccount::hostname() + QLatin1Char('.') + shareWebDomain() + QLatin1Char('/');
  else
    tagURL = buildShareURL();
}

QString shareWebDomain() {
  const QString configured = qEnvironmentVariable("ZARKELO_WEB_DOMAIN");
  return configured.isEmpty() ? serviceconfig::serviceHost() : configured;
}

void SharingObjList::setItems(QList<SharingObjPtr> items) {
  items_ = std::move(items);
  emit itemsChanged();
}

bool SharingObjList::setDefaultShare(const QString& tag) {
  bool result = false;
  bool matched = false;
  for (const SharingObjPtr& item : items_) {
    if (item->tag == tag) {
      matched = true;
      result = setDefaultShareInDB(tag);
    }
  }
  // Memory follows the database: when the update failed nothing changes.
  if (result) {
    for (const SharingObjPtr& item : items_) item->isDefault = item->tag == tag;
    emit itemsChanged();
  }
  return matched && result;
}

bool SharingObjList::removeShare(const QString& tag) {
  for (qsizetype i = 0; i < items_.size(); ++i) {
    if (items_[i]->tag != tag) continue;
    if (!deleteShare(tag)) continue;
    items_.removeAt(i);
    emit itemsChanged();
    return true;
  }
  return false;
}

void SharingObjJson::fillFromSharingObj(const SharingObj& share) {
  tag = share.tag;
  path = share.path;
  isdir = share.isdir ? 1 : 0;
  isupload = share.isupload ? 1 : 0;
  isdownload = share.isdownload ? 1 : 0;
  isenabled = share.isenabled ? 1 : 0;
  password = share.password;
  UploadAutoChangeName = share.UploadAutoChangeName;
  DefaultView = share.DefaultView;
  isanonyaccess = share.isanonyaccess ? 1 : 0;
  ctime = share.ctime;
  isfiledel = share.isfiledel ? 1 : 0;
}
