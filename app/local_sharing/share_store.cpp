#include "local_sharing/share_store.h"

#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>

#include "core/log.h"
#include "core/util_db.h"
#include "local_sharing/share_account.h"

namespace {

const QString kDefaultMarker = QStringLiteral("index.php");

bool namesDefault(const QString& tag) { return tag.isEmpty() || tag == kDefaultMarker; }

QString flag(bool value) { return value ? QStringLiteral("1") : QStringLiteral("0"); }

quint64 readUnsigned(const QString& text, quint64 fallback) {
  bool ok = false;
  const quint64 value = text.toULongLong(&ok);
  return ok ? value : fallback;
}

qint64 readSigned(const QString& text, qint64 fallback) {
  bool ok = false;
  const qint64 value = text.toLongLong(&ok);
  return ok ? value : fallback;
}

// The settings of one share, keys without regard to letter case; the first
// stored row of a key wins.
QHash<QString, QString> loadExt(const QString& tag) {
  QHash<QString, QString> values;
  const auto rows = UtilDB::queryRows(
      QStringLiteral("select key, value from localshare_ext where id_acc=? and UPPER(tag)=UPPER(?) order by rowid"),
      {shareaccount::id(), tag});
  for (const sql::Row& row : rows) {
    const QString key = row.text(0).toUpper();
    if (!values.contains(key)) values.insert(key, row.text(1));
  }
  return values;
}

void fillExt(SharingObj& share) {
  const QHash<QString, QString> ext = loadExt(share.tag);
  auto value = [&ext](const char* key) { return ext.value(QString::fromLatin1(key).toUpper()); };
  share.days = readUnsigned(value("Days"), 31);
  share.daysctime = readUnsigned(value("DaysCTime"), 0);
  const QString anony = value("AnonyAccess");
  share.isanonyaccess = anony.isEmpty() || anony == QStringLiteral("1");
  share.downlimits = readSigned(value("DownLimits"), 0);
  share.isfilenew = value("FileNew") == QStringLiteral("1");
  share.isfilerename = value("FileRename") == QStringLiteral("1");
  share.isfiledel = value("FileDel") == QStringLiteral("1");
  share.isDefault = value("IsDefault") == QStringLiteral("1");
  share.DefaultView = readSigned(value("DefaultView"), 5);
  share.UploadAutoChangeName = value("UploadAutoChangeName");
  share.iExpired = share.isShareExpired();
  share.isTranLAN = value("TransLAN") == QStringLiteral("1");
  share.isTranP2P = value("TransP2P") == QStringLiteral("1");
}

// Runs `work` in one transaction; false (and nothing changed) unless every
// step and the commit succeeded.
template <class Work>
bool inTransaction(Work&& work) {
  sql::Database* db = UtilDB::db();
  if (!db) {
    zlog::line(QStringLiteral("UtilDB - database not open"));
    return false;
  }
  sql::Transaction transaction(*db);
  if (!transaction.isActive()) {
    zlog::line(db->lastError());
    return false;
  }
  if (!work()) return false;  // the transaction rolls back
  if (!transaction.commit()) {
    zlog::line(db->lastError());
    return false;
  }
  return true;
}

bool insertShareRows(const SharingObj& share) {
  if (!UtilDB::execute(
          QStringLiteral(
              "insert into localshare (id_acc, tag, path,password, isenabled,isupload,isdownload,isdir,ctime) "
              "values (?, ?, ?, ?, ?, ?, ?, ?, datetime('now','localtime'))"),
          {shareaccount::id(), share.tag, share.path, share.password, int(share.isenabled), int(share.isupload),
           int(share.isdownload), int(share.isdir)}))
    return false;
  const std::pair<const char*, QString> settings[] = {
      {"Days", QString::number(share.days)},
      {"DaysCTime", QString::number(share.daysctime)},
      {"AnonyAccess", flag(share.isanonyaccess)},
      {"DownLimits", QString::number(share.downlimits)},
      {"FileNew", flag(share.isfilenew)},
      {"FileRename", flag(share.isfilerename)},
      {"FileDel", flag(share.isfiledel)},
      {"IsDefault", flag(share.isDefault)},
      {"TransLAN", flag(share.isTranLAN)},
      {"TransP2P", flag(share.isTranP2P)},
      {"DefaultView", QString::number(share.DefaultView)},
      {"UploadAutoChangeName", share.UploadAutoChangeName},
  };
  for (const auto& [key, value] : settings)
    if (!setShareExtValue(share.tag, QString::fromLatin1(key), value)) return false;
  return true;
}

bool deleteShareRows(const QString& tag) {
  return UtilDB::execute(QStringLiteral("delete from localshare where id_acc=? and UPPER(tag)=UPPER(?)"),
                         {shareaccount::id(), tag}) &&
         UtilDB::execute(QStringLiteral("delete from localshare_ext where id_acc=? and UPPER(tag)=UPPER(?)"),
                         {shareaccount::id(), tag});
}

QString randomTag() {
  static const char alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  QString tag;
  for (int i = 0; i < 4; ++i) tag += QLatin1Char(alphabet[QRandomGenerator::system()->bounded(36)]);
  return tag;
}

}  // namespace

QString defaultShareTag() {
  return UtilDB::queryString(
             QStringLiteral("select a.tag from localshare a, localshare_ext b where a.id_acc=b.id_acc and "
                            "a.id_acc=? and a.tag=b.tag and b.key='IsDefault' and b.value='1'"),
             {shareaccount::id()})
      .value_or(QString());
}

