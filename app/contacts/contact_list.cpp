#include "contacts/contact_list.h"

#include "core/json_read.h"
#include "bridge/payloads.h"
#include "bridge/user_info.h"
#include "core/localized.h"
#include "core/log.h"
#include "core/service_config.h"

#include <QPointer>
#include <QUrl>
#include <QUuid>

ContactList::ContactList(ContactsPort& port, QObject* parent) : QObject(parent), port_(port) {
  connect(&ctlCP.isShow, &ShowFlag::changed, this, [this](bool shown) {
    if (!shown) CheckContactAccessCode();
  });
}

void ContactList::reloadContacts() {
  itemList = LoadContactPersons(QString());
  indexCPSelected = -1;
  if (!itemList.isEmpty()) {
    indexCPSelected = 0;
    cpSelected = itemList.first();
  }
  emit changed();
}

void ContactList::selectContact(int index) {
  if (index < 0 || index >= itemList.size()) return;
  cpSelected = itemList.at(index);
  indexCPSelected = index;
  emit changed();
}

void ContactList::addContact() {
  ctlCP.isEdit = false;
  ctlCP.isShow.set(true);
}

void ContactList::editContact() {
  if (!hasSelection()) return;
  contactPerson = cpSelected;
  ctlCP.isEdit = true;
  ctlCP.isShow.set(true);
}

void ContactList::removeContact() {
  DeleteContactPerson(cpSelected.uuid_cp);
  reloadContacts();
}

QString ContactList::accessCodeCheckUrl(const QString& apiBase, const QString& token, const ContactPerson& contact) {
  // Encoded, so that a "&", "#" or "+" in a value stays part of that value.
  auto encoded = [](const QString& value) { return QString::fromLatin1(QUrl::toPercentEncoding(value)); };
  return apiBase + QStringLiteral("account/acode/check/index.php?Token=") + encoded(token) +
         QStringLiteral("&email=") + encoded(contact.cpmail) + QStringLiteral("&acode=") +
         encoded(contact.accesscode);
}

void ContactList::CheckContactAccessCode() {
  if (!ctlCP.isSaved) return;
  if (ctlCP.isEdit) {
    // The alias is the one field an edit can change; the address and the code stay.
    if (!UpdateContactAlias(contactPerson.uuid_cp, contactPerson.aliasname)) zlog::line(QStringLiteral("Contact alias not stored"));
    reloadContacts();
    return;
  }
  CallHttpInfo info{accessCodeCheckUrl(serviceconfig::apiBase(), UserInfo::shared()->Token, contactPerson), 5};
  QPointer<ContactList> self(this);
  port_.sendToBridge(QStringLiteral("CallHttp"), info.toJSONModel(), true,
                     [self](const std::optional<vex::Json>& reply) {
                       if (self) self->OnAccessCodeCheckReply(reply);
                     });
}

void ContactList::OnAccessCodeCheckReply(const std::optional<vex::Json>& reply) {
  const QString text = reply ? jsonread::text(*reply) : QString();
  const QByteArray bytes = text.toUtf8();
  const auto parsed = jsonread::parse(std::string_view(bytes.constData(), size_t(bytes.size())));
  if (!parsed) {
    zlog::line(QStringLiteral("Json error : ") + zlog::excerpt(text));
    showToast(L("Contact_AddFail"));
    return;
  }
  if (jsonread::integer(*parsed, "Result") == 1 && contactjson::boolean(*parsed, "Info")) {
    contactPerson.uuid_cp = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    if (InsertContactPerson(contactPerson)) {
      showToast(L("Contact_AddSucc"));
      reloadContacts();
    }
    return;
  }
  showToast(L("Contact_AddFail"));
}

void ContactList::showToast(const QString& text, const QString& reason, bool failure) {
  AlertToast shown = failure ? makeToast(AlertToast::Type::error, QStringLiteral("red"), text)
                             : makeToast(AlertToast::Type::regular, {}, text);
  if (!reason.isEmpty()) shown.subTitle = reason;
  if (!reason.isEmpty() || failure) shown.minShowMs = kReasonToastMs;
  toast.show(shown);
}

QString ContactList::headerTitle() const {
  return L("Contact_Contact") + QStringLiteral(" (") + QString::number(itemList.size()) + QStringLiteral("/") +
         QString::number(UserInfo::shared()->maxsharecount) + QStringLiteral(")");
}
