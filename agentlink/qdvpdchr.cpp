// The receive task of the agent link and the decoder of what the DCH sends.
//
// The task reads everything that arrives on the connection, puts messages back together
// (several in one receive, one split over several receives), stores status replies in the
// connection block and wakes the client, and turns provide-action requests into action work.
// The decoder is separate from the socket so that it can be driven by tests and the fuzzer:
// it never holds more than one incomplete message, and a length word below 4 or beyond the
// largest message marks the stream as broken (the task then drops the connection, which the
// client re-establishes before its next request).
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "../core/support/qdv0.h"
#include "../core/support/trk1.h"
#include "../include/qdvp_dchcomm.h"
#include "../include/qdvp_stats.h"

static TRK1_BLOCK trk = {"qdvpdchr"};

void QDVP_DecodeDCHmessage(const unsigned char *message, size_t length, DCHdecoded *out) {
  memset(out, 0, sizeof(*out));
  size_t position = QDVP_WIRE_LENGTH_WORD;
  int code = 0;
  const unsigned char *data = nullptr;
  size_t n = 0;
  if (QDV0_ExtractDataField(message, length, &position, &code, &data, &n) != 1) return;
  if (code == QDVP_FIELD_STATUS && n == 4) {
    out->Kind = 1;
    out->Status = static_cast<int32_t>(QDVP_WireGet32(data));
    // The handle (online) and the window (registration, our addition) follow, in any order.
    while (QDV0_ExtractDataField(message, length, &position, &code, &data, &n) == 1) {
      if (code == QDVP_FIELD_DCH_HANDLE && n == 4) {
        out->HasHandle = 1;
        memcpy(out->Handle, data, 4);
      } else if (code == QDVP_FIELD_WINDOW && n == 4) {
        out->HasWindow = 1;
        out->Window = QDVP_WireGet32(data);
      }
    }
    return;
  }
  if (code != QDVP_FIELD_REQUEST || n != 2 || QDVP_WireGet16(data) != QDVP_REQ_DP_PROVIDE_ACTION) {
    return;
  }
  out->Kind = 2;
  while (QDV0_ExtractDataField(message, length, &position, &code, &data, &n) == 1) {
    uint32_t value = 0;
    for (size_t i = 0; i < n && i < 4; i++) value = (value << 8) | data[i];
    switch (code) {
      case QDVP_FIELD_SOURCE_NAME:
        out->pNode = data, out->NodeLen = n, out->ActionFieldCount++;
        break;
      case QDVP_FIELD_ACTION_TYPE:
        out->ActionType = value, out->ActionFieldCount++;
        break;
      case QDVP_FIELD_ACTION_NAME:
        out->pName = data, out->NameLen = n, out->ActionFieldCount++;
        break;
      case QDVP_FIELD_ACTION_ID:
        out->ActionId = value, out->ActionFieldCount++;
        break;
      case QDVP_FIELD_ACTION_PARM:
        out->pParm = data, out->ParmLen = n;
        break;
      case QDVP_FIELD_ACTION_OWNER:
        out->pOwner = data, out->OwnerLen = n, out->ActionFieldCount++;
        break;
      default:
        out->UnknownFields++;
        QDVP_TRC(trk, TRK1_ERROR, "***** unexpected DCH data field ignored %d", code);
        break;
    }
  }
}

void QDVP_ResetDCHstream(DCHstream *stream) {
  QDV0_Free(stream->pResidual);
  stream->ResidualLength = stream->ResidualCapacity = 0;
}

// Decodes the complete messages at data; returns the bytes used, or -1 for a broken stream.
static long DecodeComplete(const unsigned char *data, size_t length, QDVP_DCH_MESSAGE_SINK sink,
                           void *context) {
  size_t used = 0;
  while (length - used >= QDVP_WIRE_LENGTH_WORD) {
    uint32_t total = QDVP_WireGet32(data + used);
    if (total < QDVP_WIRE_LENGTH_WORD || total > QDVP_WIRE_MAX_MESSAGE) return -1;
    if (total > length - used) break;
    if (total < length - used) {
      QDVP_TRC(trk, TRK1_DETAIL,
               ">>>>> data length received %d, not equal protocol specification %d, multiple "
               "requests in packet",
               static_cast<int>(length - used), static_cast<int>(total));
    }
    DCHdecoded message;
    QDVP_DecodeDCHmessage(data + used, total, &message);
    if (message.Kind == 0) QDVP_TRC(trk, TRK1_ERROR, "***** unsupported DCH request ignored");
    if (sink) sink(&message, context);
    used += total;
  }
  return static_cast<long>(used);
}

