// Fast folder scan for the host listing: names in the order the file system
// gives them, hidden entries (a leading dot) left out, read straight from the
// folder's directory entries in one pass. Attributes are read only where the
// caller needs them.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The folder a scan reads: its open descriptor, and the share's root with
// the folder's path beneath it, through which a symbolic link among its
// entries is followed (a link that leaves the share is a file of size 0).
struct ScanFolder {
  int fd = -1;
  int rootFd = -1;
  QString rel;
};

struct ScanEntry {
  std::string name;       // the name as the file system holds it (UTF-8)
  bool isDir = false;     // a folder, symbolic links followed
  int64_t size = 0;       // bytes; 0 for folders and unreadable entries
  int64_t createdMs = 0;  // creation time as local wall-clock milliseconds
};

// True when the text holds only ASCII bytes.
bool isAscii(std::string_view text);

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

// The visible names of one folder kept by a filter, read in one pass and
// told apart as folders and files by the folder's own entries: only a
// symbolic link or an entry of unknown kind is looked at (followed). The
// names stay bytes where the kernel put them until a caller picks the few it
// shows.
class FolderNames {
 public:
  FolderNames(const ScanFolder& dir, const NameFilter& filter);
  ~FolderNames();
  FolderNames(const FolderNames&) = delete;
  FolderNames& operator=(const FolderNames&) = delete;

  // In listing order, each kind numbered on its own.
  const std::vector<std::string_view>& folders() const { return folders_; }
  const std::vector<std::string_view>& files() const { return files_; }

  // Size and creation time of one of the names, links followed, as
  // scanEntries gives them; `entry.isDir` stays as it is.
  void readAttributes(ScanEntry& entry) const;

  // The errno value when the folder could not be opened or read to its end
  // (the names are then not all of them); 0 otherwise.
  int error() const { return error_; }

 private:
  int error_ = 0;
  int fd_ = -1;
  int rootFd_ = -1;
  QString rel_;
  std::vector<std::unique_ptr<char[]>> batches_;  // the directory entries as read; the names point here
  std::vector<std::string_view> folders_, files_;
};

// How many visible names of `dir` `filter` keeps; 0 for a missing or
// unreadable folder. Nothing is looked at but the folder's own entries.
// `error`, when given, learns the errno value of a folder that could not be
// opened or read to its end (left as it is otherwise).
int64_t countNames(const ScanFolder& dir, const NameFilter& filter, int* error = nullptr);

// The visible entries of `dir` kept by `filter`, with their attributes. An
// entry whose attributes cannot be read is a file of size 0 created "now".
// `error` as for countNames.
std::vector<ScanEntry> scanEntries(const ScanFolder& dir, const NameFilter& filter, int* error = nullptr);

// True when the sub-folder `name` of `dir` (followed as the scan follows
// links) holds at least one visible entry.
bool hasVisibleEntry(const ScanFolder& dir, const QString& name);
