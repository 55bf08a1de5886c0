// The progress records the client polls, built from a transfer's counters.
#pragma once

#include "transfer_task.h"

namespace vantrel {

// The download, upload and send record ("TransTaskProgress"); an empty
// record (zeros, no size) without a task.
Json progressOf(const TaskPtr& task);
// The receiving side's record of a send ("ReceiveStatus").
Json receiveStatusOf(const TaskPtr& task);

}  // namespace vantrel
