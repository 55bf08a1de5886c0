#include "media/qt_file_chooser.h"

#include <QAbstractItemView>
#include <QFileDialog>

namespace {

// A chooser that may return folders (and files) as chosen items: "Open"
// confirms the current selection instead of entering a selected folder.
class ItemDialog : public QFileDialog {
 public:
  using QFileDialog::QFileDialog;
  void accept() override {
    if (fileMode() == QFileDialog::ExistingFiles) return QFileDialog::accept();
    if (selectedFiles().isEmpty()) return;
    QDialog::accept();
  }
};

QFileDialog* makeDialog(const FileChooserOptions& options) {
  auto* dialog = new ItemDialog(nullptr, options.title);
  dialog->setOption(QFileDialog::DontUseNativeDialog, options.canChooseDirectories);
  dialog->setSizeGripEnabled(options.showsResizeIndicator);
  QDir::Filters filters = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::AllDirs;
  if (options.showsHiddenFiles) filters |= QDir::Hidden;
  dialog->setFilter(filters);
  if (!options.canChooseDirectories) {
    dialog->setFileMode(options.allowsMultipleSelection ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
  } else {
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly, !options.canChooseFiles);
    if (options.allowsMultipleSelection)
      for (auto* view : dialog->findChildren<QAbstractItemView*>())
        view->setSelectionMode(QAbstractItemView::ExtendedSelection);
  }
  return dialog;
}

}  // namespace

void QtFileChooser::open(const FileChooserOptions& options, Done done) {
  QFileDialog* dialog = makeDialog(options);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  QObject::connect(dialog, &QDialog::finished, dialog, [dialog, done](int result) {
    done(result == QDialog::Accepted ? kChooserOK : kChooserCancel, dialog->selectedUrls());
  });
  dialog->open();
}

std::pair<int, QList<QUrl>> QtFileChooser::openModal(const FileChooserOptions& options) {
  std::unique_ptr<QFileDialog> dialog(makeDialog(options));
  const int result = dialog->exec();
  return {result == QDialog::Accepted ? kChooserOK : kChooserCancel, dialog->selectedUrls()};
}

void installQtFileChooser() { setFileChooser(std::make_shared<QtFileChooser>()); }
