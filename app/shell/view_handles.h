// The shell's view records: the handle through which non-view code reaches the
// main window (toasts, sheets, the receive-file panel, the share list), a
// toast's description and the receive-file panel's record. The main window
// implements the handle and stores itself in Env when shown; a handle that is
// not set yet raises nothing. Main thread only.
#pragma once

#include "bridge/link_handles.h"

#include <QString>

#include <optional>

class SharingObjList;  // the application's one share list (local sharing)

// A toast description: display mode, type, title and optional subtitle.
struct AlertToast {
  enum class DisplayMode { alert, hud, bannerSlide, bannerPop };
  enum class Type { complete, error, systemImage, image, loading, regular };
  DisplayMode displayMode = DisplayMode::alert;
  Type type = Type::regular;
  QString imageName;  // for systemImage and image: the symbol's name, e.g. "info.square.fill"
  QString color;      // a named colour of the palette, e.g. "green", "red", "btnRed"
  QString title;
  std::optional<QString> subTitle;
  int minShowMs = 0;  // shown at least this long unless dismissed (0: the toast's usual time)
};

// A failure and its reason stay on screen this long, unless dismissed.
inline constexpr int kReasonToastMs = 4500;

// A toast of `type` titled `title`, in the named colour (none for the default).
inline AlertToast makeToast(AlertToast::Type type, const QString& color, const QString& title,
                            const QString& imageName = {},
                            AlertToast::DisplayMode mode = AlertToast::DisplayMode::alert) {
  AlertToast toast;
  toast.displayMode = mode;
  toast.type = type;
  toast.imageName = imageName;
  toast.color = color;
  toast.title = title;
  return toast;
}

// State of the receive-file panel; raw values 0 to 4.
enum class ViewReceiveState { vrsRunning = 0, vrsFinished, vrsStopped, vrsCanceld, vrsWaiting };

// Control record of the receive-file panel, held by the main window.
struct CtlViewReceiveFile {
  // What the panel keeps of the peer's texts, in characters.
  static constexpr qsizetype kMaxNameChars = 64;
  static constexpr qsizetype kMaxTextChars = 300;
  bool isShowView = false;
  QString Summary;
  QString Session;
  QString FromUser;
  QString UUID;
  ViewReceiveState vrsState = ViewReceiveState::vrsWaiting;
  QString taskState = QStringLiteral("0");  // "0" unanswered, "2" refused, else the accepted save folder
  bool isOverwrite = true;  // with the folder: whether an arriving file may replace one of the same name
  double iCountDown = 30;
};

class MainViewHandle {
 public:
  virtual ~MainViewHandle() = default;
  virtual void showToast(const QString& text) = 0;
  virtual void showUpdateResult(bool success) = 0;
  virtual void showAlertToast(const AlertToast& toast) = 0;
  virtual void openQRSettings() = 0;
  // The receive-file panel's record; after changing it call receiveFilePanelChanged().
  virtual CtlViewReceiveFile& ctlViewReceiveFile() = 0;
  virtual void receiveFilePanelChanged() = 0;
  virtual SharingObjList* sharingObjList() = 0;
};
