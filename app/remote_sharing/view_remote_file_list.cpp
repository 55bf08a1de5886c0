#include "remote_sharing/view_remote_file_list.h"

#include "core/localized.h"
#include "core/util_system.h"
#include "shell/dialog_views.h"
#include "shell/main_view_parts.h"
#include "shell/palette.h"
#include "remote_sharing/view_transfer_sheets.h"
#include "shell/sheet_overlay.h"
#include "shell/symbol_button.h"
#include "shell/symbols.h"
#include "shell/wrapping_bar.h"

#include <QDragEnterEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedLayout>
#include <QStyleOptionButton>
#include <QVBoxLayout>

#include <cmath>

namespace {

constexpr int kHeaderHeight = 26;
constexpr int kIconSize = 24;
constexpr int kPageLinkSize = 24;

QColor withAlpha(const QString& name, qreal opacity) {
  QColor colour = shellpalette::color(name);
  colour.setAlphaF(float(opacity));
  return colour;
}

QStringList headerTitles() {
  return {QString(), QString(), L("RS_FileList_Name"), L("RS_FileList_Size"), L("RS_FileList_Desc"),
          L("RS_FileList_CDate")};
}

QFont boldOf(const QFont& font) {
  QFont bold = font;
  bold.setBold(true);
  return bold;
}

// Space a cell's text leaves free: 6 before it, 4 after.
constexpr int kCellPadding = 10;

// The column header: the four titled columns separated by thin dividers, at
// the rows' column widths.
class RemoteListHeader : public QWidget {
 public:
  RemoteListHeader(RemoteRowsCanvas& rows, QWidget* parent = nullptr) : QWidget(parent), rows_(rows) {
    setFixedHeight(kHeaderHeight);
    connect(&rows_, &RemoteRowsCanvas::columnsChanged, this, qOverload<>(&QWidget::update));
  }
  // Follows the rows' horizontal scrolling.
  void setOffset(int offset) {
    offset_ = offset;
    update();
  }
  QSize sizeHint() const override { return {rows_.columnLeft(6) + RemoteRowsCanvas::kSidePadding, kHeaderHeight}; }
  QSize minimumSizeHint() const override { return {0, kHeaderHeight}; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const QStringList titles = headerTitles();
    painter.setFont(boldOf(font()));
    for (int column = 2; column < 6; ++column) {
      const int x = rows_.columnLeft(column) - offset_;
      painter.setPen(shellpalette::color(QStringLiteral("gray")));
      painter.drawLine(x, height() / 2 - 6, x, height() / 2 + 6);
      painter.setPen(shellpalette::color(QStringLiteral("textPrimary")));
      painter.drawText(QRect(x + 6, 0, rows_.columnWidth(column) - 8, height()), Qt::AlignVCenter | Qt::AlignLeft,
                       titles[column]);
    }
  }

 private:
  RemoteRowsCanvas& rows_;
  int offset_ = 0;
};

}  // namespace

// ---- rows ------------------------------------------------------------------

RemoteRowsCanvas::RemoteRowsCanvas(RemoteFileListController& controller, QWidget* parent)
    : QWidget(parent), c_(controller) {
  setAcceptDrops(true);
  setAttribute(Qt::WA_OpaquePaintEvent, false);
  connect(&c_, &RemoteFileListController::rowsChanged, this, &RemoteRowsCanvas::refreshSize);
  layoutColumns();
  connect(&c_, &RemoteFileListController::rowChanged, this, [this](int i) {
    update(QRect(0, i * kRowHeight, width(), kRowHeight));
  });
}

QSize RemoteRowsCanvas::sizeHint() const {
  int width = 2 * kSidePadding + kNameMinWidth;
  for (int column : {0, 1, 3, 4, 5}) width += widths_[size_t(column)];
  return {width, int(c_.fileList().size()) * kRowHeight};
}

void RemoteRowsCanvas::refreshSize() {
  layoutColumns();
  setMinimumSize(sizeHint());
  updateGeometry();
  update();
}

