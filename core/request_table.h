// Requests sent to the server that await their reply. The server may never answer (a lost
// connection, a dropped command), so each entry has a deadline; whoever owns the table reports
// every request exactly once: when its reply takes it out, when its deadline passes, or when
// the session ends. Entries leave the table (or are marked ended, see AddInOrder) before they
// are reported, so a report that makes a new request, logs out or answers again never meets an
// entry twice.
//
// An entry has a kind (the owner's numbering of its request families), an id (the request id
// the reply echoes) and a scope (the user or channel the request is about, for the report, or
// for replies that name it instead of an id). Several entries may share kind and id, since
// callers choose their own ids: a reply takes the oldest.
//
// Replies that carry no id can only be matched by their order, and only while no two of them
// can overtake each other. An entry added with AddInOrder is one of a queue named by its scope
// and command, of which one command at a time is on its way: entries made meanwhile wait, and go
// out together, as one command, once its reply has come; that one reply then answers them all.
// An entry reported before its reply (its owner ended it, or its deadline passed) keeps its place,
// marked ended, until its reply comes or the owner takes it out; one that never went out is
// taken out at once. Deadlines count from the request, so a slow reply to a command that went
// out late ends it; the order is lost only when a command's reply has not come 10 s after it
// went out (OrderLost): the reply may come later, or never, and the owner then ends the
// connection the queue was sent on.
//
// Times are monotonic milliseconds (rtc::TimeMillis). Not thread-safe: one thread owns it.
#ifndef CORE_REQUEST_TABLE_H_
#define CORE_REQUEST_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vy {

class RequestTable {
 public:
  // How long a request waits for its reply.
  static constexpr int64_t kTimeoutMs = 10000;

  using Pairs = std::vector<std::pair<std::string, std::string>>;

  struct Entry {
    int kind = 0;
    long long id = 0;
    std::string scope;
    int64_t deadline = 0;
    // What the owner applies once the reply accepts the request (a write's key-value pairs).
    Pairs pairs;
    // Keeps its place after it has been reported (AddInOrder).
    bool in_order = false;
    // Reported already; it only waits for its own reply, which the owner drops.
    bool ended = false;
    // In order: the command sent, which its reply names; the content kept while it waits for
    // its turn; whether it has gone out, and whether its deadline has passed.
    std::string command;
    std::string content;
    bool sent = true;
    bool expired = false;
    // In order: when a command that went out has been on its way too long (0 until it went
    // out); whether its reply has come (the entry then leaves with TakeAnswered).
    int64_t sent_deadline = 0;
    bool answered = false;
  };

  // Registers a request made at `now_ms`.
  void Add(int kind, long long id, int64_t now_ms, std::string scope = {}, Pairs pairs = {});
  // Registers a request made at `now_ms` whose reply names only `scope` and `command`. True
  // when it goes out now; false when it waits: behind one of its queue still on its way, or,
  // with `wait`, until SendWaiting sends it or TakeWaiting takes it out. Its `content` is kept
  // meanwhile.
  bool AddInOrder(int kind, int64_t now_ms, std::string scope, std::string command,
                  const std::string& content, bool wait = false);

  // Takes out the oldest entry with this id whose kind is one of `kinds` (one reply may answer
  // several kinds of request) and, when `scope` is given, with this scope, ended or not; nothing
  // when none waits.
  std::optional<Entry> Take(std::initializer_list<int> kinds, long long id,
                            const std::string* scope = nullptr);

  // A reply of the queue `scope` and `command` has come: the entries on their way are answered
  // (false when none was), and those waiting go out as one, at `now_ms`: the content of the
  // newest is moved to `next`, which stays empty when none waits.
  bool AnswerInOrder(const std::string& command, const std::string& scope, int64_t now_ms,
                     std::string* next);
  // Takes out the oldest answered entry of the queue, ended or not; one at a time, since the
  // report of one may end the others (a logout, a release).
  std::optional<Entry> TakeAnswered(const std::string& command, const std::string& scope);
  // Sends what waits in the queue when nothing of it is on its way: as AnswerInOrder's `next`.
  std::string SendWaiting(const std::string& command, const std::string& scope, int64_t now_ms);
  // Takes out the entries of `scope` added in order that have not gone out, oldest first.
  std::vector<Entry> TakeWaiting(const std::string& scope);
  // Whether an entry of the queue is in the table, gone out or not, ended or not.
  bool Queued(const std::string& command, const std::string& scope) const;

  // Takes out every entry whose kind is one of `kinds`, oldest first.
  std::vector<Entry> TakeKinds(std::initializer_list<int> kinds);

  // Ends every entry of this scope added in order and not ended yet, and returns them as they
  // were, oldest first, for the owner to report. Those on their way stay, marked ended; those
  // that never went out, or whose reply has come, are taken out, as no reply will come for them.
  std::vector<Entry> EndScope(const std::string& scope);

  // Takes out the oldest entry whose deadline is `now_ms` or earlier; nothing when none is due.
  // An entry added in order that has gone out stays, marked ended and expired, and is returned
  // (once) as it was, ended or not. One at a time: the report of one may end the others
  // otherwise (a logout).
  std::optional<Entry> TakeExpired(int64_t now_ms);
  // Whether a command added in order has been on its way 10 s without its reply at `now_ms`.
  bool OrderLost(int64_t now_ms) const;

  // Takes out every entry, oldest first.
  std::vector<Entry> TakeAll();

  // The earliest deadline of any entry that has not expired or been answered, and of any
  // command on its way; INT64_MAX when there is none.
  int64_t EarliestDeadline() const;

  size_t size() const { return entries_.size(); }

 private:
  // Takes out the entries `pred` holds for, keeping the order of both parts.
  template <class Pred>
  std::vector<Entry> TakeIf(Pred pred);
  // Whether `e` is of the queue `scope` and `command`.
  static bool InQueue(const Entry& e, const std::string& command, const std::string& scope) {
    return e.in_order && e.scope == scope && e.command == command;
  }
  // On its way: gone out, and its reply not come yet.
  static bool OnItsWay(const Entry& e) { return e.in_order && e.sent && !e.answered; }

  // In the order of registration.
  std::vector<Entry> entries_;
};

}  // namespace vy

#endif  // CORE_REQUEST_TABLE_H_
