// ExportPreview.cpp: counting the rows of an export and reading them in blocks.
#include "export/ExportPreview.h"

#include <algorithm>

#include "export/ExportMessages.h"
#include "util/Error.h"

namespace korvane::exporting {

const std::vector<ExportColumn>& ExportPreview::Columns() const {
  static const std::vector<ExportColumn> none;
  return plan_ ? plan_->Columns() : none;
}

void ExportPreview::Clear() {
  plan_.reset();
  captions_.clear();
  starts_.clear();
  blockEnds_.clear();
  cache_.clear();
  recent_.clear();
}

ExportOutcome ExportPreview::Load(store::Database* db, const ExportRequest& request,
                                  const ExportCallbacks& callbacks) {
  Clear();
  auto say = [&](const std::string& text) {
    if (callbacks.status) callbacks.status(text);
  };
  auto stop = [&](ExportResult result, const std::string& why) {
    say(why);
    Clear();
    return ExportOutcome{result, why, {}, 0};
  };
  try {
    std::string refusal;
    auto plan = TraceQuery::Plan(db, request, refusal, callbacks.status);
    if (!plan) return stop(ExportResult::Refused, refusal);

    const std::size_t subjects = plan->Subjects().size();
    std::vector<std::int64_t> starts{0};
    for (std::size_t s = 0; s < subjects; ++s) {
      starts.push_back(starts.back() + plan->CountRows(s));
      bool go = !(callbacks.progress && !callbacks.progress(static_cast<std::int64_t>(s + 1),
                                                             static_cast<std::int64_t>(subjects)));
      if (callbacks.cancel && callbacks.cancel->load()) go = false;
      if (!go) return stop(ExportResult::Cancelled, messages::kLoadingCancelled);
    }
    const std::int64_t total = starts.back();
    if (total < 1)
      return stop(ExportResult::Refused, plan->HasActiveFilters() ? messages::kNoMatchingRecords
                                                                   : messages::kNoRecords);
    say(messages::LoadingItems(total));
    captions_ = plan->Captions();
    starts_ = std::move(starts);
    blockEnds_.assign(subjects, {});
    plan_ = std::move(plan);
    say(messages::kDone);
    return ExportOutcome{ExportResult::Done, messages::kDone, {}, total};
  } catch (const Error& e) {
    return stop(ExportResult::Failed, e.Description());
  } catch (const std::exception& e) {
    return stop(ExportResult::Failed, e.what());
  }
}

std::vector<std::vector<std::string>> ExportPreview::FetchRows(std::int64_t first, std::int64_t last) {
  std::vector<std::vector<std::string>> rows;
  first = std::max<std::int64_t>(first, 0);
  last = std::min(last, RowCount());
  if (!plan_ || first >= last) return rows;
  rows.reserve(static_cast<std::size_t>(last - first));
  std::int64_t row = first;
  while (row < last) {
    // The subject holding this row, and the row's place within it.
    auto next = std::upper_bound(starts_.begin(), starts_.end(), row);
    std::size_t subject = static_cast<std::size_t>(next - starts_.begin() - 1);
    std::int64_t local = row - starts_[subject];
    std::int64_t subjectEnd = starts_[subject + 1];
    const Block& block = GetBlock(subject, local / kBlockRows);
    std::int64_t blockStart = local - local % kBlockRows;
    std::int64_t stop = std::min({last, subjectEnd, starts_[subject] + blockStart + kBlockRows});
    for (; row < stop; ++row) {
      std::size_t at = static_cast<std::size_t>(row - starts_[subject] - blockStart);
      // The database may have lost rows since they were counted.
      rows.push_back(at < block.size() ? block[at] : std::vector<std::string>(captions_.size()));
    }
  }
  return rows;
}

const ExportPreview::Block& ExportPreview::GetBlock(std::size_t subject, std::int64_t block) {
  auto key = std::make_pair(subject, block);
  auto found = cache_.find(key);
  if (found != cache_.end()) {
    recent_.remove(key);
    recent_.push_front(key);
    return found->second;
  }
  Block rows = ReadBlock(subject, block);
  if (cache_.size() >= kCachedBlocks) {
    cache_.erase(recent_.back());
    recent_.pop_back();
  }
  recent_.push_front(key);
  return cache_.emplace(key, std::move(rows)).first->second;
}

void ExportPreview::LearnKeysUpTo(std::size_t subject, std::int64_t block) {
  // Skips over the keys alone, noting where each block ends, until the end of
  // the block before `block` is known.
  auto& ends = blockEnds_[subject];
  std::int64_t known = static_cast<std::int64_t>(ends.size());
  if (known >= block) return;
  std::optional<RowKey> after;
  if (known > 0) after = ends.back();
  TraceRows keys = plan_->OpenKeys(subject, after, (block - known) * kBlockRows);
  std::int64_t seen = 0;
  while (keys.Next()) {
    if (++seen % kBlockRows == 0) ends.push_back(keys.Key());
  }
}

ExportPreview::Block ExportPreview::ReadBlock(std::size_t subject, std::int64_t block) {
  Block rows;
  auto& ends = blockEnds_[subject];
  std::optional<RowKey> after;
  if (block > 0) {
    LearnKeysUpTo(subject, block);
    if (static_cast<std::int64_t>(ends.size()) < block) return rows;  // fewer rows than counted
    after = ends[static_cast<std::size_t>(block - 1)];
  }
  TraceRows reader = plan_->OpenRows(subject, after, kBlockRows);
  const int columns = static_cast<int>(captions_.size());
  while (reader.Next()) {
    std::vector<std::string> cells;
    cells.reserve(static_cast<std::size_t>(columns));
    for (int c = 0; c < columns; ++c) cells.push_back(reader.Text(c));
    rows.push_back(std::move(cells));
    if (static_cast<std::int64_t>(rows.size()) == kBlockRows &&
        static_cast<std::int64_t>(ends.size()) == block)
      ends.push_back(reader.Key());
  }
  return rows;
}

}  // namespace korvane::exporting
