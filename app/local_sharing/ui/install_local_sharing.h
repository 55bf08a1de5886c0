// Plugs the local-sharing page into the main window as its first tab.
#pragma once

class MainView;

void installLocalSharing(MainView& view);
