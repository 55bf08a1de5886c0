#include "contacts/contacts_views.h"

#include "contacts/view_contact.h"
#include "contacts/view_receive_file.h"
#include "shell/main_view.h"

void installContactsViews(MainView& window, ContactsPort& port) {
  window.setPageFactory(MainViewState::pageSendFile, [&port](MainViewState&, QWidget* parent) -> QWidget* {
    return new ViewContact(port, parent);
  });
  window.setSheetFactory(MainView::Sheet::receiveFile, [&port](MainViewState& state, QWidget* parent) -> QWidget* {
    auto* panel = new ViewReceiveFile(state, port, QString(), QString(), true, parent);
    // A new offer replaces the record while the panel is shown.
    QObject::connect(&state, &MainViewState::receiveFileChanged, panel, &ViewReceiveFile::refresh);
    return panel;
  });
}

void installContactsViews(MainView& window) { installContactsViews(window, liveContactsPort()); }
