// Decoding of agent link messages into plain records and JSON, for the agent peer.
//
// DchDecodeMessage turns one complete message (length word included) into a DchMessage: the
// request or status it carries, the registration of an application with its tables and
// attribute descriptions, a row's handle, data sequence and attribute values, the fields of the
// wait, action status and provide-action requests. It never reads outside the bytes it is given
// and never throws; a message it cannot make sense of gives a nonzero status and a problem text.
// Fields it does not know are kept as codes and sizes, fields of a wrong size are noted as
// problems and otherwise skipped. The functions are pure and may be called from any thread.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qdvp_dch {

// Outcomes of DchDecodeMessage.
enum DchDecodeStatus {
  kDecodeOk = 0,
  kDecodeTooShort = 1,   // fewer than 4 bytes, or the length word disagrees with the size
  kDecodeBadField = 2,   // a field header or its data runs past the end of the message
  kDecodeNoRequest = 3,  // the first field is neither a request code nor a status
};

// One attribute value as it travelled: its type letter and its value bytes.
struct DchAttrValue {
  char type = 0;
  std::string bytes;
};

// One entry of a table's attribute descriptions.
struct DchAttrDescription {
  std::string name;
  std::string type;
  int size = 0;
  bool key = false;
  bool atomic = false;
  std::string enumText;  // empty when the entry carries the blank placeholder
  std::string help;      // likewise
  int position = 0;      // 0-based, in the order of the descriptions
};

// One table of a registration.
struct DchTableRegistration {
  std::string name;
  std::string help;
  std::string dataType;
  std::optional<int32_t> ttl;
  std::string descriptions;  // the text as received
  std::vector<DchAttrDescription> attributes;
};

// A field the decoder does not know in this message.
struct DchUnknownField {
  uint16_t code = 0;
  uint32_t length = 0;
};

struct DchMessage {
  uint32_t length = 0;
  std::optional<uint16_t> request;  // the request code, when the message is a request
  std::optional<int32_t> status;    // the status: of a reply, or of an action status request
  std::string application, applicationHelp, table, source;
  std::vector<DchTableRegistration> tables;  // register
  std::optional<uint32_t> handle;            // online reply, offline, data
  std::optional<int16_t> dataSequence;       // data
  std::optional<uint32_t> window;            // register: the rows a source would keep in flight
  std::optional<uint32_t> rowStream;         // data on a link with a window: the source's stream
  std::optional<uint32_t> rowNumber;         // and the row's number in it
  std::vector<std::pair<std::string, DchAttrValue>> attributes;  // data, in message order
  std::optional<uint32_t> waitCode;  // wait: the wait code; provide action: the type
  std::optional<uint32_t> actionId;
  std::optional<std::string> actionName, actionParameter, actionOwner, actionResult;
  std::vector<DchUnknownField> unknown;
  std::vector<std::string> problems;  // what was skipped and why
};

// Decodes one complete message of length bytes into *message. Returns a DchDecodeStatus; on a
// nonzero status *message holds what was decoded before the failure and a problem text.
int DchDecodeMessage(const unsigned char *bytes, size_t length, DchMessage *message);

// Parses a table's attribute descriptions text ("@$Busy,G,4, , ;...") into entries. Entries
// that do not have the name, type and size parts are skipped and noted in problems.
std::vector<DchAttrDescription> DchParseAttributeDescriptions(const std::string &text,
                                                              std::vector<std::string> *problems);

// The JSON value of one attribute value: a number for an integer type letter with 2 or 4 value
// bytes (most significant byte first; unsigned for Counter, Average and Switch, signed for the
// others), a string otherwise.
nlohmann::ordered_json DchAttrValueToJson(const DchAttrValue &value);

// The row of a data message as a JSON object from attribute name to value.
nlohmann::ordered_json DchRowAttrsToJson(const DchMessage &message);
// The same as JSON text, as the rows table stores it (the text of DchRowAttrsToJson, without
// building it for the common row): returned, or written over *out.
std::string DchRowAttrsText(const DchMessage &message);
void DchRowAttrsText(const DchMessage &message, std::string *out);

// One attribute of a data message where it lies in the message's bytes.
struct DchAttrView {
  std::string_view name;
  char type = 0;
  std::string_view bytes;
};

// A data request as storing its row needs it, decoded without copying: the attributes point
// into the message, which must outlive the view.
struct DchRowView {
  std::optional<uint32_t> handle;
  std::optional<int16_t> dataSequence;
  std::optional<uint32_t> rowStream, rowNumber;
  std::vector<DchAttrView> attributes;  // in message order
};

// Decodes a data request into *row (its vector keeps its room from one row to the next).
// False for any other message, and for a data request in which DchDecodeMessage would note a
// problem or an unknown field: such a message is decoded in full instead. What a true result
// holds is what DchDecodeMessage gives for the same bytes.
bool DchDecodeRow(const unsigned char *bytes, size_t length, DchRowView *row);
// The row's attributes as the JSON object text the rows table shows, written over *out: the
// same text as DchRowAttrsText of the fully decoded message.
void DchRowAttrsText(const std::vector<DchAttrView> &attributes, std::string *out);
// The attributes of a fully decoded message as views into it.
void DchRowAttrViews(const DchMessage &message, std::vector<DchAttrView> *out);
// The values alone as a JSON array text over *values, and the names as one over *names (unless
// null), when
// the object text would be written directly (every name and text value printable ASCII without
// quote or backslash, no name twice): then the object is the names paired with the values, in
// order. False otherwise, with nothing written.
bool DchRowAttrsArrays(const std::vector<DchAttrView> &attributes, std::string *values,
                       std::string *names);
// The parts of DchRowAttrsArrays, for a writer that keeps many rows' texts in one buffer:
// whether every name is plain text and none comes twice; the most bytes the values' array can
// take; and the array written at out (which has room for that many bytes), returning its end,
// or null when a text value is not plain.
bool DchRowNamesPlain(const std::vector<DchAttrView> &attributes);
size_t DchValuesArrayBound(const std::vector<DchAttrView> &attributes);
char *DchWriteValuesArray(const std::vector<DchAttrView> &attributes, char *out);

// The whole message as JSON: "request" (its short name) or "status", then the fields that
// message carries, and "unknown_fields" / "problems" when there are any.
nlohmann::ordered_json DchMessageToJson(const DchMessage &message);

// Text of a JSON value with invalid UTF-8 replaced, never throwing.
std::string DchJsonText(const nlohmann::ordered_json &value);

}  // namespace qdvp_dch
