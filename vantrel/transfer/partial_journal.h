// The bridge's own partial files: every one it creates carries a random tag
// of this process in its name and is written down in a journal of this
// process in the bridge's data folder before any byte goes into it. Only files
// in the journal of a bridge that no longer runs are ever removed as left
// behind; anything else with a similar name, the owner's or a peer's, is left
// alone.
#pragma once

#include <QByteArray>
#include <QString>

namespace vantrel {

// The folder that holds the journals (the bridge's data folder); without one
// no journal is kept and nothing left behind is removed.
void setPartialJournalFolder(const QString& folder);

// The random tag of this process in its partial files' names.
QString partialTag();

// Writes down the partial file `name` in the folder `folderFd` (whose path is
// `folderPath`); false when it cannot be written down.
bool recordPartial(int folderFd, const QByteArray& name);

// Removes the partial files that bridges which no longer run wrote down, then
// their journals. Runs on a worker thread.
void removeStalePartials();

}  // namespace vantrel
