// A contact: another account of the service, known by its e-mail address, to
// which files can be sent directly. Contacts live in the table `contactperson`,
// one set per signed-in account; the e-mail address and the access code of a
// contact never change; only its alias can be edited.
#pragma once

#include <QList>
#include <QString>
#include <QUuid>

struct ContactPerson {
  QUuid id = QUuid::createUuid();  // identity in lists only; new for every record made or loaded
  QString accesscode;
  QString uuid_cp;  // the stored key
  QString cpname;
  QString cpmail;
  QString cpmobile;
  QString aliasname;
};

// "(alias) mail" when the contact has an alias, else the mail alone.
QString contactDisplayText(const ContactPerson& contact);

// The signed-in account's contacts by alias, then e-mail; a non-empty filter
// keeps the contact whose e-mail equals it. Empty on a database error (logged).
QList<ContactPerson> LoadContactPersons(const QString& filter);
// Stores the contact under the signed-in account; false on a database error (logged).
bool InsertContactPerson(const ContactPerson& contact);
// Stores a new alias for the signed-in account's contact with that key.
bool UpdateContactAlias(const QString& uuid_cp, const QString& aliasname);
// Removes the signed-in account's contact with that key; true also when none matched.
bool DeleteContactPerson(const QString& uuid_cp);
