// The data request: one row of a source, sent as attribute name and value pairs.
//
// Before the row goes out, the attributes that are computed from two others and did not get a
// value while the record was parsed are evaluated here: two texts are joined, a derive
// function is applied, or the arithmetic formula is computed (+ - * / and % as a rounded
// percentage). The row is built in the source's own output buffer, sized once from the
// attribute definitions, under the source's attribute lock so that parsing cannot change the
// row while it is sent. A value is consumed by sending it (its size goes back to 0), except
// for the DP log report, whose constant attributes stay.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_dchcomm.h"

static TRK1_BLOCK trk = {"qdvpdpda"};

// Services of record processing; the row is complete without them when they are not linked.
extern "C" __attribute__((weak)) int QDVP_PerformDeriveAttrFunction(AttrEntry *attribute);
extern "C" __attribute__((weak)) int QDVP_OutputBatchDataRecord(SourceEntry *source);

namespace {

int32_t ReadOperand(const AttrEntry *a) {
  const auto *v = reinterpret_cast<const unsigned char *>(a->Value);
  if (a->ActualValSize == 4) return static_cast<int32_t>(QDVP_WireGet32(v));
  return static_cast<int16_t>(QDVP_WireGet16(v));
}

// Writes value into size bytes, most significant byte first.
void WriteInteger(AttrEntry *a, long value) {
  auto *v = reinterpret_cast<unsigned char *>(a->Value);
  for (int i = a->MaxValSize - 1; i >= 0; i--) {
    v[i] = static_cast<unsigned char>(value & 0xFF);
    value >>= 8;
  }
  a->ActualValSize = a->MaxValSize;
}

void Evaluate(AttrEntry *a) {
  auto *first = static_cast<AttrEntry *>(a->pOperand1);
  AttrEntry *second = a->pOperand2;
  if (QDVP_IsDeriveFunction(a->pOperand1)) {
    if (QDVP_PerformDeriveAttrFunction) QDVP_PerformDeriveAttrFunction(a);
    return;
  }
  if (first->ActualValSize <= 0 || second->ActualValSize <= 0) return;
  if (first->Type == 'D' && second->Type == 'D') {
    int n1 = first->ActualValSize, n2 = second->ActualValSize;
    if (n1 > a->MaxValSize) n1 = a->MaxValSize;
    if (n1 + n2 > a->MaxValSize) n2 = a->MaxValSize - n1;
    memmove(a->Value, first->Value, static_cast<size_t>(n1));
    memmove(a->Value + n1, second->Value, static_cast<size_t>(n2));
    a->ActualValSize = n1 + n2;
    QDVP_TRC(trk, TRK1_DETAIL, "Attribute %s derived string size %d {%.*s}", a->Name,
             a->ActualValSize, a->ActualValSize, a->Value);
    return;
  }
  int32_t x = ReadOperand(first), y = ReadOperand(second);
  long result = 0;
  double real = 0;
  switch (a->Operator) {
    case '+':
      result = static_cast<long>(x) + y;
      real = static_cast<double>(result);
      break;
    case '-':
      result = static_cast<long>(x) - y;
      real = static_cast<double>(result);
      break;
    case '*':
      real = static_cast<double>(x) * y;
      result = static_cast<long>(real);
      break;
    case '/':
      if (y != 0) {
        real = static_cast<double>(x) / y;
        result = static_cast<long>(real);
      }
      break;
    case '%':
      if (y != 0) {
        real = x * 100.0 / y;
        result = static_cast<long>(real);
        if (fabs(real - static_cast<double>(result)) >= 0.5) result += real < 0 ? -1 : 1;
      }
      break;
    default:
      QDVP_TRC(trk, TRK1_ERROR, "*****Invalid Operation Type %c", a->Operator);
      break;
  }
  QDVP_TRC(trk, TRK1_DETAIL, "Attribute %s formula calculated %d %d result %d %.3f", a->Name, x, y,
           static_cast<int>(result), real);
  if (a->Real) {
    char text[64];
    int n = snprintf(text, sizeof(text), "%.3f", real);
    if (n > a->MaxValSize) n = a->MaxValSize;
    memcpy(a->Value, text, static_cast<size_t>(n));
    a->ActualValSize = n;
  } else {
    WriteInteger(a, result);
  }
}

// The attributes of a source in the order they are sent.
template <typename Fn>
void ForEachInOrder(SourceEntry *s, Fn fn) {
  bool ordered = s->pOrderList != nullptr;
  for (AttrEntry *a = ordered ? s->pOrderList : s->pAttrList; a != nullptr;
       a = ordered ? a->pOrderNext : a->pNext) {
    fn(a);
  }
}

}  // namespace

extern "C" {

int QDVP_ComputeDCHbufferSize(SourceEntry *source) {
  OSV1_Guard attrs(&source->AttrLock);
  int size = 32;
  for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext) {
    size += a->MaxValSize + static_cast<int>(strlen(a->Name)) + 12;
  }
  return size;
}

// Derived attributes without a value whose two operands have one get their value now.
void QDVP_EvaluateFormulas(SourceEntry *source) {
  for (AttrEntry *a = source->pAttrList; a != nullptr; a = a->pNext) {
    if (a->pOperand1 == nullptr || a->pOperand2 == nullptr || a->ActualValSize > 0) continue;
    Evaluate(a);
  }
}

