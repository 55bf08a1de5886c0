// The file and folder chooser behind UtilSystem::openPanel. Core code sees
// only this interface; the widget-based chooser is installed by the
// application (see core/ui), and tests install their own.
#pragma once

#include <QList>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <utility>

struct FileChooserOptions {
  QString title;
  bool canChooseFiles = true;
  bool canChooseDirectories = false;
  bool allowsMultipleSelection = true;
  bool showsHiddenFiles = false;
  bool showsResizeIndicator = true;
};

// The chooser's answer: kChooserOK when the user confirmed.
inline constexpr int kChooserOK = 1;
inline constexpr int kChooserCancel = 0;

class FileChooser {
 public:
  using Done = std::function<void(int response, const QList<QUrl>& chosen)>;
  virtual ~FileChooser() = default;
  // Shows the chooser and returns at once; `done` runs on the main thread
  // when it closes.
  virtual void open(const FileChooserOptions& options, Done done) = 0;
  // Shows the chooser and returns when it closes.
  virtual std::pair<int, QList<QUrl>> openModal(const FileChooserOptions& options) = 0;
};

void setFileChooser(std::shared_ptr<FileChooser> chooser);
std::shared_ptr<FileChooser> fileChooser();

// Mode 0 picks files, 1 folders, 2 both.
FileChooserOptions chooserOptions(const QString& title, int mode);
// The chosen items' paths joined with "|" when confirmed, else "".
QString chooserResult(int response, const QList<QUrl>& chosen);
