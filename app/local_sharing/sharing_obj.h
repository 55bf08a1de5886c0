// A local share: one file or folder of this machine published under a short
// tag; the observable list of the account's shares; the share's wire form.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QUuid>
#include <memory>

#include "core/vex_json.h"

class SharingObj {
 public:
  virtual ~SharingObj() = default;

  const QUuid id = QUuid::createUuid();
  QString tag;
  QString tagOld;  // the tag before an unsaved rename, else ""
  QString tagURL;  // the access URL shown for the share
  QString path;
  QString pathOld;
  QString uri;
  QString password;         // the access code; "" means none
  QString passwordShowing;  // "??????" when an access code is set
  bool isreadonly = true;
  bool isenabled = true;
  bool isupload = false;
  bool isdownload = true;
  bool isdir = true;
  bool isDefault = false;
  bool isTranLAN = true;
  bool isTranP2P = true;
  bool rdm_enable = true;
  bool rdm_readonly = false;
  QString ctime;  // local time of the last save, "yyyy-MM-dd HH:mm:ss"
  bool isfilenew = false;
  bool isfilerename = false;
  bool isfiledel = false;
  qint64 downlimits = 0;
  bool isanonyaccess = true;
  quint64 days = 31;      // 31: never expires
  quint64 daysctime = 0;  // Unix seconds from which `days` counts
  bool iExpired = false;
  qint64 DefaultView = 5;
  QString UploadAutoChangeName;
  bool ignoreDataChangeCheck = false;

  // 31 days never expire, 0 days always; otherwise the share expires `days`
  // days after `daysctime` (a share without a start time does not expire).
  virtual bool isShareExpired() const;
  virtual void setSharePassword(const QString& value);
  // tagURL: the default share's URL ends at "/", any other ends in its tag.
  virtual void refreshTagURL();
  // "https://" + account host name + "." + web domain + "/" + tag.
  virtual QString buildShareURL() const;
};

using SharingObjPtr = std::shared_ptr<SharingObj>;

// The account's shares, observed by the views. Replacing `items` or changing
// a share through the list emits itemsChanged().
class SharingObjList : public QObject {
  Q_OBJECT

 public:
  explicit SharingObjList(QObject* parent = nullptr) : QObject(parent) {}

  const QList<SharingObjPtr>& items() const { return items_; }
  void setItems(QList<SharingObjPtr> items);
  // For views that changed a share in place.
  void notifyChanged() { emit itemsChanged(); }

  // Marks the share with exactly this tag as the default one, in memory and in
  // the database; false when no item has the tag or the database refused.
  bool setDefaultShare(const QString& tag);
  // Removes the first item with exactly this tag whose rows could be deleted.
  bool removeShare(const QString& tag);

 signals:
  void itemsChanged();

 private:
  QList<SharingObjPtr> items_;
};

// A share's wire form; its flags travel as 1 and 0.
struct SharingObjJson {
  QString tag;
  QString tagURL;
  QString path;
  QString uri;
  QString password;
  qint64 isreadonly = 1;
  qint64 isenabled = 1;
  qint64 isupload = 0;
  qint64 isdownload = 1;
  qint64 isdir = 1;
  qint64 isDefault = 0;
  qint64 isTranLAN = 1;
  qint64 isTranP2P = 1;
  qint64 rdm_enable = 1;
  qint64 rdm_readonly = 0;
  QString ctime;
  qint64 isfilenew = 0;
  qint64 isfilerename = 0;
  qint64 isfiledel = 0;
  qint64 downlimits = 0;
  qint64 isanonyaccess = 1;
  quint32 days = 31;
  quint32 daysctime = 0;
  qint64 iExpired = 0;
  qint64 DefaultView = 5;
  QString UploadAutoChangeName;

  VEX_FIELDS(tag, tagURL, path, uri, password, isreadonly, isenabled, isupload, isdownload, isdir, isDefault, isTranLAN,
             isTranP2P, rdm_enable, rdm_readonly, ctime, isfilenew, isfilerename, isfiledel, downlimits, isanonyaccess,
             days, daysctime, iExpired, DefaultView, UploadAutoChangeName)

  // Copies the twelve fields a peer is told about; the rest keep their values.
  void fillFromSharingObj(const SharingObj& share);
};

// The web domain of the service, the part of a share URL after the host name.
QString shareWebDomain();
