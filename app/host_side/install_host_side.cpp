#include "host_side/install_host_side.h"

#include "bridge/bridge_message.h"
#include "host_side/host_dispatcher.h"

void installHostSide() {
  setHostRequestHandler(&hostside::handleRequest);
  setHostFunctionHandler(&hostside::handleHostFunction);
}
