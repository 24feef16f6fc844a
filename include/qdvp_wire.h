// Agent link framing, shared by the data provider and the agent peer (qdvp-dch).
//
// A message is a 4-byte total length (including itself) followed by fields back to back.
// Each field is a 6-byte header -- a 16-bit field code, then a 32-bit data length, both most
// significant byte first -- followed by the data. Text fields carry no terminating NUL. An
// attribute value field carries the attribute's type letter as its first data byte, then the
// value bytes. Everything here is header-only and free of the data provider's state, so the
// peer can include it alone.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

enum {
  QDVP_WIRE_LENGTH_WORD = 4,
  QDVP_WIRE_FIELD_HEADER = 6,
  // Largest message either side accepts; anything longer is a broken stream.
  QDVP_WIRE_MAX_MESSAGE = 1024 * 1024,
};

inline void QDVP_WirePut16(unsigned char *p, uint16_t v) {
  p[0] = (unsigned char)(v >> 8);
  p[1] = (unsigned char)v;
}
inline void QDVP_WirePut32(unsigned char *p, uint32_t v) {
  p[0] = (unsigned char)(v >> 24);
  p[1] = (unsigned char)(v >> 16);
  p[2] = (unsigned char)(v >> 8);
  p[3] = (unsigned char)v;
}
inline uint16_t QDVP_WireGet16(const unsigned char *p) { return (uint16_t)((p[0] << 8) | p[1]); }
inline uint32_t QDVP_WireGet32(const unsigned char *p) {
  return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

// Writes one field at position (position 0 means the first field, written after the length
// word) and updates the message's length word. typeLetter, when nonzero, is written as the
// first data byte. Returns the bytes written, or 0 when the field would not fit in capacity.
inline size_t QDVP_WireFormatField(unsigned char *message, size_t capacity, size_t position,
                                   uint16_t code, const void *data, size_t length,
                                   char typeLetter) {
  if (position < QDVP_WIRE_LENGTH_WORD) position = QDVP_WIRE_LENGTH_WORD;
  size_t dataLength = length + (typeLetter ? 1 : 0);
  size_t total = QDVP_WIRE_FIELD_HEADER + dataLength;
  if (position > capacity || capacity - position < total) return 0;
  unsigned char *p = message + position;
  QDVP_WirePut16(p, code);
  QDVP_WirePut32(p + 2, (uint32_t)dataLength);
  p += QDVP_WIRE_FIELD_HEADER;
  if (typeLetter) *p++ = (unsigned char)typeLetter;
  if (length) memmove(p, data, length);  // data may overlap the field being written
  QDVP_WirePut32(message, (uint32_t)(position + total));
  return total;
}

// One field as read from a message.
struct QDVP_WireField {
  uint16_t code;
  uint32_t length;
  const unsigned char *data;
};

// Reads the field at *position of a message of messageLength bytes and moves *position past
// it. Returns 1 for a field, 0 at the end, -1 for a field that runs past the end.
inline int QDVP_WireNextField(const unsigned char *message, size_t messageLength, size_t *position,
                              QDVP_WireField *field) {
  if (*position < QDVP_WIRE_LENGTH_WORD) *position = QDVP_WIRE_LENGTH_WORD;
  if (*position >= messageLength) return 0;
  size_t remaining = messageLength - *position;
  if (remaining < QDVP_WIRE_FIELD_HEADER) return -1;
  const unsigned char *p = message + *position;
  field->code = QDVP_WireGet16(p);
  field->length = QDVP_WireGet32(p + 2);
  if (field->length > remaining - QDVP_WIRE_FIELD_HEADER) return -1;
  field->data = p + QDVP_WIRE_FIELD_HEADER;
  *position += QDVP_WIRE_FIELD_HEADER + field->length;
  return 1;
}
