// The client's entry: the start-up sequence, then the one window.
#include "host_side/install_host_side.h"
#include "bridge/startup.h"
#include "contacts/contacts_views.h"
#include "core/localized.h"
#include "core/open_files.h"
#include "core/service_config.h"
#include "media/qt_file_chooser.h"
#include "core/util_db.h"
#include "local_sharing/ui/install_local_sharing.h"
#include "remote_sharing/view_sharing_remote.h"
#include "shell/main_view.h"
#include "shell/quit_signals.h"
#include "shell/shell_wiring.h"

#include <QApplication>

int main(int argc, char** argv) {
  // Also for the bridge it starts, which inherits the limit.
  openfiles::raiseSoftLimit();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Zarkelo"));
  installQtTranslations(&app);
  serviceconfig::installTrustedAuthority();
  installQtFileChooser();
  installHostSide();
  RunStartupSequence([] { UtilDB::open(); });

  // Showing the window stores it as MainViewShared, opens the login sheet and
  // starts the heartbeat.
  MainView window;
  ShellWiring shell(window);
  installContactsViews(window);
  installLocalSharing(window);
  installRemoteSharingPage(window);
  // Termination signals take the quit action's path: the window closes, the
  // event loop ends and the bridge this client started is ended with it.
  QuitSignals quitSignals([&window] { window.state().endApplication(); });
  window.show();
  return app.exec();
}
