// Plugs local sharing into the main window: the window's one share list, its
// reload when the login sheet closes, and the page of the first tab.
#pragma once

class MainView;
class SharingObjList;

// Returns the list, owned by the window's state.
SharingObjList* installLocalSharing(MainView& view);
