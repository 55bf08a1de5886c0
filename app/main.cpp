// The client's entry: the start-up sequence, then the one window.
#include "bridge/startup.h"
#include "core/service_config.h"

#ifdef ZARKELO_HAS_HOST_SIDE
#include "bridge/host/install_host_side.h"
#endif

#include <QApplication>
#include <QLabel>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Zarkelo"));
  serviceconfig::installTrustedAuthority();
#ifdef ZARKELO_HAS_HOST_SIDE
  installHostSide();
#endif
  RunStartupSequence([] {});

  QLabel window(QStringLiteral("Zarkelo"));
  window.setAlignment(Qt::AlignCenter);
  window.setMinimumSize(640, 480);
  window.show();
  return app.exec();
}
