// Plugs the contact screens into the main window: the contacts page as the
// send-file page and the receive-file panel as the receive-file sheet.
#pragma once

class MainView;
class ContactsPort;

void installContactsViews(MainView& window, ContactsPort& port);
// Over the live request layer.
void installContactsViews(MainView& window);
