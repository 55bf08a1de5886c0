#include "contacts/contact_person.h"

#include "bridge/user_info.h"
#include "core/util_db.h"

QString contactDisplayText(const ContactPerson& contact) {
  if (contact.aliasname.isEmpty()) return contact.cpmail;
  return QStringLiteral("(") + contact.aliasname + QStringLiteral(") ") + contact.cpmail;
}

QList<ContactPerson> LoadContactPersons(const QString& filter) {
  QString statement = QStringLiteral(
      "select uuid_cp,cpname,cpmail,cpmobile,aliasname,accesscode from contactperson where id_acc=? ");
  sql::Params params{QVariant::fromValue<qint64>(UserInfo::shared()->id_acc)};
  if (!filter.isEmpty()) {
    statement += QStringLiteral(" and cpmail = ?");
    params << filter;
  }
  statement += QStringLiteral(" order by aliasname, cpmail asc");

  QList<ContactPerson> contacts;
  for (const sql::Row& row : UtilDB::queryRows(statement, params)) {
    ContactPerson contact;
    row.textsInto({&contact.uuid_cp, &contact.cpname, &contact.cpmail, &contact.cpmobile, &contact.aliasname,
                   &contact.accesscode});
    contacts << contact;
  }
  return contacts;
}

bool InsertContactPerson(const ContactPerson& contact) {
  return UtilDB::execute(
      QStringLiteral("insert into contactperson (id_acc, uuid_cp, cpname,cpmail, cpmobile, aliasname,accesscode) "
                     "values(?, ?, ?, ?, ?, ?, ?)"),
      {QVariant::fromValue<qint64>(UserInfo::shared()->id_acc), contact.uuid_cp, contact.cpname, contact.cpmail,
       contact.cpmobile, contact.aliasname, contact.accesscode});
}

bool DeleteContactPerson(const QString& uuid_cp) {
  return UtilDB::execute(QStringLiteral("delete from contactperson where uuid_cp=? and id_acc=?"),
                         {uuid_cp, QVariant::fromValue<qint64>(UserInfo::shared()->id_acc)});
}

bool UpdateContactAlias(const QString& uuid_cp, const QString& aliasname) {
  return UtilDB::execute(QStringLiteral("update contactperson set aliasname=? where uuid_cp=? and id_acc=?"),
                         {aliasname, uuid_cp, QVariant::fromValue<qint64>(UserInfo::shared()->id_acc)});
}
