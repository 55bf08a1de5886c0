#include "shell/main_view_parts.h"

#include "core/localized.h"
#include "shell/palette.h"
#include "shell/symbols.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// Sizes are in device-independent pixels, the unit of the window's own sizes.
QLabel* textLabel(const QString& text, int size, bool bold) {
  auto* label = new QLabel(text);
  QFont font = label->font();
  font.setPixelSize(size);
  font.setBold(bold);
  label->setFont(font);
  return label;
}

}  // namespace

// --- banner ---

BannerView::BannerView(MainViewState& state, QWidget* parent) : QWidget(parent), state_(state) {
  setObjectName(QStringLiteral("Main_BannerView"));
  setCursor(Qt::PointingHandCursor);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(10, 20, 10, 0);
  row->setSpacing(8);

  auto* logo = new QLabel;
  logo->setPixmap(shellsymbols::image(QStringLiteral("kelvor"), 60, devicePixelRatioF()));
  logo->setFixedSize(60, 60);
  row->addWidget(logo, 0, Qt::AlignVCenter);

  auto* title = new QHBoxLayout;
  title->setSpacing(8);
  auto* product = textLabel(L("Zarkelo"), 36, true);
  product->setObjectName(QStringLiteral("productName"));
  title->addWidget(product, 0, Qt::AlignBaseline);
  dash_ = textLabel(QStringLiteral("-"), 24, false);
  title->addWidget(dash_, 0, Qt::AlignBaseline);
  pageTitle_ = textLabel(QString(), 24, false);
  pageTitle_->setObjectName(QStringLiteral("pageTitle"));
  title->addWidget(pageTitle_, 0, Qt::AlignBaseline);
  title->addStretch(1);
  row->addLayout(title, 1);

  auto* person = new QLabel;
  person->setPixmap(shellsymbols::symbol(QStringLiteral("person.crop.circle.fill"), QStringLiteral("navDisabled"), 32,
                                         devicePixelRatioF()));
  person->setFixedSize(32, 32);
  row->addWidget(person, 0, Qt::AlignVCenter);
  userName_ = new QLabel;
  userName_->setObjectName(QStringLiteral("userName"));
  userName_->setFixedWidth(120);
  userName_->setAlignment(Qt::AlignCenter);
  row->addWidget(userName_, 0, Qt::AlignVCenter);

  connect(&state_, &MainViewState::pageChanged, this, &BannerView::refresh);
  connect(&state_, &MainViewState::userNameChanged, this, &BannerView::refresh);
  refresh();
}

void BannerView::refresh() {
  // The page title shows only while the index names a page.
  pageTitle_->setText(state_.bannerTitle());
  pageTitle_->setVisible(!state_.bannerTitle().isEmpty());
  userName_->setText(fontMetrics().elidedText(state_.userName(), Qt::ElideRight, 120));
  userName_->setToolTip(state_.userName());
}

void BannerView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) state_.bannerTapped();
}

BannerSeparator::BannerSeparator(QWidget* parent) : QWidget(parent) { setFixedHeight(14); }

void BannerSeparator::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  // A divider with 5 points of padding at both sides, outlined by a rounded rectangle.
  const QRectF outline = QRectF(rect()).adjusted(6.5, 1.5, -6.5, -1.5);
  QPainterPath path;
  path.addRoundedRect(outline, 8, 8);
  painter.setPen(QPen(shellpalette::color(QStringLiteral("bannerBorder")), 3));
  painter.drawPath(path);
  painter.setPen(QPen(shellpalette::color(QStringLiteral("frameBorder")), 1));
  const qreal y = height() / 2.0;
  painter.drawLine(QPointF(outline.left() + 5, y), QPointF(outline.right() - 5, y));
}

// --- side navigation ---

SideNavItemView::SideNavItemView(MainViewState& parentState, const QString& icon, int index, QWidget* parent)
    : QWidget(parent), parent_(parentState), icon_(icon), index_(index) {
  setObjectName(QStringLiteral("navItem%1").arg(index));
  setFixedSize(32 + 2 * 10 + 4, 32 + 2 * 10 + 4);
  setCursor(Qt::PointingHandCursor);
  connect(&parent_, &MainViewState::pageChanged, this, qOverload<>(&QWidget::update));
}

void SideNavItemView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF box = QRectF(rect()).adjusted(2, 2, -2, -2);
  QPainterPath path;
  path.addRoundedRect(box, 15, 15);
  painter.fillPath(path, shellpalette::color(QStringLiteral("navBG")));
  painter.setPen(QPen(shellpalette::color(parent_.colorShowingViewBorder().value(index_)), 4));
  painter.drawPath(path);
  const QString tint = parent_.colorShowingView().value(index_);
  painter.drawPixmap(12, 12, shellsymbols::symbol(icon_, tint, 32, devicePixelRatioF()));
}

void SideNavItemView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) parent_.selectTab(index_);
}

// --- quit question ---

QuitQuestionView::QuitQuestionView(MainViewState& state, QWidget* parent)
    : DialogCard(QSize(480, 160), false, parent) {
  setObjectName(QStringLiteral("QuitQuestion"));
  setTitle(L("您确定要退出『Zarkelo』吗？"));
  content()->addStretch(1);
  auto* message = new QLabel(L("退出后所有共享将被停止"));
  message->setAlignment(Qt::AlignCenter);
  message->setWordWrap(true);
  content()->addWidget(message);
  content()->addStretch(1);
  QBoxLayout* row = buttonRow(8, 15);
  row->addStretch(1);
  quit_ = makeDialogButton(L("退出"));
  quit_->setObjectName(QStringLiteral("quitAction"));
  // The destructive action: red, bold.
  QPalette red = quit_->palette();
  red.setColor(QPalette::ButtonText, shellpalette::color(QStringLiteral("btnRed")));
  quit_->setPalette(red);
  QFont bold = quit_->font();
  bold.setBold(true);
  quit_->setFont(bold);
  cancel_ = makeDialogButton(L("Cancel"));
  cancel_->setDefault(true);
  row->addWidget(quit_);
  row->addSpacing(18);
  row->addWidget(cancel_);
  row->addStretch(1);
  content()->addLayout(row);
  connect(quit_, &QPushButton::clicked, this, [&state] { state.answerQuit(true); });
  connect(cancel_, &QPushButton::clicked, this, [&state] { state.answerQuit(false); });
}

// --- placeholders ---

PlaceholderPage::PlaceholderPage(const QString& title, const QString& symbolName, QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("placeholderPage"));
  auto* layout = new QVBoxLayout(this);
  layout->addStretch(1);
  if (!symbolName.isEmpty()) {
    auto* icon = new QLabel;
    icon->setPixmap(shellsymbols::symbol(symbolName, QStringLiteral("navDisabled"), 64, devicePixelRatioF()));
    layout->addWidget(icon, 0, Qt::AlignHCenter);
  }
  auto* label = textLabel(title, 20, false);
  label->setObjectName(QStringLiteral("placeholderTitle"));
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, shellpalette::color(QStringLiteral("textSecondary")));
  label->setPalette(palette);
  layout->addWidget(label, 0, Qt::AlignHCenter);
  layout->addStretch(1);
}

PlaceholderSheet::PlaceholderSheet(const QString& title, ShowFlag& flag, QSize size, QWidget* parent)
    : DialogCard(size, true, parent) {
  setObjectName(QStringLiteral("placeholderSheet"));
  setTitle(title);
  content()->addStretch(1);
  connect(this, &DialogCard::closeClicked, this, [&flag] { flag.set(false); });
}
