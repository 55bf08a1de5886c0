#include "local_sharing/ui/view_sharing_detail.h"

#include "core/localized.h"
#include "local_sharing/ui/view_sharing_tag_edit.h"
#include "shell/elided_field.h"
#include "shell/palette.h"
#include "shell/sheet_overlay.h"
#include "shell/symbol_button.h"
#include "shell/symbols.h"
#include "shell/wrapping_bar.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr int kPadding = 10;  // inside and outside the frame
constexpr int kCaptionWidth = 100;
constexpr int kSymbolSize = 18;
constexpr int kRowHeight = 30;

// A row whose trailing group moves under the leading one when the card is narrow.
WrappingBar* wrappingCardRow() {
  auto* row = new WrappingBar(kRowHeight, QMargins(kPadding, kPadding, kPadding, kPadding), true);
  return row;
}

QHBoxLayout* cardRow() {
  auto* row = new QHBoxLayout;
  row->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
  row->setSpacing(6);
  return row;
}

template <typename Field = QLineEdit>
Field* displayField(const QString& placeholder, const QString& objectName) {
  auto* field = new Field;
  field->setObjectName(objectName);
  field->setPlaceholderText(placeholder);
  field->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  field->setEnabled(false);
  QFont font = field->font();
  font.setPixelSize(12);
  font.setWeight(QFont::Normal);
  field->setFont(font);
  QPalette palette = field->palette();
  const QColor text = shellpalette::color(QStringLiteral("editTextColor"));
  palette.setColor(QPalette::Text, text);
  palette.setColor(QPalette::Disabled, QPalette::Text, text);
  field->setPalette(palette);
  return field;
}

// A fixed-width caption whose text sits at its trailing end.
QLabel* caption(const QString& text, Qt::Alignment alignment = Qt::AlignRight | Qt::AlignVCenter) {
  auto* label = new QLabel(text);
  label->setFixedWidth(kCaptionWidth);
  label->setAlignment(alignment);
  return label;
}

SymbolButton* symbolButton(const QString& symbol, const QString& objectName) {
  auto* button = new SymbolButton(symbol, QStringLiteral("activeButton"), kSymbolSize);
  button->setObjectName(objectName);
  return button;
}

}  // namespace

