// ExportPreview.h: the rows of an export, for a grid to page through.
//
// Load() checks the choices and counts the rows; nothing else is read until
// a grid asks for rows. FetchRows(first, last) reads those rows on demand, in
// blocks, remembering where each block starts so that a jump to the end of
// a million-row preview costs one quick skip over the keys, and a scroll
// back costs nothing (recent blocks are kept). The rows are exactly those,
// in exactly the order, that ExportTrace writes for the same request.
//
// The preview reads through the database it was loaded from: keep that
// database open while the preview is loaded, or Clear() it first.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "export/ExportRequest.h"
#include "export/TraceQuery.h"

namespace korvane::exporting {

class ExportPreview {
 public:
  // Rows read per block, and blocks kept in memory.
  static constexpr std::int64_t kBlockRows = 256;
  static constexpr std::size_t kCachedBlocks = 64;

  // Status texts, in order: "Calculating column list...", "Calculating
  // column and rows to load...", "Loading " + count + " items for
  // preview...", "Done."; or the refusal; or "Loading cancelled.". Progress
  // runs over the chosen subjects while their rows are counted. A refused or
  // cancelled load leaves the preview cleared.
  ExportOutcome Load(store::Database* db, const ExportRequest& request, const ExportCallbacks& callbacks = {});
  void Clear();

  bool IsLoaded() const { return plan_.has_value(); }
  std::int64_t RowCount() const { return starts_.empty() ? 0 : starts_.back(); }
  int ColumnCount() const { return static_cast<int>(captions_.size()); }
  const std::vector<std::string>& Captions() const { return captions_; }
  const std::vector<ExportColumn>& Columns() const;

  // The cell texts of rows [first, last), clamped to 0..RowCount(); each row
  // holds ColumnCount() texts. A database failure raises its Error.
  std::vector<std::vector<std::string>> FetchRows(std::int64_t first, std::int64_t last);

 private:
  using Block = std::vector<std::vector<std::string>>;
  const Block& GetBlock(std::size_t subject, std::int64_t block);
  Block ReadBlock(std::size_t subject, std::int64_t block);
  void LearnKeysUpTo(std::size_t subject, std::int64_t block);

  std::optional<TraceQuery> plan_;
  std::vector<std::string> captions_;
  std::vector<std::int64_t> starts_;  // first row of each subject, then the total
  // blockEnds_[s][b]: key of the last row of block b of subject s, known for
  // the blocks read or skipped so far.
  std::vector<std::vector<RowKey>> blockEnds_;
  std::map<std::pair<std::size_t, std::int64_t>, Block> cache_;
  std::list<std::pair<std::size_t, std::int64_t>> recent_;  // most recent first
};

}  // namespace korvane::exporting
