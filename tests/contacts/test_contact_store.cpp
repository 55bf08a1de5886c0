// Contact storage per account, the editor's checks, and the contacts list with
// its access-code check through the bridge.
#include "contacts/contact_editor.h"
#include "contacts/contact_list.h"
#include "contacts/contact_person.h"
#include "core/localized.h"
#include "core/service_config.h"
#include "fake_port.h"

#include <gtest/gtest.h>

namespace {

ContactPerson contact(const char* mail, const char* alias, const char* code = "C0DE") {
  ContactPerson c;
  c.uuid_cp = QUuid::createUuid().toString(QUuid::WithoutBraces);
  c.cpmail = QString::fromUtf8(mail);
  c.aliasname = QString::fromUtf8(alias);
  c.accesscode = QString::fromUtf8(code);
  return c;
}

QStringList mails(const QList<ContactPerson>& list) {
  QStringList out;
  for (const auto& c : list) out << c.cpmail;
  return out;
}

vex::Json textReply(const char* body) { return vex::Json(std::string(body)); }

}  // namespace

TEST(ContactStore, ContactsStayWithTheirAccountAndKeepQuotedValues) {
  SignedIn account(7);
  ContactPerson quoted = contact("ob@example.com", "O'Brien", "x'); delete from contactperson; --");
  quoted.cpname = QStringLiteral("Dan \"the\" O'Brien");
  ASSERT_TRUE(InsertContactPerson(contact("zed@example.com", "Pals")));
  ASSERT_TRUE(InsertContactPerson(contact("amy@example.com", "Pals")));
  ASSERT_TRUE(InsertContactPerson(quoted));
  SignedIn::signInAs(8);
  const ContactPerson other = contact("other@example.com", "");
  ASSERT_TRUE(InsertContactPerson(other));

  SignedIn::signInAs(7);
  const QList<ContactPerson> loaded = LoadContactPersons(QString());
  // By alias, then by e-mail; the other account's contact is not listed.
  EXPECT_EQ(mails(loaded), (QStringList{QStringLiteral("ob@example.com"), QStringLiteral("amy@example.com"),
                                        QStringLiteral("zed@example.com")}));
  EXPECT_EQ(loaded[0].aliasname, quoted.aliasname);
  EXPECT_EQ(loaded[0].accesscode, quoted.accesscode);
  EXPECT_EQ(loaded[0].cpname, quoted.cpname);
  EXPECT_EQ(loaded[0].uuid_cp, quoted.uuid_cp);
  EXPECT_NE(loaded[0].id, quoted.id);  // a fresh identity on every load

  EXPECT_EQ(mails(LoadContactPersons(QStringLiteral("amy@example.com"))), QStringList{QStringLiteral("amy@example.com")});
  EXPECT_TRUE(LoadContactPersons(QStringLiteral("AMY@example.com")).isEmpty());  // the filter is exact
  EXPECT_TRUE(LoadContactPersons(QStringLiteral("' or '1'='1")).isEmpty());

  // Removal and alias changes reach only this account's rows.
  EXPECT_TRUE(DeleteContactPerson(other.uuid_cp));
  EXPECT_TRUE(UpdateContactAlias(other.uuid_cp, QStringLiteral("mine now")));
  SignedIn::signInAs(8);
  ASSERT_EQ(LoadContactPersons(QString()).size(), 1);
  EXPECT_EQ(LoadContactPersons(QString())[0].aliasname, QString());
  SignedIn::signInAs(7);
  EXPECT_TRUE(DeleteContactPerson(QStringLiteral("no-such-key")));
  EXPECT_TRUE(DeleteContactPerson(quoted.uuid_cp));
  EXPECT_EQ(LoadContactPersons(QString()).size(), 2);
  EXPECT_TRUE(UpdateContactAlias(loaded[1].uuid_cp, QStringLiteral("A'my")));
  EXPECT_EQ(LoadContactPersons(QStringLiteral("amy@example.com"))[0].aliasname, QStringLiteral("A'my"));
}

TEST(ContactStore, WithoutADatabaseNothingIsListedOrStored) {
  SignedIn::signInAs(7);
  UtilDB::reset();
  EXPECT_TRUE(LoadContactPersons(QString()).isEmpty());
  EXPECT_FALSE(InsertContactPerson(contact("a@example.com", "")));
}

TEST(ContactEditor, SavesOnlyAValidAddressThatIsNotTheUsersOwn) {
  SignedIn account(7, QStringLiteral("me@example.com"));
  ContactAddPersonController ctl;
  ContactPerson person;
  ctl.isShow.set(true);
  ContactEditor editor(ctl, person);
  EXPECT_EQ(editor.strTitle(), L("Contact_ContactAdd"));

  for (const char* bad : {"", " ann@example.com", "ann@example.com ", "ann@example.c", "ann.example.com"}) {
    person.cpmail = QString::fromUtf8(bad);
    editor.save();
    EXPECT_EQ(editor.toast().toast().title, L("Sys_Toast_ValidEmail")) << bad;
    EXPECT_TRUE(ctl.isShow.value());
    EXPECT_FALSE(ctl.isSaved);
  }
  person.cpmail = QStringLiteral("Me@Example.com");
  editor.save();
  EXPECT_EQ(editor.toast().toast().title, L("Sys_Toast_NoYourself"));
  EXPECT_TRUE(ctl.isShow.value());
  editor.close();  // Cancel after a failed OK
  EXPECT_FALSE(ctl.isShow.value());
  EXPECT_FALSE(ctl.isSaved);

  ctl.isShow.set(true);
  person.cpmail = QStringLiteral("ann+files@example.co");
  editor.save();
  EXPECT_FALSE(ctl.isShow.value());
  EXPECT_TRUE(ctl.isSaved);
  // Long top-level parts are valid too (the demo account's address among them).
  ctl.isShow.set(true);
  ctl.isSaved = false;
  person.cpmail = QStringLiteral("demo@zarkelo.local");
  editor.save();
  EXPECT_FALSE(ctl.isShow.value());
  EXPECT_TRUE(ctl.isSaved);

  ctl.isEdit = true;
  EXPECT_EQ(ContactEditor(ctl, person).strTitle(), L("Contact_ContactEdit"));
}

