#include "shell/toast_view.h"

#include "shell/palette.h"
#include "shell/symbols.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QTextDocument>
#include <QTextEdit>
#include <QtMath>

#include <optional>

namespace {

constexpr int kAlertIcon = 44;
constexpr int kBannerIcon = 20;
constexpr int kPopMs = 180;

using Mode = AlertToast::DisplayMode;
using Type = AlertToast::Type;

// The symbol drawn for a toast type, and its colour.
QString symbolFor(const AlertToast& toast) {
  switch (toast.type) {
    case Type::complete:
      return QStringLiteral("checkmark.circle.fill");
    case Type::error:
      return QStringLiteral("multiply.circle.fill");
    case Type::systemImage:
      return toast.imageName;
    case Type::loading:
      return QStringLiteral("loading");
    case Type::image:
    case Type::regular:
      break;
  }
  return QString();
}

QFont titleFont(const QFont& base, Mode mode) {
  QFont font = base;
  font.setBold(true);
  font.setPixelSize(mode == Mode::alert ? 14 : 13);
  return font;
}

QFont subTitleFont(const QFont& base) {
  QFont font = base;
  font.setPixelSize(12);
  return font;
}

bool hasIcon(const AlertToast& toast) {
  return toast.type == Type::image ? !toast.imageName.isEmpty() : !symbolFor(toast).isEmpty();
}

// A three-quarter ring, the "loading" type's mark.
QPixmap spinner(int size, qreal dpr) {
  QPixmap pixmap(qRound(size * dpr), qRound(size * dpr));
  pixmap.setDevicePixelRatio(dpr);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal pen = size / 9.0;
  painter.setPen(QPen(shellpalette::color(QStringLiteral("gray")), pen, Qt::SolidLine, Qt::RoundCap));
  painter.drawArc(QRectF(pen, pen, size - 2 * pen, size - 2 * pen), 90 * 16, 270 * 16);
  return pixmap;
}

QPixmap iconFor(const AlertToast& toast, int size, qreal dpr) {
  if (toast.type == Type::image) return shellsymbols::image(toast.imageName, size, dpr);
  if (toast.type == Type::loading) return spinner(size, dpr);
  return shellsymbols::symbol(symbolFor(toast), toast.color.isEmpty() ? QStringLiteral("gray") : toast.color, size,
                              dpr);
}

// Where the controls of `host` that the user sees lie, in host coordinates:
// those of the topmost open sheet when one is open, else all of them.
QList<QRect> controlsInView(const QWidget* host, const QWidget* toast) {
  const QWidget* scope = host;
  for (QObject* child : host->children()) {
    auto* widget = qobject_cast<QWidget*>(child);
    if (widget && widget->isVisible() && widget->inherits("SheetOverlay")) scope = widget;
  }
  QList<QRect> rects;
  for (const QWidget* widget : scope->findChildren<QWidget*>()) {
    if (widget == toast || toast->isAncestorOf(widget) || widget->isWindow() || !widget->isVisible()) continue;
    const QPoint at = widget->mapTo(host, QPoint(0, 0));
    if (const auto* label = qobject_cast<const QLabel*>(widget)) {
      // A label covers only where its text or picture lies.
      QSize shown = label->pixmap().isNull() ? label->sizeHint() : label->pixmap().deviceIndependentSize().toSize();
      if (label->text().isEmpty() && label->pixmap().isNull()) continue;
      const QRect box = label->contentsRect();
      shown = shown.boundedTo(box.size());
      rects << QStyle::alignedRect(label->layoutDirection(), label->alignment(), shown, box).translated(at);
    } else if (qobject_cast<const QAbstractButton*>(widget) || qobject_cast<const QLineEdit*>(widget) ||
               qobject_cast<const QComboBox*>(widget) || widget->inherits("DialogCard")) {  // a sheet's card whole
      rects << QRect(at, widget->size());
    }
  }
  return rects;
}

// The box of `size` nearest the middle of `host` that covers none of its
// controls, if there is one.
std::optional<QPoint> freePlace(const QWidget* host, const QWidget* toast, QSize size) {
  const QList<QRect> controls = controlsInView(host, toast);
  const QPoint middle((host->width() - size.width()) / 2, (host->height() - size.height()) / 2);
  const auto isFree = [&](QPoint at) {
    const QRect box = QRect(at, size).adjusted(-4, -4, 4, 4);
    for (const QRect& control : controls)
      if (box.intersects(control)) return false;
    return true;
  };
  constexpr int kStep = 8;
  const int spanY = qMax(0, host->height() - size.height()) / 2;
  const int spanX = qMax(0, host->width() - size.width()) / 2;
  for (int dy = 0; dy <= spanY; dy += kStep)
    for (int dx = 0; dx <= spanX; dx += kStep)
      for (const QPoint at : {middle + QPoint(dx, dy), middle + QPoint(dx, -dy), middle + QPoint(-dx, dy),
                              middle + QPoint(-dx, -dy)})
        if (isFree(at)) return at;
  return std::nullopt;
}

}  // namespace

