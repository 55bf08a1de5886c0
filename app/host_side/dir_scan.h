// Fast folder scan for the host listing: names in the order the file system
// gives them, hidden entries (a leading dot) left out, and one attribute read
// per entry when the caller needs kinds, sizes or dates.
#pragma once

#include <QString>
#include <cstdint>
#include <string>
#include <string_view>
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
  bool keeps(std::string_view name) const;

 private:
  QString lower_;
  std::string lowerAscii_;
  bool ascii_ = true;
};

// How many visible names of `dir` `filter` keeps; 0 for a missing or
// unreadable folder. Nothing is looked at but the folder's own entries.
int64_t countNames(const QString& dir, const NameFilter& filter);

// The visible entries of `dir` kept by `filter`, with their attributes. An
// entry whose attributes cannot be read is a file of size 0 created "now".
std::vector<ScanEntry> scanEntries(const QString& dir, const NameFilter& filter);

// The visible entries of `dir` kept by `filter`, told apart as folders and
// files by the folder's own entries: only a symbolic link or an entry of
// unknown kind is looked at (followed). Sizes and dates are left for
// readAttributes.
std::vector<ScanEntry> scanKinds(const QString& dir, const NameFilter& filter);

// Fills the size and creation time of `entry` of the folder `dir`, as
// scanEntries would have; its kind stays.
void readAttributes(const QString& dir, ScanEntry& entry);

// True when the folder holds at least one visible entry.
bool hasVisibleEntry(const QString& dir);

// Creation time of an existing path in local wall-clock milliseconds, the
// same value scanEntries gives.
int64_t creationMillis(const QString& path);
