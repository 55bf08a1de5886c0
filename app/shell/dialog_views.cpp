#include "shell/dialog_views.h"

#include "core/localized.h"
#include "shell/palette.h"
#include "shell/symbol_button.h"
#include "shell/toast_view.h"

#include <QBoxLayout>
#include <QEasingCurve>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

namespace {
constexpr QSize kCardSize(480, 160);
}

// --- confirm ---

DialogConfirmView::DialogConfirmView(ShowFlag& flag, DialogConfirmSetting& setting, QWidget* parent)
    : DialogCard(kCardSize, true, parent), logic_(flag, setting) {
  setObjectName(QStringLiteral("DialogConfirmView"));
  connect(this, &DialogCard::closeClicked, this, [this] { logic_.pressClose(); });

  content()->addStretch(1);
  info_ = new QLabel;
  info_->setWordWrap(true);
  info_->setAlignment(Qt::AlignCenter);
  info_->setMaximumWidth(450);
  info_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::MinimumExpanding);
  auto* infoRow = new QHBoxLayout;
  infoRow->addStretch(0);
  infoRow->addWidget(info_, 1);
  infoRow->addStretch(0);
  content()->addLayout(infoRow);
  content()->addStretch(1);

  QBoxLayout* row = buttonRow(8, 15);
  buttons_ = row;
  row->addStretch(1);
  ok_ = makeDialogButton(L("OK"));
  ok_->setDefault(true);
  cancel_ = makeDialogButton(L("Cancel"));
  row->addWidget(ok_);
  // The OK button's right padding and the Cancel button's left padding.
  gap_ = new QSpacerItem(10 + 8, 0, QSizePolicy::Fixed, QSizePolicy::Minimum);
  row->addSpacerItem(gap_);
  row->addWidget(cancel_);
  row->addStretch(1);
  content()->addLayout(row);

  connect(ok_, &QPushButton::clicked, this, [this] { logic_.pressOK(); });
  connect(cancel_, &QPushButton::clicked, this, [this] { logic_.pressCancel(); });
  connect(&setting, &DialogConfirmSetting::changed, this, &DialogConfirmView::refresh);
  refresh();
}

void DialogConfirmView::refresh() {
  const DialogConfirmSetting& s = logic_.setting();
  setTitle(s.title());
  info_->setText(s.info());
  cancel_->setVisible(s.isBtnCancel());
  // Without Cancel the OK button has no right padding and stands alone in the middle.
  gap_->changeSize(s.isBtnCancel() ? 10 + 8 : 0, 0, QSizePolicy::Fixed, QSizePolicy::Minimum);
  buttons_->invalidate();
}

// --- loading ---

LoadingDots::LoadingDots(QWidget* parent) : QWidget(parent) {
  setFixedSize(sizeHint());
  clock_.start();
  frames_.setInterval(33);
  connect(&frames_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
  frames_.start();
}

qreal LoadingDots::dotScale(int index) const {
  // Eased back and forth between 0.5 and 1.0, 0.5 s each way, starting index x 0.2 s late.
  const qint64 t = clock_.elapsed() - index * 200;
  if (t <= 0) return 0.5;
  const qint64 phase = t % 1000;
  const qreal u = phase < 500 ? phase / 500.0 : (1000 - phase) / 500.0;
  return 0.5 + 0.5 * QEasingCurve(QEasingCurve::InOutQuad).valueForProgress(u);
}

void LoadingDots::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(shellpalette::color(QStringLiteral("gray")));
  for (int i = 0; i < 4; ++i) {
    const QPointF centre(5 + i * 18, height() / 2.0);
    const qreal r = 5 * dotScale(i);
    painter.drawEllipse(centre, r, r);
  }
}

DialogLoadingView::DialogLoadingView(ShowFlag& flag, DialogLoadingSetting& setting, QWidget* parent)
    : QWidget(parent), logic_(flag, setting) {
  setObjectName(QStringLiteral("DialogLoading"));
  setMinimumSize(300, 80);
  setAttribute(Qt::WA_StyledBackground, true);
  setStyleSheet(QStringLiteral("#DialogLoading { background: %1; border-radius: 8px; }")
                    .arg(shellpalette::color(QStringLiteral("cardBG")).name()));
  auto* layout = new QVBoxLayout(this);
  layout->addStretch(1);
  title_ = new QLabel;
  QFont bold = title_->font();
  bold.setBold(true);
  title_->setFont(bold);
  title_->setAlignment(Qt::AlignCenter);
  layout->addWidget(title_, 0, Qt::AlignHCenter);
  layout->addWidget(new LoadingDots, 0, Qt::AlignHCenter);
  layout->addStretch(1);
  connect(&setting, &DialogLoadingSetting::changed, this, &DialogLoadingView::refresh);
  refresh();
}

void DialogLoadingView::refresh() {
  const QString title = logic_.setting().title();
  title_->setText(title);
  title_->setVisible(!title.isEmpty());
}

// --- input ---

DialogInputView::DialogInputView(ShowFlag& flag, DialogInput_Setting& setting, bool isCanSubmiti, QWidget* parent)
    : DialogCard(kCardSize, true, parent), logic_(flag, setting, isCanSubmiti) {
  setObjectName(QStringLiteral("DialogInputView"));
  setCloseTrailingPadding(5);
  titleLabel()->setContentsMargins(8, 8, 0, 0);
  connect(this, &DialogCard::closeClicked, this, [this] { logic_.pressClose(); });

  content()->addStretch(1);
  tips_ = new QLabel;
  tips_->setAlignment(Qt::AlignCenter);
  content()->addWidget(tips_);
  field_ = new QLineEdit;
  field_->setPlaceholderText(QString());
  field_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  QFont fieldFont = field_->font();
  fieldFont.setPixelSize(12);
  fieldFont.setWeight(QFont::Normal);
  field_->setFont(fieldFont);
  QPalette fieldPalette = field_->palette();
  fieldPalette.setColor(QPalette::Text, shellpalette::color(QStringLiteral("editTextColor")));
  field_->setPalette(fieldPalette);
  auto* fieldRow = new QHBoxLayout;
  fieldRow->setContentsMargins(10, 0, 10, 0);
  fieldRow->addWidget(field_);
  content()->addLayout(fieldRow);
  content()->addStretch(1);

  std::tie(ok_, cancel_) = addOkCancelRow(8, 20, 10 + 8);
  ok_->setEnabled(isCanSubmiti);

  // Every keystroke goes into the record; a change made elsewhere shows at once.
  connect(field_, &QLineEdit::textEdited, this, [this](const QString& text) { logic_.setting().setValue(text); });
  connect(field_, &QLineEdit::returnPressed, this, [this] { logic_.pressReturn(); });
  connect(ok_, &QPushButton::clicked, this, [this] { logic_.pressOK(); });
  connect(cancel_, &QPushButton::clicked, this, [this] { logic_.pressCancel(); });
  connect(&setting, &DialogInput_Setting::changed, this, &DialogInputView::refresh);
  toast_ = ToastView::besideCard(logic_.toast(), this);
  refresh();
  setFocusProxy(field_);
}

void DialogInputView::refresh() {
  const DialogInput_Setting& s = logic_.setting();
  setTitle(s.title());
  tips_->setText(s.tips());
  tips_->setVisible(!s.tips().isEmpty());
  if (field_->text() != s.value()) field_->setText(s.value());
}
