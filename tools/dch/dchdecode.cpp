// Decoding of agent link messages into plain records and JSON, for the agent peer.
//
// The peer must accept anything a data provider (or a broken program on its port) sends, so
// every read is bounded by the field lengths already checked by QDVP_WireNextField, fixed-size
// fields are checked for their size, and nothing here throws.
#include "tools/dch/dchdecode.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <charconv>
#include <tuple>

#include "include/qdvp_agentlink.h"
#include "include/qdvp_wire.h"

namespace qdvp_dch {

namespace {

std::string Text(const QDVP_WireField &field) {
  return std::string(reinterpret_cast<const char *>(field.data), field.length);
}

std::string Hex16(uint16_t code) {
  char buffer[8];
  snprintf(buffer, sizeof buffer, "0x%04X", code);
  return buffer;
}

// Reads a fixed-size integer field; notes a problem and returns false for a wrong size.
bool Fixed(const QDVP_WireField &field, uint32_t size, DchMessage *message, const char *what,
           uint32_t *value) {
  if (field.length != size) {
    message->problems.push_back(std::string(what) + " field of " + std::to_string(field.length) +
                                " bytes, expected " + std::to_string(size));
    return false;
  }
  *value = size == 2 ? QDVP_WireGet16(field.data) : QDVP_WireGet32(field.data);
  return true;
}

// Reads an integer of 1 to 4 bytes, most significant first (the action type arrives this way).
bool Variable(const QDVP_WireField &field, DchMessage *message, const char *what, uint32_t *value) {
  if (field.length < 1 || field.length > 4) {
    message->problems.push_back(std::string(what) + " field of " + std::to_string(field.length) +
                                " bytes");
    return false;
  }
  uint32_t v = 0;
  for (uint32_t i = 0; i < field.length; i++) v = (v << 8) | field.data[i];
  *value = v;
  return true;
}

// Reads the fields after the request code of a registration: the application, its help, then
// per table its name, help, data type, TTL and attribute descriptions.
void DecodeRegisterField(const QDVP_WireField &field, DchMessage *message) {
  uint32_t value = 0;
  DchTableRegistration *table = message->tables.empty() ? nullptr : &message->tables.back();
  switch (field.code) {
    case QDVP_FIELD_APPL_NAME:
      message->application = Text(field);
      return;
    case QDVP_FIELD_HELP:
      (table ? table->help : message->applicationHelp) = Text(field);
      return;
    case QDVP_FIELD_TABLE_NAME:
      message->tables.emplace_back();
      message->tables.back().name = Text(field);
      return;
    case QDVP_FIELD_WINDOW:
      if (Fixed(field, 4, message, "window", &value)) message->window = value;
      return;
    default:
      break;
  }
  if (!table) {
    message->problems.push_back("field " + Hex16(field.code) + " before the first table");
    return;
  }
  switch (field.code) {
    case QDVP_FIELD_DATA_TYPE:
      table->dataType = Text(field);
      break;
    case QDVP_FIELD_TTL:
      if (Fixed(field, 4, message, "TTL", &value)) table->ttl = static_cast<int32_t>(value);
      break;
    case QDVP_FIELD_ATTR_DESCRIPTIONS:
      table->descriptions = Text(field);
      table->attributes = DchParseAttributeDescriptions(table->descriptions, &message->problems);
      break;
    default:
      message->unknown.push_back({field.code, field.length});
      break;
  }
}

// Reads one field of any other message.
void DecodeField(const QDVP_WireField &field, DchMessage *message,
                 std::optional<std::string> *pendingName) {
  uint32_t value = 0;
  switch (field.code) {
    case QDVP_FIELD_STATUS:
      if (Fixed(field, 4, message, "status", &value)) message->status = static_cast<int32_t>(value);
      break;
    case QDVP_FIELD_APPL_NAME:
      message->application = Text(field);
      break;
    case QDVP_FIELD_SOURCE_NAME:
      message->source = Text(field);
      break;
    case QDVP_FIELD_TABLE_NAME:
      message->table = Text(field);
      break;
    case QDVP_FIELD_DCH_HANDLE:
      if (Fixed(field, 4, message, "handle", &value)) message->handle = value;
      break;
    case QDVP_FIELD_DATA_SEQUENCE:
      if (Fixed(field, 2, message, "data sequence", &value)) {
        message->dataSequence = static_cast<int16_t>(value);
      }
      break;
    case QDVP_FIELD_ATTR_NAME:
      if (*pendingName)
        message->problems.push_back("attribute " + **pendingName + " without value");
      *pendingName = Text(field);
      break;
    case QDVP_FIELD_ATTR_VALUE: {
      if (!*pendingName) {
        message->problems.push_back("attribute value without name");
        break;
      }
      DchAttrValue attr;
      if (field.length > 0) {
        attr.type = static_cast<char>(field.data[0]);
        attr.bytes.assign(reinterpret_cast<const char *>(field.data) + 1, field.length - 1);
      } else {
        message->problems.push_back("attribute " + **pendingName + " value without type letter");
      }
      // A row has a handful of attributes: room for them at once, not in doublings.
      if (message->attributes.empty()) message->attributes.reserve(16);
      message->attributes.emplace_back(std::move(**pendingName), std::move(attr));
      pendingName->reset();
      break;
    }
    case QDVP_FIELD_WAIT_CODE:
      if (Variable(field, message, "wait code or action type", &value)) message->waitCode = value;
      break;
    case QDVP_FIELD_ACTION_NAME:
      message->actionName = Text(field);
      break;
    case QDVP_FIELD_ACTION_ID:
      if (Fixed(field, 4, message, "action id", &value)) message->actionId = value;
      break;
    case QDVP_FIELD_ACTION_PARM:
      message->actionParameter = Text(field);
      break;
    case QDVP_FIELD_ACTION_RESULT:
      message->actionResult = Text(field);
      break;
    case QDVP_FIELD_ACTION_OWNER:
      message->actionOwner = Text(field);
      break;
    case QDVP_FIELD_WINDOW:
      if (Fixed(field, 4, message, "window", &value)) message->window = value;
      break;
    case QDVP_FIELD_ROW_SEQUENCE:
      if (field.length != 8) {
        message->problems.push_back("row sequence field of " + std::to_string(field.length) +
                                    " bytes, expected 8");
      } else {
        message->rowStream = QDVP_WireGet32(field.data);
        message->rowNumber = QDVP_WireGet32(field.data + 4);
      }
      break;
    default:
      message->unknown.push_back({field.code, field.length});
      break;
  }
}

bool IsDigits(const std::string &text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Parses the head of a description entry at pos: flags, name, type and size, each part ended
// by ",". On success fills entry and returns the position after the size's comma.
std::optional<size_t> ParseHead(const std::string &text, size_t pos, DchAttrDescription *entry) {
  DchAttrDescription e;
  while (pos < text.size() && (text[pos] == '@' || text[pos] == '$')) {
    (text[pos] == '@' ? e.key : e.atomic) = true;
    pos++;
  }
  std::string parts[3];
  for (auto &part : parts) {
    size_t comma = text.find_first_of(",;", pos);
    if (comma == std::string::npos || text[comma] != ',') return std::nullopt;
    part = text.substr(pos, comma - pos);
    pos = comma + 1;
  }
  if (parts[0].empty() || parts[1].empty() || !IsDigits(parts[2]) || parts[2].size() > 9) {
    return std::nullopt;
  }
  e.name = parts[0];
  e.type = parts[1];
  e.size = std::stoi(parts[2]);
  *entry = std::move(e);
  return pos;
}

bool OnlyBlanksOrNul(const std::string &text, size_t pos) {
  for (; pos < text.size(); pos++) {
    if (text[pos] != ' ' && text[pos] != '\0' && text[pos] != '\n' && text[pos] != '\r') {
      return false;
    }
  }
  return true;
}

std::string Placeholder(const std::string &part) { return part == " " ? std::string() : part; }

}  // namespace

int DchDecodeMessage(const unsigned char *bytes, size_t length, DchMessage *message) {
  *message = DchMessage();
  if (length < QDVP_WIRE_LENGTH_WORD) {
    message->problems.push_back("message of " + std::to_string(length) + " bytes");
    return kDecodeTooShort;
  }
  message->length = QDVP_WireGet32(bytes);
  if (message->length != length) {
    message->problems.push_back("length word " + std::to_string(message->length) + " for " +
                                std::to_string(length) + " bytes");
    return kDecodeTooShort;
  }
  size_t position = QDVP_WIRE_LENGTH_WORD;
  QDVP_WireField field;
  int more = QDVP_WireNextField(bytes, length, &position, &field);
  if (more < 0) {
    message->problems.push_back("first field runs past the end");
    return kDecodeBadField;
  }
  if (more == 0) {
    message->problems.push_back("message without fields");
    return kDecodeNoRequest;
  }
  uint32_t value = 0;
  if (field.code == QDVP_FIELD_REQUEST) {
    if (!Fixed(field, 2, message, "request code", &value)) return kDecodeNoRequest;
    message->request = static_cast<uint16_t>(value);
  } else if (field.code == QDVP_FIELD_STATUS) {
    if (!Fixed(field, 4, message, "status", &value)) return kDecodeNoRequest;
    message->status = static_cast<int32_t>(value);
  } else {
    message->problems.push_back("first field " + Hex16(field.code) +
                                " is neither a request code nor a status");
    return kDecodeNoRequest;
  }
  bool registration = message->request == QDVP_REQ_DP_REGISTER;
  std::optional<std::string> pendingName;
  while ((more = QDVP_WireNextField(bytes, length, &position, &field)) > 0) {
    if (registration) {
      DecodeRegisterField(field, message);
    } else {
      DecodeField(field, message, &pendingName);
    }
  }
  if (pendingName) message->problems.push_back("attribute " + *pendingName + " without value");
  if (more < 0) {
    message->problems.push_back("field at offset " + std::to_string(position) +
                                " runs past the end");
    return kDecodeBadField;
  }
  return kDecodeOk;
}

std::vector<DchAttrDescription> DchParseAttributeDescriptions(const std::string &text,
                                                              std::vector<std::string> *problems) {
  std::vector<DchAttrDescription> result;
  size_t pos = 0;
  while (pos < text.size() && !OnlyBlanksOrNul(text, pos)) {
    DchAttrDescription entry;
    std::optional<size_t> after = ParseHead(text, pos, &entry);
    if (!after) {
      // Not an entry: skip to the next ";" and try again there.
      size_t semi = text.find(';', pos);
      problems->push_back("attribute description at offset " + std::to_string(pos) + " skipped");
      if (semi == std::string::npos) break;
      pos = semi + 1;
      continue;
    }
    pos = *after;
    // The enumeration is either an ENUM{...} text, which may hold commas, or up to the comma.
    bool isEnum = text.compare(pos, 5, "ENUM{") == 0 || text.compare(pos, 5, "enum{") == 0;
    size_t enumEnd;
    if (isEnum) {
      size_t brace = text.find('}', pos);
      enumEnd = brace == std::string::npos ? std::string::npos : text.find(',', brace);
    } else {
      enumEnd = text.find_first_of(",;", pos);
    }
    if (enumEnd == std::string::npos || text[enumEnd] == ';') {
      // No help part: the entry ends at the next ";".
      size_t semi = text.find(';', pos);
      size_t end = semi == std::string::npos ? text.size() : semi;
      entry.enumText = Placeholder(text.substr(pos, end - pos));
      problems->push_back("attribute description " + entry.name + " without help part");
      pos = end == text.size() ? end : end + 1;
    } else {
      entry.enumText = Placeholder(text.substr(pos, enumEnd - pos));
      pos = enumEnd + 1;
      // The help runs to the ";" that ends the text or is followed by another entry, so a help
      // text may itself hold ";".
      size_t end = std::string::npos;
      for (size_t semi = text.find(';', pos); semi != std::string::npos;
           semi = text.find(';', semi + 1)) {
        DchAttrDescription next;
        if (OnlyBlanksOrNul(text, semi + 1) || ParseHead(text, semi + 1, &next)) {
          end = semi;
          break;
        }
      }
      if (end == std::string::npos) {
        problems->push_back("attribute description " + entry.name + " without closing ;");
        end = text.size();
      }
      entry.help = Placeholder(text.substr(pos, end - pos));
      pos = end == text.size() ? end : end + 1;
    }
    entry.position = static_cast<int>(result.size());
    result.push_back(std::move(entry));
  }
  return result;
}

// The number an attribute of an integer type carries in 2, 4 or 8 bytes; false for any other
// value, which is text. The types that are never negative (Counter, Average, Switch) count all
// the bits, so a counter of 4000000000 stays that; Gauge and the rates are signed. An unsigned
// 8-byte value (a 64-bit counter) beyond what a signed number holds is *high (0 otherwise).
static bool IntegerValue(char type, std::string_view bytes, int64_t *number, uint64_t *high) {
  const auto *b = reinterpret_cast<const unsigned char *>(bytes.data());
  if (!QDVP_AgentLinkIsIntegerType(type)) return false;
  bool unsignedType = QDVP_AgentLinkIsUnsignedType(type);
  *high = 0;
  if (bytes.size() == 2) {
    uint16_t bits = QDVP_WireGet16(b);
    *number = unsignedType ? static_cast<int64_t>(bits) : static_cast<int16_t>(bits);
  } else if (bytes.size() == 4) {
    uint32_t bits = QDVP_WireGet32(b);
    *number = unsignedType ? static_cast<int64_t>(bits) : static_cast<int32_t>(bits);
  } else if (bytes.size() == 8) {
    uint64_t bits = (static_cast<uint64_t>(QDVP_WireGet32(b)) << 32) | QDVP_WireGet32(b + 4);
    if (unsignedType && bits > static_cast<uint64_t>(INT64_MAX)) *high = bits;
    *number = static_cast<int64_t>(bits);
  } else {
    return false;
  }
  return true;
}

static nlohmann::ordered_json ValueToJson(char type, std::string_view bytes) {
  int64_t number;
  uint64_t high;
  if (IntegerValue(type, bytes, &number, &high)) {
    if (high != 0) return high;
    return number;
  }
  return std::string(bytes);
}

nlohmann::ordered_json DchAttrValueToJson(const DchAttrValue &value) {
  return ValueToJson(value.type, value.bytes);
}

nlohmann::ordered_json DchRowAttrsToJson(const DchMessage &message) {
  nlohmann::ordered_json attrs = nlohmann::ordered_json::object();
  for (const auto &[name, value] : message.attributes) attrs[name] = DchAttrValueToJson(value);
  return attrs;
}

// A name or a text value that JSON writes as it stands: printable ASCII without quote or
// backslash.
// Eight bytes at a time: a lane of 0x7F or more, of less than 0x20, or equal to a quote or a
// backslash is found by the usual word tests (each exact as to whether such a byte is there),
// and only then are the eight bytes looked at one by one.
static bool PlainByte(unsigned char c) { return c >= 0x20 && c <= 0x7E && c != '"' && c != '\\'; }

static bool Plain(std::string_view text) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
  auto zero = [](uint64_t v) { return (v - kOnes) & ~v & kHigh; };
  const char *p = text.data();
  size_t n = text.size();
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t x;
    memcpy(&x, p, 8);
    uint64_t suspect = ((x | (x + kOnes)) & kHigh) | ((x - kOnes * 0x20) & ~x & kHigh) |
                       zero(x ^ (kOnes * '"')) | zero(x ^ (kOnes * '\\'));
    if (suspect != 0) {
      for (int i = 0; i < 8; i++) {
        if (!PlainByte(static_cast<unsigned char>(p[i]))) return false;
      }
    }
  }
  for (; n > 0; p++, n--) {
    if (!PlainByte(static_cast<unsigned char>(*p))) return false;
  }
  return true;
}

