// The contact editor's logic: the record shared by the contacts page and the
// editor sheet, and the sheet's checks. The sheet only validates and reports
// the user's decision; the page stores.
#pragma once

#include "contacts/contact_person.h"
#include "shell/show_flag.h"
#include "shell/toast_state.h"

#include <QObject>
#include <QString>

struct ContactAddPersonController {
  ShowFlag isShow;      // the sheet is presented
  bool isEdit = false;  // an existing contact: edit title, e-mail and code locked
  bool isSaved = false; // closed with OK after the checks passed
};

class ContactEditor : public QObject {
  Q_OBJECT
 public:
  static constexpr int kToastMs = 2000;

  // Both records belong to the page and outlive the sheet. Sets the title.
  ContactEditor(ContactAddPersonController& controller, ContactPerson& contactPerson, QObject* parent = nullptr);

  ContactAddPersonController& controller() { return controller_; }
  ContactPerson& contactPerson() { return contactPerson_; }
  QString strTitle() const { return strTitle_; }
  ToastState& toast() { return toast_; }

  // OK: checks the e-mail (its form, and not the user's own) and closes saved.
  void save();
  // Cancel and the close icon: closes unsaved.
  void close();
  void showToast(const QString& text);

 private:
  ContactAddPersonController& controller_;
  ContactPerson& contactPerson_;
  QString strTitle_ = QStringLiteral("Contact");
  ToastState toast_{kToastMs};
};
