// Merging stores by name: see store_merge.h.
#include "store_merge.h"

#include <time.h>

#include <optional>
#include <set>
#include <string_view>

#include "entry_selection.h"
#include "secret.h"
#include "status.h"

namespace kel::tool {

namespace {

constexpr std::size_t kMaxName = 255;

// A copy of `from`'s value under `name`; the plain copy made on the way is
// wiped.
kel::Entry entry_of(const std::string& name, const kel::Entry& from) {
  std::string value(from.value());
  kel::Entry entry(name, value);
  wipe(value);
  return entry;
}

std::string utc(std::time_t now, const char* format) {
  struct tm parts {};
  gmtime_r(&now, &parts);
  char text[32];
  const std::size_t length = strftime(text, sizeof text, format, &parts);
  return std::string(text, length);
}

// Collects the changes of a plan, and the names the merged store will hold
// besides those of the stores it is made from, so that no conflict entry is
// ever named over another entry.
class Planner {
 public:
  // `result`: the store the plan changes (one of `stores`).
  Planner(const StoreEntries& result, std::vector<const StoreEntries*> stores, std::time_t now)
      : result_(result), stores_(std::move(stores)), now_(now) {}

  void add(const std::string& name, const kel::Entry& value) {
    put(name, value);
    plan_.added.push_back(name);
  }
  void replace(const std::string& name, const kel::Entry& value) {
    put(name, value);
    plan_.replaced.push_back(name);
  }
  void remove(const std::string& name) {
    plan_.remove.push_back(name);
    plan_.removed.push_back(name);
  }
  // Stores `value` beside `name` under a free conflict name; `why` says in
  // the report what happened to the name.
  void keep_aside(const std::string& name, const kel::Entry& value, const std::string& why) {
    // A merge made again finds the value kept aside the first time: it is
    // not stored twice.
    const std::string prefix = name + ".conflict-";
    for (auto it = result_.lower_bound(prefix);
         it != result_.end() && it->first.starts_with(prefix); ++it) {
      if (it->second.value() == value.value()) {
        plan_.conflicts.push_back(tool::quoted(name) + ": " + why + "; the value not kept is "
                                  "stored already as " + tool::quoted(it->first));
        return;
      }
    }
    const std::string aside = conflict_name(name);
    taken_.insert(aside);
    put(aside, value);
    plan_.conflicts.push_back(tool::quoted(name) + ": " + why + "; the value not kept is stored as " +
                              tool::quoted(aside));
  }
  void conflict(const std::string& name, const std::string& why) {
    plan_.conflicts.push_back(tool::quoted(name) + ": " + why);
  }
  MergePlan take() { return std::move(plan_); }

 private:
  void put(const std::string& name, const kel::Entry& value) {
    plan_.put.push_back(entry_of(name, value));
    plan_.put_names.push_back(name);
  }

  bool taken(const std::string& name) const {
    if (taken_.count(name) != 0) return true;
    for (const StoreEntries* store : stores_) {
      if (store->count(name) != 0) return true;
    }
    return false;
  }

  std::string conflict_name(const std::string& name) const {
    const std::string day = name + ".conflict-" + utc(now_, "%Y%m%d");
    std::string chosen = day;
    if (taken(chosen)) {
      const std::string exact = name + ".conflict-" + utc(now_, "%Y%m%dT%H%M%SZ");
      chosen = exact;
      for (int n = 2; taken(chosen); ++n) chosen = exact + "-" + std::to_string(n);
    }
    if (chosen.size() > kMaxName) {
      throw Failure(kRejected, "the values of " + tool::quoted(name) +
                                   " differ, and its name is too long to keep the other "
                                   "value beside it as " + tool::quoted(chosen) +
                                   " (255 bytes at most): rename it on one side first; "
                                   "nothing was changed");
    }
    return chosen;
  }

