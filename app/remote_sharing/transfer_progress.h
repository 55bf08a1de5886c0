// What the download and upload sheets share: the requests they send (through
// the request layer, or a test's stand-in), the reading of the bridge's
// transfer progress record, and the fixed finish and cancel texts; and how
// every screen that ends a transfer (the sheets, the contact send and receive
// panels) tells what was left out and why.
#pragma once

#include "remote_sharing/saved_hosts.h"
#include "bridge/p2p_client_msg.h"
#include "core/vex_json.h"
#include "protocol/transfer_progress.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

// The senders a sheet uses; live() goes through P2PClientMsg.
struct TransferRequests {
  // A bridge request ("P2PClientControl").
  std::function<void(const QString& code, const vex::Json& payload, bool wait, ReplyHandler handler)> toBridge;
  // A peer request ("WSDC") on the link of `session`, with its "IsProcessOnBridge" value.
  std::function<void(const QString& session, const QString& code, const vex::Json& payload, bool wait,
                     const QString& isProcessOnBridge, ReplyHandler handler)>
      toRemote;
  // The folder or file chooser: title, mode (0 files, 1 folders, 2 both), completion.
  std::function<void(const QString& title, int mode, std::function<void(const QString&)> done)> chooser;

  static TransferRequests live();
};

// One progress record as the bridge writes it, read leniently.
using TransTaskReading = protocol::TransTaskProgress;

// Whether a reply carries a message at all (a refused request's empty text
// does; a reply without "Msg" does not).
bool hasReplyMessage(const std::optional<vex::Json>& reply);

// The count part of the finish lines, in the interface's language:
// "en" gives "n object(s)", any other language code "n个对象".
QString finishedObjects(int64_t done, bool english);

// A line of its own, "n saved under a new name ...", when `renamed` files took
// a free "name (N).ext" because their name was taken; empty for none.
QString renamedNote(int64_t renamed);

// Which end of a transfer a screen shows: the download and upload sheets, the
// contact send panel (the sender) and the receive panel (the receiver).
enum class TransferSide { Download, Upload, Send, Receive };

// The end of a finished transfer that left something out, for the screens to
// show with the failure symbol. `counts`: how many arrived of how many, then
// what was left out by whom ("6 of 10 objects sent. 4 could not be read on this
// computer."); `details`: why, a line each (the host's or the system's words
// in the user's language where they are known, else a reason code's text),
// the rate and the renamed note. Both empty when nothing was left out.
struct PartialEnding {
  QString counts;
  QString details;
  bool isEmpty() const { return counts.isEmpty(); }
  // Both, a line apart.
  QString text() const;
};
PartialEnding partialEnding(const TransTaskReading& status, TransferSide side);

// Raises the main window's red error toast, when the window is up; with a
// reason it shows beneath the text and the toast stays at least kReasonToastMs.
void showTransferErrorToast(const QString& text, const QString& reason = {});

// The localised short text of a reason code of the progress records
// ("disk", "source", ...); empty for none.
QString transferReasonText(const QString& code);

// How a transfer that ended early is told: `canceled` (the fixed text for a
// cancel) when someone cancelled or the bridge gave no reason, else `failed`;
// the reason goes with it: the host's own words where it gave them, else the
// words for what the sending side could not read (with "source"), in the
// user's language where they are known, else the code's text.
struct TransferEnding {
  QString text;
  QString reason;
  bool failed = false;  // told as `failed`
};
TransferEnding transferEnding(const TransTaskReading& status, TransferSide side, const QString& canceled,
                              const QString& failed);
