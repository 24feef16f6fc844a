// Message reassembly for the agent peer: turns the bytes of a stream (or of a sender's
// datagrams) into complete agent link messages.
//
// A DchReassembler belongs to one connection or one datagram sender and is used by one thread.
// Feed hands every complete message to the callback in arrival order, whether several arrive
// in one read or one is split over many reads, and keeps the incomplete rest. A length word
// below 4 or above the largest message breaks the stream: Feed returns kFrameBadLength and the
// caller drops the connection. The buffer therefore never holds more than one largest message
// plus one read.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <type_traits>
#include <vector>

namespace qdvp_dch {

enum DchFrameStatus {
  kFrameOk = 0,
  kFrameBadLength = 1,  // the length word cannot start a message
  kFrameStopped = 2,    // the callback asked to stop; the rest stays buffered
};

// What Feed calls with each complete message; returns false to stop reading this stream. A
// reference to the caller's callable (a lambda), not a copy of it: made for every read, it
// allocates nothing, and it lives only as long as the call it is passed to.
class DchMessageFn {
 public:
  template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, DchMessageFn>>>
  DchMessageFn(F &&f)  // NOLINT(google-explicit-constructor): a lambda is passed as it is
      : object_(const_cast<void *>(static_cast<const void *>(&f))),
        call_([](void *object, const unsigned char *message, size_t length) {
          return static_cast<bool>(
              (*static_cast<std::remove_reference_t<F> *>(object))(message, length));
        }) {}
  bool operator()(const unsigned char *message, size_t length) const {
    return call_(object_, message, length);
  }

 private:
  void *object_;
  bool (*call_)(void *, const unsigned char *, size_t);
};

class DchReassembler {
 public:
  using MessageFn = DchMessageFn;

  explicit DchReassembler(size_t maxMessage);

  // Appends n bytes and delivers the complete messages. On kFrameBadLength, *problem says why.
  int Feed(const unsigned char *bytes, size_t n, const MessageFn &onMessage, std::string *problem);

  size_t Buffered() const { return buffer_.size() - start_; }
  bool Partial() const { return Buffered() > 0; }
  void Clear();

 private:
  size_t maxMessage_;
  std::vector<unsigned char> buffer_;
  size_t start_ = 0;  // first unconsumed byte of buffer_
};

}  // namespace qdvp_dch