int QDVP_DecodeDCHstream(DCHstream *stream, const unsigned char *data, size_t length,
                         QDVP_DCH_MESSAGE_SINK sink, void *context) {
  if (stream->ResidualLength == 0) {
    long used = DecodeComplete(data, length, sink, context);
    if (used < 0) return -1;
    data += used;
    length -= static_cast<size_t>(used);
    if (length == 0) return 0;
  } else {
    QDVP_TRC(trk, TRK1_DETAIL, "#####Received data concatenated to residual data");
  }
  // Keep what remains: at most one incomplete message, whose length word (once complete) was
  // checked above or is checked below.

  while (length > 0) {
    if (stream->ResidualCapacity < stream->ResidualLength + length) {
      size_t capacity = stream->ResidualCapacity ? stream->ResidualCapacity * 2 : 4096;
      while (capacity < stream->ResidualLength + length) capacity *= 2;
      const size_t most = static_cast<size_t>(QDVP_WIRE_MAX_MESSAGE) + QDVP_DCH_RECEIVE_BUFFER;
      if (capacity > most) capacity = most;
      auto *bigger = static_cast<unsigned char *>(QDV0_GetStorage(capacity));
      if (bigger == nullptr) return -1;
      if (stream->ResidualLength) memcpy(bigger, stream->pResidual, stream->ResidualLength);
      QDV0_Free(stream->pResidual);
      stream->pResidual = bigger;
      stream->ResidualCapacity = capacity;
    }
    size_t take = stream->ResidualCapacity - stream->ResidualLength;
    if (take > length) take = length;
    memcpy(stream->pResidual + stream->ResidualLength, data, take);
    stream->ResidualLength += take;
    data += take;
    length -= take;
    long used = DecodeComplete(stream->pResidual, stream->ResidualLength, sink, context);
    if (used < 0) {
      QDVP_ResetDCHstream(stream);
      return -1;
    }
    if (used > 0) {
      memmove(stream->pResidual, stream->pResidual + used,
              stream->ResidualLength - static_cast<size_t>(used));
      stream->ResidualLength -= static_cast<size_t>(used);
    }
  }
  if (stream->ResidualLength > 0) {
    QDVP_TRC(trk, TRK1_DETAIL,
             ">>>>> Incomplete DCH packet remains in buffer, residual %d bytes. Doing next receive",
             static_cast<int>(stream->ResidualLength));
  } else {
    QDVP_ResetDCHstream(stream);
  }
  return 0;
}

// Stores a status reply, or hands an action on.
static void Deliver(const DCHdecoded *message, void *context) {
  auto *comm = static_cast<DCHcomm *>(context);
  if (message->Kind != 0 && comm->Heard.exchange(1) == 0) {
    QDVP_SetLinkState(1, comm->ReceiveMode != QDVP_DCH_MODE_TCP);
  }
  if (message->Kind == 1) {
    // While rows are in flight, every status is theirs (see qdvpwind.cpp).
    if (QDVP_TakeWindowStatus(comm, message->Status)) {
      QDVP_UpdateStatLogDCHio(1);
      return;
    }
    {
      // Not the link lock: a sender holds it across a send that the agent may hold up until
      // its own replies are read, by this task.
      OSV1_Guard status(&comm->StatusMutex);
      comm->Status = message->Status;
      comm->ReplyWindow = message->HasWindow ? message->Window : 0;
      memset(comm->ReplyHandle, 0, 4);
      if (message->HasHandle) {
        memcpy(comm->ReplyHandle, message->Handle, 4);
        QDVP_TRC(trk, TRK1_DETAIL, "Received DCH Handle %08X", QDVP_WireGet32(message->Handle));
      }
    }
    QDVP_SignalDCHreceiveStatus(comm);
  } else if (message->Kind == 2) {
    QDVP_ReceiveProvideAction(comm->pDPAB, message);
  }
}

static bool RequestPending(DCHcomm *comm) {
  OSV1_GetLock(&comm->StatusMutex);
  bool pending = comm->Pending != 0;
  OSV1_ReleaseLock(&comm->StatusMutex);
  return pending;
}

// Ends the connection this task serves (unless the client already replaced it) and tells a
// waiting request. A request whose answer is already stored keeps it: a connection lost right
// after the answer must not overwrite the status before its waiter has read it, or a row the
// agent took would be taken for lost and sent again.
static void Disconnected(DCHcomm *comm, int socket, int32_t status) {
  bool waiting;
  {
    OSV1_Guard link(&comm->LinkLock);
    if (comm->Socket == socket) comm->Socket = 0;
    waiting = RequestPending(comm);
    if (waiting) comm->Status = status;
  }
  if (waiting) QDVP_SignalDCHreceiveStatus(comm);
}