// The JSON object text of the attributes [begin, end), each giving its name, type letter and
// value bytes. The common row is written directly: every name and text plain, no name twice.
// Anything else (escapes, bytes that are not UTF-8, a name that comes again and replaces the
// first) goes through the JSON library, which gives the same text for the common row too.
template <typename It, typename Get>
static void AttrsText(It begin, It end, Get get, std::string *out) {
  out->clear();
  *out += '{';
  bool plain = true;
  for (It it = begin; plain && it != end; ++it) {
    auto [name, type, bytes] = get(*it);
    if (!Plain(name)) {
      plain = false;
      break;
    }
    for (It before = begin; before != it; ++before) {
      if (std::get<0>(get(*before)) == name) plain = false;
    }
    if (!plain) break;
    if (it != begin) *out += ',';
    *out += '"';
    out->append(name);
    *out += "\":";
    int64_t number;
    uint64_t high;
    if (IntegerValue(type, bytes, &number, &high)) {
      char digits[24];
      int n = high != 0
                  ? snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(high))
                  : snprintf(digits, sizeof digits, "%lld", static_cast<long long>(number));
      out->append(digits, static_cast<size_t>(n));
    } else if (Plain(bytes)) {
      *out += '"';
      out->append(bytes);
      *out += '"';
    } else {
      plain = false;
    }
  }
  if (plain) {
    *out += '}';
    return;
  }
  nlohmann::ordered_json attrs = nlohmann::ordered_json::object();
  for (It it = begin; it != end; ++it) {
    auto [name, type, bytes] = get(*it);
    attrs[std::string(name)] = ValueToJson(type, bytes);
  }
  *out = DchJsonText(attrs);
}