ToastView::ToastView(ToastState& state, QWidget* host) : QWidget(host), state_(state) {
  hide();
  setCursor(Qt::PointingHandCursor);
  host->installEventFilter(this);
  subText_ = new QTextEdit(this);
  subText_->setObjectName(QStringLiteral("toastSubTitle"));
  subText_->setReadOnly(true);
  subText_->setAcceptRichText(false);
  subText_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  subText_->setFrameShape(QFrame::NoFrame);
  subText_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  subText_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  subText_->setContextMenuPolicy(Qt::DefaultContextMenu);
  // A path has no blanks: it wraps anywhere where no word boundary is left.
  subText_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  subText_->document()->setDocumentMargin(0);
  subText_->viewport()->setAutoFillBackground(false);
  subText_->viewport()->setCursor(Qt::IBeamCursor);
  subText_->hide();
  pop_.setDuration(kPopMs);
  pop_.setStartValue(0.7);
  pop_.setEndValue(1.0);
  pop_.setEasingCurve(QEasingCurve::OutBack);
  connect(&pop_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
    scale_ = value.toReal();
    update();
  });
  // The subtitle's text does not scale with the pop: it shows once the box has its size.
  connect(&pop_, &QVariantAnimation::finished, this, [this] { subText_->setVisible(state_.toast().subTitle.has_value()); });
  connect(&state_.isShowToast(), &ShowFlag::changed, this, [this](bool shown) {
    if (shown)
      appear();
    else
      hide();
  });
  connect(&state_, &ToastState::toastChanged, this, [this] {
    if (state_.isShown()) appear();
  });
}

ToastView* ToastView::besideCard(ToastState& state, QWidget* card) {
  QWidget* host = card->parentWidget() ? card->parentWidget() : card;
  auto* toast = new ToastView(state, host);
  if (host != card)
    connect(card, &QObject::destroyed, toast, [toast] {
      toast->hide();  // its state went with the card
      toast->deleteLater();
    });
  return toast;
}

void ToastView::appear() {
  const AlertToast& toast = state_.toast();
  subText_->hide();
  if (toast.subTitle) {
    subText_->setFont(subTitleFont(font()));
    subText_->setStyleSheet(QStringLiteral("QTextEdit { background: transparent; color: %1; }")
                                .arg(shellpalette::color(QStringLiteral("textSecondary")).name(QColor::HexArgb)));
    subText_->setPlainText(*toast.subTitle);
  }
  place();
  show();
  raise();
  scale_ = 0.7;
  pop_.stop();
  pop_.start();
  update();
}

int ToastView::subTitleHeight(int width) {
  if (!state_.toast().subTitle) return 0;
  QTextDocument* document = subText_->document();
  document->setTextWidth(width);
  return qCeil(document->size().height());
}

int ToastView::layOut(int width, bool iconAbove) {
  const AlertToast& toast = state_.toast();
  const QFontMetrics title(titleFont(font(), toast.displayMode));
  const bool icon = hasIcon(toast);
  const int iconSide = iconAbove ? kAlertIcon : kBannerIcon;
  const int left = iconAbove ? 16 : 16 + (icon ? kBannerIcon + 8 : 0);
  const int inner = qMax(40, width - left - (iconAbove ? 16 : 12));
  const int alignment = iconAbove ? Qt::AlignHCenter : Qt::AlignLeft;
  const int titleHeight =
      title.boundingRect(QRect(0, 0, inner, 10000), alignment | Qt::TextWordWrap, toast.title).height();
  QTextOption option = subText_->document()->defaultTextOption();
  option.setAlignment(Qt::Alignment(alignment));
  subText_->document()->setDefaultTextOption(option);
  const int subHeight = subTitleHeight(inner);
  const int text = titleHeight + (toast.subTitle ? 4 + subHeight : 0);
  const int pad = iconAbove ? 12 : 8;
  int height = 0;
  if (iconAbove) {
    const int block = (icon ? kAlertIcon + 12 : 0) + text;
    height = qMax(60, block + 2 * pad);
    int y = (height - block) / 2;
    icon_ = icon ? QRect((width - kAlertIcon) / 2, y, kAlertIcon, kAlertIcon) : QRect();
    if (icon) y += kAlertIcon + 12;
    title_ = QRect(left, y, inner, titleHeight);
  } else {
    height = qMax(38, text + 2 * pad);
    const int y = (height - text) / 2;
    icon_ = icon ? QRect(16, (height - iconSide) / 2, iconSide, iconSide) : QRect();
    title_ = QRect(left, y, inner, titleHeight);
  }
  sub_ = toast.subTitle ? QRect(left, title_.bottom() + 1 + 4, inner, subHeight) : QRect();
  return height;
}

