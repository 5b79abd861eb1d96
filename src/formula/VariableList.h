// VariableList.h: the ordered, case-insensitive set of named values a formula
// reads and writes.
//
// The engine fills one with the cue, the memory instance and the parameters
// before it runs a formula; assignments add or change entries; the caller reads
// the results back by name. Names are stored in upper case and are unique
// under case-insensitive comparison; entries keep the order in which names were
// first added. A namespace is just a leading part of a name ("USES." in
// "USES.1").
//
// The list is built and read once per slot and instance on the engine's hot
// path, so lookups compare without allocating and short names stay inside the
// string's own buffer. A list that grows long (a formula of thousands of
// assignments) also keeps a hash index of its names, so that a formula's cost
// grows with its statements, not with their square.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/Variant.h"

namespace korvane::formula {

class VariableList {
 public:
  struct Entry {
    std::string name;  // upper case
    Variant value;
  };

  VariableList() = default;
  // Room for this many entries without growing.
  explicit VariableList(int capacity) { entries_.reserve(capacity > 0 ? capacity : 0); }

  // Appends name (stored in upper case) with value; false and no change when
  // an entry of that name exists already.
  bool Add(std::string_view name, Variant value);

  // Every value becomes the empty string; names and order stay.
  void ClearValues();

  int Count() const { return static_cast<int>(entries_.size()); }

  // Entries whose name begins with the namespace (case-insensitive); names
  // equal to the namespace count only when includeExact is set.
  int CountByNamespace(std::string_view nameSpace, bool includeExact = false) const;
  // The names CountByNamespace counts with includeExact false, in list order.
  std::vector<std::string> NamesByNamespace(std::string_view nameSpace) const;

  bool Has(std::string_view name) const { return IndexOf(name) >= 0; }
  bool Has(int index) const { return index >= 0 && index < Count(); }

  // The upper-case name at index; empty for an index outside the list.
  std::string Name(int index) const;

  // Removes the entry and closes the gap; an unknown key changes nothing.
  void Remove(std::string_view name);
  void Remove(int index);

  // "NAME=text NAME=text", in list order; empty for an empty list.
  std::string ToString() const;

  // The value of the entry; an empty value when there is no such entry.
  const Variant& Value(std::string_view name) const;
  const Variant& Value(int index) const;
  // Replaces the value of an existing entry; an unknown key adds nothing.
  void SetValue(std::string_view name, Variant value);
  void SetValue(int index, Variant value);
  // Replaces the value of the entry, appending the entry when there is none.
  void Assign(std::string_view name, Variant value);

  // Index of the first entry of that name (case-insensitive), or -1.
  int IndexOf(std::string_view name) const;
  // The same, trying position hint before searching: lists built alike (the
  // items of one table) hold their names at the same positions.
  int IndexOf(std::string_view name, int hint) const;
  // The value of the entry, or nullptr; one lookup for callers that must tell
  // a missing name from an empty value.
  const Variant* Find(std::string_view name) const;
  Variant* Find(std::string_view name);

  const std::vector<Entry>& Entries() const { return entries_; }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

 private:
  void Append(std::string_view name, Variant value);
  void BuildIndex();
  void IndexEntry(int position);

  std::vector<Entry> entries_;
  // From kIndexFrom entries on: an open-addressing table of positions in
  // entries_ (-1 free) with their names' hashes (without regard to case), at
  // most half full, so that a look-up reads an entry only when the hash
  // matches. Empty below kIndexFrom.
  struct Slot {
    int position = -1;
    std::uint32_t hash = 0;
  };
  std::vector<Slot> index_;
  static constexpr int kIndexFrom = 32;
};

// Case-insensitive (ASCII) equality and prefix test, without allocating.
// Inline: every name look-up of a formula run and of the engine goes through
// it, mostly to find that the lengths differ.
inline bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char x = a[i], y = b[i];
    if (x == y) continue;
    if (((x >= 'a' && x <= 'z') ? x - 'a' + 'A' : x) != ((y >= 'a' && y <= 'z') ? y - 'a' + 'A' : y)) return false;
  }
  return true;
}
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix);
std::string ToUpper(std::string_view text);

}  // namespace korvane::formula
