#include "contacts/view_receive_file.h"

#include "core/localized.h"
#include "core/util_system.h"
#include "shell/symbol_button.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>

namespace {

QLabel* centredLabel(QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);  // the peer's texts are shown, never rendered
  label->setAlignment(Qt::AlignCenter);
  label->setContentsMargins(10, 4, 10, 4);
  return label;
}

}  // namespace

ViewReceiveFile::ViewReceiveFile(MainViewHandle& window, ContactsPort& port, const QString& title,
                                 const QString& saveAt, bool overwrite, QWidget* parent)
    : DialogCard(QSize(480, 268), true, parent), logic_(window, port), strTitle_(title) {
  setObjectName(QStringLiteral("ViewReceiveFile"));
  logic_.isOverwrite = overwrite;
  setTitle(QStringLiteral("[") + logic_.record().FromUser + QStringLiteral("] ") + L("Receive_SendingToYou"));

  // While waiting: the offer, the count-down, the folder and the switch.
  waiting_ = new QWidget(this);
  auto* wait = new QVBoxLayout(waiting_);
  wait->setContentsMargins(0, 0, 0, 0);
  summary_ = centredLabel(waiting_);
  summary_->setWordWrap(true);
  summary_->setFixedWidth(400);  // a fixed width lets the wrapped lines claim their height
  wait->addWidget(summary_, 0, Qt::AlignHCenter);
  countdown_ = new QProgressBar(waiting_);
  countdown_->setObjectName(QStringLiteral("countdown"));
  countdown_->setRange(0, ReceiveFile::kCountDownSeconds);
  countdown_->setTextVisible(false);
  countdown_->setFixedWidth(420);
  wait->addWidget(countdown_, 0, Qt::AlignHCenter);
  auto* folderRow = new QHBoxLayout;
  auto* saveLabel = new QLabel(L("RS_Download_SaveAt"), waiting_);
  saveLabel->setFixedWidth(80);
  folderRow->addStretch(1);
  folderRow->addWidget(saveLabel);
  folder_ = new QLineEdit(waiting_);
  folder_->setObjectName(QStringLiteral("downloadSaveAt"));
  folder_->setFixedWidth(280);
  folderRow->addWidget(folder_);
  auto* choose =
      new SymbolButton(QStringLiteral("rectangle.and.pencil.and.ellipsis"), QStringLiteral("activeButton"), 20);
  choose->setObjectName(QStringLiteral("chooseFolder"));
  folderRow->addWidget(choose);
  auto* open = new SymbolButton(QStringLiteral("folder.fill.badge.gearshape"), QStringLiteral("activeButton"), 20);
  open->setObjectName(QStringLiteral("openFolder"));
  folderRow->addWidget(open);
  folderRow->addStretch(1);
  wait->addLayout(folderRow);
  overwrite_ = new QCheckBox(L("RS_Upload_Overwrite"), waiting_);
  overwrite_->setChecked(logic_.isOverwrite);
  wait->addWidget(overwrite_, 0, Qt::AlignHCenter);
  content()->addWidget(waiting_);

  // While running: three lines of progress and the bar.
  running_ = new QWidget(this);
  auto* run = new QVBoxLayout(running_);
  run->setContentsMargins(0, 0, 0, 0);
  log1_ = centredLabel(running_);
  log2_ = centredLabel(running_);
  log3_ = centredLabel(running_);
  run->addWidget(log1_);
  run->addWidget(log2_);
  run->addWidget(log3_);
  progress_ = new QProgressBar(running_);
  progress_->setObjectName(QStringLiteral("progress"));
  progress_->setRange(0, 100);
  progress_->setFixedWidth(420);
  run->addWidget(progress_, 0, Qt::AlignHCenter);
  content()->addWidget(running_);
  content()->addStretch(1);

  std::tie(ok_, cancel_) = addOkCancelRow(0, 10, 16);

  connect(folder_, &QLineEdit::textEdited, this, [this](const QString& text) { logic_.downloadSaveAt = text; });
  connect(overwrite_, &QCheckBox::toggled, this, [this](bool on) { logic_.isOverwrite = on; });
  connect(choose, &QAbstractButton::clicked, &logic_, &ReceiveFile::chooseFolder);
  connect(open, &QAbstractButton::clicked, this,
          [this] { QDesktopServices::openUrl(QUrl::fromLocalFile(logic_.downloadSaveAt)); });
  connect(ok_, &QPushButton::clicked, &logic_, &ReceiveFile::accept);
  connect(cancel_, &QPushButton::clicked, &logic_, &ReceiveFile::cancelTapped);
  connect(this, &DialogCard::closeClicked, &logic_, &ReceiveFile::closeTapped);
  connect(&logic_, &ReceiveFile::changed, this, &ViewReceiveFile::refresh);

  logic_.onAppear();
  if (!saveAt.isEmpty()) logic_.downloadSaveAt = saveAt;
  logic_.startTimer();
  refresh();
}

void ViewReceiveFile::refresh() {
  const CtlViewReceiveFile& record = logic_.record();
  const bool waiting = int(record.vrsState) >= int(ViewReceiveState::vrsWaiting);
  const bool running = record.vrsState == ViewReceiveState::vrsRunning;
  setTitle(QStringLiteral("[") + record.FromUser + QStringLiteral("] ") + L("Receive_SendingToYou"));
  summary_->setText(record.Summary);
  countdown_->setValue(qBound(0, int(record.iCountDown), ReceiveFile::kCountDownSeconds));
  if (folder_->text() != logic_.downloadSaveAt) folder_->setText(logic_.downloadSaveAt);
  waiting_->setVisible(waiting);
  running_->setVisible(running);
  ok_->setVisible(waiting);
  log1_->setText(UtilSystem::clipText(logic_.logInfo1, CtlViewReceiveFile::kMaxTextChars));
  log2_->setText(UtilSystem::clipText(logic_.logInfo2, CtlViewReceiveFile::kMaxTextChars));
  log3_->setText(UtilSystem::clipText(logic_.logInfo3, CtlViewReceiveFile::kMaxTextChars));
  progress_->setValue(qBound(0, int(logic_.dstatus_CurrentTaskPercent), 100));
}
