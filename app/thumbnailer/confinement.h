// What the thumbnail helper may do once it has loaded everything it needs:
// resource limits, no new privileges, and a system-call filter that lets it
// read the descriptors it is given, compute, make threads and talk over its
// channel, and refuses everything else (opening paths, sockets, exec, ptrace,
// writing files).
#pragma once

#include <QString>

namespace confinement {

inline constexpr unsigned long long kAddressSpaceBytes = 1ull << 30;
// Processor seconds a helper may use in its whole life; it retires itself
// after kRetireAfterCpuSeconds so that the hard limit only ends a runaway.
inline constexpr unsigned long kCpuSeconds = 60;
inline constexpr unsigned long kRetireAfterCpuSeconds = 30;
inline constexpr unsigned long kOpenFiles = 16;

// Applies the limits and the filter to the calling process (and its threads
// made later). `channel` is the one descriptor the protocol runs over. Under
// the sanitizers the address-space limit and the filter are left out: their
// runtime reserves terabytes of shadow memory and needs ptrace and /proc.
// False, with the reason, when the kernel refuses.
bool confineProcess(int channel, QString* error);

// Whether confineProcess installs the system-call filter in this build.
bool filtersSystemCalls();

}  // namespace confinement
