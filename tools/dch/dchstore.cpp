// The part of the store that both back ends share: the turn's transaction, the handles of the
// online sources, the row streams, and what happens to them when a transaction is lost.
//
// Memory never runs ahead of the database for longer than a turn: after a lost transaction
// (a failed write or commit, or a commit whose outcome was unknown and turned out lost) the
// online handles are read again from the database, and every stream the transaction wrote is
// read again, remembering the first of its rows that was lost so that no later row of it is
// stored before that one comes again.
#include "tools/dch/dchstore.h"

#include <stdio.h>
#include <time.h>

namespace qdvp_dch {

int64_t DchNowMs() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The date and time are formatted once a second, the milliseconds for each text.
std::string DchTimeText(int64_t ms) {
  time_t seconds = static_cast<time_t>(ms / 1000);
  int milliseconds = static_cast<int>(ms % 1000);
  if (milliseconds < 0) {
    milliseconds += 1000;
    seconds--;
  }
  thread_local time_t second = -1;
  thread_local char prefix[48];
  if (seconds != second) {
    tm t;
    gmtime_r(&seconds, &t);
    snprintf(prefix, sizeof prefix, "%04d-%02d-%02dT%02d:%02d:%02d.", t.tm_year + 1900,
             t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    second = seconds;
  }
  std::string text(prefix);
  text += static_cast<char>('0' + milliseconds / 100);
  text += static_cast<char>('0' + milliseconds / 10 % 10);
  text += static_cast<char>('0' + milliseconds % 10);
  text += 'Z';
  return text;
}

std::string DchNow() { return DchTimeText(DchNowMs()); }

int DchStore::Fail(int rc, const std::string &what) {
  lastError_ = what;
  return rc == 0 ? -1 : rc;
}

void DchStore::ClearState() {
  online_.clear();
  handles_.clear();
}

void DchStore::LearnOnline(uint32_t handle, DchSourceKey key) {
  handles_[key] = handle;
  online_[handle] = std::move(key);
}

int DchStore::Begin() {
  if (inTransaction_) return 0;
  if (!available_) return Fail(-1, "the database is not reachable: " + lastError_);
  int rc = BeginWrites();
  if (rc == 0) {
    inTransaction_ = true;
    transaction_++;
  }
  return rc;
}

void DchStore::Forget(const std::unordered_map<uint32_t, uint32_t> &streams) {
  for (const auto &[stream, first] : streams) {
    uint32_t resendFrom = streams_[stream].resendFrom;
    streams_.erase(stream);
    StreamState &state = Stream(stream);
    state.resendFrom = resendFrom && resendFrom < first ? resendFrom : first;
  }
  // A back end that cannot read now reads again when it connects.
  std::string error = lastError_;
  LoadState();
  lastError_ = error;
}

void DchStore::Abandon() {
  if (!inTransaction_) return;
  std::string error = lastError_;
  RollbackWrites();
  lastError_ = error;
  inTransaction_ = false;
  lost_ = transaction_;
  auto streams = std::move(transactionStreams_);
  transactionStreams_.clear();
  Forget(streams);
}

void DchStore::Resolve(bool committed) {
  if (!unknown_) return;
  resolved_ = {unknown_, committed};
  unknown_ = 0;
  auto streams = std::move(unknownStreams_);
  unknownStreams_.clear();
  if (!committed) Forget(streams);
}

DchStore::StreamState &DchStore::Stream(uint32_t stream) {
  StreamState &state = streams_[stream];
  if (!state.loaded) {
    uint32_t last = 0;
    if (LoadStreamLast(stream, &last) == 0) {
      state.last = last;
      state.loaded = true;
    }
  }
  return state;
}

int DchStore::Commit() {
  if (!inTransaction_) return 0;
  // The last row of each stream the transaction wrote is committed with the rows.
  int rc = 0;
  for (auto it = transactionStreams_.begin(); rc == 0 && it != transactionStreams_.end(); ++it) {
    rc = WriteStreamLast(it->first, streams_[it->first].last);
  }
  if (rc == 0) rc = CommitWrites();
  if (rc == 0) {
    inTransaction_ = false;
    transactionStreams_.clear();
  } else if (rc == kCommitUnknown) {
    inTransaction_ = false;
    unknown_ = transaction_;
    unknownStreams_ = std::move(transactionStreams_);
    transactionStreams_.clear();
  } else {
    // Leave no transaction half open: what cannot be committed is lost, and said so.
    Abandon();
  }
  return rc;
}

int DchStore::Register(const DchMessage &message, const std::string &now) {
  int rc = Begin();
  return rc != 0 ? rc : WriteRegister(message, now);
}

int DchStore::Online(const DchSourceKey &key, const std::string &now, uint32_t *handle) {
  auto it = handles_.find(key);
  if (it != handles_.end()) {
    *handle = it->second;
    return 0;
  }
  int rc = Begin();
  if (rc != 0) return rc;
  uint32_t next = lastHandle_ + 1;
  if (next == 0) next = 1;  // 2^32 handles later: start again, skipping those still online
  while (online_.count(next)) next++;
  if ((rc = WriteOnline(next, key, now)) != 0) return rc;
  lastHandle_ = next;
  online_[next] = key;
  handles_[key] = next;
  *handle = next;
  return 0;
}

int DchStore::Offline(uint32_t handle, const std::string &now, bool *known) {
  auto it = online_.find(handle);
  *known = it != online_.end();
  if (!*known) return 0;
  int rc = Begin();
  if (rc != 0) return rc;
  if ((rc = WriteOffline(handle, now)) != 0) return rc;
  handles_.erase(it->second);
  online_.erase(it);
  return 0;
}

int DchStore::Unregister(const std::string &application, const std::string &now) {
  int rc = Begin();
  if (rc != 0) return rc;
  if ((rc = WriteUnregister(application, now)) != 0) return rc;
  for (auto it = online_.begin(); it != online_.end();) {
    if (it->second.application == application) {
      handles_.erase(it->second);
      it = online_.erase(it);
    } else {
      ++it;
    }
  }
  return 0;
}

int DchStore::Row(uint32_t handle, const DchSourceKey *key, int dataSequence,
                  const std::vector<DchAttrView> &attrs, int64_t receivedMs,
                  std::optional<uint32_t> stream, uint32_t number) {
  int rc = Begin();
  if (rc != 0) return rc;
  DchRowRecord row{handle, key, dataSequence, &attrs, receivedMs, stream, number};
  if ((rc = WriteRow(row)) != 0) return rc;
  if (stream) {
    Stream(*stream).last = number;
    transactionStreams_.emplace(*stream, number);  // the first of the transaction stays
  }
  return 0;
}

int DchStore::ActionSent(uint32_t id, const std::string &node, uint32_t type,
                         const std::string &name, const std::optional<std::string> &parameter,
                         const std::string &owner, const std::string &peer,
                         const std::string &now) {
  int rc = Begin();
  if (rc != 0) return rc;
  if (id > lastActionId_) lastActionId_ = id;
  return WriteActionSent(id, node, type, name, parameter, owner, peer, now);
}

int DchStore::ActionStatus(uint32_t id, int32_t status, const std::optional<std::string> &result,
                           const std::string &now) {
  int rc = Begin();
  return rc != 0 ? rc : WriteActionStatus(id, status, result, now);
}

const DchSourceKey *DchStore::Lookup(uint32_t handle) const {
  auto it = online_.find(handle);
  return it == online_.end() ? nullptr : &it->second;
}

}  // namespace qdvp_dch
