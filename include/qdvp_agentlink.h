// Agent link vocabulary, shared by the data provider and the agent peer (qdvp-dch).
//
// The framing of a message (length word, 6-byte field headers) lives in qdvp_wire.h. This
// header names what travels inside the frames: the field codes, the request codes, the status
// values an agent answers with, the wait codes and action types, and the data sequence marks.
// It also holds the few encoders both sides need byte for byte: the status reply an agent sends
// and the provide-action request it pushes to the data provider. Everything is header-only and
// free of the data provider's state and locks, so any thread of either program may call it; the
// encoders write only into the caller's buffer.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "include/qdvp_wire.h"

// Field codes (the first 16 bits of a field header).
enum : uint16_t {
  QDVP_FIELD_REQUEST = 0x0010,            // 16-bit unsigned request code
  QDVP_FIELD_STATUS = 0x0011,             // 32-bit signed status
  QDVP_FIELD_APPL_NAME = 0x0020,          // text
  QDVP_FIELD_SOURCE_NAME = 0x0021,        // text; in an action request, the source node
  QDVP_FIELD_TABLE_NAME = 0x0022,         // text, the attribute group
  QDVP_FIELD_DATA_TYPE = 0x0030,          // one letter: P, E, S, K or N
  QDVP_FIELD_TTL = 0x0040,                // 32-bit signed seconds
  QDVP_FIELD_ATTR_NAME = 0x0050,          // text
  QDVP_FIELD_ATTR_VALUE = 0x0051,         // type letter, then the value bytes
  QDVP_FIELD_ATTR_DESCRIPTIONS = 0x0060,  // registration text of one table
  QDVP_FIELD_DATA_SEQUENCE = 0x0070,      // 16-bit signed
  QDVP_FIELD_DCH_HANDLE = 0x0080,         // 4 bytes, given by the agent at online
  QDVP_FIELD_HELP = 0x0090,               // text, application or table help
  QDVP_FIELD_WAIT_CODE = 0x0100,          // 16-bit to the agent
  QDVP_FIELD_ACTION_TYPE = 0x0100,        // same code from the agent: up to 4 bytes
  QDVP_FIELD_ACTION_NAME = 0x0110,        // text
  QDVP_FIELD_ACTION_ID = 0x0120,          // 4 bytes
  QDVP_FIELD_ACTION_PARM = 0x0130,        // text
  QDVP_FIELD_ACTION_RESULT = 0x0140,      // text
  QDVP_FIELD_ACTION_OWNER = 0x0150,       // text
  // Our additions, which an agent that does not know them skips:
  // in a register request, the rows a source would keep in flight; in the reply, the rows the
  // agent allows (no field: one at a time).
  QDVP_FIELD_WINDOW = 0x0170,  // 32-bit unsigned
  // In a data request on a link with a window: the source's row stream and the row's number in
  // it (1, 2, ...), by which the agent stores each row once however often it is sent.
  QDVP_FIELD_ROW_SEQUENCE = 0x0171,  // 4-byte stream identifier, then 32-bit number
};

// Request codes (the data of QDVP_FIELD_REQUEST).
enum : uint16_t {
  QDVP_REQ_DP_REGISTER = 0x1010,         // to the agent
  QDVP_REQ_DP_ONLINE = 0x1015,           // to the agent
  QDVP_REQ_DP_UNREGISTER = 0x1020,       // to the agent
  QDVP_REQ_DP_OFFLINE = 0x1025,          // to the agent
  QDVP_REQ_DP_DATA = 0x1030,             // to the agent, one row
  QDVP_REQ_DP_WAIT_FOR_ACTION = 0x1040,  // to the agent
  QDVP_REQ_DP_ACTION_STATUS = 0x1050,    // to the agent, action status or result
  QDVP_REQ_DP_PROVIDE_ACTION = 0x1060,   // from the agent
};

// Status values. The agent answers with 0, 1, 2, 4, 7 or a refusal of its own; the negative
// values are never sent, they are what the data provider records for local failures.
enum : int32_t {
  QDVP_DCH_STATUS_OK = 0,
  QDVP_DCH_STATUS_ALREADY_KNOWN = 1,   // register: the agent already knows the application
  QDVP_DCH_STATUS_SYNC_REQUIRED = 2,   // data: bring the source online again, resend the row
  QDVP_DCH_STATUS_REREGISTER = 4,      // online: register the application again first
  QDVP_DCH_STATUS_SEND_AGAIN = 7,      // any request: send the same request again
  QDVP_DCH_STATUS_LOCAL_FAILURE = -1,  // send or receive failed, or no storage
  QDVP_DCH_STATUS_TIMED_OUT = -2,      // no reply within the reply wait
  QDVP_DCH_STATUS_DISCONNECTED = -3,   // the connection was lost
};

// Wait codes of a wait-for-action request, and action types of a provide-action request.
enum : uint32_t {
  QDVP_WAIT_AUTOMATION = 1,
  QDVP_WAIT_RULE = 2,
  QDVP_WAIT_SNMP_RULE = 3,
  QDVP_ACTION_SITUATION = 1,  // situation or policy action
  QDVP_ACTION_RULE = 2,
  QDVP_ACTION_SNMP = 3,
};

// Data sequence marks of a row.
enum : int16_t {
  QDVP_SEQ_MIDDLE = 0,
  QDVP_SEQ_FIRST = 1,
  QDVP_SEQ_LAST = 16,
  QDVP_SEQ_ONLY = 17,
};

// A status reply is 4 + 10 bytes, 4 + 20 with a handle or a window.
enum { QDVP_AGENTLINK_STATUS_REPLY_MAX = QDVP_WIRE_LENGTH_WORD + 2 * (QDVP_WIRE_FIELD_HEADER + 4) };

