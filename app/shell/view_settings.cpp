#include "shell/view_settings.h"

#include "core/localized.h"
#include "core/util_system.h"
#include "shell/elided_field.h"
#include "shell/settings_controller.h"
#include "shell/symbol_button.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QUrl>
#include <QVBoxLayout>

namespace {

const QString kRowPrefix = QStringLiteral("◦  ");

QFrame* settingLine(int width, QWidget* parent) {
  auto* line = new QFrame(parent);
  line->setFixedSize(width, 1);
  line->setStyleSheet(QStringLiteral("background: rgba(128,128,128,0.5);"));
  return line;
}

}  // namespace

ViewSettings::ViewSettings(SettingsController* controller, FolderChooser chooseFolder, QWidget* parent)
    : QWidget(parent), controller_(controller), chooseFolder_(std::move(chooseFolder)) {
  setObjectName(QStringLiteral("ViewSettings"));
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(10, 10, 10, 10);
  auto* panel = new QFrame(this);
  panel->setObjectName(QStringLiteral("settingsPanel"));
  // 680 wide, narrower when the window is: the folder field gives way.
  panel->setMaximumWidth(680);
  panel->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  panel->setStyleSheet(QStringLiteral("#settingsPanel { border: 1px solid rgba(128,128,128,0.5); border-radius: 8px; }"));
  auto* centred = new QHBoxLayout;
  centred->addStretch(1);
  centred->addWidget(panel, 1000);
  centred->addStretch(1);
  outer->addLayout(centred);
  outer->addStretch();

  auto* layout = new QVBoxLayout(panel);
  layout->setContentsMargins(10, 10, 10, 10);
  auto* title = new QLabel(L("设置"), panel);
  QFont bold = title->font();
  bold.setBold(true);
  bold.setPixelSize(16);
  title->setFont(bold);
  layout->addWidget(title);
  layout->addWidget(settingLine(300, panel));

  auto* folderRow = new QHBoxLayout;
  folderRow->addWidget(new QLabel(kRowPrefix + L("Settings_DFFile"), panel));
  // Shown, not typed in (read-only, the whole path in its tooltip): the
  // chooser beside it changes the folder.
  folder_ = new ElidedField(panel);
  folder_->setObjectName(QStringLiteral("downloadSaveAt"));
  folder_->setMaximumWidth(380);
  folder_->setMinimumWidth(120);
  folderRow->addWidget(folder_, 1);
  auto* choose =
      new SymbolButton(QStringLiteral("rectangle.and.pencil.and.ellipsis"), QStringLiteral("activeButton"), 20);
  choose->setObjectName(QStringLiteral("chooseFolder"));
  choose->setToolTip(L("Settings_DFFile"));
  folderRow->addWidget(choose);
  auto* open = new SymbolButton(QStringLiteral("folder.fill.badge.gearshape"), QStringLiteral("activeButton"), 20);
  open->setObjectName(QStringLiteral("openFolder"));
  folderRow->addWidget(open);
  folderRow->addStretch();
  layout->addLayout(folderRow);
  layout->addWidget(settingLine(200, panel));

  clipboard_ = new QCheckBox(L("启用剪贴板推送"), panel);
  clipboard_->setObjectName(QStringLiteral("isClipboard"));
  layout->addWidget(clipboard_);

  connect(choose, &SymbolButton::clicked, this, [this] {
    if (!chooseFolder_) return;
    QPointer<ViewSettings> self(this);
    chooseFolder_(QStringLiteral("Choose one file or folder"), [self](const QString& path) {
      if (self && self->controller_) self->controller_->onFolderChosen(path);
    });
  });
  connect(open, &SymbolButton::clicked, this, [this] {
    if (!controller_ || controller_->downloadSaveAt().isEmpty()) return;
    ensureDirectory(controller_->downloadSaveAt());  // the default one may not be made yet
    QDesktopServices::openUrl(QUrl::fromLocalFile(controller_->downloadSaveAt()));
  });
  connect(clipboard_, &QCheckBox::toggled, this, [this](bool on) {
    if (controller_) controller_->onClipboardToggled(on);
  });
  if (controller_) {
    connect(controller_, &SettingsController::changed, this, &ViewSettings::refresh);
    controller_->loadSettings();
  }
  refresh();
}

void ViewSettings::refresh() {
  if (!controller_) return;
  if (folder_->fullText() != controller_->downloadSaveAt()) folder_->setFullText(controller_->downloadSaveAt());
  if (clipboard_->isChecked() != controller_->isClipboard()) {
    const QSignalBlocker block(clipboard_);
    clipboard_->setChecked(controller_->isClipboard());
  }
}
