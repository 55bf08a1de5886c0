// UtilSystem::openURL needs Qt Gui, so it is built with the media part: the
// headless programs never link it.
#include "core/util_system.h"

#include <QDesktopServices>
#include <QUrl>

void UtilSystem::openURL(const QString& text) {
  const QUrl url(text, QUrl::StrictMode);
  if (url.isValid() && !url.scheme().isEmpty()) QDesktopServices::openUrl(url);
}
