// The file ends of a transfer, whatever route the bytes take: the source
// reads a file and hashes what it read, noticing when the file changes under
// it; the sink writes under a hidden temporary name, hashes what it wrote,
// and renames into place only a file whose size and check (file_sum.h) match,
// after syncing it to disk.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QObject>
#include <QString>

#include "core/beneath.h"
#include "file_slots.h"
#include "file_sum.h"
#include "transfer_paths.h"
#include "transfer_wire.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace vantrel {

// A local file served to a peer: exactly `size` bytes, the size announced.
// Every route and direction reads through it, so its check that the file is
// still the one opened (size, modification and change time, inode) is the
// only one.
class SourceFile {
 public:
  // Nothing, and the reason, when it cannot be opened or no longer has the
  // announced size (then `changed` is set). What is read is checked with `sum`.
  // `unreadable`, when given, is set when the file is there but this process
  // may not open it (rather than gone, or no longer a file).
  static std::unique_ptr<SourceFile> open(const TransferEntry& entry, SumKind sum, QString* why, bool* changed,
                                          bool* unreadable = nullptr);
  // The next at most `max` bytes; nothing (and the reason) when the file
  // cannot be read or ended before its announced size (then changed()).
  std::optional<QByteArray> read(qint64 max, QString* why);
  bool changed() const { return changed_; }
  qint64 offset() const { return offset_; }
  bool atEnd() const { return offset_ >= size_; }
  // After the last read: the check of everything read, or nothing (and the
  // reason) when the file changed, grew or shrank while it was read.
  std::optional<QString> finish(QString* why);

 private:
  struct Stamp {
    qint64 size = 0;
    qint64 mtimeNs = 0;
    qint64 ctimeNs = 0;
    quint64 inode = 0;
    bool operator==(const Stamp&) const = default;
  };
  static std::optional<Stamp> stampOf(int fd);
  QString changeOf(const std::optional<Stamp>& now) const;
  QFile file_;
  Stamp stamp_;
  qint64 size_ = 0;
  qint64 offset_ = 0;
  bool changed_ = false;
  std::optional<FileSum> hash_;
};

// A file being received into an open folder: created new beside its final
// name, never through an existing name or a link, and renamed in that same
// folder.
class SinkFile {
 public:
  using Folder = std::shared_ptr<const beneath::Fd>;
  // The temporary name of transfer `xid`'s entry `index`:
  // ".zkpart-TAG-XID-INDEX", TAG this process's random tag.
  static QString partName(const QString& xid, qint64 index);
  // Creates the temporary file in `folder` and writes it down in the
  // journal; nothing (and the reason) when it cannot. What is written is
  // checked with `sum`. It keeps its place among the open files, `slot`,
  // until it is gone.
  static std::unique_ptr<SinkFile> create(Folder folder, const QString& xid, qint64 index, SumKind sum,
                                          FileSlots::SlotPtr slot, QString* why);
  ~SinkFile();  // removes the temporary file unless it was committed

  bool write(QByteArrayView bytes);
  // Removes the temporary file now, also while a worker still writes to it
  // or commits it; true when the commit had renamed it into place already
  // (it stays), else it never will.
  bool discard();
  qint64 written() const { return written_; }

  // Checks the size and hash against what the source announced, syncs the
  // data to disk off the main thread and renames the file to `dest` in its folder (with
  // `replace` false, never over an existing entry: to the first free
  // "name (N).ext" beside it); `done` runs on `context`'s thread with an empty
  // reason on success and whether another name was taken. The file is removed
  // on any failure.
  using Committed = std::function<void(const QString& why, bool renamed)>;
  static void commit(std::unique_ptr<SinkFile> file, qint64 size, const QString& sum, const QByteArray& dest,
                     bool replace, QObject* context, Committed done);
  // The same for a file whose writes ran on a worker, once they are all done.
  static void commit(std::shared_ptr<SinkFile> file, qint64 size, const QString& sum, const QByteArray& dest,
                     bool replace, QObject* context, Committed done);

 private:
  void removeTemporary();
  FileSlots::SlotPtr slot_;  // first, so given back after the file and its folder are closed
  QFile file_;
  Folder folder_;
  QByteArray name_;
  qint64 written_ = 0;
  qint64 flushed_ = 0;  // handed to the disk's write-back so far
  static constexpr qint64 kWriteBehindBytes = 8 * 1024 * 1024;
  // The kernel sizes a file's page-cache blocks by the write that fills them.
  // Larger writes take higher-order free blocks, which a virtual machine's
  // host may have taken back (free page reporting): each page then faults in
  // from the host, and receiving took up to ten times the CPU. With 16 KiB
  // writes it did not, even for 4 GiB (64 KiB held for 1 GiB only); the extra
  // writes cost the receiver 10-15% more CPU.
  static constexpr qint64 kWritePiece = 16 * 1024;
  std::optional<FileSum> hash_;
  bool kept_ = false;  // under placeMutex_ once a commit runs
  std::atomic_bool removed_ = false;
  std::mutex placeMutex_;  // the rename into place against discard()
};

// The share's root that a host check's answer names ("ShareRoot", checked
// against "ShareId"), and the path beneath it ("ShareRel"); nothing when the
// answer names none or the root is no longer that folder.
std::shared_ptr<const beneath::Fd> openCheckedRoot(const Json& info, QString* rel);

}  // namespace vantrel
