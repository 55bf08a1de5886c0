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
// The checks the host's own bridge asks for transfers already started wait
// apart, in a lane of their own that goes first, shared by account among
// themselves within a larger share of their own. A share binds only while
// someone else wants the time: an account alone with its work on a host that
// runs no transfer is not held back by it.
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
// The transfer checks' own share (same burst), ahead of peers' requests: well
// above theirs, so that a started transfer waits for its checks only behind
// other transfers' checks, and still bounded, so that transfers started to
// flood the host leave its peers' requests and its own work their time.
inline constexpr int kCheckSharePercent = 50;

struct HostWork {
  QString account;  // who asks: the peer's account, else its client id
  QString session;
  std::function<void()> run;
  std::function<void()> refuse;  // answers the request as refused
  // A check the host's own bridge asks for a transfer it runs (never a peer's
  // request): it waits in the checks' lane.
  bool transferCheck = false;
};

// Queues `work` for its turn; false, with `refuse` run at once, when its
// session or account holds its share of its lane already or everything is taken.
bool queueHostWork(HostWork work);
// What `session` still has waiting leaves unanswered: its peer is gone.
void dropHostWork(const QString& session);
// Requests and checks waiting, in all.
int waitingHostWork();

// How many transfers the host's bridge runs now, as it says with each request
// it hands over: while one runs, the peers' share binds.
void setHostTransfers(int running);

// For the run of a turn whose work goes on off the main thread (a large
// folder's page): its account's next turn waits until the returned call is
// made, once, from any thread, with what the work cost there (its time and
// the bytes of its answer). Outside a run it does nothing.
using ElsewhereDone = std::function<void(std::chrono::microseconds spent, qint64 answerBytes)>;
ElsewhereDone continueElsewhere();
// The bytes of an answer written on the main thread, counted against the turn that runs.
void countAnswerBytes(qint64 bytes);

// Peers' work done outside the turns (a thumbnail made by a helper process
// after its request's turn): in the peers' share and charged to its account
// like the rest. While an account holds such work it counts among those that
// want the host's time.
void holdOutsideWork(const QString& account);
void releaseOutsideWork(const QString& account);
// What an account has spent so far, to pick whose outside work goes next.
qint64 spentBy(const QString& account);
struct OutsideWork {
  QString account;
  qint64 expected = 0;  // microseconds charged to the account when it starts
  qint64 reserved = 0;  // and held of the peers' budget while it runs
  bool waived = false;  // started past the budget, the account being alone
};
// Whether one piece of `account`'s outside work, expected to cost about
// `estimate`, may start now; if so `work` holds its part of the budget until
// finishOutsideWork, else `wait` says when to ask again.
bool startOutsideWork(const QString& account, std::chrono::microseconds estimate, OutsideWork* work,
                      std::chrono::milliseconds* wait);
// It ended, having cost `spent` and written an answer of `answerBytes`.
void finishOutsideWork(const OutsideWork& work, std::chrono::microseconds spent, qint64 answerBytes = 0);
// The bytes of an answer `account` gets outside its turn (a thumbnail answer
// once its pictures are made); inside a turn they are that turn's already.
void countLateAnswerBytes(const QString& account, qint64 bytes);

}  // namespace hostside
