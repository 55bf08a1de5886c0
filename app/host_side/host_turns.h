// Peers' requests wait here for their turn on the main thread, so that what
// peers ask for never holds up the client's own link with its bridge (its
// heartbeat is read and answered between two requests) nor another peer.
// Accounts share the host by what their requests cost, not by their number:
// the time a request took (on the main thread and on a worker) and the bytes
// of its answer. The account that has spent least goes next, one request at
// a time; work runs in short slices with the event loop between them, and
// all of it within a share of the host's time. What
// waits is bounded per session, per account and in all; a request beyond is
// refused at once (answered "busy").
// Main thread only, but for the `done` of continueElsewhere().
#pragma once

#include <QString>

#include <chrono>
#include <functional>

namespace hostside {

inline constexpr int kWaitingPerSession = 16;
inline constexpr int kWaitingPerAccount = 32;
// In all; an account with fewer than kWaitingReserved waiting is still taken,
// so that one that floods cannot leave the others nothing.
inline constexpr int kWaitingInAll = 256;
inline constexpr int kWaitingReserved = 4;
// Work runs for about this long before the event loop gets its turn again.
inline constexpr std::chrono::milliseconds kTurnSlice{5};
// What a KiB of answer costs, as time: the client writes it out, the bridge
// and the relay carry it, and the asking client reads it.
inline constexpr std::chrono::microseconds kCostPerKiB{50};
// Peers' requests, all accounts together, spend at most this share of the
// host's time (in percent), with a burst of kHostBurst: so that however many
// accounts flood, the host's transfers (which take no turns) keep the rest.
inline constexpr int kHostSharePercent = 25;
inline constexpr std::chrono::milliseconds kHostBurst{200};

struct HostWork {
  QString account;  // who asks: the peer's account, else its client id
  QString session;
  std::function<void()> run;
  std::function<void()> refuse;  // answers the request as refused
};

// Queues `work` for its turn; false, with `refuse` run at once, when its
// session or account holds its share already or everything is taken.
bool queueHostWork(HostWork work);
// What `session` still has waiting leaves unanswered: its peer is gone.
void dropHostWork(const QString& session);
// Requests waiting, in all.
int waitingHostWork();

// For the run of a turn whose work goes on off the main thread (a large
// folder's page): its account's next turn waits until the returned call is
// made, once, from any thread, with what the work cost there (its time and
// the bytes of its answer). Outside a run it does nothing.
using ElsewhereDone = std::function<void(std::chrono::microseconds spent, qint64 answerBytes)>;
ElsewhereDone continueElsewhere();
// The bytes of an answer written on the main thread, counted against the turn that runs.
void countAnswerBytes(qint64 bytes);

}  // namespace hostside
