#include "remote_sharing/view_transfer_sheets.h"

#include "core/localized.h"
#include "shell/symbol_button.h"
#include "shell/symbols.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {

constexpr QSize kSheetSize(480, 200);

QProgressBar* makeProgress() {
  auto* bar = new QProgressBar;
  bar->setRange(0, 100);
  bar->setTextVisible(false);
  bar->setFixedWidth(420);
  return bar;
}

QWidget* column(std::initializer_list<QWidget*> widgets) {
  auto* holder = new QWidget;
  auto* layout = new QVBoxLayout(holder);
  layout->setAlignment(Qt::AlignCenter);
  for (QWidget* w : widgets) layout->addWidget(w, 0, Qt::AlignHCenter);
  return holder;
}

// A row of `widgets` centred between two stretches.
QHBoxLayout* centredRow(std::initializer_list<QWidget*> widgets) {
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  for (QWidget* w : widgets) row->addWidget(w);
  row->addStretch(1);
  return row;
}

// The card's status area in the middle of `content`: a page a state, see pageOf().
QStackedWidget* addStatusPages(QVBoxLayout* content, std::initializer_list<QWidget*> pages) {
  auto* stack = new QStackedWidget;
  for (QWidget* w : pages) stack->addWidget(w);
  content->addStretch(1);
  content->addWidget(stack);
  content->addStretch(1);
  return stack;
}

// The status area's page for a sheet's state: the choice before the start,
// the progress, the finish line, or nothing while preparing or cancelled.
QWidget* pageOf(RemoteSharingDownloadStatus status, QWidget* choice, QWidget* running, QWidget* finished,
                QWidget* blank) {
  switch (status) {
    case RemoteSharingDownloadStatus::dsNone:
      return choice;
    case RemoteSharingDownloadStatus::dsRunning:
      return running;
    case RemoteSharingDownloadStatus::dsFinished:
      return finished;
    default:
      return blank;
  }
}

// The red symbol of a transfer that did not bring everything.
QLabel* failureSymbol() {
  auto* label = new QLabel;
  label->setPixmap(shellsymbols::symbol(QStringLiteral("multiply.circle.fill"), QStringLiteral("btnRed"), 22,
                                        qApp ? qApp->devicePixelRatio() : 1.0));
  label->setVisible(false);
  return label;
}

// The finish lines: wrapped where a line is longer than this, so that the
// wrapped lines claim their height.
constexpr int kFinishWidth = 380;

QLabel* makeFinishLine() {
  auto* label = new QLabel;
  label->setTextFormat(Qt::PlainText);  // the host's and the system's words
  label->setWordWrap(true);
  return label;
}

void setFinishText(QLabel* label, const QString& text) {
  label->setText(text);
  int widest = 0;
  for (const QString& line : text.split(QLatin1Char('\n')))
    widest = qMax(widest, label->fontMetrics().horizontalAdvance(line));
  label->setFixedWidth(qMin(kFinishWidth, widest + 2));
}

// The card grows to hold its content (the finish lines of a transfer that left
// much out), never below its own size, and stays centred where it lies.
void fitHeight(DialogCard& card, int ownHeight) {
  card.layout()->activate();
  const int need = qMax(ownHeight, card.layout()->sizeHint().height());
  if (need == card.height()) return;
  const int middle = card.geometry().center().y();
  card.setFixedHeight(need);
  card.move(card.x(), middle - need / 2);
}

}  // namespace

// ---- download ------------------------------------------------------------------

ViewSharingRemoteDownload::ViewSharingRemoteDownload(CTLDownload& ctlDownload, ShowFlag& isShowView, QWidget* parent,
                                                     TransferRequests requests)
    : DialogCard(kSheetSize, true, parent), c_(ctlDownload, isShowView, std::move(requests)) {
  setObjectName(QStringLiteral("ViewSharingRemoteDownload"));
  connect(this, &DialogCard::closeClicked, &c_, &RemoteDownloadController::close);

  saveRow_ = new QWidget;
  auto* label = new QLabel(L("RS_Download_SaveAt"));
  label->setFixedWidth(100);
  saveAt_ = new QLineEdit;
  saveAt_->setFixedWidth(280);
  auto* choose = new SymbolButton(QStringLiteral("rectangle.and.pencil.and.ellipsis"), QStringLiteral("activeButton"), 18);
  auto* open = new SymbolButton(QStringLiteral("folder.fill.badge.gearshape"), QStringLiteral("activeButton"), 18);
  saveRow_->setLayout(centredRow({label, saveAt_, choose, open}));

  progressLine_ = new QLabel;
  progressLine_->setTextFormat(Qt::PlainText);  // names and reasons from the host
  progress_ = makeProgress();
  running_ = column({progressLine_, progress_});

  finished_ = new QWidget;
  finishLine_ = makeFinishLine();
  auto* finishFolder = new SymbolButton(QStringLiteral("folder.fill.badge.gearshape"), QStringLiteral("green"), 18);
  finishFolder_ = finishFolder;
  failSymbol_ = failureSymbol();
  finished_->setLayout(centredRow({failSymbol_, finishLine_, finishFolder}));
  blank_ = new QWidget;
  status_ = addStatusPages(content(), {saveRow_, running_, finished_, blank_});

  std::tie(ok_, cancel_) = addOkCancelRow(8, 15, 30);

  connect(saveAt_, &QLineEdit::textEdited, &c_, &RemoteDownloadController::setDownloadSaveAt);
  connect(choose, &SymbolButton::clicked, &c_, &RemoteDownloadController::chooseFolder);
  connect(open, &SymbolButton::clicked, &c_, &RemoteDownloadController::openFolder);
  connect(finishFolder, &SymbolButton::clicked, &c_, &RemoteDownloadController::openFolder);
  connect(ok_, &QPushButton::clicked, &c_, &RemoteDownloadController::ok);
  connect(cancel_, &QPushButton::clicked, &c_, &RemoteDownloadController::cancel);
  connect(&c_, &RemoteDownloadController::changed, this, &ViewSharingRemoteDownload::refresh);
  c_.onAppear();
  refresh();
}