void DchRowAttrsText(const DchMessage &message, std::string *out) {
  using Entry = std::pair<std::string, DchAttrValue>;
  AttrsText(
      message.attributes.begin(), message.attributes.end(),
      [](const Entry &e) {
        return std::tuple<std::string_view, char, std::string_view>(e.first, e.second.type,
                                                                    e.second.bytes);
      },
      out);
}

std::string DchRowAttrsText(const DchMessage &message) {
  std::string text;
  text.reserve(256);
  DchRowAttrsText(message, &text);
  return text;
}

void DchRowAttrsText(const std::vector<DchAttrView> &attributes, std::string *out) {
  AttrsText(
      attributes.begin(), attributes.end(),
      [](const DchAttrView &a) {
        return std::tuple<std::string_view, char, std::string_view>(a.name, a.type, a.bytes);
      },
      out);
}

void DchRowAttrViews(const DchMessage &message, std::vector<DchAttrView> *out) {
  out->clear();
  for (const auto &[name, value] : message.attributes) {
    out->push_back({name, value.type, value.bytes});
  }
}

bool DchRowNamesPlain(const std::vector<DchAttrView> &attributes) {
  for (size_t i = 0; i < attributes.size(); i++) {
    if (!Plain(attributes[i].name)) return false;
    for (size_t j = 0; j < i; j++) {
      if (attributes[j].name == attributes[i].name) return false;
    }
  }
  return true;
}

