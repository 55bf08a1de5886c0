// Peer-link attempts ("ClientInit"), one at a time. The bridge's answer to an
// attempt ("GetShareHost6Client" or "P2PConFailed") names neither the screen
// nor the host that asked, so only one attempt is with the bridge at a time: a
// second waits until the first is answered. That answer, and the load check
// that follows a link's opening, belong to the attempt under way; its result
// reaches the screen that started it, once, unless that screen gave it up.
// Main thread only.
#pragma once

#include <QtGlobal>

#include <functional>

// The screen that started an attempt.
enum class LinkOwner : quint8 { none = 0, browser = 1, contactSend = 3 };

struct LinkAttempt {
  quint64 id = 0;  // 0: no attempt
  LinkOwner owner = LinkOwner::none;
};

namespace linkattempts {

// How long an attempt under way may go unanswered before the next one is sent
// (the bridge answers every attempt within its own 10 s).
inline constexpr int kAnswerTimeoutMs = 30000;

// Starts the owner's attempt with `send` (which writes "ClientInit"): now, or
// when the attempt under way is answered. It replaces the owner's earlier
// attempt, whose result then reaches nobody.
void open(LinkOwner owner, std::function<void()> send);
// The owner gives its attempt up: a waiting one is never sent, and the result
// of one under way reaches nobody.
void withdraw(LinkOwner owner);
// The bridge answered the attempt under way: returns it (id 0 when none was
// under way) and sends the next waiting attempt.
LinkAttempt answered();
// True once for an attempt whose owner still waits for its result: the owner
// then waits no more.
bool take(const LinkAttempt& attempt);
// Whether the owner waits for the result of an attempt.
bool waiting(LinkOwner owner);
// The bridge was restarted: no attempt written to it will be answered; every
// attempt is dropped (the screens' own time-outs give up on them).
void reset();

}  // namespace linkattempts
