// The metafile server task. Until the metafile server is built, the task reports a failed
// start-up to its creator, which releases it and goes on without a metafile server.
#include <pthread.h>

#include "../include/qdvp_core.h"
#include "../include/qdvp_services.h"

void QDVP_MetaServerTask(ProcessEntry *entry) {
  entry->ThreadID = OSV1_ThreadID();
  OSV1_GetLock(&entry->TaskIOmutex);
  entry->Terminate = 1;
  pthread_cond_signal(&entry->TaskIOcond);
  OSV1_ReleaseLock(&entry->TaskIOmutex);
  // The creator releases the entry; the thread only ends.
  pthread_exit(&QDVP_ThreadRC);
}
