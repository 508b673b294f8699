#include "core/request_table.h"

#include <algorithm>
#include <utility>

namespace vy {

void RequestTable::Add(int kind, long long id, int64_t now_ms, std::string scope, Pairs pairs) {
  Entry& entry = entries_.emplace_back();
  entry.kind = kind;
  entry.id = id;
  entry.scope = std::move(scope);
  entry.deadline = now_ms + kTimeoutMs;
  entry.pairs = std::move(pairs);
}

template <class Pred>
std::vector<RequestTable::Entry> RequestTable::TakeIf(Pred pred) {
  std::vector<Entry> taken;
  auto keep = std::stable_partition(entries_.begin(), entries_.end(), pred);
  taken.assign(std::make_move_iterator(entries_.begin()), std::make_move_iterator(keep));
  entries_.erase(entries_.begin(), keep);
  return taken;
}

bool RequestTable::AddInOrder(int kind, int64_t now_ms, std::string scope, std::string command,
                              const std::string& content, bool wait) {
  // Entries answered but not yet taken out are on nobody's way.
  const bool waits = wait || Queued(command, scope);
  Add(kind, 0, now_ms, std::move(scope));
  Entry& entry = entries_.back();
  entry.in_order = true;
  entry.command = std::move(command);
  if (waits) {
    entry.sent = false;
    entry.content = content;
  } else {
    entry.sent_deadline = now_ms + kTimeoutMs;
  }
  return !waits;
}

std::optional<RequestTable::Entry> RequestTable::Take(std::initializer_list<int> kinds,
                                                      long long id, const std::string* scope) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->id != id || (scope != nullptr && it->scope != *scope)) continue;
    if (std::find(kinds.begin(), kinds.end(), it->kind) == kinds.end()) continue;
    Entry entry = std::move(*it);
    entries_.erase(it);
    return entry;
  }
  return std::nullopt;
}

bool RequestTable::AnswerInOrder(const std::string& command, const std::string& scope,
                                 int64_t now_ms, std::string* next) {
  bool answered = false;
  for (Entry& e : entries_) {
    if (!InQueue(e, command, scope) || !OnItsWay(e)) continue;
    e.answered = answered = true;
  }
  *next = SendWaiting(command, scope, now_ms);
  return answered;
}

std::optional<RequestTable::Entry> RequestTable::TakeAnswered(const std::string& command,
                                                              const std::string& scope) {
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const Entry& e) { return InQueue(e, command, scope) && e.answered; });
  if (it == entries_.end()) return std::nullopt;
  Entry entry = std::move(*it);
  entries_.erase(it);
  return entry;
}

std::string RequestTable::SendWaiting(const std::string& command, const std::string& scope,
                                      int64_t now_ms) {
  std::string next;
  if (std::any_of(entries_.begin(), entries_.end(),
                  [&](const Entry& e) { return InQueue(e, command, scope) && OnItsWay(e); })) {
    return next;
  }
  for (Entry& e : entries_) {
    if (!InQueue(e, command, scope) || e.sent) continue;
    e.sent = true;
    e.sent_deadline = now_ms + kTimeoutMs;
    // One command stands for them all; the newest content is as good as any.
    next.swap(e.content);
    e.content.clear();
  }
  return next;
}

std::vector<RequestTable::Entry> RequestTable::TakeWaiting(const std::string& scope) {
  return TakeIf([&](const Entry& e) { return e.in_order && e.scope == scope && !e.sent; });
}

bool RequestTable::Queued(const std::string& command, const std::string& scope) const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [&](const Entry& e) { return InQueue(e, command, scope) && !e.answered; });
}

std::vector<RequestTable::Entry> RequestTable::TakeKinds(std::initializer_list<int> kinds) {
  return TakeIf([kinds](const Entry& e) {
    return std::find(kinds.begin(), kinds.end(), e.kind) != kinds.end();
  });
}

std::vector<RequestTable::Entry> RequestTable::EndScope(const std::string& scope) {
  std::vector<Entry> ended, kept;
  kept.reserve(entries_.size());
  for (Entry& e : entries_) {
    if (e.in_order && e.scope == scope) {
      if (!e.ended) ended.push_back(e);
      // One that never went out, or whose reply has come, gets no reply any more.
      if (!OnItsWay(e)) continue;
      e.ended = true;
    }
    kept.push_back(std::move(e));
  }
  entries_.swap(kept);
  return ended;
}

std::optional<RequestTable::Entry> RequestTable::TakeExpired(int64_t now_ms) {
  auto it = std::find_if(entries_.begin(), entries_.end(), [now_ms](const Entry& e) {
    return !e.expired && !e.answered && e.deadline <= now_ms;
  });
  if (it == entries_.end()) return std::nullopt;
  if (!OnItsWay(*it)) {
    Entry entry = std::move(*it);
    entries_.erase(it);
    return entry;
  }
  Entry entry = *it;
  it->ended = it->expired = true;
  return entry;
}

std::vector<RequestTable::Entry> RequestTable::TakeAll() {
  std::vector<Entry> all;
  all.swap(entries_);
  return all;
}

bool RequestTable::OrderLost(int64_t now_ms) const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [now_ms](const Entry& e) { return OnItsWay(e) && e.sent_deadline <= now_ms; });
}

int64_t RequestTable::EarliestDeadline() const {
  int64_t earliest = INT64_MAX;
  for (const Entry& e : entries_) {
    if (!e.expired && !e.answered) earliest = std::min(earliest, e.deadline);
    if (OnItsWay(e)) earliest = std::min(earliest, e.sent_deadline);
  }
  return earliest;
}

}  // namespace vy
