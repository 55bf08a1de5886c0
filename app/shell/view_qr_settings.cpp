#include "shell/view_qr_settings.h"

#include "core/localized.h"
#include "core/log.h"
#include "shell/service_urls.h"

#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QVBoxLayout>

ViewQRSettings::ViewQRSettings(const QString& machineId, const QString& token, const QrMaker& makeQr,
                               std::function<void()> close, QWidget* parent)
    : QWidget(parent), close_(std::move(close)) {
  setObjectName(QStringLiteral("ViewQRSettings"));
  setFixedSize(482, 402);
  setAutoFillBackground(true);

  address_ = serviceurls::wireText(serviceurls::settingsPageUrl(machineId, token));
  zlog::line(address_);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(1, 1, 1, 1);
  auto* titleRow = new QHBoxLayout;
  closeSymbol_ = new QLabel(QStringLiteral("✖"), this);
  closeSymbol_->setObjectName(QStringLiteral("close"));
  closeSymbol_->setStyleSheet(QStringLiteral("color: #d9453d; padding: 8px 0 0 8px;"));
  closeSymbol_->setCursor(Qt::PointingHandCursor);
  titleRow->addWidget(closeSymbol_);
  titleRow->addStretch();
  auto* title = new QLabel(L("高级设置"), this);
  QFont bold = title->font();
  bold.setBold(true);
  title->setFont(bold);
  title->setStyleSheet(QStringLiteral("padding: 8px 8px 0 0;"));
  titleRow->addWidget(title);
  titleRow->addStretch();
  layout->addLayout(titleRow);
  auto* line = new QFrame(this);
  line->setFrameShape(QFrame::HLine);
  layout->addWidget(line);
  layout->addStretch();

  image_ = new QLabel(this);
  image_->setObjectName(QStringLiteral("qr"));
  image_->setFixedSize(200, 200);
  if (makeQr) image_->setPixmap(QPixmap::fromImage(makeQr(address_, 200)));
  layout->addWidget(image_, 0, Qt::AlignHCenter);

  caption_ = new QLabel(L("微信扫码后，在小程序中进行设置"), this);
  caption_->setObjectName(QStringLiteral("caption"));
  caption_->setFixedWidth(300);
  caption_->setWordWrap(true);
  caption_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  QFont captionFont = caption_->font();
  captionFont.setPointSize(14);
  caption_->setFont(captionFont);
  auto* captionRow = new QHBoxLayout;
  captionRow->addStretch();
  captionRow->addWidget(caption_);
  captionRow->addStretch();
  layout->addLayout(captionRow);
  layout->addStretch();

  for (QLabel* tappable : {closeSymbol_, image_, caption_}) tappable->installEventFilter(this);
}

bool ViewQRSettings::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonRelease &&
      (watched == closeSymbol_ || watched == image_ || watched == caption_)) {
    if (close_) close_();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void ViewQRSettings::paintEvent(QPaintEvent* event) {
  QWidget::paintEvent(event);
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(palette().color(QPalette::Mid), 2));
  painter.drawRoundedRect(rect().adjusted(1, 1, -1, -1), 8, 8);
}