// The short name of a request code ("register", "online", ...), or null for an unknown code.
inline const char *QDVP_AgentLinkRequestName(uint16_t code) {
  switch (code) {
    case QDVP_REQ_DP_REGISTER:
      return "register";
    case QDVP_REQ_DP_ONLINE:
      return "online";
    case QDVP_REQ_DP_UNREGISTER:
      return "unregister";
    case QDVP_REQ_DP_OFFLINE:
      return "offline";
    case QDVP_REQ_DP_DATA:
      return "data";
    case QDVP_REQ_DP_WAIT_FOR_ACTION:
      return "wait";
    case QDVP_REQ_DP_ACTION_STATUS:
      return "action_status";
    case QDVP_REQ_DP_PROVIDE_ACTION:
      return "provide_action";
    default:
      return nullptr;
  }
}

// True for the type letters whose values travel as 2- or 4-byte integers, most
// significant byte first: Average, Gauge, Counter, Switch, Short, Long and the three rates.
// The other letters carry text (a REAL formula result is text too, always 5 bytes or more).
inline bool QDVP_AgentLinkIsIntegerType(char typeLetter) {
  return typeLetter != '\0' && strchr("AGCSIL?%#", typeLetter) != nullptr;
}

// True for the integer types whose values are never negative: Counter, Average and Switch. The
// record parser refuses a minus sign for them and SNMP counters are unsigned, so all 16 or 32
// bits count (a Counter of 0xEE6B2800 is 4000000000). Gauge (and Short and Long, stored as
// Gauge) and the rates are signed.
inline bool QDVP_AgentLinkIsUnsignedType(char typeLetter) {
  return typeLetter != '\0' && strchr("ACS", typeLetter) != nullptr;
}

// Builds a status reply into message (capacity bytes): the status field and, when handle is not
// null, the DCH handle field after it. Returns the message length, or 0 when it does not fit.
inline size_t QDVP_AgentLinkBuildStatusReply(unsigned char *message, size_t capacity,
                                             int32_t status, const unsigned char *handle) {
  if (capacity < QDVP_WIRE_LENGTH_WORD) return 0;
  memset(message, 0, QDVP_WIRE_LENGTH_WORD);
  unsigned char value[4];
  QDVP_WirePut32(value, (uint32_t)status);
  size_t position = QDVP_WIRE_LENGTH_WORD;
  size_t n = QDVP_WireFormatField(message, capacity, position, QDVP_FIELD_STATUS, value, 4, 0);
  if (n == 0) return 0;
  position += n;
  if (handle) {
    n = QDVP_WireFormatField(message, capacity, position, QDVP_FIELD_DCH_HANDLE, handle, 4, 0);
    if (n == 0) return 0;
    position += n;
  }
  return position;
}

// One take-action request as the agent sends it. Text members may be null (field left out);
// the parameter is the only one the data provider treats as optional.
struct QDVP_AgentLinkAction {
  const char *sourceNode;
  uint32_t type;  // QDVP_ACTION_SITUATION, QDVP_ACTION_RULE or QDVP_ACTION_SNMP
  const char *name;
  uint32_t id;
  const char *parameter;
  const char *owner;
};

// Bytes a provide-action message for action needs.
inline size_t QDVP_AgentLinkProvideActionSize(const QDVP_AgentLinkAction *action) {
  size_t size = QDVP_WIRE_LENGTH_WORD + 3 * (QDVP_WIRE_FIELD_HEADER + 4);
  const char *texts[] = {action->sourceNode, action->name, action->parameter, action->owner};
  for (const char *text : texts) {
    if (text) size += QDVP_WIRE_FIELD_HEADER + strlen(text);
  }
  return size;
}

// Builds a provide-action request: request code, source node, action type (4 bytes), action
// name, action identifier, parameter and owner, leaving out the null texts. Returns the
// message length, or 0 when it does not fit in capacity or would pass the largest message.
inline size_t QDVP_AgentLinkBuildProvideAction(unsigned char *message, size_t capacity,
                                               const QDVP_AgentLinkAction *action) {
  size_t need = QDVP_AgentLinkProvideActionSize(action);
  if (need > capacity || need > QDVP_WIRE_MAX_MESSAGE) return 0;
  memset(message, 0, QDVP_WIRE_LENGTH_WORD);
  size_t position = QDVP_WIRE_LENGTH_WORD;
  unsigned char word[4];
  QDVP_WirePut16(word, QDVP_REQ_DP_PROVIDE_ACTION);
  position += QDVP_WireFormatField(message, capacity, position, QDVP_FIELD_REQUEST, word, 2, 0);
  if (action->sourceNode) {
    position += QDVP_WireFormatField(message, capacity, position, QDVP_FIELD_SOURCE_NAME,
                                     action->sourceNode, strlen(action->sourceNode), 0);
  }
  QDVP_WirePut32(word, action->type);
  position += QDVP_WireFormatField(message, capacity, position, QDVP_FIELD_ACTION_TYPE, word, 4, 0);
  if (action->name) {
    position += QDVP_WireFormatField(message, capacity, position, QDVP_FIELD_ACTION_NAME,
                                     action->name, strlen(action->name), 0);
  }
  QDVP_WirePut32(word, action->id);
  position += QDVP_WireFormatField(message, capacity, position, QDVP_FIELD_ACTION_ID, word, 4, 0);
  if (action->parameter) {
    position += QDVP_WireFormatField(message, capacity, position, QDVP_FIELD_ACTION_PARM,
                                     action->parameter, strlen(action->parameter), 0);
  }
  if (action->owner) {
    position += QDVP_WireFormatField(message, capacity, position, QDVP_FIELD_ACTION_OWNER,
                                     action->owner, strlen(action->owner), 0);
  }
  return position;
}