TEST(ContactList, AddsAContactOnlyWhenTheServiceConfirmsItsCode) {
  SignedIn account;
  FakePort port;
  ContactList list(port);
  list.onAppear();
  EXPECT_TRUE(list.itemList.isEmpty());
  EXPECT_EQ(list.indexCPSelected, -1);
  EXPECT_FALSE(list.hasSelection());
  EXPECT_EQ(list.headerTitle(), L("Contact_Contact") + QStringLiteral(" (0/5)"));

  // Cancel checks nothing.
  list.addContact();
  list.contactPerson.cpmail = QStringLiteral("ann@example.com");
  list.ctlCP.isSaved = false;
  list.ctlCP.isShow.set(false);
  EXPECT_TRUE(port.sent.empty());

  // OK sends the check; the values go in encoded, so "+" and "&" stay theirs.
  list.addContact();
  EXPECT_FALSE(list.ctlCP.isEdit);
  list.contactPerson.cpmail = QStringLiteral("ann+x@example.com");
  list.contactPerson.accesscode = QStringLiteral("a&b=c#d");
  list.contactPerson.aliasname = QStringLiteral("Ann");
  list.ctlCP.isSaved = true;
  list.ctlCP.isShow.set(false);
  ASSERT_EQ(port.count("CallHttp"), 1);
  const SentRequest& check = port.last("CallHttp");
  EXPECT_TRUE(check.wait);
  EXPECT_FALSE(check.toRemote());
  EXPECT_EQ(check.payload["URL"], (serviceconfig::apiBase() +
                                   QStringLiteral("account/acode/check/index.php?Token=TOKEN%2B1&email=ann%2Bx%40"
                                                  "example.com&acode=a%26b%3Dc%23d"))
                                      .toStdString());
  EXPECT_EQ(check.payload["Timeout"], 5);

  // Refused, and not JSON: nothing is stored.
  check.answer(textReply(R"({"Result":1,"Info":false})"));
  EXPECT_EQ(list.toast.toast().title, L("Contact_AddFail"));
  check.answer(textReply("<html>busy</html>"));
  EXPECT_EQ(list.toast.toast().title, L("Contact_AddFail"));
  check.answer(textReply(R"({"Result":0,"Info":true})"));
  EXPECT_TRUE(LoadContactPersons(QString()).isEmpty());

  list.toast.dismiss();
  check.answer(textReply(R"({"Result":1,"Info":true})"));
  EXPECT_EQ(list.toast.toast().title, L("Contact_AddSucc"));
  EXPECT_TRUE(list.toast.isShown());
  ASSERT_EQ(list.itemList.size(), 1);
  EXPECT_EQ(list.itemList[0].cpmail, QStringLiteral("ann+x@example.com"));
  EXPECT_FALSE(list.itemList[0].uuid_cp.isEmpty());
  EXPECT_EQ(list.indexCPSelected, 0);
  EXPECT_EQ(list.cpSelected.cpmail, QStringLiteral("ann+x@example.com"));
}

TEST(ContactList, EditStoresTheAliasAndRemovalLeavesNoSelection) {
  SignedIn account;
  FakePort port;
  ASSERT_TRUE(InsertContactPerson(contact("bob@example.com", "Bob")));
  ASSERT_TRUE(InsertContactPerson(contact("amy@example.com", "Amy")));
  ContactList list(port);
  list.onAppear();
  ASSERT_EQ(list.itemList.size(), 2);
  EXPECT_EQ(list.cpSelected.cpmail, QStringLiteral("amy@example.com"));  // the first is selected
  list.selectContact(1);
  EXPECT_EQ(list.cpSelected.cpmail, QStringLiteral("bob@example.com"));
  list.selectContact(5);  // no such row: nothing changes
  EXPECT_EQ(list.indexCPSelected, 1);

  list.editContact();
  EXPECT_TRUE(list.ctlCP.isEdit);
  EXPECT_EQ(list.contactPerson.cpmail, QStringLiteral("bob@example.com"));
  list.contactPerson.aliasname = QStringLiteral("Robert");
  list.ctlCP.isSaved = true;
  list.ctlCP.isShow.set(false);
  EXPECT_TRUE(port.sent.empty());  // an edit is not checked with the service
  EXPECT_EQ(mails(list.itemList), (QStringList{QStringLiteral("amy@example.com"), QStringLiteral("bob@example.com")}));
  EXPECT_EQ(list.itemList[1].aliasname, QStringLiteral("Robert"));

  // Add after an edit opens in add mode, holding the edited record.
  list.addContact();
  EXPECT_FALSE(list.ctlCP.isEdit);
  EXPECT_EQ(list.contactPerson.cpmail, QStringLiteral("bob@example.com"));
  list.ctlCP.isSaved = false;
  list.ctlCP.isShow.set(false);

  list.removeContact();
  list.removeContact();
  EXPECT_TRUE(list.itemList.isEmpty());
  EXPECT_EQ(list.indexCPSelected, -1);
  EXPECT_FALSE(list.hasSelection());
}
