// LineFramer.h: cuts the byte stream of a task connection into lines.
//
// TCP delivers bytes, not messages: one arrival may hold half a line or
// several lines. The framer keeps what has arrived, hands out every complete
// line (without its line end) in order, and keeps the unfinished tail for the
// next arrival. A line ends with CR LF or, as many scripts send, with LF
// alone; a CR not followed by LF is part of the line. A line that grows past
// the limit is reported once as over-long and its bytes are dropped up to its
// line end, so the lines after it are read as usual and memory stays bounded
// whatever the peer sends.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::task {

class LineFramer {
 public:
  // Longest line accepted, line end excluded.
  static constexpr std::size_t kDefaultLimit = 64 * 1024;

  struct Piece {
    std::string line;       // the text without its line end; empty when overLong
    bool overLong = false;  // a line past the limit was dropped here
    std::size_t length = 0; // bytes of the line as received (line end excluded)
  };

  explicit LineFramer(std::size_t limit = kDefaultLimit) : limit_(limit) {}

  // Adds an arrival and returns the lines it completed, in order.
  std::vector<Piece> Feed(std::string_view bytes);

  // Bytes held for an unfinished line.
  std::size_t Pending() const { return buffer_.size(); }
  // Forgets everything held (a new connection starts clean).
  void Clear();

 private:
  std::size_t limit_;
  std::string buffer_;
  bool discarding_ = false;       // inside an over-long line
  std::size_t discarded_ = 0;     // its length so far
  bool pendingCR_ = false;        // a CR ended the last arrival
};

}  // namespace korvane::task
