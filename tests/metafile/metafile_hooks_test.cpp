// The hooks of record processing that loading a metafile relies on (summary blocks, ODBC
// blocks; attribute delimiters are in the golden corpus) and the handshake with the metafile
// server client task that fetches a metafile existing nowhere locally.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/support/qdv0.h"
#include "include/qdvp_metafile.h"
#include "tests/metafile/metafile_testing.h"

namespace {

using metafile_test::Stdout;
using qdvp_test::EnvGuard;

class Hooks : public metafile_test::WithAnchor {};

TEST(SummaryBlock, IntervalIsFittedToTheHourOrDay) {
  EnvGuard env(
      {{"QDVP_SUMMARY_INTERVAL", std::nullopt}, {"QDVP_SUMMARY_BATCH_MODE", std::nullopt}});
  const int cases[][2] = {{0, 300},       {30, 60},       {60, 60},      {420, 600},
                          {660, 720},     {780, 900},     {1000, 1200},  {1500, 1800},
                          {3600, 3600},   {5000, 43200},  {7200, 7200},  {18000, 21600},
                          {25200, 28800}, {50000, 86400}, {90000, 86400}};
  for (const auto &c : cases) {
    SMBlock *block = QDVP_CreateSummaryManagementBlock(c[0], 0);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->Interval, c[1]) << c[0];
    EXPECT_EQ(block->Batch, 0);
    QDVP_ReleaseSummaryManagementBlock(block);
  }
  env.Set("QDVP_SUMMARY_BATCH_MODE", "Y");
  SMBlock *batch = QDVP_CreateSummaryManagementBlock(300, 0);
  EXPECT_EQ(batch->Batch, 1);
  QDVP_ReleaseSummaryManagementBlock(batch);
}

TEST_F(Hooks, OdbcBlocksAreCheckedQueuedAndReleased) {
  OMBlock *out = nullptr;
  std::string text = Stdout([&] {
    out = QDVP_InitializeOMB(anchor_, "output", "DSN=sales");
    EXPECT_EQ(QDVP_InitializeOMB(anchor_, "input", nullptr), nullptr);
    EXPECT_EQ(QDVP_InitializeOMB(anchor_, "input", "sales"), nullptr);
    EXPECT_EQ(QDVP_InitializeOMB(anchor_, nullptr, "DSN=x"), nullptr);
    EXPECT_EQ(QDVP_InitializeOMB(anchor_, "both", "DSN=x"), nullptr);
  });
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->Type, 'O');
  EXPECT_STREQ(out->pDSN, "sales");
  EXPECT_EQ(anchor_->pOMBList, out);
  EXPECT_EQ(text,
            "QDVPV98E Specification Error: ODBC Data Source Name required.\n"
            "QDVPV98E Specification Error: ODBC Data Source Name required.\n"
            "QDVPV97E Specification Error: Invalid ODBC type or not specified.  \n"
            "QDVPV97E Specification Error: Invalid ODBC type or not specified. both\n");
  QDVP_ReleaseOMB(anchor_, out);
  EXPECT_EQ(anchor_->pOMBList, nullptr);
}

// A stand-in for the metafile server client task: it waits for a request and answers it with
// the records of a small metafile, or with a failure.
TEST_F(Hooks, RemoteMetafileIsFetchedThroughTheRecordBlock) {
  LinkStandAlone();
  auto *block = QDV0_New<MemMetafile>();
  OSV1_InitializeLock(&block->Lock);
  block->Status = 1;
  block->pClientPE = QDVP_InitializeProcessEntry(anchor_);
  anchor_->pMemMetafile = block;
  std::atomic<int> answers{0};
  std::atomic<bool> fail{false}, stop{false};
  std::thread client([&] {
    ProcessEntry *pe = block->pClientPE;
    OSV1_GetLock(&pe->TaskIOmutex);
    while (!stop) {
      if (block->Status == -1 && block->pPE != nullptr) {
        const char *records[] = {"//APPL Remote\n", "//NAME T E\n", "//ATTRIBUTES\n", "A D 8\n"};
        MetaRecordNode **tail = &block->pHead;
        for (const char *r : records) {
          size_t n = strlen(r);
          auto *node =
              static_cast<MetaRecordNode *>(QDV0_GetStorage(sizeof(MetaRecordNode) + n + 1));
          node->pText = reinterpret_cast<char *>(node + 1);
          memcpy(node->pText, r, n);
          node->Length = static_cast<int>(n);
          *tail = node;
          tail = &node->pNext;
          block->RecordCount++;
        }
        ProcessEntry *waiter = block->pPE;
        // The waiting task holds its own mutex while it takes ours: answer without ours.
        OSV1_ReleaseLock(&pe->TaskIOmutex);
        OSV1_GetLock(&waiter->TaskIOmutex);
        block->Status = fail ? 8 : 0;
        pthread_cond_signal(&waiter->TaskIOcond);
        OSV1_ReleaseLock(&waiter->TaskIOmutex);
        answers++;
        OSV1_GetLock(&pe->TaskIOmutex);
      }
      QDV0_ConditionTimedWaitMs(&pe->TaskIOcond, &pe->TaskIOmutex, 20);
    }
    OSV1_ReleaseLock(&pe->TaskIOmutex);
  });
  ApplEntry *appl = nullptr, *failed = nullptr;
  std::string out = Stdout([&] {
    appl = QDVP_ConstructApplDataModel(anchor_, "remote.mdl", 0, nullptr, nullptr, 0, 0);
    fail = true;
    failed = QDVP_ConstructApplDataModel(anchor_, "other.mdl", 0, nullptr, nullptr, 0, 0);
  });
  stop = true;
  client.join();
  ASSERT_NE(appl, nullptr) << out;
  EXPECT_STREQ(appl->ApplName, "Remote");
  EXPECT_EQ(failed, nullptr);
  EXPECT_EQ(answers.load(), 2);
  EXPECT_EQ(out, "");  // neither a found nor a failed remote metafile is a missing file
  EXPECT_EQ(block->RecordCount, 0);
  EXPECT_EQ(block->pHead, nullptr);
  // The block's lock was given back after the last record.
  EXPECT_TRUE(OSV1_TryLock(&block->Lock));
  OSV1_ReleaseLock(&block->Lock);
  QDVP_ReleaseProcessResources(anchor_, block->pClientPE);
  anchor_->pMemMetafile = nullptr;
  OSV1_DestroyLock(&block->Lock);
  QDV0_FreeStorage(&block);
}

}  // namespace