  const StoreEntries& result_;
  std::vector<const StoreEntries*> stores_;
  std::time_t now_;
  std::set<std::string> taken_;
  MergePlan plan_;
};

const kel::Entry* find(const StoreEntries& entries, const std::string& name) {
  auto found = entries.find(name);
  return found == entries.end() ? nullptr : &found->second;
}

bool same(const kel::Entry* a, const kel::Entry* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return a->value() == b->value();
}

}  // namespace

std::unique_ptr<kel::Safe> safe_at(const std::string& file, const Secret& password) {
  auto safe = std::make_unique<kel::Safe>(file, password.str());
  safe->use_store_file(file);
  return safe;
}

StoreEntries read_store(kel::Safe& safe, const std::string& what, const std::string& path) {
  const std::vector<std::string> names = names_under(safe, "", what, path);
  // In the order of the names given: the Entry keeps its name to itself.
  std::vector<kel::Entry> entries = read_entries(safe, names, what, path);
  StoreEntries by_name;
  for (std::size_t i = 0; i < names.size(); ++i) by_name.emplace(names[i], std::move(entries[i]));
  return by_name;
}

MergePlan plan_merge(const StoreEntries& ours, const StoreEntries& theirs, bool prefer_theirs,
                     std::time_t now) {
  Planner planner(ours, {&ours, &theirs}, now);
  for (const auto& [name, their_value] : theirs) {
    const kel::Entry* our_value = find(ours, name);
    if (our_value == nullptr) {
      planner.add(name, their_value);
    } else if (!same(our_value, &their_value)) {
      if (prefer_theirs) {
        planner.replace(name, their_value);
        planner.keep_aside(name, *our_value, "the values differ, the other store's is kept");
      } else {
        planner.keep_aside(name, their_value, "the values differ, this store's is kept");
      }
    }
  }
  return planner.take();
}

MergePlan plan_three_way(const StoreEntries& base, const StoreEntries& ours,
                         const StoreEntries& theirs, std::time_t now) {
  Planner planner(ours, {&base, &ours, &theirs}, now);
  std::set<std::string> names;
  for (const StoreEntries* side : {&base, &ours, &theirs}) {
    for (const auto& each : *side) names.insert(each.first);
  }
  for (const std::string& name : names) {
    const kel::Entry* was = find(base, name);
    const kel::Entry* our_value = find(ours, name);
    const kel::Entry* their_value = find(theirs, name);
    if (same(our_value, their_value) || same(their_value, was)) continue;  // ours stands
    if (same(our_value, was)) {  // changed on their side only: take it
      if (their_value == nullptr) {
        planner.remove(name);
      } else if (our_value == nullptr) {
        planner.add(name, *their_value);
      } else {
        planner.replace(name, *their_value);
      }
      continue;
    }
    // Changed on both sides, differently. A value is never lost: the
    // changed one stays where the other side removed the name.
    if (our_value == nullptr) {
      planner.add(name, *their_value);
      planner.conflict(name, "removed on our side, changed on theirs; their value is kept");
    } else if (their_value == nullptr) {
      planner.conflict(name, "changed on our side, removed on theirs; our value is kept");
    } else {
      planner.keep_aside(name, *their_value,
                         was == nullptr ? "added on both sides with different values, ours kept"
                                        : "changed on both sides differently, ours kept");
    }
  }
  return planner.take();
}

MergePlan plan_onto(const StoreEntries& target, const StoreEntries& ours, const MergePlan& plan) {
  // What ours holds once the plan is applied, by name.
  std::map<std::string, const kel::Entry*> result;
  for (const auto& [name, value] : ours) result[name] = &value;
  for (std::size_t i = 0; i < plan.put.size(); ++i) result[plan.put_names[i]] = &plan.put[i];
  for (const std::string& name : plan.remove) result.erase(name);
  MergePlan onto;
  for (const auto& [name, value] : result) {
    if (!same(find(target, name), value)) {
      onto.put.push_back(entry_of(name, *value));
      onto.put_names.push_back(name);
    }
  }
  for (const auto& each : target) {
    if (result.count(each.first) == 0) onto.remove.push_back(each.first);
  }
  onto.added = plan.added;
  onto.replaced = plan.replaced;
  onto.removed = plan.removed;
  onto.conflicts = plan.conflicts;
  return onto;
}

}  // namespace kel::tool
