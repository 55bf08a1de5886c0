#include "contacts/view_contact_add_person.h"

#include "core/localized.h"
#include "shell/toast_view.h"

#include <QBoxLayout>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

QLineEdit* addRow(QFormLayout* form, const char* labelKey, const QString& value, bool locked) {
  auto* label = new QLabel(L(labelKey));
  QFont font = label->font();
  font.setPixelSize(13);
  label->setFont(font);
  label->setFixedSize(120, 30);
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  auto* field = new QLineEdit(value);
  field->setFont(font);
  field->setFixedSize(200, 30);
  field->setEnabled(!locked);
  form->addRow(label, field);
  return field;
}

}  // namespace

ViewContactAddPerson::ViewContactAddPerson(ContactAddPersonController& controller, ContactPerson& contactPerson,
                                           QWidget* parent)
    : DialogCard(QSize(480, 250), true, parent), editor_(controller, contactPerson) {
  setObjectName(QStringLiteral("ViewContactAddPerson"));
  setTitle(editor_.strTitle());
  auto* form = new QFormLayout;
  form->setContentsMargins(0, 10, 30, 0);
  form->setFormAlignment(Qt::AlignHCenter | Qt::AlignTop);
  form->setVerticalSpacing(8);
  const bool locked = controller.isEdit;
  mail_ = addRow(form, "Login_Email", contactPerson.cpmail, locked);
  alias_ = addRow(form, "RS_Host_Alias", contactPerson.aliasname, false);
  code_ = addRow(form, "Contact_ContactCode", contactPerson.accesscode, locked);
  mail_->setObjectName(QStringLiteral("cpmail"));
  alias_->setObjectName(QStringLiteral("aliasname"));
  code_->setObjectName(QStringLiteral("accesscode"));
  content()->addLayout(form);
  content()->addStretch(1);

  std::tie(ok_, cancel_) = addOkCancelRow(0, 10, 16);

  // The fields write through to the page's record, as a binding would.
  connect(mail_, &QLineEdit::textEdited, this, [&contactPerson](const QString& text) { contactPerson.cpmail = text; });
  connect(alias_, &QLineEdit::textEdited, this,
          [&contactPerson](const QString& text) { contactPerson.aliasname = text; });
  connect(code_, &QLineEdit::textEdited, this,
          [&contactPerson](const QString& text) { contactPerson.accesscode = text; });
  connect(ok_, &QPushButton::clicked, &editor_, &ContactEditor::save);
  connect(cancel_, &QPushButton::clicked, &editor_, &ContactEditor::close);
  connect(this, &DialogCard::closeClicked, &editor_, &ContactEditor::close);
  ToastView::besideCard(editor_.toast(), this);
}
