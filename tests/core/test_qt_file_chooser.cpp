#include "media/qt_file_chooser.h"
#include "core/util_system.h"

#include "support/test_util.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QListView>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QFileDialog* openDialog() {
  QFileDialog* found = nullptr;
  testutil::waitUntil([&found] {
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (auto* dialog = qobject_cast<QFileDialog*>(widget); dialog && dialog->isVisible()) found = dialog;
    return found != nullptr;
  });
  return found;
}

// Selects every entry of the dialog's list once the folder has loaded.
bool selectAll(QFileDialog* dialog, int expected) {
  auto* view = dialog->findChild<QListView*>(QStringLiteral("listView"));
  if (!view) return false;
  const bool loaded = testutil::waitUntil([&] { return view->model()->rowCount(view->rootIndex()) == expected; });
  view->selectAll();
  return loaded;
}

}  // namespace

TEST(QtFileChooser, ChoosesFilesAndFoldersTogether) {
  QTemporaryDir dir;
  ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("folder")));
  QFile file(dir.filePath(QStringLiteral("file.txt")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();

  installQtFileChooser();
  QString result = QStringLiteral("unset");
  UtilSystem::openPanel(QStringLiteral("Choose one file or folder"), 2, [&result](const QString& text) { result = text; });
  QFileDialog* dialog = openDialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Choose one file or folder"));
  dialog->setDirectory(dir.path());
  ASSERT_TRUE(selectAll(dialog, 2));
  static_cast<QDialog*>(dialog)->accept();  // the public slot, as the Open button calls it
  ASSERT_TRUE(testutil::waitUntil([&] { return result != QStringLiteral("unset"); }));
  QStringList chosen = result.split(QLatin1Char('|'));
  chosen.sort();
  EXPECT_EQ(chosen, (QStringList{dir.filePath(QStringLiteral("file.txt")), dir.filePath(QStringLiteral("folder"))}));

  // Cancelling gives the empty text.
  result = QStringLiteral("unset");
  UtilSystem::openPanel(QStringLiteral("t"), 1, [&result](const QString& text) { result = text; });
  dialog = openDialog();
  ASSERT_NE(dialog, nullptr);
  dialog->reject();
  ASSERT_TRUE(testutil::waitUntil([&] { return result != QStringLiteral("unset"); }));
  EXPECT_EQ(result, QString());
  setFileChooser(nullptr);
}
