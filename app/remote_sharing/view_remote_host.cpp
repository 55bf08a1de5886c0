#include "remote_sharing/view_remote_host.h"

#include "core/localized.h"
#include "local_sharing/sharing_obj.h"
#include "shell/show_flag.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLabel* label(const QString& text, Qt::Alignment alignment = Qt::AlignVCenter | Qt::AlignLeft) {
  auto* l = new QLabel(text);
  l->setMinimumWidth(80);
  l->setAlignment(alignment);
  return l;
}

QLineEdit* field(const QString& text, const QString& placeholder, int width) {
  auto* f = new QLineEdit(text);
  f->setPlaceholderText(placeholder);
  f->setFixedWidth(width);
  return f;
}

}  // namespace

ViewSharingRemoteHost::ViewSharingRemoteHost(ViewSharingRemoteHostCtrl& rhCtl, ShowFlag& shown, QWidget* parent)
    : DialogCard(QSize(480, 200), true, parent), rhCtl_(rhCtl), shown_(shown) {
  setObjectName(QStringLiteral("ViewSharingRemoteHost"));
  setTitle(rhCtl_.isEdit ? L("RS_Host_TitleEdit") : L("RS_Host_TitleAdd"));
  connect(this, &DialogCard::closeClicked, this, &ViewSharingRemoteHost::closeSheet);

  const RemoteSharing& host = rhCtl_.remoteSharing;
  name_ = field(host.hostname, L("RS_Host_Name"), 120);
  tag_ = field(host.hosttag, L("RS_Host_Tag"), 80);
  password_ = field(host.password, QString(), 120);
  password_->setEchoMode(QLineEdit::Password);
  alias_ = field(host.aliasname, QString(), 80);
  alias_->setFixedHeight(28);

  content()->addStretch(1);
  auto* rows = new QVBoxLayout;
  rows->setSpacing(6);
  auto* address = new QHBoxLayout;
  address->setSpacing(0);
  address->addStretch(1);
  address->addWidget(label(L("Https://"), Qt::AlignVCenter | Qt::AlignRight));
  address->addWidget(name_);
  address->addWidget(label(QLatin1Char('.') + shareWebDomain() + QLatin1Char('/'), Qt::AlignCenter));
  address->addWidget(tag_);
  address->addStretch(1);
  auto* access = new QHBoxLayout;
  access->setSpacing(0);
  access->addStretch(1);
  access->addWidget(label(L("LS_AccessCode") + QLatin1Char(' '), Qt::AlignVCenter | Qt::AlignRight));
  access->addWidget(password_);
  access->addWidget(label(L("RS_Host_Alias") + QLatin1Char(' '), Qt::AlignVCenter | Qt::AlignRight));
  access->addWidget(alias_);
  access->addStretch(1);
  rows->addLayout(address);
  rows->addLayout(access);
  content()->addLayout(rows);
  content()->addStretch(1);

  std::tie(ok_, cancel_) = addOkCancelRow(8, 15, 30);
  ok_->setDefault(true);

  // Typing changes the page's record at once.
  connect(name_, &QLineEdit::textChanged, this, [this](const QString& v) {
    rhCtl_.remoteSharing.hostname = v;
    refreshTints();
  });
  connect(tag_, &QLineEdit::textChanged, this, [this](const QString& v) {
    rhCtl_.remoteSharing.hosttag = v;
    refreshTints();
  });
  connect(password_, &QLineEdit::textChanged, this, [this](const QString& v) { rhCtl_.remoteSharing.password = v; });
  connect(alias_, &QLineEdit::textChanged, this, [this](const QString& v) { rhCtl_.remoteSharing.aliasname = v; });
  connect(ok_, &QPushButton::clicked, this, &ViewSharingRemoteHost::onOK);
  connect(cancel_, &QPushButton::clicked, this, &ViewSharingRemoteHost::closeSheet);
  refreshTints();
}

void ViewSharingRemoteHost::refreshTints() {
  // Red at half opacity over the field while its text fails the check.
  const auto tint = [this](QLineEdit* f, bool valid) {
    QPalette colours = palette();
    if (!valid) colours.setColor(QPalette::Base, QColor(255, 157, 152));
    f->setPalette(colours);
  };
  tint(name_, RemoteHostEditorLogic::isHostNameValid(rhCtl_.remoteSharing.hostname));
  tint(tag_, RemoteHostEditorLogic::isHostTagValid(rhCtl_.remoteSharing.hosttag));
}

bool ViewSharingRemoteHost::isTinted(const QLineEdit* f) const {
  return f->palette().color(QPalette::Base) != palette().color(QPalette::Base);
}

void ViewSharingRemoteHost::onOK() {
  switch (RemoteHostEditorLogic::onOK(rhCtl_)) {
    case RemoteHostEditorLogic::FocusedField::hostName:
      name_->setFocus();
      return;
    case RemoteHostEditorLogic::FocusedField::hostTag:
      tag_->setFocus();
      return;
    case RemoteHostEditorLogic::FocusedField::none:
      shown_.set(rhCtl_.isShowView);
      return;
  }
}

void ViewSharingRemoteHost::closeSheet() {
  RemoteHostEditorLogic::closeSheet(rhCtl_);
  shown_.set(rhCtl_.isShowView);
}
