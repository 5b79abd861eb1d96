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
      // Inside an over-long line: count bytes until its CR LF, keep none.
      if (nl != std::string_view::npos) {
        const bool crBefore = segment.size() >= 2 ? segment[segment.size() - 2] == '\r' : pendingCR_;
        discarded_ += segment.size();
        pendingCR_ = false;
        if (crBefore) {
          out.push_back(Piece{{}, true, discarded_ - 2});
          discarding_ = false;
          discarded_ = 0;
        }
      } else {
        discarded_ += segment.size();
        pendingCR_ = segment.back() == '\r';
      }
      continue;
    }

    buffer_.append(segment);
    const bool complete = nl != std::string_view::npos && buffer_.size() >= 2 &&
                          buffer_[buffer_.size() - 2] == '\r';
    if (complete) {
      const std::size_t length = buffer_.size() - 2;
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