QString RemoteRowsCanvas::shownDescription(const FileItem& row) {
  // The controller's record keeps its texts; only these two are words.
  if (row.extendInfo == QLatin1String("Folder") || row.extendInfo == QLatin1String("Go to parent folder"))
    return localizedString(row.extendInfo);
  return row.extendInfo;
}

void RemoteRowsCanvas::layoutColumns() {
  // Widths in fractional pixels, rounded up: with a display's fractional glyph
  // advances a text as wide as its rounded width is already elided.
  const QFontMetricsF plainF(font());
  const QFontMetricsF boldF(boldOf(font()));
  const auto plain = [&](const QString& text) { return int(std::ceil(plainF.horizontalAdvance(text))); };
  const QStringList titles = headerTitles();
  widths_[0] = int(c_.cfgColWidth()[0]);
  widths_[1] = int(c_.cfgColWidth()[1]);
  for (int column = 2; column < 6; ++column)
    widths_[size_t(column)] = int(std::ceil(boldF.horizontalAdvance(titles[column])));
  // A size is never wider than this one; a date of this form is as wide as any.
  widths_[3] = qMax(widths_[3], plain(UtilSystem::formatSize(quint64(999.99 * 1024 * 1024))));
  widths_[5] = qMax(widths_[5], plain(UtilSystem::formatTimestamp(1733560000)));
  for (const FileItem& row : c_.fileList()) {
    if (row.size >= 0) widths_[3] = qMax(widths_[3], plain(UtilSystem::formatSize(quint64(row.size))));
    widths_[4] = qMax(widths_[4], plain(shownDescription(row)));
    widths_[5] = qMax(widths_[5], plain(UtilSystem::formatTimestamp(row.createdTime)));
  }
  for (int column : {3, 4, 5}) widths_[size_t(column)] += kCellPadding;
  int rest = width() - 2 * kSidePadding;
  for (int column : {0, 1, 3, 4, 5}) rest -= widths_[size_t(column)];
  widths_[2] = qMax(kNameMinWidth, rest);
  emit columnsChanged();
}

void RemoteRowsCanvas::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layoutColumns();
}

void RemoteRowsCanvas::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // The font a style sheet or the desktop gives after construction changes every width.
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) refreshSize();
}

int RemoteRowsCanvas::columnLeft(int column) const {
  int x = kSidePadding;
  for (int k = 0; k < column; ++k) x += widths_[size_t(k)];
  return x;
}

int RemoteRowsCanvas::rowAt(QPoint point) const {
  const int i = point.y() / kRowHeight;
  return point.y() >= 0 && i < c_.fileList().size() ? i : -1;
}

void RemoteRowsCanvas::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  const QList<FileItem>& rows = c_.fileList();
  const QList<RowIcon>& icons = c_.iconList();
  const int first = qMax(0, event->rect().top() / kRowHeight);
  const int last = qMin(int(rows.size()) - 1, event->rect().bottom() / kRowHeight);
  const int rowWidth = qMax(columnLeft(6) + kSidePadding, width());
  for (int i = first; i <= last; ++i) {
    const FileItem& row = rows[i];
    const QRect band(0, i * kRowHeight, rowWidth, kRowHeight);
    if (i == c_.iHotFileIndex())
      painter.fillRect(band, withAlpha(QStringLiteral("green"), 0.3));
    else
      painter.fillRect(band, withAlpha(QStringLiteral("gray"), i % 2 == 0 ? 0.1 : 0.01));

    auto cell = [&](int column) {
      return QRect(columnLeft(column), band.top(), widths_[size_t(column)], kRowHeight);
    };
    if (!c_.isParentRow(i)) {
      QStyleOptionButton box;
      box.initFrom(this);
      const QSize indicator(style()->pixelMetric(QStyle::PM_IndicatorWidth),
                            style()->pixelMetric(QStyle::PM_IndicatorHeight));
      box.rect = QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, indicator, cell(0));
      box.state = QStyle::State_Enabled | (row.isChecked ? QStyle::State_On : QStyle::State_Off);
      style()->drawPrimitive(QStyle::PE_IndicatorCheckBox, &box, &painter, this);
    }
    if (i < icons.size()) {
      const RowIcon& icon = icons[i];
      const QRect iconRect = QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, QSize(kIconSize, kIconSize), cell(1));
      if (icon.isPreview())
        painter.drawImage(iconRect, icon.picture.scaled(iconRect.size() * devicePixelRatioF(), Qt::IgnoreAspectRatio,
                                                        Qt::SmoothTransformation));
      else
        painter.drawPixmap(iconRect, shellsymbols::image(icon.imageName, kIconSize, devicePixelRatioF()));
    }
    painter.setPen(shellpalette::color(QStringLiteral("textPrimary")));
    const auto text = [&](int column, const QString& value) {
      const QRect r = cell(column).adjusted(6, 0, -4, 0);
      painter.drawText(r, Qt::AlignVCenter | Qt::AlignLeft, fontMetrics().elidedText(value, Qt::ElideMiddle, r.width()));
    };
    text(2, row.name);
    text(3, row.size >= 0 ? UtilSystem::formatSize(quint64(row.size)) : QString());
    text(4, shownDescription(row));
    text(5, c_.isParentRow(i) ? QString() : UtilSystem::formatTimestamp(row.createdTime));
  }
  if (c_.dragOver) {
    QPen pen(shellpalette::color(QStringLiteral("activeButton")), 2, Qt::DashLine);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect().adjusted(1, 1, -2, -2));
  }
}