QList<SharingObjPtr> loadShares(const QString& requestedTag, bool forWeb, bool resolveDefault) {
  QString tag = requestedTag;
  const bool askedForDefault = resolveDefault && namesDefault(tag);
  if (askedForDefault) tag = defaultShareTag();

  QString statement = QStringLiteral(
      "select tag,path,password,isenabled,isupload,isdownload,isdir, ctime from localshare where id_acc=?");
  sql::Params params{shareaccount::id()};
  if (!tag.isEmpty()) {
    statement += QStringLiteral(" and UPPER(tag)=UPPER(?)");
    params.append(tag);
  }
  if (forWeb) statement += QStringLiteral(" and isenabled=1");
  statement += QStringLiteral(" order by isdir desc, path asc");

  QList<SharingObjPtr> shares;
  for (const sql::Row& row : UtilDB::queryRows(statement, params)) {
    auto share = std::make_shared<SharingObj>();
    share->tag = row.text(0);
    share->path = row.text(1);
    share->setSharePassword(row.text(2));
    if (forWeb && !share->password.isEmpty()) share->password = QStringLiteral("????????");
    share->isenabled = row.text(3) == QStringLiteral("1");
    share->isupload = row.text(4) == QStringLiteral("1");
    share->isdownload = row.text(5) == QStringLiteral("1");
    share->isdir = row.text(6) == QStringLiteral("1");
    share->ctime = row.text(7);
    fillExt(*share);
    // A web request for the default share of an account that has none gets
    // nothing rather than every share.
    if (forWeb && askedForDefault && namesDefault(tag) && !share->isDefault) continue;
    shares.append(std::move(share));
  }
  return shares;
}

QString getShareExtValue(const QString& tag, const QString& key) {
  return UtilDB::queryString(QStringLiteral("select value from localshare_ext where id_acc=? and "
                                            "UPPER(tag)=UPPER(?) and UPPER(key)=UPPER(?)"),
                             {shareaccount::id(), tag, key})
      .value_or(QString());
}

bool setShareExtValue(const QString& tag, const QString& key, const QString& value) {
  const bool ok = inTransaction([&] {
    return UtilDB::execute(
               QStringLiteral("delete from localshare_ext where id_acc=? and UPPER(tag)=UPPER(?) and key=?"),
               {shareaccount::id(), tag, key}) &&
           UtilDB::execute(QStringLiteral("insert into localshare_ext(id_acc, tag, key, value, ctime) "
                                          "values(?, ?, ?, ?, datetime('now','localtime'))"),
                           {shareaccount::id(), tag, key, value});
  });
  if (!ok)
    zlog::line(QStringLiteral("LocalShareExt_Set set Error!  Key: ") + key + QStringLiteral("  Value: ") + value);
  return ok;
}

bool insertShare(const SharingObj& share) {
  return inTransaction([&] { return insertShareRows(share); });
}

bool saveShare(SharingObj& share) {
  const QString oldTag = share.tagOld.isEmpty() ? share.tag : share.tagOld;
  const bool rename = !share.tagOld.isEmpty() && share.tagOld != share.tag;
  if (rename && !getShareCTime(share.tag).isEmpty()) return false;
  const bool ok = inTransaction([&] { return deleteShareRows(oldTag) && insertShareRows(share); });
  if (!ok) return false;
  share.tagOld.clear();
  share.ctime = getShareCTime(share.tag);
  return true;
}

bool deleteShare(const QString& tag) {
  return inTransaction([&] { return deleteShareRows(tag); });
}

bool shareExists(const QString& tag) {
  return UtilDB::queryExists(QStringLiteral("select tag from localshare where id_acc=? and UPPER(tag)=UPPER(?)"),
                             {shareaccount::id(), tag});
}

QString getShareCTime(const QString& requestedTag) {
  const QString tag = namesDefault(requestedTag) ? defaultShareTag() : requestedTag;
  if (tag.isEmpty()) return {};
  return UtilDB::queryString(QStringLiteral("select ctime from localshare where id_acc=? and UPPER(tag)=UPPER(?)"),
                             {shareaccount::id(), tag})
      .value_or(QString());
}

bool checkSharePassword(const QString& requestedTag, const QString& password) {
  const QString tag = namesDefault(requestedTag) ? defaultShareTag() : requestedTag;
  if (tag.isEmpty()) return false;
  return UtilDB::queryExists(QStringLiteral("select tag from localshare where id_acc=? and UPPER(tag)=UPPER(?) "
                                            "and UPPER(password)=UPPER(?)"),
                             {shareaccount::id(), tag, password});
}

bool createShare(const QString& path) {
  SharingObj share;
  share.path = path;
  QString tag;
  do {
    tag = randomTag();
  } while (shareExists(tag));
  share.tag = tag;
  share.isdir = QFileInfo(path).isDir();
  return insertShare(share);
}

bool setDefaultShareInDB(const QString& tag) {
  return inTransaction([&] {
    return UtilDB::execute(QStringLiteral("update localshare_ext set value='0' where id_acc=? and key='IsDefault'"),
                           {shareaccount::id()}) &&
           UtilDB::execute(QStringLiteral("update localshare_ext set value='1' where id_acc=? and "
                                          "UPPER(tag)=UPPER(?) and key='IsDefault'"),
                           {shareaccount::id(), tag});
  });
}
