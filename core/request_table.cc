#include "core/request_table.h"

#include <algorithm>
#include <utility>

namespace vy {

void RequestTable::Add(int kind, long long id, int64_t now_ms, std::string scope, Pairs pairs) {
  entries_.push_back(Entry{kind, id, std::move(scope), now_ms + kTimeoutMs, std::move(pairs)});
}

void RequestTable::AddInOrder(int kind, int64_t now_ms, std::string scope) {
  Add(kind, 0, now_ms, std::move(scope));
  entries_.back().in_order = true;
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
  std::vector<Entry> ended;
  for (Entry& e : entries_) {
    if (!e.in_order || e.ended || e.scope != scope) continue;
    ended.push_back(e);
    e.ended = true;
  }
  return ended;
}

std::vector<RequestTable::Entry> RequestTable::TakeExpired(int64_t now_ms) {
  auto due = [now_ms](const Entry& e) { return !e.ended && e.deadline <= now_ms; };
  if (std::none_of(entries_.begin(), entries_.end(), due)) return {};
  std::vector<Entry> expired, kept;
  kept.reserve(entries_.size());
  for (Entry& e : entries_) {
    if (!due(e)) {
      kept.push_back(std::move(e));
    } else if (e.in_order) {
      expired.push_back(e);
      e.ended = true;
      kept.push_back(std::move(e));
    } else {
      expired.push_back(std::move(e));
    }
  }
  entries_.swap(kept);
  return expired;
}

std::vector<RequestTable::Entry> RequestTable::TakeAll() {
  std::vector<Entry> all;
  all.swap(entries_);
  return all;
}

int64_t RequestTable::EarliestDeadline() const {
  int64_t earliest = INT64_MAX;
  for (const Entry& e : entries_) {
    if (!e.ended) earliest = std::min(earliest, e.deadline);
  }
  return earliest;
}

}  // namespace vy