void RemoteRowsCanvas::mousePressEvent(QMouseEvent* event) {
  const int i = rowAt(event->position().toPoint());
  if (i < 0 || event->button() != Qt::LeftButton) return;
  const int x = int(event->position().x());
  if (x >= columnLeft(0) && x < columnLeft(1) && !c_.isParentRow(i))
    c_.toggleChecked(i);  // the row's check box
  else
    c_.selectOnly(i);
}

void RemoteRowsCanvas::mouseDoubleClickEvent(QMouseEvent* event) {
  const int i = rowAt(event->position().toPoint());
  if (i >= 0 && event->button() == Qt::LeftButton) c_.openRow(i);
}

void RemoteRowsCanvas::dragEnterEvent(QDragEnterEvent* event) {
  if (!event->mimeData()->hasUrls()) return;
  event->acceptProposedAction();
  c_.dragOver = true;
  update();
}

void RemoteRowsCanvas::dragLeaveEvent(QDragLeaveEvent*) {
  c_.dragOver = false;
  update();
}

void RemoteRowsCanvas::dropEvent(QDropEvent* event) {
  c_.dragOver = false;
  update();
  event->acceptProposedAction();
  QList<std::optional<QByteArray>> deliveries;
  for (const QUrl& url : event->mimeData()->urls()) deliveries << std::optional<QByteArray>(url.toEncoded());
  c_.onDropFiles(deliveries);
}

// ---- page ------------------------------------------------------------------

