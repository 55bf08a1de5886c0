#include "bridge/host/install_host_side.h"

#include "bridge/bridge_message.h"
#include "bridge/host/host_dispatcher.h"

void installHostSide() {
  setHostRequestHandler(&hostside::handleRequest);
  setHostFunctionHandler(&hostside::handleHostFunction);
}