size_t DchValuesArrayBound(const std::vector<DchAttrView> &attributes) {
  // Per value: a text's bytes and its quotes and comma, or at most 20 digits, a sign or quotes
  // and a comma.
  size_t n = 2;
  for (const DchAttrView &a : attributes) n += a.bytes.size() + 24;
  return n;
}

char *DchWriteValuesArray(const std::vector<DchAttrView> &attributes, char *out) {
  char *p = out;
  *p++ = '[';
  for (size_t i = 0; i < attributes.size(); i++) {
    const DchAttrView &a = attributes[i];
    if (i > 0) *p++ = ',';
    int64_t number;
    uint64_t high;
    if (IntegerValue(a.type, a.bytes, &number, &high)) {
      // A counter beyond a signed 64-bit number goes as its digits in quotes: the store's SQL
      // would make the bare number a float and lose its last digits.
      if (high != 0) {
        *p++ = '"';
        p = std::to_chars(p, p + 20, high).ptr;
        *p++ = '"';
      } else {
        p = std::to_chars(p, p + 20, number).ptr;
      }
    } else if (Plain(a.bytes)) {
      *p++ = '"';
      if (!a.bytes.empty()) memcpy(p, a.bytes.data(), a.bytes.size());
      p += a.bytes.size();
      *p++ = '"';
    } else {
      return nullptr;
    }
  }
  *p++ = ']';
  return p;
}

