// Merging stores by name, for merge (two stores become one) and
// merge-driver (git's three-way merge of one store's two histories).
//
// A plan says what must change in OUR store, so that the whole merge is one
// rewrite of it (Safe::apply_changes): all of it lands, or none. A value is
// never dropped: where two values of one name disagree, the one that does
// not keep the name is stored beside it as "NAME.conflict-YYYYMMDD" (UTC),
// or, when that name is taken, with the time as well
// ("NAME.conflict-YYYYMMDDTHHMMSSZ", then "-2", "-3"...), never over an
// entry that exists. Conflicts are reported by name, never by value.
#pragma once

#include <kel/entry.h>
#include <kel/safe.h>

#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kel::tool {

class Secret;

// A Safe for the store file at `file` itself (no ".safe" added), with
// `password`. Nothing is opened yet.
std::unique_ptr<kel::Safe> safe_at(const std::string& file, const Secret& password);

// Every entry of a store, by name, with its value.
using StoreEntries = std::map<std::string, kel::Entry>;

// Reads every entry of `safe` in one pass; nothing comes back unless every
// value authenticated. `what` and `path` name the command and the store in
// a failure.
StoreEntries read_store(kel::Safe& safe, const std::string& what, const std::string& path);

struct MergePlan {
  std::vector<kel::Entry> put;      // names to add, or whose value to replace
  std::vector<std::string> put_names;  // the name of each of `put`, in its order
  std::vector<std::string> remove;  // names to remove
  std::vector<std::string> added, replaced, removed;  // the names, for the report
  // One line for each conflict: which name, and where the other value went.
  std::vector<std::string> conflicts;
  bool empty() const { return put.empty() && remove.empty(); }
};

// Brings THEIR entries into OURS: a name only in theirs is added, one with
// the same value in both is left alone; where the values differ, ours keeps
// the name (theirs with `prefer_theirs`) and the other value is stored as
// a conflict entry. Nothing is removed. `now` dates the conflict entries.
MergePlan plan_merge(const StoreEntries& ours, const StoreEntries& theirs, bool prefer_theirs,
                     std::time_t now);

// Three-way, by name, against BASE (their common ancestor): a name whose
// value is the same on both sides keeps it; a side that left a name as
// BASE had it takes the other side's change (an addition, a new value or a
// removal); changed on both sides differently (or added on both with
// different values), ours keeps the name and theirs becomes a conflict
// entry; removed on one side and changed on the other, the changed value
// stays under the name, and that is a conflict too.
MergePlan plan_three_way(const StoreEntries& base, const StoreEntries& ours,
                         const StoreEntries& theirs, std::time_t now);

// The changes that make `target` hold what `ours` holds once `plan` (made
// for `ours`) is applied: for a merge whose result keeps the header of the
// other side (its key slots), and so is written over a copy of that side.
// The report (added, replaced, removed, conflicts) stays the plan's, told
// from our side.
MergePlan plan_onto(const StoreEntries& target, const StoreEntries& ours, const MergePlan& plan);

}  // namespace kel::tool
