#include "shell/dialog_card.h"

#include "core/localized.h"
#include "shell/palette.h"
#include "shell/symbol_button.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
constexpr int kPadding = 1;
constexpr qreal kRadius = 8;
constexpr qreal kBorder = 2;
constexpr int kCloseSymbol = 18;
constexpr int kButtonLabelWidth = 66;
}  // namespace

DialogCard::DialogCard(QSize size, bool withCloseSymbol, QWidget* parent) : QWidget(parent) {
  setFixedSize(size + QSize(2 * kPadding, 2 * kPadding));
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(kPadding + 1, kPadding + 1, kPadding + 1, kPadding + 1);
  outer->setSpacing(0);

  auto* row = new QHBoxLayout;
  row->setSpacing(0);
  row->setContentsMargins(0, 0, 0, 0);
  if (withCloseSymbol) {
    close_ = new SymbolButton(QStringLiteral("multiply.circle.fill"), QStringLiteral("btnRed"), kCloseSymbol);
    close_->setObjectName(QStringLiteral("closeSymbol"));
    connect(close_, &SymbolButton::clicked, this, &DialogCard::closeClicked);
    auto* closeBox = new QVBoxLayout;
    closeBox->setContentsMargins(8, 8, 0, 0);
    closeBox->addWidget(close_);
    row->addLayout(closeBox);
  }
  row->addStretch(1);
  title_ = new QLabel;
  title_->setTextFormat(Qt::PlainText);  // titles may name a peer: shown, never rendered
  title_->setObjectName(QStringLiteral("cardTitle"));
  QFont bold = title_->font();
  bold.setBold(true);
  title_->setFont(bold);
  title_->setContentsMargins(0, 8, 8, 0);
  row->addWidget(title_);
  row->addStretch(1);
  titleRow_ = row;
  outer->addLayout(row);

  auto* divider = new QFrame;
  divider->setFrameShape(QFrame::HLine);
  divider->setFrameShadow(QFrame::Plain);
  divider->setStyleSheet(QStringLiteral("color: %1").arg(shellpalette::color(QStringLiteral("bannerBorder")).name()));
  auto* dividerBox = new QVBoxLayout;
  dividerBox->setContentsMargins(0, 8, 0, 0);
  dividerBox->addWidget(divider);
  outer->addLayout(dividerBox);

  content_ = new QVBoxLayout;
  content_->setContentsMargins(0, 0, 0, 0);
  content_->setSpacing(6);
  outer->addLayout(content_, 1);
}

void DialogCard::setTitle(const QString& title) {
  title_->setText(title);
  title_->setVisible(!title.isEmpty());
}

QString DialogCard::title() const { return title_->text(); }

void DialogCard::setCloseTrailingPadding(int padding) {
  if (close_) titleRow_->insertSpacing(1, padding);
}

QBoxLayout* DialogCard::buttonRow(int leftPadding, int bottomPadding) {
  auto* row = new QHBoxLayout;
  row->setContentsMargins(leftPadding, 0, 0, bottomPadding);
  row->setSpacing(0);
  return row;
}

std::pair<QPushButton*, QPushButton*> DialogCard::addOkCancelRow(int leftPadding, int bottomPadding, int gap) {
  QBoxLayout* row = buttonRow(leftPadding, bottomPadding);
  QPushButton* ok = makeDialogButton(L("Sys_Button_OK"));
  QPushButton* cancel = makeDialogButton(L("Sys_Button_Cancel"));
  row->addStretch(1);
  row->addWidget(ok);
  row->addSpacing(gap);
  row->addWidget(cancel);
  row->addStretch(1);
  content_->addLayout(row);
  return {ok, cancel};
}

void DialogCard::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF card = QRectF(rect()).adjusted(kPadding + kBorder / 2, kPadding + kBorder / 2,
                                              -kPadding - kBorder / 2, -kPadding - kBorder / 2);
  QPainterPath path;
  path.addRoundedRect(card, kRadius, kRadius);
  painter.fillPath(path, shellpalette::color(QStringLiteral("cardBG")));
  painter.setPen(QPen(shellpalette::color(QStringLiteral("frameBorder")), kBorder));
  painter.drawPath(path);
}

QPushButton* makeDialogButton(const QString& text, QWidget* parent) {
  auto* button = new QPushButton(text, parent);
  button->setMinimumWidth(kButtonLabelWidth + 14);
  button->setAutoDefault(false);
  return button;
}