bool DchRowAttrsArrays(const std::vector<DchAttrView> &attributes, std::string *values,
                       std::string *names) {
  if (!DchRowNamesPlain(attributes)) return false;
  values->resize(DchValuesArrayBound(attributes));
  char *end = DchWriteValuesArray(attributes, values->data());
  if (!end) {
    values->clear();
    return false;
  }
  values->resize(static_cast<size_t>(end - values->data()));
  if (names) {
    names->clear();
    *names += '[';
    for (size_t i = 0; i < attributes.size(); i++) {
      if (i > 0) *names += ',';
      *names += '"';
      names->append(attributes[i].name);
      *names += '"';
    }
    *names += ']';
  }
  return true;
}

bool DchDecodeRow(const unsigned char *bytes, size_t length, DchRowView *row) {
  row->handle.reset();
  row->dataSequence.reset();
  row->rowStream.reset();
  row->rowNumber.reset();
  row->attributes.clear();
  if (length < QDVP_WIRE_LENGTH_WORD || QDVP_WireGet32(bytes) != length) return false;
  size_t position = QDVP_WIRE_LENGTH_WORD;
  QDVP_WireField field;
  if (QDVP_WireNextField(bytes, length, &position, &field) <= 0 ||
      field.code != QDVP_FIELD_REQUEST || field.length != 2 ||
      QDVP_WireGet16(field.data) != QDVP_REQ_DP_DATA) {
    return false;
  }
  std::string_view name;
  bool named = false;
  int more;
  while ((more = QDVP_WireNextField(bytes, length, &position, &field)) > 0) {
    const char *data = reinterpret_cast<const char *>(field.data);
    switch (field.code) {
      case QDVP_FIELD_DCH_HANDLE:
        if (field.length != 4) return false;
        row->handle = QDVP_WireGet32(field.data);
        break;
      case QDVP_FIELD_DATA_SEQUENCE:
        if (field.length != 2) return false;
        row->dataSequence = static_cast<int16_t>(QDVP_WireGet16(field.data));
        break;
      case QDVP_FIELD_ROW_SEQUENCE:
        if (field.length != 8) return false;
        row->rowStream = QDVP_WireGet32(field.data);
        row->rowNumber = QDVP_WireGet32(field.data + 4);
        break;
      case QDVP_FIELD_ATTR_NAME:
        if (named) return false;  // a name without value
        name = std::string_view(data, field.length);
        named = true;
        break;
      case QDVP_FIELD_ATTR_VALUE:
        if (!named || field.length == 0) return false;
        row->attributes.push_back({name, data[0], std::string_view(data + 1, field.length - 1)});
        named = false;
        break;
      default:
        return false;  // decoded in full, which notes it
    }
  }
  return more == 0 && !named;
}

