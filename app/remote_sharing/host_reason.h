// The words a host gives for a request it failed to answer (a folder it could
// not open, no descriptors or memory left): "Error: " and the system's text,
// as the host side writes them. Shown in the user's language where the reason
// is one we know, else as the host wrote it, clipped. The same words come from
// this computer's bridge for what it could not read of an upload or a send,
// and from a contact's for what the sender could not read.
#pragma once

#include <QString>

namespace hostreason {

// At most this many characters of a host's own reason reach a view.
inline constexpr qsizetype kMaxChars = 200;

// Whose words they are: the text names that side.
enum class Whose { Host, ThisComputer, Sender };

// The reason as the user reads it; empty for an empty reason.
QString text(const QString& reason, Whose whose = Whose::Host);

// The failure a listing reply's "sResult" names: empty for "OK" (and for a
// reply without one), else the host's reason.
QString listingFailure(const QString& result);

}  // namespace hostreason
