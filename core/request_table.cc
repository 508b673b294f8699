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

bool RequestTable::AddInOrder(int kind, int64_t now_ms, std::string scope, std::string command,
                              const std::string& content) {
  const bool waits = std::any_of(entries_.begin(), entries_.end(), [&](const Entry& e) {
    return e.in_order && e.scope == scope && e.command == command;
  });
  Add(kind, 0, now_ms, std::move(scope));
  Entry& entry = entries_.back();
  entry.in_order = true;
  entry.command = std::move(command);
  if (waits) {
    entry.sent = false;
    entry.content = content;
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

std::optional<RequestTable::Entry> RequestTable::TakeInOrder(const std::string& command,
                                                             const std::string& scope,
                                                             std::string* next) {
  next->clear();
  auto queued = [&](const Entry& e) {
    return e.in_order && e.scope == scope && e.command == command;
  };
  auto it = std::find_if(entries_.begin(), entries_.end(), queued);
  if (it == entries_.end()) return std::nullopt;
  Entry entry = std::move(*it);
  it = entries_.erase(it);
  it = std::find_if(it, entries_.end(), queued);
  if (it != entries_.end() && !it->sent) {
    it->sent = true;
    next->swap(it->content);
  }
  return entry;
}

template <class Pred>
std::vector<RequestTable::Entry> RequestTable::TakeIf(Pred pred) {
  std::vector<Entry> taken;
  auto keep = std::stable_partition(entries_.begin(), entries_.end(), pred);
  taken.assign(std::make_move_iterator(entries_.begin()), std::make_move_iterator(keep));
  entries_.erase(entries_.begin(), keep);
  return taken;
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
    if (e.in_order && !e.ended && e.scope == scope) {
      ended.push_back(e);
      // One that never went out gets no reply.
      if (!e.sent) continue;
      e.ended = true;
    }
    kept.push_back(std::move(e));
  }
  entries_.swap(kept);
  return ended;
}

std::optional<RequestTable::Entry> RequestTable::TakeExpired(int64_t now_ms) {
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [now_ms](const Entry& e) { return !e.expired && e.deadline <= now_ms; });
  if (it == entries_.end()) return std::nullopt;
  if (!it->in_order) {
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

int64_t RequestTable::EarliestDeadline() const {
  int64_t earliest = INT64_MAX;
  for (const Entry& e : entries_) {
    if (!e.expired) earliest = std::min(earliest, e.deadline);
  }
  return earliest;
}

}  // namespace vy
