// UtilSystem::openURL needs Qt Gui, so it is built with the media part: the
// headless programs never link it.
#include "core/util_system.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QProcess>
#include <QTimer>
#include <QUrl>

#include <memory>

void UtilSystem::openURL(const QString& text) {
  const QUrl url(text, QUrl::StrictMode);
  if (url.isValid() && !url.scheme().isEmpty()) QDesktopServices::openUrl(url);
}

void UtilSystem::openFileWithDefaultHandler(const QString& path, std::function<void(bool started)> done) {
  // xdg-open ends with 0 once it has handed the file on, and with an error
  // when no handler could be found or started; still running after a few
  // seconds means the handler runs in its place.
  auto* opener = new QProcess(QCoreApplication::instance());
  auto told = std::make_shared<bool>(false);
  auto tell = [opener, told, done](bool started) {
    if (std::exchange(*told, true)) return;
    done(started);
    if (opener->state() == QProcess::NotRunning) opener->deleteLater();
  };
  QObject::connect(opener, &QProcess::finished, opener, [opener, tell](int code, QProcess::ExitStatus status) {
    tell(status == QProcess::NormalExit && code == 0);
    opener->deleteLater();
  });
  QObject::connect(opener, &QProcess::errorOccurred, opener, [opener, tell](QProcess::ProcessError error) {
    if (error != QProcess::FailedToStart) return;
    tell(false);
    opener->deleteLater();
  });
  QTimer::singleShot(4000, opener, [tell] { tell(true); });
  opener->start(QStringLiteral("xdg-open"), {path});
}
