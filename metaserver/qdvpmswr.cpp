// The metafile server's wire: request splitting, the names served, reply texts, and the
// client's reply reader (contract in qdvpmswr.h).
#include "qdvpmswr.h"

#include <string.h>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

const char *QDVP_MetaNameRefusal(const std::string &name) {
  if (name.empty()) return "empty name";
  if (name.size() > QDVP_MSRV_NAME_MAX) return "name too long";
  if (name[0] == '.') return "name begins with a dot";
  if (name[0] == '&') return "in-memory metafile name";
  if (name.find("..") != std::string::npos) return "name holds ..";
  for (char c : name) {
    if (c == '/' || c == '\\') return "name holds a directory part";
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "name holds a control character";
  }
  return nullptr;
}

MetaRequestKind QDVP_ParseMetaRequest(const char *data, size_t length, std::string *name,
                                      const char **why) {
  name->clear();
  *why = "";
  if (length > QDVP_MSRV_REQUEST_MAX) length = QDVP_MSRV_REQUEST_MAX;
  size_t at = 0;
  auto token = [&](std::string *out) {
    while (at < length && IsBlank(data[at])) at++;
    size_t begin = at;
    while (at < length && !IsBlank(data[at]) && data[at] != '\0') at++;
    out->assign(data + begin, at - begin);
  };
  std::string verb;
  token(&verb);
  if (verb != "GETMETA") return QDVP_MSRV_REQ_INVALID;
  token(name);
  bool tooLong = name->size() > QDVP_MSRV_NAME_MAX;
  if (tooLong) name->resize(QDVP_MSRV_NAME_MAX);
  if (memchr(data, '\0', length) != nullptr) {
    *why = "request holds a NUL byte";
    return QDVP_MSRV_REQ_REFUSED;
  }
  if (name->empty()) return QDVP_MSRV_REQ_NO_NAME;
  if (tooLong || length >= QDVP_MSRV_REQUEST_MAX) {
    *why = "request too long";
    return QDVP_MSRV_REQ_REFUSED;
  }
  const char *refusal = QDVP_MetaNameRefusal(*name);
  if (refusal != nullptr) {
    *why = refusal;
    return QDVP_MSRV_REQ_REFUSED;
  }
  return QDVP_MSRV_REQ_GETMETA;
}

std::string QDVP_MetaReplyHeader(int count) { return "0 \n" + std::to_string(count) + " \n"; }

std::string QDVP_MetaReplyFailure(int status) { return std::to_string(status) + " \n"; }

bool MetaReplyReader::ParseNumberLine(const std::string &line, int *value) {
  size_t at = 0, n = line.size();
  while (at < n && line[at] == ' ') at++;
  bool negative = at < n && line[at] == '-';
  if (negative) at++;
  size_t digits = 0;
  long v = 0;
  while (at < n && line[at] >= '0' && line[at] <= '9') {
    if (++digits > 9) return false;
    v = v * 10 + (line[at++] - '0');
  }
  while (at < n && (line[at] == ' ' || line[at] == '\r')) at++;
  if (digits == 0 || at != n) return false;
  *value = static_cast<int>(negative ? -v : v);
  return true;
}

MetaReplyReader::State MetaReplyReader::Fail(const char *why) {
  why_ = why;
  records_.clear();
  line_.clear();
  state_ = kMalformed;
  return state_;
}

MetaReplyReader::State MetaReplyReader::Feed(const char *data, size_t length) {
  if (state_ == kComplete) {
    extra_ += length;
    return state_;
  }
  if (state_ == kMalformed) return state_;
  for (size_t i = 0; i < length; i++) {
    if (++total_ > QDVP_MSRV_REPLY_MAX) return Fail("reply too long");
    char c = data[i];
    if (c != '\n') {
      // A header line is short; a record is bounded by the reply as a whole.
      if (lineNumber_ < 2 && line_.size() >= 16) return Fail("header line too long");
      line_.push_back(c);
      continue;
    }
    if (lineNumber_ == 0) {
      if (!ParseNumberLine(line_, &status_)) return Fail("status line out of form");
      if (status_ != 0) {
        state_ = kComplete;
        extra_ = length - i - 1;
        line_.clear();
        return state_;
      }
    } else if (lineNumber_ == 1) {
      if (!ParseNumberLine(line_, &count_) || count_ <= 0 || count_ > QDVP_MSRV_RECORDS_MAX) {
        return Fail("invalid record count");
      }
    } else {
      records_.push_back(std::move(line_));
      if (static_cast<int>(records_.size()) == count_) {
        state_ = kComplete;
        extra_ = length - i - 1;
        line_.clear();
        return state_;
      }
    }
    line_.clear();
    lineNumber_++;
  }
  return state_;
}
