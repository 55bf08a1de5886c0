#include "core/file_chooser.h"

#include "core/log.h"
#include "core/util_system.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QMutex>

namespace {

QMutex chooserMutex;
std::shared_ptr<FileChooser>& installed() {
  static std::shared_ptr<FileChooser> chooser;
  return chooser;
}

}  // namespace

void setFileChooser(std::shared_ptr<FileChooser> chooser) {
  QMutexLocker lock(&chooserMutex);
  installed() = std::move(chooser);
}

std::shared_ptr<FileChooser> fileChooser() {
  QMutexLocker lock(&chooserMutex);
  return installed();
}

FileChooserOptions chooserOptions(const QString& title, int mode) {
  FileChooserOptions options;
  options.title = title;
  options.canChooseDirectories = mode != 0;
  options.canChooseFiles = mode != 1;
  return options;
}

QString chooserResult(int response, const QList<QUrl>& chosen) {
  if (response != kChooserOK) return QString();
  QStringList paths;
  for (const QUrl& url : chosen) paths << (url.isLocalFile() ? url.toLocalFile() : url.path());
  return paths.join(QLatin1Char('|'));
}

void UtilSystem::openPanel(const QString& title, int mode, std::function<void(const QString&)> completion) {
  const auto chooser = fileChooser();
  if (!chooser) {
    zlog::line(QStringLiteral("UtilSystem - openPanel - no chooser"));
    if (auto* app = QCoreApplication::instance())
      QMetaObject::invokeMethod(app, [completion] { completion(QString()); }, Qt::QueuedConnection);
    return;
  }
  chooser->open(chooserOptions(title, mode),
                [completion](int response, const QList<QUrl>& chosen) { completion(chooserResult(response, chosen)); });
}

QString UtilSystem::openPanelModal(const QString& title, int mode) {
  const auto chooser = fileChooser();
  if (!chooser) {
    zlog::line(QStringLiteral("UtilSystem - openPanelModal - no chooser"));
    return QString();
  }
  const auto [response, chosen] = chooser->openModal(chooserOptions(title, mode));
  return chooserResult(response, chosen);
}
