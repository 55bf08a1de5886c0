#include "shell/view_qr_settings.h"

#include "core/localized.h"
#include "core/log.h"
#include "shell/service_urls.h"
#include "shell/symbol_button.h"
#include "shell/font_size.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

ViewQRSettings::ViewQRSettings(const QString& machineId, const QString& token, const QrMaker& makeQr,
                               std::function<void()> close, QWidget* parent)
    : DialogCard(QSize(480, 400), true, parent), close_(std::move(close)) {
  setObjectName(QStringLiteral("ViewQRSettings"));
  setTitle(L("高级设置"));

  address_ = serviceurls::wireText(serviceurls::settingsPageUrl(machineId, token));
  zlog::line(address_);

  QVBoxLayout* layout = content();
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
  setFontPixelSize(caption_, 14);
  auto* captionRow = new QHBoxLayout;
  captionRow->addStretch();
  captionRow->addWidget(caption_);
  captionRow->addStretch();
  auto* captionBox = new QWidget(this);
  captionBox->setFixedSize(380, 38);
  captionBox->setLayout(captionRow);
  captionRow->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(captionBox, 0, Qt::AlignHCenter);
  layout->addStretch();

  connect(this, &DialogCard::closeClicked, this, [this] {
    if (close_) close_();
  });
  image_->installEventFilter(this);
  caption_->installEventFilter(this);
}

bool ViewQRSettings::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonRelease && (watched == image_ || watched == caption_)) {
    if (close_) close_();
    return true;
  }
  return DialogCard::eventFilter(watched, event);
}