ViewSharingDetail::ViewSharingDetail(ShareCardController* controller, QWidget* parent)
    : QWidget(parent), controller_(controller) {
  controller_->setParent(this);
  setObjectName(QStringLiteral("ViewSharingDetail"));
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);  // as high as its rows
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(2 * kPadding, 2 * kPadding, 2 * kPadding, 2 * kPadding);
  column->setSpacing(0);

  // Path row: the toggles and the remove button move under the path when narrow.
  auto* pathRow = wrappingCardRow();
  pathCaption_ = caption(QString());
  pathCaption_->setObjectName(QStringLiteral("pathCaption"));
  pathRow->addLeading(pathCaption_);
  path_ = displayField<ElidedField>(QStringLiteral("The path of the sharinhg object"), QStringLiteral("pathField"));
  pathRow->addLeadingSpacing(10);
  pathRow->addLeading(path_, 1);
  pathRow->addLeadingSpacing(10);
  auto* changePath = symbolButton(QStringLiteral("rectangle.and.pencil.and.ellipsis"), QStringLiteral("changePath"));
  pathRow->addLeading(changePath);
  auto* openFolder = symbolButton(QStringLiteral("folder.fill.badge.gearshape"), QStringLiteral("openFolder"));
  pathRow->addLeading(openFolder);
  pathRow->addLeadingSpacing(25 - 6);
  default_ = new QCheckBox(L("LS_AsDefault"));
  default_->setObjectName(QStringLiteral("isDefault"));
  pathRow->addTrailing(default_);
  enabled_ = new QCheckBox(L("LS_Enabled"));
  enabled_->setObjectName(QStringLiteral("isenabled"));
  pathRow->addTrailing(enabled_);
  remove_ = new QPushButton(L("LS_Remove"));
  remove_->setObjectName(QStringLiteral("remove"));
  remove_->setIcon(shellsymbols::symbolIcon(QStringLiteral("minus.circle.fill"), QStringLiteral("btnRed")));
  remove_->setAutoDefault(false);
  pathRow->addTrailing(remove_);
  column->addWidget(pathRow);

  // Access row: the access-code group moves under the address when narrow.
  auto* accessRow = wrappingCardRow();
  auto* urlCaption = new QWidget;
  urlCaption->setFixedWidth(kCaptionWidth + 12);  // room for the badge past the caption
  auto* urlText = caption(L("LS_AccessURL"));
  urlText->setParent(urlCaption);
  badge_ = new QLabel(urlCaption);
  badge_->setObjectName(QStringLiteral("defaultBadge"));
  static_cast<QLabel*>(badge_)->setPixmap(
      shellsymbols::symbol(QStringLiteral("bolt.fill"), QStringLiteral("green"), 12, devicePixelRatioF()));
  badge_->setFixedSize(12, 12);
  accessRow->addLeading(urlCaption);
  url_ = displayField<ElidedField>(QStringLiteral("The URL to access"), QStringLiteral("urlField"));
  accessRow->addLeading(url_, 1);
  accessRow->addLeadingSpacing(10);
  editTag_ = symbolButton(QStringLiteral("square.and.pencil"), QStringLiteral("editTag"));
  editTag_->setToolTip(L("Customize the access URL"));
  accessRow->addLeading(editTag_);
  auto* globe = symbolButton(QStringLiteral("globe"), QStringLiteral("openAccessURL"));
  accessRow->addLeading(globe);
  accessRow->addTrailing(caption(L("LS_AccessCode")));
  accessCode_ = displayField(L("LS_NoPassword"), QStringLiteral("accessCodeField"));
  accessCode_->setMaximumWidth(110);
  QPalette accent = accessCode_->palette();
  accent.setColor(QPalette::Highlight, QColor(0x8E, 0x44, 0xAD));
  accessCode_->setPalette(accent);
  accessRow->addTrailing(accessCode_);
  auto* lock = symbolButton(QStringLiteral("lock.square"), QStringLiteral("editAccessCode"));
  accessRow->addTrailing(lock);
  column->addWidget(accessRow);

  // Visitor row (folders only; a file's card keeps the space empty).
  visitorRow_ = new QWidget;
  visitorRow_->setObjectName(QStringLiteral("visitorRow"));
  auto* visitor = cardRow();
  visitorRow_->setLayout(visitor);
  visitor->addWidget(caption(L("LS_VisitorCould")));
  visitor->addSpacing(20);
  download_ = new QCheckBox(L("LS_Download"));
  download_->setObjectName(QStringLiteral("isdownload"));
  visitor->addWidget(download_);
  visitor->addSpacing(8);
  upload_ = new QCheckBox(L("LS_Upload"));
  upload_->setObjectName(QStringLiteral("isupload"));
  visitor->addWidget(upload_);
  delete_ = new QCheckBox(L("LS_Delete"));
  delete_->setObjectName(QStringLiteral("isfiledel"));
  visitor->addWidget(delete_);
  visitor->addStretch(1);
  QSizePolicy keep = visitorRow_->sizePolicy();
  keep.setRetainSizeWhenHidden(true);
  visitorRow_->setSizePolicy(keep);
  column->addWidget(visitorRow_);
  column->addStretch(1);

  // Badge: centred on the caption, then 56 points towards the trailing end.
  const int captionHeight = urlText->sizeHint().height();
  urlCaption->setFixedHeight(captionHeight);
  urlText->setGeometry(0, 0, kCaptionWidth, captionHeight);
  badge_->move(kCaptionWidth / 2 + 56 - 6, (captionHeight - 12) / 2);

  ShareCardController* c = controller_;
  connect(default_, &QCheckBox::toggled, c, &ShareCardController::setDefault);
  connect(enabled_, &QCheckBox::toggled, c, &ShareCardController::setEnabled);
  connect(download_, &QCheckBox::toggled, c, &ShareCardController::setDownload);
  connect(upload_, &QCheckBox::toggled, c, &ShareCardController::setUpload);
  connect(delete_, &QCheckBox::toggled, c, &ShareCardController::setDelete);
  connect(changePath, &SymbolButton::clicked, c, &ShareCardController::changePath);
  connect(openFolder, &SymbolButton::clicked, c, &ShareCardController::openFolder);
  connect(editTag_, &SymbolButton::clicked, c, [c] { c->isShowEditTagView.set(true); });
  connect(globe, &SymbolButton::clicked, c, &ShareCardController::openAccessURL);
  connect(lock, &SymbolButton::clicked, c, &ShareCardController::editAccessCode);
  connect(remove_, &QPushButton::clicked, c, &ShareCardController::askRemoval);
  connect(c, &ShareCardController::changed, this, &ViewSharingDetail::refresh);
  connect(&c->isShowEditTagView, &ShowFlag::changed, this, &ViewSharingDetail::presentTagEditor);
  refresh();
}

ViewSharingDetail::~ViewSharingDetail() { delete tagSheet_; }

QWidget* ViewSharingDetail::tagEditor() const { return tagSheet_ ? tagSheet_->content() : nullptr; }

void ViewSharingDetail::presentTagEditor(bool shown) {
  if (!shown || tagSheet_) return;
  // Over the whole window, as the window's own sheets are.
  ShareCardController* c = controller_;
  tagSheet_ = new SheetOverlay(
      c->isShowEditTagView,
      [c](QWidget* parent) -> QWidget* {
        return new SharingTagEditView(new TagEditorController(c->isShowEditTagView, c->share()), parent);
      },
      window());
}

void ViewSharingDetail::refresh() {
  const SharingObj& share = *controller_->share();
  pathCaption_->setText(controller_->pathCaption());
  // A long path or address is shortened in its middle; the tooltip has it whole.
  path_->setFullText(share.path);
  url_->setFullText(share.tagURL);
  if (accessCode_->text() != share.passwordShowing) accessCode_->setText(share.passwordShowing);
  const std::pair<QCheckBox*, bool> toggles[] = {{default_, share.isDefault},
                                                 {enabled_, share.isenabled},
                                                 {download_, share.isdownload},
                                                 {upload_, share.isupload},
                                                 {delete_, share.isfiledel}};
  for (const auto& [box, on] : toggles) {
    const QSignalBlocker block(box);
    box->setChecked(on);
  }
  badge_->setVisible(share.isDefault);
  visitorRow_->setVisible(controller_->isVisitorRowVisible());
}

void ViewSharingDetail::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath frame;
  frame.addRoundedRect(QRectF(rect()).adjusted(kPadding + 0.5, kPadding + 0.5, -kPadding - 0.5, -kPadding - 0.5), 8, 8);
  painter.setPen(
      QPen(shellpalette::color(QStringLiteral("frameBorder")), 1, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
  painter.drawPath(frame);
}
