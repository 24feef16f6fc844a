// The agent behaviour of the peer: decode, log, store, answer.
#include "tools/dch/dchagent.h"

#include <stdio.h>

#include <algorithm>

#include "include/qdvp_agentlink.h"

namespace qdvp_dch {

namespace {

nlohmann::ordered_json Record(const std::string &now, const char *dir, const DchPeer &peer) {
  return nlohmann::ordered_json{{"time", now}, {"dir", dir}, {"peer", peer.label}};
}

}  // namespace

void DchAgent::Carry(DchPeer *peer, const std::string &node) {
  peer->hasSources = true;
  peer->carried[node] = ++carrySerial_;
}

void DchAgent::StoreFailed(const DchPeer &peer, int rc, const char *what) {
  fprintf(stderr, "qdvp-dch: %s: storing %s failed (%d): %s\n", peer.label.c_str(), what, rc,
          store_->LastError().c_str());
}

void DchAgent::LogEvent(const DchPeer &peer, const std::string &event, const std::string &detail) {
  if (!log_->IsOpen()) return;
  nlohmann::ordered_json j = Record(DchNow(), "event", peer);
  j["event"] = event;
  if (!detail.empty()) j["detail"] = detail;
  log_->Write(j);
}

// Applies an accepted request to the store and to the peer's state; *handle receives the
// handle of an online request. A data request comes as row (decoded without copies) or in m.
// Notes about the request go into *note. Returns 0, or the store's failure.
int DchAgent::Apply(DchPeer *peer, const Request &r, std::string *note, uint32_t *handle) {
  int rc = 0;
  if (r.code == QDVP_REQ_DP_DATA) {
    uint32_t h = r.row ? r.row->handle.value_or(0) : r.m->handle.value_or(0);
    const DchSourceKey *key = store_->Lookup(h);
    if (!key)
      *note = "handle not online";
    else
      Carry(peer, key->source);
    int sequence = r.row ? r.row->dataSequence.value_or(0) : r.m->dataSequence.value_or(0);
    const std::vector<DchAttrView> *attrs = r.row ? &r.row->attributes : nullptr;
    if (!r.row) {
      DchRowAttrViews(*r.m, &views_);
      attrs = &views_;
    }
    rc = store_->Row(h, key, sequence, *attrs, r.nowMs, r.stream, r.number);
    if (rc != 0) {
      StoreFailed(*peer, rc, "row");
    } else {
      stats_.rows++;
    }
    return rc;
  }
  const DchMessage &m = *r.m;
  const std::string &now = *r.now;
  switch (r.code) {
    case QDVP_REQ_DP_REGISTER:
      if ((rc = store_->Register(m, now)) != 0) StoreFailed(*peer, rc, "registration");
      peer->hasSources = true;
      break;
    case QDVP_REQ_DP_ONLINE:
      if ((rc = store_->Online({m.application, m.table, m.source}, now, handle)) != 0) {
        StoreFailed(*peer, rc, "online");
      } else {
        Carry(peer, m.source);
      }
      break;
    case QDVP_REQ_DP_OFFLINE: {
      bool known = false;
      if (!m.handle) {
        *note = "offline without handle";
      } else if ((rc = store_->Offline(*m.handle, now, &known)) != 0) {
        StoreFailed(*peer, rc, "offline");
      } else if (!known) {
        *note = "handle not online";
      }
      break;
    }
    case QDVP_REQ_DP_UNREGISTER:
      if ((rc = store_->Unregister(m.application, now)) != 0) StoreFailed(*peer, rc, "unregister");
      break;
    case QDVP_REQ_DP_WAIT_FOR_ACTION:
      if (std::find(peer->waitingNodes.begin(), peer->waitingNodes.end(), m.source) ==
          peer->waitingNodes.end()) {
        peer->waitingNodes.push_back(m.source);
      }
      peer->waitSerial = ++waitSerial_;
      askedNodes_.insert(m.source);
      Carry(peer, m.source);
      break;
    case QDVP_REQ_DP_ACTION_STATUS:
      if (!m.actionId) {
        *note = "action status without action id";
      } else if ((rc = store_->ActionStatus(*m.actionId, m.status.value_or(0), m.actionResult,
                                            now)) != 0) {
        StoreFailed(*peer, rc, "action status");
      }
      break;
    default:
      break;
  }
  return rc;
}

// A data request that nothing is logged for and that decodes without a remark takes the short
// way: decoded in place, its attributes' text built in a buffer kept from row to row, its
// reply built without the message log. Everything else is decoded in full.
void DchAgent::OnMessage(DchPeer *peer, const unsigned char *bytes, size_t length,
                         std::vector<DchSend> *out) {
  stats_.messages++;
  Request r;
  r.nowMs = roundMs_ != 0 ? roundMs_ : DchNowMs();
  // The log records are built only when there is a log: a row's round trip is the data
  // provider's throughput.
  bool logging = log_->IsOpen();
  if (!logging && DchDecodeRow(bytes, length, &row_)) {
    r.code = QDVP_REQ_DP_DATA;
    r.row = &row_;
    r.stream = row_.rowStream;
    r.number = row_.rowNumber.value_or(0);
    Answer(peer, r, nullptr, out);
    return;
  }
  std::string now = DchTimeText(r.nowMs);
  DchMessage m;
  int rc = DchDecodeMessage(bytes, length, &m);
  nlohmann::ordered_json in;
  if (logging) {
    in = Record(now, "in", *peer);
    in["length"] = length;
    in.update(DchMessageToJson(m));
  }
  if (rc != kDecodeOk || !m.request) {
    // Nothing a data provider waits for: log it and answer nothing.
    stats_.badMessages++;
    if (logging) {
      in["error"] = rc != kDecodeOk ? "undecodable message" : "status message from a data provider";
      log_->Write(in);
    }
    std::string why = m.problems.empty() ? std::string("no request code") : m.problems.back();
    fprintf(stderr, "qdvp-dch: %s: ignored a message of %zu bytes: %s\n", peer->label.c_str(),
            length, why.c_str());
    return;
  }
  r.code = *m.request;
  r.m = &m;
  r.now = &now;
  r.stream = m.rowStream;
  r.number = m.rowNumber.value_or(0);
  Answer(peer, r, logging ? &in : nullptr, out);
}

void DchAgent::Answer(DchPeer *peer, const Request &r, nlohmann::ordered_json *in,
                      std::vector<DchSend> *out) {
  if (r.code == QDVP_REQ_DP_DATA) peer->dataRows++;
  DchKind kind = DchKindOfRequest(r.code);
  if (kind == kKindOther) {
    fprintf(stderr, "qdvp-dch: %s: unknown request 0x%04X answered with status 0\n",
            peer->label.c_str(), r.code);
  }
  DchFaultDecision decision = faults_->Next(kind);
  uint32_t handle = 0;
  std::string note;
  bool resend = decision.status == QDVP_DCH_STATUS_SYNC_REQUIRED ||
                decision.status == QDVP_DCH_STATUS_REREGISTER ||
                decision.status == QDVP_DCH_STATUS_SEND_AGAIN;
  DchStore::StreamState *stream =
      kind == kKindData && r.stream ? &store_->Stream(*r.stream) : nullptr;
  if (stream && decision.reply && resend && !stream->resendFrom) {
    stream->resendFrom = r.number;
  }
  bool accepted = !decision.reply || decision.status == QDVP_DCH_STATUS_OK;
  if (accepted && stream && r.number <= stream->last) {
    note = "stored before, not stored again";
  } else if (accepted && stream && stream->resendFrom && r.number > stream->resendFrom) {
    note = "waits for row " + std::to_string(stream->resendFrom) + ", answered send again";
    decision.status = QDVP_DCH_STATUS_SEND_AGAIN;
    decision.reply = true;
  } else if (accepted) {
    if (Apply(peer, r, &note, &handle) != 0) {
      // Not stored: the open transaction is given up, and the data provider sends it again.
      store_->Abandon();
      note = "not stored, answered send again";
      decision.status = QDVP_DCH_STATUS_SEND_AGAIN;
      decision.reply = true;
      handle = 0;
    } else if (stream && r.number == stream->resendFrom) {
      stream->resendFrom = 0;
    }
  } else {
    note = "refused, not stored";
  }
  if (in) {
    if (!note.empty()) (*in)["note"] = note;
    log_->Write(*in);
  }

  DchSend send;
  send.delayMs = decision.delayMs;
  bool withHandle = false;
  size_t n = 0;
  uint32_t window = 0;
  if (decision.reply) {
    unsigned char message[QDVP_AGENTLINK_STATUS_REPLY_MAX];
    unsigned char h[4];
    QDVP_WirePut32(h, handle);
    withHandle = kind == kKindOnline && decision.status == QDVP_DCH_STATUS_OK && handle;
    n = QDVP_AgentLinkBuildStatusReply(message, sizeof message, decision.status,
                                       withHandle ? h : nullptr);
    // A registration that asks for a window gets the window allowed.
    if (kind == kKindRegister && decision.status == QDVP_DCH_STATUS_OK && r.m->window &&
        windowLimit_ > 0) {
      window = answerLimit_ ? windowLimit_ : std::min(*r.m->window, windowLimit_);
      unsigned char w[4];
      QDVP_WirePut32(w, window);
      n += QDVP_WireFormatField(message, sizeof message, n, QDVP_FIELD_WINDOW, w, 4, 0);
    }
    send.bytes.assign(reinterpret_cast<const char *>(message), n);
    send.statusReply = true;
    stats_.replies++;
  }
  // What this answers is held until the open transaction, which holds it, is committed.
  if (store_->InTransaction()) send.transaction = store_->Transaction();
  if (in) {
    nlohmann::ordered_json reply = Record(*r.now, decision.reply ? "out" : "event", *peer);
    if (decision.reply) {
      reply["length"] = n;
      reply["status"] = decision.status;
      if (withHandle) reply["handle"] = handle;
      if (window) reply["window"] = window;
    } else {
      reply["event"] = "no_reply";
    }
    const char *name = QDVP_AgentLinkRequestName(r.code);
    reply["reply_to"] = name ? name : "unknown";
    if (decision.injected) reply["injected"] = true;
    if (decision.delayMs) reply["delay_ms"] = decision.delayMs;
    log_->Write(reply);
  }

  if (kind == kKindData && faults_->DropAfter() > 0 && peer->stream &&
      peer->dataRows == faults_->DropAfter()) {
    send.closeAfter = true;
    LogEvent(*peer, "drop_after", std::to_string(peer->dataRows) + " data rows");
  }
  if (decision.reply || send.closeAfter) out->push_back(std::move(send));
}

void DchAgent::QueueAction(DchAction action) {
  if (action.id > lastActionId_) lastActionId_ = action.id;
  actions_.push_back(std::move(action));
}

uint32_t DchAgent::NextActionId() {
  lastActionId_ = std::max(lastActionId_, store_->LastActionId()) + 1;
  return lastActionId_;
}

void DchAgent::TakeActions(DchPeer *peer, const std::vector<const DchPeer *> &allPeers,
                           std::vector<DchSend> *out) {
  if (actions_.empty() || (peer->waitSerial == 0 && peer->carried.empty())) return;
  bool latest = peer->waitSerial > 0;
  for (const DchPeer *other : allPeers) {
    if (other->waitSerial > peer->waitSerial) latest = false;
  }
  for (auto it = actions_.begin(); it != actions_.end();) {
    // An action names a subnode, "node:APPLTABLEnn", whose node is the source that waits; a
    // plain node name is taken as it is.
    std::string node = it->node.substr(0, it->node.find(':'));
    auto waits = [&node](const DchPeer *p) {
      return std::find(p->waitingNodes.begin(), p->waitingNodes.end(), node) !=
             p->waitingNodes.end();
    };
    bool mine = waits(peer);
    if (!mine && !std::any_of(allPeers.begin(), allPeers.end(), waits)) {
      if (askedNodes_.count(node) != 0) {
        // The connection that asked is gone: the one that carried the node last has it.
        const DchPeer *carrier = nullptr;
        uint64_t when = 0;
        for (const DchPeer *p : allPeers) {
          auto at = p->carried.find(node);
          if (at != p->carried.end() && at->second > when) {
            carrier = p;
            when = at->second;
          }
        }
        mine = carrier == peer;
      } else {
        mine = latest;
      }
    }
    if (!mine) {
      ++it;
      continue;
    }
    std::string now = DchNow();
    DchSend send;
    send.bytes = DchEncodeProvideAction(*it);
    nlohmann::ordered_json j = Record(now, "out", *peer);
    j["length"] = send.bytes.size();
    DchMessage decoded;
    DchDecodeMessage(reinterpret_cast<const unsigned char *>(send.bytes.data()), send.bytes.size(),
                     &decoded);
    j.update(DchMessageToJson(decoded));
    log_->Write(j);
    int rc = store_->ActionSent(it->id, it->node, it->type, it->name, it->parameter, it->owner,
                                peer->label, now);
    if (rc != 0) {
      StoreFailed(*peer, rc, "action");
      store_->Abandon();
    } else {
      send.transaction = store_->Transaction();
    }
    fprintf(stderr, "qdvp-dch: %s: action %u (%s) sent for node %s\n", peer->label.c_str(), it->id,
            it->name.c_str(), it->node.c_str());
    stats_.actions++;
    if (!send.bytes.empty()) out->push_back(std::move(send));
    it = actions_.erase(it);
  }
}

}  // namespace qdvp_dch
