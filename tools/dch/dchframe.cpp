// Message reassembly for the agent peer: complete messages out of a byte stream.
//
// Bytes are delivered straight from the caller's read buffer when nothing is left over, and
// only an incomplete tail is copied, so the common case (one whole message per read) copies
// nothing.
#include "tools/dch/dchframe.h"

#include "include/qdvp_wire.h"

namespace qdvp_dch {

DchReassembler::DchReassembler(size_t maxMessage) : maxMessage_(maxMessage) {}

void DchReassembler::Clear() {
  buffer_.clear();
  buffer_.shrink_to_fit();
  start_ = 0;
}

// Walks the complete messages of [data, data + n) and returns how many bytes they used, or
// sets *status when the stream is broken or the callback stops it.
static size_t Deliver(const unsigned char *data, size_t n, size_t maxMessage,
                      const DchReassembler::MessageFn &onMessage, int *status,
                      std::string *problem) {
  size_t used = 0;
  while (n - used >= QDVP_WIRE_LENGTH_WORD) {
    uint32_t length = QDVP_WireGet32(data + used);
    if (length < QDVP_WIRE_LENGTH_WORD || length > maxMessage) {
      if (problem) {
        *problem = "length word " + std::to_string(length) + " out of range (4.." +
                   std::to_string(maxMessage) + ")";
      }
      *status = kFrameBadLength;
      return used;
    }
    if (n - used < length) break;
    bool more = onMessage(data + used, length);
    used += length;
    if (!more) {
      *status = kFrameStopped;
      return used;
    }
  }
  return used;
}

int DchReassembler::Feed(const unsigned char *bytes, size_t n, const MessageFn &onMessage,
                         std::string *problem) {
  int status = kFrameOk;
  if (!Partial()) {
    size_t used = Deliver(bytes, n, maxMessage_, onMessage, &status, problem);
    if (status == kFrameBadLength) return status;
    buffer_.assign(bytes + used, bytes + n);
    start_ = 0;
    return status;
  }
  buffer_.insert(buffer_.end(), bytes, bytes + n);
  size_t used = Deliver(buffer_.data() + start_, buffer_.size() - start_, maxMessage_, onMessage,
                        &status, problem);
  if (status == kFrameBadLength) return status;
  start_ += used;
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
    if (buffer_.capacity() > 64 * 1024) buffer_.shrink_to_fit();
  } else if (start_ > 0) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(start_));
    start_ = 0;
  }
  return status;
}

}  // namespace qdvp_dch
