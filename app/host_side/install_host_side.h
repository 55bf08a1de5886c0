// Connects the host side to the inbound dispatcher: remote clients' requests
// and the bridge's host function calls are answered from then on.
#pragma once

void installHostSide();