nlohmann::ordered_json DchMessageToJson(const DchMessage &message) {
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  if (message.request) {
    const char *name = QDVP_AgentLinkRequestName(*message.request);
    j["request"] = name ? name : Hex16(*message.request);
  }
  if (message.status) j["status"] = *message.status;
  if (!message.application.empty()) j["application"] = message.application;
  if (!message.applicationHelp.empty()) j["help"] = message.applicationHelp;
  if (!message.table.empty()) j["attribute_group"] = message.table;
  if (!message.source.empty()) j["source"] = message.source;
  if (message.handle) j["handle"] = *message.handle;
  if (message.dataSequence) j["data_sequence"] = *message.dataSequence;
  if (message.window) j["window"] = *message.window;
  if (message.rowStream) {
    j["row_stream"] = *message.rowStream;
    j["row_number"] = *message.rowNumber;
  }
  if (!message.tables.empty()) {
    nlohmann::ordered_json tables = nlohmann::ordered_json::array();
    for (const auto &t : message.tables) {
      nlohmann::ordered_json tj = {{"name", t.name}, {"type", t.dataType}};
      if (t.ttl) tj["ttl"] = *t.ttl;
      tj["help"] = t.help;
      nlohmann::ordered_json attrs = nlohmann::ordered_json::array();
      for (const auto &a : t.attributes) {
        attrs.push_back({{"name", a.name},
                         {"type", a.type},
                         {"size", a.size},
                         {"key", a.key},
                         {"atomic", a.atomic},
                         {"enum", a.enumText},
                         {"help", a.help}});
      }
      tj["attributes"] = std::move(attrs);
      tables.push_back(std::move(tj));
    }
    j["attribute_groups"] = std::move(tables);
  }
  if (message.request == QDVP_REQ_DP_DATA || !message.attributes.empty()) {
    j["attrs"] = DchRowAttrsToJson(message);
    nlohmann::ordered_json types = nlohmann::ordered_json::object();
    for (const auto &[name, value] : message.attributes) {
      types[name] = value.type ? std::string(1, value.type) : std::string();
    }
    j["types"] = std::move(types);
  }
  if (message.waitCode) {
    j[message.request == QDVP_REQ_DP_PROVIDE_ACTION ? "action_type" : "wait_code"] =
        *message.waitCode;
  }
  if (message.actionId) j["action_id"] = *message.actionId;
  if (message.actionName) j["action_name"] = *message.actionName;
  if (message.actionParameter) j["action_parameter"] = *message.actionParameter;
  if (message.actionOwner) j["action_owner"] = *message.actionOwner;
  if (message.actionResult) j["action_result"] = *message.actionResult;
  if (!message.unknown.empty()) {
    nlohmann::ordered_json unknown = nlohmann::ordered_json::array();
    for (const auto &u : message.unknown) {
      unknown.push_back({{"code", Hex16(u.code)}, {"length", u.length}});
    }
    j["unknown_fields"] = std::move(unknown);
  }
  if (!message.problems.empty()) j["problems"] = message.problems;
  return j;
}

std::string DchJsonText(const nlohmann::ordered_json &value) {
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace qdvp_dch