void *QDVP_DCHreceiveDataTask(void *argument) {
  auto *comm = static_cast<DCHcomm *>(argument);
  DPAB *anchor = comm->pDPAB;
  auto *buffer = static_cast<unsigned char *>(QDV0_GetStorage(QDVP_DCH_RECEIVE_BUFFER));
  OSV1_GetLock(&comm->ReceiveMutex);
  int socket = comm->Socket;
  OSV1_GetLock(&comm->StatusMutex);
  comm->ReceiverStarted = 1;
  OSV1_WakeAll(&comm->StatusCond, &comm->StatusMutex);
  OSV1_ReleaseLock(&comm->StatusMutex);
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> DCH inbound data receive process started. Thread: %X",
           OSV1_ThreadID());
  DCHstream stream = {nullptr, 0, 0};
  // The task stays while its connection does, through the data provider's ending too: the
  // client's last requests (offline, unregister) are answered on it. The client drops the
  // connection when it ends, which ends this task.
  while (buffer != nullptr && socket > 0 && comm->Socket == socket) {
    QDVP_TRC(trk, TRK1_DETAIL, ">>>>> Wait to receive DCH data or status");
    int error = 0;
    int n = anchor->pDSFT->DCHreceive(comm, buffer, QDVP_DCH_RECEIVE_BUFFER, &error);
    if (n <= 0) {
      if (comm->Socket != socket) break;
      if (error == QDVP_DCH_ERR_RESET || (n == 0 && error == 0)) {
        QDVP_TRC(trk, TRK1_ERROR, ">>>>> DCH disconnect received");
        Disconnected(comm, socket, QDVP_DCH_STATUS_DISCONNECTED);
        break;
      }
      if (error == QDVP_DCH_ERR_TIMEOUT) {
        if (!RequestPending(comm)) continue;
        QDVP_TRC(trk, TRK1_ERROR, ">>>>> DCH communication timed out");
        comm->Status = QDVP_DCH_STATUS_TIMED_OUT;
      } else if (error == QDVP_DCH_ERR_INVALID) {
        QDVP_TRC(trk, TRK1_ERROR, ">>>>> DCH socket no longer valid.  Exiting...");
        break;
      } else {
        QDVP_TRC(trk, TRK1_ERROR, ">>>>> DCH communication failed");
        if (!RequestPending(comm)) continue;
        comm->Status = QDVP_DCH_STATUS_LOCAL_FAILURE;
      }
      QDVP_SignalDCHreceiveStatus(comm);
      continue;
    }
    if (QDVP_DecodeDCHstream(&stream, buffer, static_cast<size_t>(n), Deliver, comm) != 0) {
      QDVP_TRC(trk, TRK1_ERROR, "***** unsupported DCH request ignored");
      if (comm->ReceiveMode == QDVP_DCH_MODE_TCP) {
        // A stream whose framing is lost cannot be followed further.
        Disconnected(comm, socket, QDVP_DCH_STATUS_DISCONNECTED);
        break;
      }
    }
  }
  QDVP_ResetDCHstream(&stream);
  QDV0_Free(buffer);
  // Rows in flight on this connection will not be answered now: they are sent again.
  QDVP_LoseWindowRows(comm, QDVP_DCH_STATUS_DISCONNECTED);
  SourceEntry *handed;
  {
    OSV1_Guard status(&comm->StatusMutex);
    handed = comm->pHandOff;
    comm->pHandOff = nullptr;
    if (handed != nullptr) comm->Pending = 0;
  }
  if (handed != nullptr) {
    OSV1_WakeAllAfter(&comm->StatusCond, &comm->StatusMutex);
    QDVP_HandBackRow(anchor, handed, QDVP_DCH_STATUS_DISCONNECTED);
  }
  QDVP_SetLinkState(0, comm->ReceiveMode != QDVP_DCH_MODE_TCP);
  // The socket is this task's to close: nobody else uses it once it is no longer the block's.
  {
    OSV1_Guard link(&comm->LinkLock);
    if (comm->Socket == socket) comm->Socket = 0;
  }
  if (socket > 0) close(socket);
  QDVP_TRC(trk, TRK1_DETAIL, ">>>>> DCH inbound data receive process ended");
  OSV1_ReleaseLock(&comm->ReceiveMutex);
  // The last touch of the block: the client may free it once this is seen.
  OSV1_GetLock(&comm->StatusMutex);
  comm->ReceiverRunning = 0;
  OSV1_WakeAll(&comm->StatusCond, &comm->StatusMutex);
  OSV1_ReleaseLock(&comm->StatusMutex);
  return nullptr;
}
