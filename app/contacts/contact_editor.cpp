#include "contacts/contact_editor.h"

#include "bridge/user_info.h"
#include "core/localized.h"
#include "core/util_system.h"

ContactEditor::ContactEditor(ContactAddPersonController& controller, ContactPerson& contactPerson, QObject* parent)
    : QObject(parent), controller_(controller), contactPerson_(contactPerson) {
  strTitle_ = controller_.isEdit ? L("Contact_ContactEdit") : L("Contact_ContactAdd");
}

void ContactEditor::save() {
  if (!UtilSystem::isValidEmail(contactPerson_.cpmail)) {
    showToast(L("Sys_Toast_ValidEmail"));
    return;
  }
  if (contactPerson_.cpmail.toLower() == UserInfo::shared()->email.toLower()) {
    showToast(L("Sys_Toast_NoYourself"));
    return;
  }
  controller_.isSaved = true;
  controller_.isShow.set(false);
}

void ContactEditor::close() {
  controller_.isSaved = false;
  controller_.isShow.set(false);
}

void ContactEditor::showToast(const QString& text) {
  toast_.show(makeToast(AlertToast::Type::regular, {}, text));
}