ViewSharingRemoteFileList::ViewSharingRemoteFileList(RemoteFileListController& controller, QWidget* parent)
    : QWidget(parent), c_(controller), loadingSetting_(L("Loading...")) {
  setObjectName(QStringLiteral("ViewSharingRemoteFileList"));
  stack_ = new QStackedLayout(this);
  connect(this, &QObject::destroyed, &c_, [&controller] { controller.setNoticeOnScreen(false); });

  noData_ = new QLabel(L("No Data."));
  noData_->setAlignment(Qt::AlignCenter);
  stack_->addWidget(noData_);

  loadingHolder_ = new QWidget;
  new QVBoxLayout(loadingHolder_);
  stack_->addWidget(loadingHolder_);

  notice_ = new QLabel;
  notice_->setObjectName(QStringLiteral("hostInvalidInfo"));
  notice_->setAlignment(Qt::AlignCenter);
  notice_->setWordWrap(true);
  stack_->addWidget(notice_);

  browsing_ = new QWidget;
  auto* column = new QVBoxLayout(browsing_);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(4);
  rows_ = new RemoteRowsCanvas(c_);
  scroll_ = new QScrollArea;
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setWidgetResizable(true);
  scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  auto* rowsHolder = new QWidget;
  auto* rowsLayout = new QVBoxLayout(rowsHolder);
  rowsLayout->setContentsMargins(0, 5, 0, 0);
  rowsLayout->setSpacing(0);
  rowsLayout->addWidget(rows_);
  // The host's reason is a peer's text: plain, and clipped by the controller.
  listNotice_ = new QLabel;
  listNotice_->setObjectName(QStringLiteral("listingNotice"));
  listNotice_->setTextFormat(Qt::PlainText);
  listNotice_->setAlignment(Qt::AlignCenter);
  listNotice_->setWordWrap(true);
  listNotice_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  listNotice_->setContentsMargins(16, 24, 16, 24);
  listNotice_->hide();
  rowsLayout->addWidget(listNotice_);
  rowsLayout->addStretch(1);
  scroll_->setWidget(rowsHolder);
  auto* header = new RemoteListHeader(*rows_);
  connect(scroll_->horizontalScrollBar(), &QScrollBar::valueChanged, header, &RemoteListHeader::setOffset);
  column->addWidget(header);
  column->addWidget(scroll_, 1);

  auto* toolbar = new WrappingBar(28, QMargins(10, 4, 10, 8));
  pageLinks_ = new QWidget;
  pageLinks_->setObjectName(QStringLiteral("pageLinkBar"));
  pageLinkLayout_ = new QHBoxLayout(pageLinks_);
  pageLinkLayout_->setContentsMargins(0, 0, 0, 0);
  pageLinkLayout_->setSpacing(4);
  toolbar->addLeading(pageLinks_);
  const QString tint = QStringLiteral("activeButton");
  refresh_ = new SymbolButton(QStringLiteral("arrow.counterclockwise.circle.fill"), tint, 18, L("Sys_Button_Refresh"));
  delete_ = new SymbolButton(QStringLiteral("multiply.circle"), tint, 18, L("Sys_Button_Delete"));
  upload_ = new SymbolButton(QStringLiteral("arrow.up.circle.fill"), tint, 18, L("Sys_Button_Upload"));
  download_ = new SymbolButton(QStringLiteral("arrow.down.circle.fill"), tint, 18, L("Sys_Button_Download"));
  for (SymbolButton* b : {refresh_, delete_, upload_, download_}) toolbar->addTrailing(b);
  column->addWidget(toolbar);
  stack_->addWidget(browsing_);

  connect(refresh_, &SymbolButton::clicked, this, [this] { c_.getFileList(c_.pathCurrent()); });
  connect(delete_, &SymbolButton::clicked, this, [this] { c_.askDeleteChecked(); });
  connect(upload_, &SymbolButton::clicked, this, [this] { c_.openUploadSheet(); });
  connect(download_, &SymbolButton::clicked, this, [this] { c_.openDownloadForChecked(); });

  // The delete confirmation and the two transfer sheets, over this page.
  deleteConfirm_.setTitle(L("RS_FileList_DelConfirm"));
  deleteConfirm_.setInfo(QString());
  deleteConfirm_.setOkAction([this] { c_.deleteCheckedFiles(); });
  new SheetOverlay(c_.isShowingDialog, [this](QWidget* parent) {
    return new DialogConfirmView(c_.isShowingDialog, deleteConfirm_, parent);
  }, this);
  new SheetOverlay(c_.isShowDownload, [this](QWidget* parent) {
    return new ViewSharingRemoteDownload(c_.ctlDownload(), c_.isShowDownload, parent);
  }, this);
  new SheetOverlay(c_.isShowUpload, [this](QWidget* parent) {
    return new ViewSharingRemoteUpload(c_.ctlUpload(), c_.isShowUpload, parent);
  }, this);

  connect(&c_, &RemoteFileListController::stateChanged, this, &ViewSharingRemoteFileList::refresh);
  connect(&c_, &RemoteFileListController::rowsChanged, this, [this] {
    visibleFirst_ = 0;
    visibleLast_ = -1;
    scroll_->verticalScrollBar()->setValue(0);
    QMetaObject::invokeMethod(this, &ViewSharingRemoteFileList::enqueueVisibleRows, Qt::QueuedConnection);
  });
  connect(scroll_->verticalScrollBar(), &QScrollBar::valueChanged, this,
          &ViewSharingRemoteFileList::enqueueVisibleRows);
  refresh();
}

