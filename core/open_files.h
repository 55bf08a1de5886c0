// The process's own limit of open files.
#pragma once

namespace openfiles {

// Raises the soft limit of open files (RLIMIT_NOFILE) to the hard limit, as
// programs that open many files do: a desktop session starts programs at
// 1,024. Transfers bound their own open files and never depend on this.
// Returns the soft limit afterwards; -1 when unlimited or unknown.
long raiseSoftLimit();

}  // namespace openfiles
