// The receiving side of a transfer: takes an offer into a folder (every path
// checked to stay inside it), writes each file under a hidden temporary name
// and renames it into place only once it is complete.
#pragma once

#include "lan/lan_sink.h"
#include "transfer_core.h"

namespace vantrel {

class TransferLan;

class TransferSink {
 public:
  explicit TransferSink(TransferCore& core) : core_(core) {}

  // A download of the local client: asks the peer for the targets ("pull").
  Json startDownload(const QString& session, const QString& folder, const QStringList& targets);

  // Frames from the peer.
  void onPush(const QString& session, const QString& xid, const Json& msg);
  // The offer of an upload or a send once whole (it may have come in parts).
  void takePush(const TaskPtr& task, const Json& msg);
  // The sender's "cancel" of a send whose offer never came (it failed before
  // it, or its list could not be sent): the receive the session's panel
  // accepted ends with the sender's reason and what it could not read.
  void onSendEndedUnoffered(const QString& session, const QString& xid, const Json& msg);
  void onManifest(const TaskPtr& task, const Json& msg);
  // One chunk of file bytes, whatever route it came by.
  // `bytes` are kept by sharing `owner` when they lie inside it, else copied.
  void onData(const TaskPtr& task, qint64 index, qint64 offset, QByteArrayView bytes, const QByteArray& owner = {});
  void onSum(const TaskPtr& task, const Json& msg);
  void onSkip(const TaskPtr& task, const Json& msg);
  void onDone(const TaskPtr& task);

  // A place among the open files was given back: the transfers waiting for
  // one go on.
  void resumeHeld();

  // The local-network route, when the bridge has one.
  void setLan(TransferLan* lan) { lan_ = lan; }
  // Entry `index` arriving by the local-network route, written and committed
  // by the same rules as relayed chunks.
  std::unique_ptr<LanFileSink> routeFile(const TaskPtr& task, qint64 index);

 private:
  void takeOffer(const TaskPtr& task, const Json& offer, bool absolutePaths);
  QString prepareEntry(const TaskPtr& task, TransferEntry& entry, bool absolutePath, TransferReason* reason);
  // Opens the task's own folder (a download's or an accepted send's) as the
  // folder every entry is reached beneath; false when it cannot.
  static bool openOwnFolder(const TaskPtr& task);
  // Opens entry `index` when it is the next file, or waits for a place
  // among the open files.
  SinkStep openFile(const TaskPtr& task, qint64 index);
  // Writes one chunk of the current file, opening it first.
  // `endsChunk`: the write that completes the received frame (for the acknowledgements).
  SinkStep writeChunk(const TaskPtr& task, qint64 index, qint64 offset, QByteArrayView bytes,
                      const QByteArray& owner = {}, bool endsChunk = true);
  // Runs `step` now, or after the steps of the task that wait for a place
  // among the open files; `bytes`: what it holds meanwhile.
  void inTurn(const TaskPtr& task, std::function<SinkStep(const TaskPtr&)> step, qint64 bytes = 0);
  void runHeld(const TaskPtr& task);
  // A packed frame: `count` whole small files, each written and committed.
  bool takePacked(const TaskPtr& task, qint64 count, QByteArrayView payload, const QByteArray& owner);
  void acknowledge(const TaskPtr& task);
  // Tells the source of a peer's upload or send the files renamed into place
  // since the last acknowledgement, soon (once per turn of the event loop), so
  // that its count is this side's also when the link goes before the end.
  void tellKept(const TaskPtr& task);
  void finish(const TaskPtr& task);
  // Checks, syncs and renames the current file; `after` hears the outcome.
  void commit(const TaskPtr& task, qint64 index, const QString& sum, LanFileSink::Kept after);
  // The same once the source says the file is whole with `size` bytes;
  // the transfer fails when that is not the size announced.
  SinkStep commitWhole(const TaskPtr& task, qint64 index, qint64 size, const QString& sum);
  void sendAccept(const TaskPtr& task, const XferAccept& accept, const Json& grant);
  friend class RouteFile;

  TransferCore& core_;
  TransferLan* lan_ = nullptr;
};

}  // namespace vantrel