void ToastView::place() {
  const AlertToast& toast = state_.toast();
  const QWidget* host = parentWidget();
  const QFontMetrics title(titleFont(font(), toast.displayMode));
  const QFontMetrics sub(subTitleFont(font()));
  const int textWidth = qMax(title.horizontalAdvance(toast.title),
                             toast.subTitle ? sub.horizontalAdvance(*toast.subTitle) : 0);
  const int iconSpace = hasIcon(toast) ? kBannerIcon + 8 : 0;
  const auto setBox = [this](QPoint at, QSize size) {
    setGeometry(QRect(at, size));
    subText_->setGeometry(sub_);
  };
  if (toast.displayMode == Mode::alert) {
    const int maxWidth = qMax(120, qMin(host->width() - 40, 360));
    const int width = qBound(150, textWidth + 40, maxWidth);
    // Near the middle, but leaving the fields and buttons in view; where the
    // box does not fit between them, a one-line box with the icon beside the text.
    const QSize size(width, layOut(width, true));
    compact_ = false;
    if (const auto at = freePlace(host, this, size)) return setBox(*at, size);
    const int compactWidth = qMin(qMax(120, host->width() - 24), textWidth + iconSpace + 32);
    const QSize small(compactWidth, layOut(compactWidth, false));
    if (const auto at = freePlace(host, this, small)) {
      compact_ = true;
      return setBox(*at, small);
    }
    const QSize middle(width, layOut(width, true));
    setBox(QPoint((host->width() - width) / 2, (host->height() - middle.height()) / 2), middle);
  } else {
    // Banners sit at the bottom of the host, the heads-up at its top; a long title wraps.
    const int width = qMin(qMax(120, host->width() - 24), textWidth + iconSpace + 32);
    const int height = layOut(width, false);
    const int y = toast.displayMode == Mode::hud ? 8 : host->height() - height - 8;
    setBox(QPoint((host->width() - width) / 2, y), QSize(width, height));
  }
}

void ToastView::paintEvent(QPaintEvent*) {
  const AlertToast& toast = state_.toast();
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.translate(width() / 2.0, height() / 2.0);
  painter.scale(scale_, scale_);
  painter.translate(-width() / 2.0, -height() / 2.0);

  const QRectF box = QRectF(rect()).adjusted(1, 1, -1, -1);
  const bool alert = toast.displayMode == Mode::alert && !compact_;
  QPainterPath path;
  const qreal radius = toast.displayMode == Mode::alert ? 12 : qMin<qreal>(box.height() / 2, 19);
  path.addRoundedRect(box, radius, radius);
  painter.fillPath(path, shellpalette::color(QStringLiteral("toastBG")));
  painter.setPen(QPen(shellpalette::color(QStringLiteral("frameBorder")), 1));
  painter.drawPath(path);

  if (!icon_.isNull()) painter.drawPixmap(icon_.topLeft(), iconFor(toast, icon_.width(), devicePixelRatioF()));
  painter.setPen(shellpalette::color(QStringLiteral("textPrimary")));
  painter.setFont(titleFont(font(), toast.displayMode));
  painter.drawText(title_, (alert ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignTop | Qt::TextWordWrap, toast.title);
}

void ToastView::mousePressEvent(QMouseEvent* event) {
  event->accept();
  state_.dismiss();
}

bool ToastView::eventFilter(QObject* watched, QEvent* event) {
  // Placed again once the host has laid out its children at the new size.
  if (watched == parentWidget() && event->type() == QEvent::Resize && isVisible())
    QMetaObject::invokeMethod(this, [this] {
      if (isVisible()) place();
    }, Qt::QueuedConnection);
  return QWidget::eventFilter(watched, event);
}
