// The contacts page's list: the signed-in account's contacts, the selected
// one (the target of a send), adding a contact after the account service has
// confirmed its access code, opening one in the editor again, and removing
// one after a confirmation.
#pragma once

#include "contacts/contact_editor.h"
#include "contacts/contact_person.h"
#include "contacts/contacts_port.h"
#include "shell/show_flag.h"
#include "shell/toast_state.h"

#include <QList>
#include <QObject>

class ContactList : public QObject {
  Q_OBJECT
 public:
  static constexpr int kToastMs = 2000;

  explicit ContactList(ContactsPort& port, QObject* parent = nullptr);

  // The page appeared: reload and select the first contact.
  void onAppear() { reloadContacts(); }
  void reloadContacts();
  void selectContact(int index);

  // Header buttons.
  void addContact();
  void editContact();
  void askRemoveContact() { isShowDeleteContactConfirm.set(true); }
  // OK of the removal question.
  void removeContact();

  // The editor sheet closed: checks and stores a new contact, stores an edited alias.
  void CheckContactAccessCode();
  void OnAccessCodeCheckReply(const std::optional<vex::Json>& reply);
  // The address of the access-code check of `contact`.
  static QString accessCodeCheckUrl(const QString& apiBase, const QString& token, const ContactPerson& contact);

  // With a reason (beneath the text) the toast stays at least kReasonToastMs;
  // a failure shows with the failure symbol.
  void showToast(const QString& text, const QString& reason = {}, bool failure = false);

  // "Contacts (count/limit)".
  QString headerTitle() const;
  bool hasSelection() const { return indexCPSelected >= 0; }

  QList<ContactPerson> itemList;
  ContactPerson contactPerson;  // the record bound to the editor sheet
  ContactAddPersonController ctlCP;
  ShowFlag isShowDeleteContactConfirm;
  ContactPerson cpSelected;
  int indexCPSelected = -1;
  ToastState toast{kToastMs};

 signals:
  // The list or the selection changed.
  void changed();

 private:
  ContactsPort& port_;
};
