#include "host_side/install_host_side.h"

#include <QCoreApplication>

#include "bridge/bridge_message.h"
#include "host_side/host_dispatcher.h"
#include "host_side/thumbnail_helpers.h"

void installHostSide() {
  setHostRequestHandler(&hostside::handleRequest);
  setHostFunctionHandler(&hostside::handleHostFunction);
  // The thumbnail helpers end with the client, before its last steps.
  if (QCoreApplication* app = QCoreApplication::instance())
    QObject::connect(app, &QCoreApplication::aboutToQuit, [] { ThumbnailHelpers::endShared(); });
}
