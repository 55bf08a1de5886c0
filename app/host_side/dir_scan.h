// Fast folder scan for the host listing: names in the order the file system
// gives them, hidden entries (a leading dot) left out, and one attribute read
// per entry when the caller needs kinds, sizes or dates.
#pragma once

#include <QString>
#include <cstdint>
#include <string>
#include <vector>

struct ScanEntry {
  std::string name;       // the name as the file system holds it (UTF-8)
  bool isDir = false;     // a folder, symbolic links followed
  int64_t size = 0;       // bytes; 0 for folders and unreadable entries
  int64_t createdMs = 0;  // creation time as local wall-clock milliseconds
};

// Lower-cased-containment name filter; an empty search keeps everything.
class NameFilter {
 public:
  explicit NameFilter(const QString& search);
  bool keeps(const std::string& name) const;

 private:
  QString lower_;
  std::string lowerAscii_;
  bool ascii_ = true;
};

// The visible names of `dir` kept by `filter`; nothing for a missing or
// unreadable folder.
std::vector<std::string> scanNames(const QString& dir, const NameFilter& filter);

// The visible entries of `dir` kept by `filter`, with their attributes. An
// entry whose attributes cannot be read is a file of size 0 created "now".
std::vector<ScanEntry> scanEntries(const QString& dir, const NameFilter& filter);

// True when the folder holds at least one visible entry.
bool hasVisibleEntry(const QString& dir);

// Creation time of an existing path in local wall-clock milliseconds, the
// same value scanEntries gives.
int64_t creationMillis(const QString& path);
