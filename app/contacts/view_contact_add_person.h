// The contact editor sheet: e-mail, alias and contact code of a contact, with
// OK and Cancel. Edits go straight into the page's record.
#pragma once

#include "contacts/contact_editor.h"
#include "shell/dialog_card.h"

class QLineEdit;
class QPushButton;

class ViewContactAddPerson : public DialogCard {
  Q_OBJECT
 public:
  ViewContactAddPerson(ContactAddPersonController& controller, ContactPerson& contactPerson, QWidget* parent = nullptr);

  ContactEditor& editor() { return editor_; }
  QLineEdit* mailField() const { return mail_; }
  QLineEdit* aliasField() const { return alias_; }
  QLineEdit* codeField() const { return code_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }

 private:
  ContactEditor editor_;
  QLineEdit* mail_;
  QLineEdit* alias_;
  QLineEdit* code_;
  QPushButton* ok_;
  QPushButton* cancel_;
};
