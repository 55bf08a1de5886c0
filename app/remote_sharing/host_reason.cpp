#include "remote_sharing/host_reason.h"

#include "core/localized.h"
#include "core/util_system.h"

namespace hostreason {

namespace {

// The system's texts (glibc's, which the host side sends whatever the host's
// language) of the failures a host meets when it opens or reads for a peer.
struct Known {
  const char* system;
  const char* key;
};
constexpr Known kKnown[] = {
    {"Permission denied", "Host_Reason_Permission"},
    {"Operation not permitted", "Host_Reason_Permission"},
    {"Too many open files", "Host_Reason_Resources"},
    {"Too many open files in system", "Host_Reason_Resources"},
    {"Cannot allocate memory", "Host_Reason_Resources"},
    {"Input/output error", "Host_Reason_Disk"},
    {"busy", "Host_Reason_Busy"},  // the refusal of a host (or its bridge) that serves others first
};

}  // namespace

QString text(const QString& reason) {
  const QString trimmed = reason.trimmed();
  if (trimmed.isEmpty()) return QString();
  QString words = trimmed;
  if (words.startsWith(QLatin1String("Error:"))) words = words.mid(6).trimmed();
  for (const Known& known : kKnown)
    if (words == QLatin1String(known.system)) return L(known.key);
  return UtilSystem::clipText(trimmed, kMaxChars);
}

QString listingFailure(const QString& result) {
  const QString trimmed = result.trimmed();
  if (trimmed.isEmpty() || trimmed == QLatin1String("OK")) return QString();
  return trimmed;
}

}  // namespace hostreason
