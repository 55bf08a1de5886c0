#include "shell/sheet_overlay.h"

#include "shell/palette.h"

#include <QEvent>
#include <QPainter>

SheetOverlay::SheetOverlay(ShowFlag& flag, Factory factory, QWidget* host)
    : QWidget(host), flag_(flag), factory_(std::move(factory)) {
  hide();
  setAttribute(Qt::WA_NoMousePropagation);
  host->installEventFilter(this);
  connect(&flag_, &ShowFlag::changed, this, [this](bool shown) {
    if (shown)
      present();
    else
      dismiss();
  });
  if (flag_.value()) present();
}

void SheetOverlay::present() {
  if (content_ || !factory_) return;
  content_ = factory_(this);
  if (!content_) return;
  content_->setParent(this);
  growWindow();
  place();
  content_->show();
  show();
  raise();
  content_->setFocus();
}

void SheetOverlay::dismiss() {
  if (!content_) return;
  QWidget* content = content_;
  content_ = nullptr;
  content->hide();
  content->deleteLater();
  hide();
  restoreWindow();
  if (onDismiss_) onDismiss_();
}

void SheetOverlay::place() {
  setGeometry(parentWidget()->rect());
  if (!content_) return;
  const QSize wanted = content_->sizeHint().expandedTo(content_->minimumSize()).boundedTo(size());
  content_->resize(content_->minimumSize() == content_->maximumSize() ? content_->minimumSize() : wanted);
  content_->move((width() - content_->width()) / 2, (height() - content_->height()) / 2);
}

// A sheet larger than what it covers makes the window large enough to hold
// it while it shows, as a sheet attached to a window does.
void SheetOverlay::growWindow() {
  QWidget* top = window();
  if (top == this || content_->minimumSize() != content_->maximumSize()) return;  // only fixed-size cards
  // The window's size around the host, plus the card's.
  const QSize around = top->size() - parentWidget()->size();
  const QSize need = content_->minimumSize() + around;
  if (need.width() <= top->minimumWidth() && need.height() <= top->minimumHeight()) return;
  if (!windowMinimum_) windowMinimum_ = top->minimumSize();
  top->setMinimumSize(top->minimumSize().expandedTo(need));
}

void SheetOverlay::restoreWindow() {
  if (!windowMinimum_) return;
  window()->setMinimumSize(*windowMinimum_);
  windowMinimum_.reset();
}

bool SheetOverlay::eventFilter(QObject* watched, QEvent* event) {
  if (watched == parentWidget() && event->type() == QEvent::Resize) place();
  return QWidget::eventFilter(watched, event);
}

void SheetOverlay::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), shellpalette::color(QStringLiteral("sheetDim")));
}
