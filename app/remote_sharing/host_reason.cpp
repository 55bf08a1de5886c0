#include "remote_sharing/host_reason.h"

#include "core/localized.h"
#include "core/util_system.h"

#include <string>

namespace hostreason {

namespace {

// The system's texts (glibc's, which the host side sends whatever the host's
// language) of the failures met when opening or reading for a transfer or a
// peer, and the last part of their key; the first part names the side.
struct Known {
  const char* system;
  const char* kind;
  bool hostOnly;
};
constexpr Known kKnown[] = {
    {"Permission denied", "Permission", false},
    {"Operation not permitted", "Permission", false},
    {"Too many open files", "Resources", false},
    {"Too many open files in system", "Resources", false},
    {"Cannot allocate memory", "Resources", false},
    {"Input/output error", "Disk", false},
    {"busy", "Busy", true},  // the refusal of a host (or its bridge) that serves others first
};

const char* sidePrefix(Whose whose) {
  switch (whose) {
    case Whose::ThisComputer:
      return "Local_Reason_";
    case Whose::Sender:
      return "Sender_Reason_";
    case Whose::Host:
      break;
  }
  return "Host_Reason_";
}

}  // namespace

QString text(const QString& reason, Whose whose) {
  const QString trimmed = reason.trimmed();
  if (trimmed.isEmpty()) return QString();
  QString words = trimmed;
  if (words.startsWith(QLatin1String("Error:"))) words = words.mid(6).trimmed();
  for (const Known& known : kKnown)
    if (words == QLatin1String(known.system) && (whose == Whose::Host || !known.hostOnly))
      return L((std::string(sidePrefix(whose)) + known.kind).c_str());
  return UtilSystem::clipText(trimmed, kMaxChars);
}

QString listingFailure(const QString& result) {
  const QString trimmed = result.trimmed();
  if (trimmed.isEmpty() || trimmed == QLatin1String("OK")) return QString();
  return trimmed;
}

}  // namespace hostreason