void QDVP_DoDPdata(SourceEntry *source, DCHcomm *comm) {
  QDVP_TRC_ENTRY(trk);
  DPAB *anchor = comm->pDPAB;
  if (source->pOutputBuffer == nullptr) {
    int size = QDVP_ComputeDCHbufferSize(source);
    if (size <= 0) size = 1024;
    // Room for the two special attributes' values beyond their declared sizes.
    size += 64 + (source->pSourceNodeName ? static_cast<int>(strlen(source->pSourceNodeName)) : 0);
    source->pOutputBuffer =
        static_cast<unsigned char *>(QDV0_GetStorage(static_cast<size_t>(size)));
    if (source->pOutputBuffer == nullptr) {
      comm->Status = QDVP_DCH_STATUS_LOCAL_FAILURE;
      QDVP_TRC(trk, TRK1_ERROR, "*** unable to obtain storage for output buffer");
      return;
    }
    source->OutputBufferSize = size;
  }
  unsigned char *m = source->pOutputBuffer;
  size_t cap = static_cast<size_t>(source->OutputBufferSize);
  memset(m, 0, cap);
  unsigned char word[2];
  QDVP_WirePut16(word, QDVP_REQ_DP_DATA);
  size_t pos = QDVP_WIRE_LENGTH_WORD;
  pos += QDV0_FormatDataField(m, cap, pos, QDVP_FIELD_REQUEST, word, 2, 0);
  pos += QDV0_FormatDataField(m, cap, pos, QDVP_FIELD_DCH_HANDLE, source->DCHhandle, 4, 0);
  QDVP_WirePut16(word, static_cast<uint16_t>(source->DataSequence));
  pos += QDV0_FormatDataField(m, cap, pos, QDVP_FIELD_DATA_SEQUENCE, word, 2, 0);

  OSV1_Guard attrs(&source->AttrLock);
  QDVP_EvaluateFormulas(source);
  if (anchor->StandAlone) {
    comm->Status = 0;
    if (QDVP_OutputBatchDataRecord) QDVP_OutputBatchDataRecord(source);
    return;
  }
  bool keep = source == anchor->pDPlogSource;
  int sent = 0;
  ForEachInOrder(source, [&](AttrEntry *a) {
    if (!a->Sent || a->Type == 'K') return;
    if (a->ActualValSize > 0) {
      pos += QDV0_FormatDataField(m, cap, pos, QDVP_FIELD_ATTR_NAME, a->Name, strlen(a->Name), 0);
      pos += QDV0_FormatDataField(m, cap, pos, QDVP_FIELD_ATTR_VALUE, a->Value,
                                  static_cast<size_t>(a->ActualValSize), a->Type);
      sent++;
      return;
    }
    if (sent == 0) return;
    if (strcmp(a->Name, "_DataSourceName") == 0) {
      const char *node = source->pSourceNodeName ? source->pSourceNodeName : "";
      pos += QDV0_FormatDataField(m, cap, pos, QDVP_FIELD_ATTR_NAME, a->Name, strlen(a->Name), 0);
      pos += QDV0_FormatDataField(m, cap, pos, QDVP_FIELD_ATTR_VALUE, node, strlen(node), a->Type);
      sent++;
    } else if (strcmp(a->Name, "_LocalTimeStamp") == 0) {
      char stamp[QDV0_CORVID_TIME_LEN + 1];
      QDV0_GetCorvidTime(stamp);
      pos += QDV0_FormatDataField(m, cap, pos, QDVP_FIELD_ATTR_NAME, a->Name, strlen(a->Name), 0);
      pos += QDV0_FormatDataField(m, cap, pos, QDVP_FIELD_ATTR_VALUE, stamp, QDV0_CORVID_TIME_LEN,
                                  a->Type);
      sent++;
    }
  });
  if (sent == 0 && source->DataSequence != QDVP_SEQ_LAST) {
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>>dp_data bypassed. No attribute loaded to transfer");
    comm->Status = 0;
    return;
  }
  do {
    QDVP_TRC(trk, TRK1_DETAIL, "Sending dp_data request %d for SourceEntry object @%p",
             source->RequestNumber, (void *)source);
    comm->RequestNumber = source->RequestNumber;
    QDVP_DCHsendAndReceive(static_cast<int>(QDVP_WireGet32(m)), m, comm, 0);
  } while (comm->Status == QDVP_DCH_STATUS_SEND_AGAIN);
  // The values are consumed by the send. A row the agent asks to see again after the source
  // is back online (status 2) keeps them so that the client can resend it.
  if (!keep && comm->Status != QDVP_DCH_STATUS_SYNC_REQUIRED) {
    ForEachInOrder(source, [](AttrEntry *a) {
      if (a->Sent && a->Type != 'K') a->ActualValSize = 0;
    });
  }
  QDVP_TRC_EXIT(trk, comm->Status);
}

void QDVP_ReleaseSourceLinkState(SourceEntry *source) {
  if (source == nullptr) return;
  QDV0_FreeStorage(&source->pOutputBuffer);
  source->OutputBufferSize = 0;
}

}  // extern "C"
