// LineFramer.cpp: see LineFramer.h.
#include "task/LineFramer.h"

namespace korvane::task {

void LineFramer::Clear() {
  buffer_.clear();
  discarding_ = false;
  discarded_ = 0;
  pendingCR_ = false;
}

std::vector<LineFramer::Piece> LineFramer::Feed(std::string_view bytes) {
  std::vector<Piece> out;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const std::size_t nl = bytes.find('\n', pos);
    const std::size_t end = nl == std::string_view::npos ? bytes.size() : nl + 1;
    const std::string_view segment = bytes.substr(pos, end - pos);
    pos = end;

    if (discarding_) {
      // Inside an over-long line: count bytes until its line end, keep none.
      if (nl != std::string_view::npos) {
        const bool crBefore = segment.size() >= 2 ? segment[segment.size() - 2] == '\r' : pendingCR_;
        discarded_ += segment.size();
        pendingCR_ = false;
        out.push_back(Piece{{}, true, discarded_ - (crBefore ? 2 : 1)});
        discarding_ = false;
        discarded_ = 0;
      } else {
        discarded_ += segment.size();
        pendingCR_ = segment.back() == '\r';
      }
      continue;
    }

    buffer_.append(segment);
    if (nl != std::string_view::npos) {
      // CR LF or LF alone ends the line.
      const bool crBefore = buffer_.size() >= 2 && buffer_[buffer_.size() - 2] == '\r';
      const std::size_t length = buffer_.size() - (crBefore ? 2 : 1);
      if (length > limit_) {
        out.push_back(Piece{{}, true, length});
      } else {
        buffer_.resize(length);
        out.push_back(Piece{std::move(buffer_), false, length});
      }
      buffer_.clear();
    } else if (buffer_.size() > limit_ + 1) {
      // Past the limit even if a CR LF came next: stop keeping it.
      discarding_ = true;
      discarded_ = buffer_.size();
      pendingCR_ = buffer_.back() == '\r';
      buffer_.clear();
      buffer_.shrink_to_fit();
    }
  }
  return out;
}

}  // namespace korvane::task
