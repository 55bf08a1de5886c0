// The one rule for a plain file name: a single component that a peer may name
// inside a folder of this machine, by the host side and by the bridge's
// transfers alike.
#pragma once

#include <QString>

// Not empty, not "." or "..", no separator ("/" or "\"), no NUL or other
// control character, and at most 255 bytes in UTF-8 (the longest name a file
// system takes). Dots elsewhere are fine: "a..b" is a plain name.
bool isPlainFileName(const QString& name);

// The prefix of the names under which the bridge keeps a file while it
// arrives (".zkpart-"). A peer never names such a file: it could be taken for
// one of the bridge's own partial files.
inline constexpr char kPartialFilePrefix[] = ".zkpart-";
bool looksLikePartialFile(const QString& name);
