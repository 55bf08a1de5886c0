#include "media/qt_file_chooser.h"

#include <QAbstractItemView>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

namespace {

// Qt's own dialog, never the platform's, so that the modes below hold:
// - files only: several existing files; Choose on a selected folder enters it;
// - folders only: only folders are listed, several may be chosen;
// - files and folders: files are listed too, and Choose takes the selected
//   items as they are, folders included (a double click still enters a folder).
class ItemDialog : public QFileDialog {
 public:
  ItemDialog(const FileChooserOptions& options)
      : QFileDialog(nullptr, options.title, QDir::homePath()), itemsAreChosen_(options.canChooseDirectories) {}

  void accept() override {
    if (!itemsAreChosen_) return QFileDialog::accept();
    QStringList existing;
    for (const QString& path : selectedFiles())
      if (QFileInfo::exists(path)) existing << path;
    // Nothing chosen that exists (say a typed path): the dialog's own rules apply.
    if (existing.isEmpty()) return QFileDialog::accept();
    chosen_.clear();
    for (const QString& path : existing) chosen_ << QUrl::fromLocalFile(path);
    QDialog::accept();
  }

  QList<QUrl> chosen() const { return itemsAreChosen_ && !chosen_.isEmpty() ? chosen_ : selectedUrls(); }

 private:
  bool itemsAreChosen_;
  QList<QUrl> chosen_;
};

ItemDialog* makeDialog(const FileChooserOptions& options) {
  auto* dialog = new ItemDialog(options);
  dialog->setOption(QFileDialog::DontUseNativeDialog, true);
  dialog->setSizeGripEnabled(options.showsResizeIndicator);
  QDir::Filters filters = QDir::AllDirs | QDir::NoDotAndDotDot;
  if (options.canChooseFiles) filters |= QDir::Files;
  if (options.showsHiddenFiles) filters |= QDir::Hidden;
  if (options.canChooseFiles) {
    // Files mode lists folders too (to walk into); with folders chosen as
    // items, Choose takes whatever is selected.
    dialog->setFileMode(options.allowsMultipleSelection ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    if (options.canChooseDirectories) dialog->setLabelText(QFileDialog::Accept, QFileDialog::tr("&Choose"));
  } else {
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly, true);
  }
  dialog->setFilter(filters);
  const auto mode =
      options.allowsMultipleSelection ? QAbstractItemView::ExtendedSelection : QAbstractItemView::SingleSelection;
  for (auto* view : dialog->findChildren<QAbstractItemView*>(QStringLiteral("listView")))
    view->setSelectionMode(mode);
  for (auto* view : dialog->findChildren<QAbstractItemView*>(QStringLiteral("treeView")))
    view->setSelectionMode(mode);
  return dialog;
}

}  // namespace

void QtFileChooser::open(const FileChooserOptions& options, Done done) {
  ItemDialog* dialog = makeDialog(options);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  QObject::connect(dialog, &QDialog::finished, dialog, [dialog, done](int result) {
    const bool ok = result == QDialog::Accepted;
    done(ok ? kChooserOK : kChooserCancel, ok ? dialog->chosen() : QList<QUrl>());
  });
  dialog->open();
}

std::pair<int, QList<QUrl>> QtFileChooser::openModal(const FileChooserOptions& options) {
  std::unique_ptr<ItemDialog> dialog(makeDialog(options));
  const int result = dialog->exec();
  if (result != QDialog::Accepted) return {kChooserCancel, {}};
  return {kChooserOK, dialog->chosen()};
}

void installQtFileChooser() { setFileChooser(std::make_shared<QtFileChooser>()); }
