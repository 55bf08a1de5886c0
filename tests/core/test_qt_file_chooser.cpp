#include "media/qt_file_chooser.h"
#include "core/util_system.h"

#include "support/test_util.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QItemSelectionModel>
#include <QListView>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// A home folder holding two files and two folders; HOME points at it while alive.
class ChooserHome {
 public:
  ChooserHome() : saved_(qgetenv("HOME")) {
    QDir(dir_.path()).mkpath(QStringLiteral("folder1"));
    QDir(dir_.path()).mkpath(QStringLiteral("folder2"));
    for (const char* name : {"a.txt", "b.txt"}) {
      QFile file(dir_.filePath(QString::fromLatin1(name)));
      file.open(QIODevice::WriteOnly);
    }
    qputenv("HOME", dir_.path().toUtf8());
    installQtFileChooser();
  }
  ~ChooserHome() {
    setFileChooser(nullptr);
    qputenv("HOME", saved_);
  }
  QString path(const QString& name) const { return dir_.filePath(name); }

 private:
  QTemporaryDir dir_;
  QByteArray saved_;
};

// The chooser opened by UtilSystem::openPanel and its result.
struct Panel {
  QFileDialog* dialog = nullptr;
  QListView* list = nullptr;
  QString result = QStringLiteral("unset");

  bool open(int mode, int expectedEntries) {
    UtilSystem::openPanel(QStringLiteral("Choose one file or folder"), mode,
                          [this](const QString& text) { result = text; });
    testutil::waitUntil([this] {
      for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* found = qobject_cast<QFileDialog*>(widget); found && found->isVisible()) dialog = found;
      return dialog != nullptr;
    });
    if (!dialog) return false;
    list = dialog->findChild<QListView*>(QStringLiteral("listView"));
    return list && testutil::waitUntil([&] { return list->model()->rowCount(list->rootIndex()) == expectedEntries; });
  }
  QStringList listed() const {
    QStringList names;
    for (int row = 0; row < list->model()->rowCount(list->rootIndex()); ++row)
      names << list->model()->index(row, 0, list->rootIndex()).data().toString();
    names.sort();
    return names;
  }
  // Selects the named entries in the list, as clicks with Ctrl held would.
  void select(const QStringList& names) {
    list->selectionModel()->clearSelection();
    for (int row = 0; row < list->model()->rowCount(list->rootIndex()); ++row) {
      const QModelIndex index = list->model()->index(row, 0, list->rootIndex());
      if (names.contains(index.data().toString()))
        list->selectionModel()->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
  }
  QPushButton* choose() const {
    auto* box = dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    return box ? box->button(QDialogButtonBox::Open) : nullptr;
  }
  bool closed() { return testutil::waitUntil([this] { return result != QStringLiteral("unset"); }); }
  QStringList chosen() const {
    QStringList paths = result.split(QLatin1Char('|'), Qt::SkipEmptyParts);
    paths.sort();
    return paths;
  }
};

}  // namespace

TEST(QtFileChooser, FilesAndFoldersTogetherStartingAtHome) {
  ChooserHome home;
  Panel panel;
  ASSERT_TRUE(panel.open(2, 4));
  EXPECT_EQ(panel.dialog->windowTitle(), QStringLiteral("Choose one file or folder"));
  EXPECT_EQ(QDir(panel.dialog->directory()).canonicalPath(), QDir(home.path(QString())).canonicalPath());
  EXPECT_TRUE(panel.dialog->testOption(QFileDialog::DontUseNativeDialog));
  ASSERT_NE(panel.choose(), nullptr);

  // One file alone can be chosen with the button.
  panel.select({QStringLiteral("a.txt")});
  ASSERT_TRUE(panel.choose()->isEnabled());
  panel.choose()->click();
  ASSERT_TRUE(panel.closed());
  EXPECT_EQ(panel.chosen(), QStringList{home.path(QStringLiteral("a.txt"))});

  // Several items, files and folders, at once: the folder is chosen, not entered.
  Panel mixed;
  ASSERT_TRUE(mixed.open(2, 4));
  mixed.select({QStringLiteral("b.txt"), QStringLiteral("folder1"), QStringLiteral("folder2")});
  ASSERT_TRUE(mixed.choose()->isEnabled());
  mixed.choose()->click();
  ASSERT_TRUE(mixed.closed());
  EXPECT_EQ(mixed.chosen(), (QStringList{home.path(QStringLiteral("b.txt")), home.path(QStringLiteral("folder1")),
                                         home.path(QStringLiteral("folder2"))}));
}

TEST(QtFileChooser, FoldersOnlyAndFilesOnly) {
  ChooserHome home;
  Panel folders;
  ASSERT_TRUE(folders.open(1, 2));
  EXPECT_EQ(folders.listed(), (QStringList{QStringLiteral("folder1"), QStringLiteral("folder2")}));
  folders.select({QStringLiteral("folder1"), QStringLiteral("folder2")});
  ASSERT_TRUE(folders.choose()->isEnabled());
  folders.choose()->click();
  ASSERT_TRUE(folders.closed());
  EXPECT_EQ(folders.chosen(), (QStringList{home.path(QStringLiteral("folder1")), home.path(QStringLiteral("folder2"))}));

  Panel files;
  ASSERT_TRUE(files.open(0, 4));  // folders are listed to walk into
  files.select({QStringLiteral("a.txt"), QStringLiteral("b.txt")});
  ASSERT_TRUE(files.choose()->isEnabled());
  files.choose()->click();
  ASSERT_TRUE(files.closed());
  EXPECT_EQ(files.chosen(), (QStringList{home.path(QStringLiteral("a.txt")), home.path(QStringLiteral("b.txt"))}));

  // In the files mode a selected folder is entered, never chosen.
  Panel enter;
  ASSERT_TRUE(enter.open(0, 4));
  enter.select({QStringLiteral("folder1")});
  enter.choose()->click();
  EXPECT_TRUE(testutil::waitUntil(
      [&] { return QDir(enter.dialog->directory()).dirName() == QStringLiteral("folder1"); }));
  EXPECT_EQ(enter.result, QStringLiteral("unset"));
  enter.dialog->reject();
  ASSERT_TRUE(enter.closed());
  EXPECT_EQ(enter.result, QString());  // cancelling gives the empty text
}
