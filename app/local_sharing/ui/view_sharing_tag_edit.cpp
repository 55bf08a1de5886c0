#include "local_sharing/ui/view_sharing_tag_edit.h"

#include "core/localized.h"
#include "media/util_media.h"
#include "shell/palette.h"
#include "shell/toast_view.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
constexpr int kQrSize = 96;
}

SharingTagEditView::SharingTagEditView(TagEditorController* controller, QWidget* parent)
    : DialogCard(QSize(480, 180), true, parent), controller_(controller) {
  controller_->setParent(this);
  setObjectName(QStringLiteral("SharingTagEditView"));
  setCloseTrailingPadding(5);
  titleLabel()->setContentsMargins(8, 8, 0, 0);
  setTitle(L("LS_EditSharingTag"));
  connect(this, &DialogCard::closeClicked, controller_, &TagEditorController::close);

  auto* row = new QHBoxLayout;
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);
  // The slot shows the QR code of the share's access URL.
  qr_ = new QLabel;
  qr_->setObjectName(QStringLiteral("qrImage"));
  qr_->setFixedSize(kQrSize, kQrSize);
  const QString url = controller_->share()->tagURL;
  if (!url.isEmpty())
    qr_->setPixmap(QPixmap::fromImage(generateColoredQRImage(url, Qt::white, Qt::black, kQrSize, kQrSize)));
  row->addSpacing(20);
  row->addWidget(qr_, 0, Qt::AlignVCenter);

  auto* column = new QVBoxLayout;
  column->setSpacing(6);
  column->addStretch(1);
  url_ = new QLabel(controller_->shareURL());
  url_->setObjectName(QStringLiteral("shareURL"));
  url_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  column->addWidget(url_, 0, Qt::AlignHCenter);

  auto* tagRow = new QHBoxLayout;
  tagRow->setContentsMargins(20, 0, 20, 0);
  tagRow->setSpacing(10);
  tagRow->addWidget(new QLabel(L("Edit Tag:")));
  field_ = new QLineEdit(controller_->tagValue());
  field_->setObjectName(QStringLiteral("tagField"));
  field_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  QFont font = field_->font();
  font.setPixelSize(12);
  font.setWeight(QFont::Normal);
  field_->setFont(font);
  QPalette palette = field_->palette();
  palette.setColor(QPalette::Text, shellpalette::color(QStringLiteral("editTextColor")));
  field_->setPalette(palette);
  tagRow->addWidget(field_, 1);
  column->addLayout(tagRow);
  column->addStretch(1);

  QBoxLayout* buttons = buttonRow(8, 20);
  buttons->addStretch(1);
  ok_ = makeDialogButton(L("OK"));
  cancel_ = makeDialogButton(L("Cancel"));
  buttons->addWidget(ok_);
  buttons->addSpacing(10 + 8);
  buttons->addWidget(cancel_);
  buttons->addStretch(1);
  column->addLayout(buttons);
  row->addLayout(column, 1);
  content()->addLayout(row, 1);

  connect(field_, &QLineEdit::textEdited, controller_, &TagEditorController::setTagValue);
  connect(field_, &QLineEdit::returnPressed, controller_, &TagEditorController::save);
  connect(ok_, &QPushButton::clicked, controller_, &TagEditorController::save);
  connect(cancel_, &QPushButton::clicked, controller_, &TagEditorController::cancel);
  connect(controller_, &TagEditorController::tagValueChanged, this, [this](const QString& value) {
    if (field_->text() != value) field_->setText(value);
  });
  qr_->setVisible(!url.isEmpty());  // once parented, so it never shows as a window of its own
  toast_ = ToastView::besideCard(controller_->toast(), this);
  setFocusProxy(field_);
}