QString ViewSharingRemoteFileList::shownState() const {
  QWidget* current = stack_->currentWidget();
  if (current == noData_) return QStringLiteral("noData");
  if (current == loadingHolder_) return QStringLiteral("loading");
  if (current == notice_) return QStringLiteral("invalid");
  return QStringLiteral("browsing");
}

void ViewSharingRemoteFileList::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  c_.setNoticeOnScreen(true);
  if (appeared_) return;
  appeared_ = true;
  c_.onAppearFileList();
}

void ViewSharingRemoteFileList::refresh() {
  // The loading dialog is built for each showing: its clock starts with it.
  if (c_.isLoading.value() && !loading_) {
    loading_ = new DialogLoadingView(c_.isLoading, loadingSetting_);
    loadingHolder_->layout()->addWidget(loading_);
    loadingHolder_->layout()->setAlignment(loading_, Qt::AlignCenter);
  } else if (!c_.isLoading.value() && loading_) {
    loading_->deleteLater();
    loading_ = nullptr;
  }

  if (!c_.rhActive())
    stack_->setCurrentWidget(noData_);
  else if (c_.isLoading.value())
    stack_->setCurrentWidget(loadingHolder_);
  else if (int(c_.conStatus()) >= 2)
    stack_->setCurrentWidget(notice_);
  else
    stack_->setCurrentWidget(browsing_);
  notice_->setText(c_.hostInvalidInfo());
  listNotice_->setText(c_.listingNotice());
  listNotice_->setVisible(!c_.listingNotice().isEmpty());

  delete_->setEnabled(c_.isfiledel());
  upload_->setEnabled(c_.isupload());
  download_->setEnabled(c_.isdownload());
  pageLinks_->setVisible(c_.isShowPageLinkBar());
  if (c_.pageLinkList() != shownLinks_ || c_.pageIndex() != shownPageIndex_) rebuildPageLinks();
}

void ViewSharingRemoteFileList::rebuildPageLinks() {
  shownLinks_ = c_.pageLinkList();
  shownPageIndex_ = int(c_.pageIndex());
  while (QLayoutItem* item = pageLinkLayout_->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  const QString current = QString::number(c_.pageIndex());
  for (const QString& k : shownLinks_) {
    if (k == current) {
      auto* label = new QLabel(k);
      label->setObjectName(QStringLiteral("currentPage"));
      label->setAlignment(Qt::AlignCenter);
      label->setFixedSize(kPageLinkSize, kPageLinkSize);
      label->setStyleSheet(QStringLiteral("QLabel { color: white; background: %1; border-radius: 6px; }")
                               .arg(shellpalette::color(QStringLiteral("green")).name()));
      pageLinkLayout_->addWidget(label);
      continue;
    }
    auto* button = new QPushButton(k);
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setFixedSize(kPageLinkSize, kPageLinkSize);
    button->setStyleSheet(QStringLiteral("QPushButton { background: rgba(142, 142, 147, 51); border-radius: 6px; "
                                         "border: none; padding: 0; }"));
    connect(button, &QPushButton::clicked, this, [this, k] { c_.pageLinkAction(k); });
    pageLinkLayout_->addWidget(button);
  }
}

void ViewSharingRemoteFileList::enqueueVisibleRows() {
  if (c_.fileList().isEmpty()) return;
  const int top = scroll_->verticalScrollBar()->value();
  const int height = scroll_->viewport()->height();
  const int offset = rows_->mapTo(scroll_->widget(), QPoint(0, 0)).y();
  const int first = qMax(0, (top - offset) / RemoteRowsCanvas::kRowHeight);
  const int last = qMin(int(c_.fileList().size()) - 1, (top - offset + height) / RemoteRowsCanvas::kRowHeight);
  // Rows that came into view since the last look, top to bottom.
  for (int i = first; i <= last; ++i)
    if (i < visibleFirst_ || i > visibleLast_) c_.enqueueThumbTask(i);
  visibleFirst_ = first;
  visibleLast_ = last;
}
