// Test support: starting and stopping the DCH client task for one anchor.
#include "tests/support/linkclient.h"

#include <chrono>
#include <thread>

#include "core/support/qdv0.h"
#include "include/qdvp_core.h"
#include "include/qdvp_dchcomm.h"
#include "include/qdvp_records.h"
#include "tests/support/qdvptest.h"

namespace qdvp_test {

LinkClient::LinkClient(DPAB *anchor, bool standAlone) : anchor_(anchor) {
  if (standAlone) anchor->StandAlone = 1;
  QDVP_InstallRecordServices();  // as the start-up does before it starts the client
  requester_ = QDVP_InitializeProcessEntry(anchor);
  ProcessEntry *entry = nullptr;
  if (!QDVP_CreateProcess(anchor, QDVP_COMMON_TASK, nullptr, QDVP_DCHclientRoutine, 0, &entry)) {
    return;
  }
  entry_ = entry;
  WaitFor([&] { return anchor->pDCHclientPE.load() != nullptr; }, std::chrono::seconds(20));
}

bool LinkClient::Stop() {
  if (entry_ == nullptr) return true;
  ProcessEntry *client = anchor_->pDCHclientPE.load();
  if (client != nullptr) {
    client->Terminate = 1;
    QDVP_SignalTaskIO(client);
  }
  bool ended = WaitFor(
      [&] {
        OSV1_GetLock(&anchor_->StateMutex);
        int active = anchor_->ActiveTasks;
        OSV1_ReleaseLock(&anchor_->StateMutex);
        return active == 0;
      },
      std::chrono::seconds(30));
  entry_ = nullptr;
  return ended;
}

LinkClient::~LinkClient() {
  Stop();
  if (requester_ != nullptr) QDVP_FreeProcessEntry(requester_);
}

}  // namespace qdvp_test
