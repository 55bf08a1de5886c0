// How far a folder that travels in one transfer may reach: the bounds of the
// host's walk of a folder a peer asked for, and what the receiving side
// takes from a peer's offer, so that neither side makes what the other
// would not.
#pragma once

namespace protocol {

// Entries in one transfer, folders and files together.
inline constexpr int kFolderMaxEntries = 50000;
// Folder levels below the folder that was asked for (that one is level 0).
inline constexpr int kFolderMaxDepth = 64;

}  // namespace protocol
