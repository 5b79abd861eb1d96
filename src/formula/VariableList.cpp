// VariableList.cpp: the named values of a formula run, ordered and
// case-insensitive. Kept allocation-light: lookups compare in place, and the
// first Add makes room for a handful of entries at once.
#include "formula/VariableList.h"

namespace korvane::formula {

namespace {
inline char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

const Variant& EmptyValue() {
  static const Variant empty;
  return empty;
}
}  // namespace

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

std::string ToUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = UpperAscii(c);
  return out;
}

namespace {
std::size_t FoldedHash(std::string_view name) {
  std::size_t h = 1469598103934665603ull;
  for (char c : name) h = (h ^ static_cast<unsigned char>(UpperAscii(c))) * 1099511628211ull;
  return h ^ (h >> 29);
}
}  // namespace

void VariableList::IndexEntry(int position) {
  const std::size_t mask = index_.size() - 1;
  const std::size_t hash = FoldedHash(entries_[position].name);
  std::size_t at = hash & mask;
  while (index_[at].position >= 0) at = (at + 1) & mask;
  index_[at] = Slot{position, static_cast<std::uint32_t>(hash >> 32)};
}

void VariableList::BuildIndex() {
  index_.clear();
  if (Count() < kIndexFrom) return;
  std::size_t size = 64;
  while (size < entries_.size() * 2) size *= 2;
  index_.assign(size * 2, Slot{});
  for (int i = 0; i < Count(); ++i) IndexEntry(i);
}

int VariableList::IndexOf(std::string_view name) const {
  if (!index_.empty()) {
    const std::size_t mask = index_.size() - 1;
    const std::size_t hash = FoldedHash(name);
    const auto check = static_cast<std::uint32_t>(hash >> 32);
    for (std::size_t at = hash & mask; index_[at].position >= 0; at = (at + 1) & mask)
      if (index_[at].hash == check && EqualsIgnoreCase(entries_[index_[at].position].name, name))
        return index_[at].position;
    return -1;
  }
  const int n = Count();
  for (int i = 0; i < n; ++i)
    if (EqualsIgnoreCase(entries_[i].name, name)) return i;
  return -1;
}

int VariableList::IndexOf(std::string_view name, int hint) const {
  if (hint >= 0 && hint < Count() && EqualsIgnoreCase(entries_[hint].name, name)) return hint;
  return IndexOf(name);
}

const Variant* VariableList::Find(std::string_view name) const {
  int i = IndexOf(name);
  return i < 0 ? nullptr : &entries_[i].value;
}

Variant* VariableList::Find(std::string_view name) {
  int i = IndexOf(name);
  return i < 0 ? nullptr : &entries_[i].value;
}

void VariableList::Append(std::string_view name, Variant value) {
  if (entries_.capacity() == 0) entries_.reserve(4);
  Entry& entry = entries_.emplace_back();
  entry.name.assign(name);
  for (char& c : entry.name) c = UpperAscii(c);
  entry.value = std::move(value);
  if (index_.empty()) {
    if (Count() >= kIndexFrom) BuildIndex();
  } else if (entries_.size() * 2 > index_.size()) {
    BuildIndex();  // at most half full
  } else {
    IndexEntry(Count() - 1);
  }
}

bool VariableList::Add(std::string_view name, Variant value) {
  if (IndexOf(name) >= 0) return false;
  Append(name, std::move(value));
  return true;
}

void VariableList::Assign(std::string_view name, Variant value) {
  int index = IndexOf(name);
  if (index >= 0) entries_[index].value = std::move(value);
  else Append(name, std::move(value));
}

void VariableList::ClearValues() {
  for (auto& e : entries_) e.value = Variant(std::string());
}

int VariableList::CountByNamespace(std::string_view nameSpace, bool includeExact) const {
  int count = 0;
  for (const auto& e : entries_) {
    if (!StartsWithIgnoreCase(e.name, nameSpace)) continue;
    if (e.name.size() > nameSpace.size() || includeExact) ++count;
  }
  return count;
}

std::vector<std::string> VariableList::NamesByNamespace(std::string_view nameSpace) const {
  std::vector<std::string> names;
  for (const auto& e : entries_)
    if (e.name.size() > nameSpace.size() && StartsWithIgnoreCase(e.name, nameSpace)) names.push_back(e.name);
  return names;
}

std::string VariableList::Name(int index) const { return Has(index) ? entries_[index].name : std::string(); }

void VariableList::Remove(std::string_view name) { Remove(IndexOf(name)); }

void VariableList::Remove(int index) {
  if (!Has(index)) return;
  entries_.erase(entries_.begin() + index);
  if (!index_.empty()) BuildIndex();  // the positions after it moved
}

std::string VariableList::ToString() const {
  std::string text;
  for (const auto& e : entries_) {
    text += e.name;
    text += '=';
    text += e.value.ToText();
    text += ' ';
  }
  if (!text.empty()) text.pop_back();
  if (text.find_first_not_of(' ') == std::string::npos) text.clear();
  return text;
}

const Variant& VariableList::Value(std::string_view name) const {
  const Variant* v = Find(name);
  return v ? *v : EmptyValue();
}

const Variant& VariableList::Value(int index) const { return Has(index) ? entries_[index].value : EmptyValue(); }

void VariableList::SetValue(std::string_view name, Variant value) { SetValue(IndexOf(name), std::move(value)); }

void VariableList::SetValue(int index, Variant value) {
  if (Has(index)) entries_[index].value = std::move(value);
}

}  // namespace korvane::formula