void ViewSharingRemoteDownload::refresh() {
  setTitle(c_.strTitle());
  if (saveAt_->text() != c_.downloadSaveAt()) saveAt_->setText(c_.downloadSaveAt());
  status_->setCurrentWidget(pageOf(c_.downloadStatus(), saveRow_, running_, finished_, blank_));
  progressLine_->setText(c_.progressLine());
  progress_->setValue(int(c_.status().CurrentTaskPercent));
  setFinishText(finishLine_, c_.finishLine());
  failSymbol_->setVisible(c_.isPartial());
  finishFolder_->setVisible(c_.isFinishFolderShown());
  ok_->setVisible(c_.isOkShown());
  cancel_->setVisible(c_.isCancelShown());  fitHeight(*this, ownHeight_);
}

// ---- upload --------------------------------------------------------------------

ViewSharingRemoteUpload::ViewSharingRemoteUpload(CTLUpload& ctlUpload, ShowFlag& isShowView, QWidget* parent,
                                                 TransferRequests requests)
    : DialogCard(kSheetSize, true, parent), c_(ctlUpload, isShowView, std::move(requests)) {
  setObjectName(QStringLiteral("ViewSharingRemoteUpload"));
  connect(this, &DialogCard::closeClicked, &c_, &RemoteUploadController::close);

  target_ = new QLineEdit;
  target_->setFixedWidth(420);
  target_->setPlaceholderText(L("RS_Upload_Choose"));
  auto* choose = new SymbolButton(QStringLiteral("rectangle.and.pencil.and.ellipsis"), QStringLiteral("activeButton"), 18);
  overwrite_ = new QCheckBox(L("RS_Upload_Overwrite"));
  overwrite_->setChecked(c_.isOverwrite());
  chooseRows_ = new QWidget;
  auto* rows = new QVBoxLayout(chooseRows_);
  rows->addLayout(centredRow({target_, choose}));
  rows->addWidget(overwrite_, 0, Qt::AlignHCenter);

  progressLine_ = new QLabel;
  progressLine_->setTextFormat(Qt::PlainText);  // names and reasons from the host
  progress_ = makeProgress();
  running_ = column({progressLine_, progress_});
  finishLine_ = makeFinishLine();
  failSymbol_ = failureSymbol();
  finished_ = new QWidget;
  finished_->setLayout(centredRow({failSymbol_, finishLine_}));
  blank_ = new QWidget;
  status_ = addStatusPages(content(), {chooseRows_, running_, finished_, blank_});

  std::tie(ok_, cancel_) = addOkCancelRow(8, 15, 30);

  connect(target_, &QLineEdit::textEdited, &c_, &RemoteUploadController::setUploadTarget);
  connect(choose, &SymbolButton::clicked, &c_, &RemoteUploadController::chooseFiles);
  connect(overwrite_, &QCheckBox::toggled, &c_, &RemoteUploadController::setOverwrite);
  connect(ok_, &QPushButton::clicked, &c_, &RemoteUploadController::ok);
  connect(cancel_, &QPushButton::clicked, &c_, &RemoteUploadController::cancel);
  connect(&c_, &RemoteUploadController::changed, this, &ViewSharingRemoteUpload::refresh);
  c_.onAppear();
  refresh();
}

void ViewSharingRemoteUpload::refresh() {
  setTitle(c_.strTitle());
  if (target_->text() != c_.uploadTarget()) target_->setText(c_.uploadTarget());
  status_->setCurrentWidget(pageOf(c_.uploadStatus(), chooseRows_, running_, finished_, blank_));
  progressLine_->setText(c_.progressLine());
  progress_->setValue(int(c_.status().CurrentTaskPercent));
  setFinishText(finishLine_, c_.finishLine());
  failSymbol_->setVisible(c_.isPartial());
  ok_->setVisible(c_.isOkShown());
  cancel_->setVisible(c_.isCancelShown());  fitHeight(*this, ownHeight_);
}
