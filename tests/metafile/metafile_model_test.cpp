// The data model records and their builders: attribute sizes, display order, copies of
// attribute lists, the attribute limit, sources, I/O buffers, the lookups by name, subnode and
// OID, reserved names, routing blocks, and storage failures while building. Table types,
// duplicates, filters and most messages are in the golden corpus; what filters, derive
// functions and file name patterns do, in the records and file monitoring tests. And the hooks
// of record processing that loading a metafile relies on (summary blocks, ODBC blocks;
// attribute delimiters are in the golden corpus) and the handshake with the metafile server
// client task that fetches a metafile existing nowhere locally. The startup configuration file
// (read at startup, appended to, rewritten by a removal), the automatic load of the metafile
// directory, the existence check and the end of applications.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/support/qdv0.h"
#include "include/qdvp_anchor.h"
#include "include/qdvp_metafile.h"
#include "tests/metafile/metafile_testing.h"

namespace {

using metafile_test::Names;
using metafile_test::Stdout;
using qdvp_test::EnvGuard;
using qdvp_test::ReadFile;
using Strings = std::vector<std::string>;

class Model : public metafile_test::WithAnchor {};

// A name and a type are required; the sizes follow the type.
TEST_F(Model, AttributeSizesFollowTheirType) {
  char none[] = "D";
  EXPECT_EQ(Stdout([&] {
              EXPECT_EQ(
                  QDVP_InitializeAttrEntry(nullptr, nullptr, none, "8", 0, 0, nullptr, nullptr),
                  nullptr);
            }),
            "QDVPV39E Specification Error: Incomplete attribute specification, ignored\n");
  struct {
    const char *type, *size;
    char storedType;
    int valueSize;
    long maximum;
  } const cases[] = {
      {"D", "5", 'D', 8, 5},
      {"D", "5000", 'D', 3800, 5000},
      {"G", "100", 'G', 2, 100},
      {"G", "100000", 'G', 4, 100000},
      {"G", nullptr, 'G', 4, 2147483647},
      {"C", "3000000000", 'C', 4, 2147483647},
      {"I", "2", 'G', 2, 32767},
      {"L", "4", 'G', 4, 2147483647},
      {"T", nullptr, 'T', 16, 0},
      {"S", nullptr, 'S', 2, 1},
      {"?", "9", '?', 4, 9},
      {"R", "7", 'R', 7, 7},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.type) + " " + (c.size ? c.size : "-"));
    char type[4];
    snprintf(type, sizeof(type), "%s", c.type);
    AttrEntry *a = nullptr;
    std::string out = Stdout([&] {
      a = QDVP_InitializeAttrEntry(nullptr, "Attr", type, c.size, 0, 0, nullptr, nullptr);
    });
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->Type, c.storedType);
    EXPECT_EQ(a->MaxValSize, c.valueSize);
    EXPECT_EQ(a->MaxSize, c.maximum);
    EXPECT_EQ(out.find("QDVPV54W") != std::string::npos, c.valueSize == 3800);
    QDV0_FreeStorage(&a);
  }
}

// Every attribute is in the display order exactly once, whatever its SEQ= says. A summary
// table's own attributes come first and last ("<" and ">" in the expected orders).
TEST_F(Model, DisplayOrder) {
  const char *const cases[][3] = {
      // attributes, order, warning
      {"A D 4 SEQ=2 KEY\nB D 4\nC D 4 SEQ=1\n_LocalTimeStamp T\n", "< C A B >", ""},
      {"_Lead D 4 SEQ=1\nA D 4\n_Tail D 4 SEQ=2\n", "< _Lead A _Tail >", ""},
      {"A D 4 SEQ=70\nB D 4 SEQ=-1\nC D 4 SEQ=1\nD D 4 SEQ=1\n", "< C A B D >",
       "Specification Warning: Attribute display sequence SEQ=70 invalid or duplicate, ignored. "
       "A\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c[0]);
    ApplEntry *appl = Load("o.mdl", std::string("//APPL Ordered\n//NAME S S 300\n//SUMMARY 300\n"
                                                "//ATTRIBUTES ','\n") +
                                        c[0]);
    ASSERT_NE(appl, nullptr) << out_;
    std::string order;
    for (const std::string &name : Names(appl->pTableList->pSourceList, true)) order += name + " ";
    std::string expected = std::string("_Interval_Unit _Interval _Occurrences ") + (c[1] + 2);
    expected.replace(expected.size() - 1, 1, "_LocalTimeStamp _Date_Time _Interval_Unit_Name ");
    EXPECT_EQ(order, expected);
    EXPECT_EQ(out_.find("Specification Warning: Attribute display") != std::string::npos,
              *c[2] != 0);
    EXPECT_NE(out_.find(c[2]), std::string::npos) << out_;
    QDVP_ReleaseApplResources(anchor_, appl, 1);
  }
}

TEST_F(Model, AttributeListsAreCopiedWithFormulaReferencesAndLimitedByWTB_MAXCOLS) {
  ApplEntry *appl = Load("c.mdl",
                         "//APPL Copies\n//NAME T E\n//SOURCE FILE /a.log\n"
                         "//SOURCE FILE /b.log ManagedSystemName=hostb\n//ATTRIBUTES ','\n"
                         "Bytes C\nPackets C\nAvg (Bytes / Packets)\n");
  ASSERT_NE(appl, nullptr) << out_;
  SourceEntry *first = appl->pTableList->pSourceList, *second = first->pNext;
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Names(first), Names(second));
  for (SourceEntry *s : {first, second}) {
    AttrEntry *avg = s->pAttrList->pNext->pNext;
    EXPECT_EQ(avg->pOperand1, s->pAttrList);
    EXPECT_EQ(avg->pOperand2, s->pAttrList->pNext);
  }
  // The default limit is in the golden corpus (wide.mdl).
  EnvGuard limit;
  limit.Set("WTB_MAXCOLS", "500");
  QDVP_ResetMaxAttributesPerGroup();
  EXPECT_EQ(QDVP_DetermineMaxAttributesPerGroup(), 127);
  limit.Set("WTB_MAXCOLS", "2");
  EXPECT_EQ(QDVP_DetermineMaxAttributesPerGroup(), 127);  // kept for the life of the process
  QDVP_ResetMaxAttributesPerGroup();
}

// How each kind of SOURCE is read is in the golden corpus (sources.mdl); here, the I/O entry
// lists the sources join and leave, and the refusal of a second FILE source.
TEST_F(Model, SourcesJoinAndLeaveTheIOentryLists) {
  TableEntry *table = nullptr;
  SourceEntry *sock = nullptr, *file = nullptr, *file2 = nullptr;
  int fileFlag = 0;
  Stdout([&] {
    table = QDVP_InitializeTableEntry(nullptr, "T", "E", nullptr, nullptr);
    sock =
        QDVP_InitializeSourceEntry(anchor_, table, "sock", "127.0.0.1[1500]", nullptr, &fileFlag);
    file = QDVP_InitializeSourceEntry(anchor_, table, "FILE", "/x.log", nullptr, &fileFlag);
    file2 = QDVP_InitializeSourceEntry(anchor_, table, "FILE", "/other.log", nullptr, &fileFlag);
  });
  ASSERT_TRUE(sock && file);
  EXPECT_EQ(file2, nullptr);
  EXPECT_EQ(ntohs(sock->pIOE->PartnerAddr.sin_port), 1500);
  EXPECT_EQ(QDVP_CheckSourceState(sock, QDVP_Initial), 1);
  QDVP_UpdateSourceEntryState(sock, QDVP_Active);
  EXPECT_EQ(sock->State, QDVP_Active);
  int local;
  QDVP_UpdateSourceEntryState(reinterpret_cast<SourceEntry *>(&local), QDVP_Ready);  // refused
  EXPECT_EQ(anchor_->pIOEList[QDVP_IOE_SOCK], sock->pIOE);
  EXPECT_EQ(anchor_->pIOEList[QDVP_IOE_FILE], file->pIOE);
  // The sources go with a throw-away application that owns the table.
  ApplEntry *appl = QDVP_InitializeApplicationEntry(anchor_, "Holder", 0, nullptr);
  appl->pTableList = table;
  QDVP_ReleaseApplResources(anchor_, appl, 1);
  EXPECT_EQ(anchor_->pIOEList[QDVP_IOE_ALL], nullptr);
}

TEST_F(Model, IObufferSizeAndNumbers) {
  ApplEntry *appl = Load("b.mdl", "//APPL Buffers\n//NAME T E\n//ATTRIBUTES\nA D 10\nB C\n");
  ASSERT_NE(appl, nullptr) << out_;
  SourceEntry *s = appl->pTableList->pSourceList;
  EXPECT_EQ(QDVP_ComputeIObufferSize(s), 80 + 13 + 11);
  s->pIOE->BufferSize = 5000;
  ASSERT_EQ(QDVP_AllocateIObuffer(s->pIOE), 1);
  ASSERT_EQ(QDVP_AllocateIObuffer(s->pIOE), 1);
  EXPECT_EQ(s->pIOE->pBufferList->Number, 1);
  EXPECT_EQ(s->pIOE->pBufferList->pNext->Number, 2);
}

TEST_F(Model, LookupsByNameSubnodeAndOID) {
  LinkStandAlone();
  ApplEntry *appl = Load("l.mdl", "//APPL Lookup\n//NAME Disk E\n//ATTRIBUTES\nA D 10\n", 0);
  ASSERT_NE(appl, nullptr) << out_;
  EXPECT_EQ(QDVP_LocateApplicationByName(anchor_, "LOOKUP", 6), appl);
  EXPECT_EQ(QDVP_LocateApplicationByName(anchor_, "Lookup", 6), appl);
  EXPECT_EQ(QDVP_LocateApplicationByName(anchor_, "LOOKUPX", 7), nullptr);
  EXPECT_EQ(QDVP_LocateTableByName(appl, "DISK", 4), appl->pTableList);
  EXPECT_EQ(QDVP_LocateTableByName(appl, "NET", 3), nullptr);
  SourceEntry *s = appl->pTableList->pSourceList;
  std::string node = s->pSourceNodeName;
  std::string subnode = node + ":LOOKUPDISK00";
  EXPECT_EQ(QDVP_LocateSourceBySubNode(anchor_, subnode.c_str()), nullptr);  // not active yet
  QDVP_UpdateSourceEntryState(s, QDVP_Active);
  EXPECT_EQ(QDVP_LocateSourceBySubNode(anchor_, subnode.c_str()), s);
  EXPECT_EQ(QDVP_LocatePolicySourceBySubNode(anchor_, subnode.c_str()), s);
  EXPECT_EQ(QDVP_LocateSourceBySubNode(anchor_, "nocolon"), nullptr);
  EXPECT_EQ(QDVP_LocateSourceBySubNode(anchor_, (node + "extra:LOOKUPDISK00").c_str()), nullptr);

  ApplEntry *snmp =
      Load("s.mdl",
           "//SNMP TEXT\n//APPL Mib ent 1.3.6.1.4.1.99\n//NAME If P 60\n//ATTRIBUTES\n"
           "Agent_Info D 8 1.3.6.1.4.1.99.1\nAgent_Name D 8 1.3.6.1.4.1.99.2\n"
           "Speed G 1.3.6.1.4.1.99.3\n");
  ASSERT_NE(snmp, nullptr) << out_;
  EXPECT_STREQ(QDVP_LocateAttributeByOID(anchor_, "1.3.6.1.4.1.99.3"), "Speed");
  EXPECT_STREQ(QDVP_LocateAttributeByOID(anchor_, "1.3.6.1.4.1.99.3.0"), "Speed");
  EXPECT_EQ(QDVP_LocateAttributeByOID(anchor_, "1.3.6.1.4.1.99.4"), nullptr);
  EXPECT_EQ(QDVP_LocateSetAttribute(anchor_, "APPLNAME=MIB ATTR=Speed VALUE=1"),
            snmp->pTableList->pSourceList->pAttrList->pNext->pNext);
  EXPECT_EQ(QDVP_LocateSetAttribute(anchor_, "APPLNAME=Lookup ATTR=A"), nullptr);  // not SNMP
}

TEST_F(Model, ReservedNameIsAcceptedInAPackagedSolutionAndRoutingBlocksGoWithTheOutputTable) {
  ApplEntry *refused = nullptr, *packaged = nullptr;
  Stdout([&] {
    refused = QDVP_InitializeApplicationEntry(anchor_, "Kx1", 0, nullptr);
    packaged = QDVP_InitializeApplicationEntry(anchor_, "Kx1", 1, nullptr);
  });
  EXPECT_EQ(refused, nullptr);
  ASSERT_NE(packaged, nullptr);
  QDVP_ReleaseApplResources(anchor_, packaged, 1);
  EXPECT_EQ(anchor_->pApplList, nullptr);
  ApplEntry *appl =
      Load("r.mdl",
           "//APPL Route\n//NAME Out E\n//INTERNAL OUTPUT merge\n//ATTRIBUTES\nA D 8\n"
           "//NAME In E\n//INTERNAL INPUT MERGE\n//ATTRIBUTES\nA D 8\n");
  ASSERT_NE(appl, nullptr) << out_;
  IRBlock *block = anchor_->pIRBList;
  ASSERT_NE(block, nullptr);
  EXPECT_STREQ(block->pName, "MERGE");
  EXPECT_EQ(block->pOutputTable, appl->pTableList);
  EXPECT_EQ(block->pInputList, appl->pTableList->pNext);
  EXPECT_EQ(block->InputCount, 1);
  QDVP_ReleaseApplResources(anchor_, appl, 1);
  EXPECT_EQ(anchor_->pIRBList, nullptr);
}

TEST_F(Model, StorageFailureWhileBuildingNeverCrashes) {
  dir_.Write("f.mdl",
             "//APPL Failing\n//NAME T E ADDTIMESTAMP\n//SOURCE FILE /a{DD}.log\n//SOURCE FILE "
             "/b.log ManagedSystemName=b\n//SUMMARY 60\n//ATTRIBUTES ','\nA D 8 KEY "
             "+FILTER={SCAN(0,a)}\nB C\nC (B + B)\n");
  for (long n = 0; n < 120; n += 3) {
    QDV0_FailStorageAfter(n, 1);
    ApplEntry *appl = Load("f.mdl", "");
    QDV0_FailStorageAfter(0, 0);
    if (appl != nullptr) QDVP_ReleaseApplResources(anchor_, appl, 1);
  }
  EXPECT_EQ(anchor_->pApplList, nullptr);
}

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

std::string Metafile(const std::string &appl) {
  return "//APPL " + appl + "\n//NAME T E\n//ATTRIBUTES\nA D 8\n";
}

class StartupConfig : public metafile_test::WithAnchor {
 protected:
  // The agent link (stand-alone) accepts every registration, as the data provider's client
  // would.
  void SetUp() override {
    WithAnchor::SetUp();
    path_ = anchor_->pInitConfigFile;
    LinkStandAlone();
  }
  void WriteConfig(const std::string &text) {
    dir_.Write(path_.substr(dir_.path().size() + 1), text);
  }
  int Process() {
    int count = 0;
    out_ = Stdout([&] { count = QDVP_ProcessStartUpConfig(anchor_); });
    return count;
  }
  std::vector<std::string> Applications() {
    std::vector<std::string> names;
    for (ApplEntry *a = anchor_->pApplList; a; a = a->pNext) names.push_back(a->ApplName);
    return names;
  }
  std::string path_;
};

// A missing file gives 0, one of comments only -1, else the count of names on every line.
TEST_F(StartupConfig, EveryNameOnEveryLineIsLoaded) {
  EXPECT_EQ(Process(), 0);
  WriteConfig("* nothing here\n");
  EXPECT_EQ(Process(), -1);
  for (const char *name : {"One", "Two", "Three"})
    dir_.Write(std::string(name) + ".mdl", Metafile(name));
  WriteConfig("* comment One.mdl\n   One.mdl Two.mdl  Three.mdl\r\n\nmissing.mdl\n");
  EXPECT_EQ(Process(), 4);
  EXPECT_EQ(Applications().size(), 3u);
  EXPECT_EQ(anchor_->StartupConfigMark, 1);
}

TEST_F(StartupConfig, AppendBeforeTheFileWasReadWritesNothing) {
  EXPECT_EQ(QDVP_AppendMetafileToStartUpConfig(anchor_, "x.mdl"), 1);
  EXPECT_EQ(ReadFile(path_), "");
  WriteConfig("* config\n");
  Process();
  EXPECT_EQ(QDVP_AppendMetafileToStartUpConfig(anchor_, "x.mdl"), 1);
  EXPECT_EQ(ReadFile(path_), "* config\nx.mdl\n");
}

// A removal names a metafile by its full name (as the application records it) and drops
// whole names only, with or without the default extension.
TEST_F(StartupConfig, RemovalDropsWholeNamesAndKeepsComments) {
  const std::string config = "* keep me\napp.mdl other.mdl\napp2.mdl\napple.mdl APP\n";
  struct {
    std::string removal, left;
  } const cases[] = {
      {dir_.path() + "/APP.MDL", "* keep me\nother.mdl\napp2.mdl\napple.mdl\n"},
      {dir_.path() + "/app", "* keep me\nother.mdl\napp2.mdl\napple.mdl\n"},
      {dir_.path() + "/other.mdl", "* keep me\napp.mdl\napp2.mdl\napple.mdl\nAPP\n"},
      {"OTHER.MDL", "* keep me\napp.mdl\nother.mdl\napp2.mdl\napple.mdl\nAPP\n"},  // not full
  };
  WriteConfig(config);
  Process();
  for (const auto &c : cases) {
    SCOPED_TRACE(c.removal);
    WriteConfig(config);
    EXPECT_EQ(QDVP_RemoveMetafileFromStartUpConfig(anchor_, c.removal.c_str()), 1);
    EXPECT_EQ(ReadFile(path_), c.left);
  }
  EXPECT_EQ(QDVP_RemoveMetafileFromStartUpConfig(anchor_, ""), 0);
  WriteConfig("only.mdl\n");
  EXPECT_EQ(QDVP_RemoveMetafileFromStartUpConfig(anchor_, (dir_.path() + "/only.mdl").c_str()), 1);
  EXPECT_EQ(ReadFile(path_), "* Omnivar Configuration file\n");
}

// What the console's IMPORT and DELETE do: a name imported without its extension is removed
// again by the application's full name, and nothing else goes with it.
TEST_F(StartupConfig, ImportThenDeleteLeavesTheFileAsItWas) {
  dir_.Write("app.mdl", Metafile("AppOne"));
  dir_.Write("app2.mdl", Metafile("AppTwo"));
  WriteConfig("* config\napp2.mdl\n");
  Process();
  ApplEntry *appl = Load("app", "", 0);
  ASSERT_NE(appl, nullptr) << out_;
  EXPECT_EQ(QDVP_AppendMetafileToStartUpConfig(anchor_, "app"), 1);
  std::string fullName = appl->pMetafileFullName;
  QDVP_ReleaseApplResources(anchor_, appl, 1);
  EXPECT_EQ(QDVP_RemoveMetafileFromStartUpConfig(anchor_, fullName.c_str()), 1);
  EXPECT_EQ(ReadFile(path_), "* config\napp2.mdl\n");
}

// Only metafiles are loaded, in name order, not what validation and unpack write beside them.
TEST_F(StartupConfig, AutoLoadReadsTheMetafilesOfTheMetafileDirectory) {
  dir_.Write("b.mdl", Metafile("AutoB"));
  dir_.Write("a.MDL", Metafile("AutoA"));
  dir_.Write("c.txt", Metafile("AutoC"));
  dir_.Write("b.txt", Metafile("AutoB"));
  dir_.Write("a.rpt", "\n\nApplication Name: AutoA; Definition Metafile Name: A.MDL\n");
  dir_.Write("plain", Metafile("NoExtension"));
  dir_.Write("broken.mdl", "//APPL\n");
  std::string out = Stdout([&] { QDVP_DoApplicationAutoLoad(anchor_); });
  EXPECT_EQ(Applications(), (std::vector<std::string>{"AutoA", "AutoB"}));
  EXPECT_EQ(out.find(".rpt"), std::string::npos) << out;
}

TEST_F(StartupConfig, ExistenceByMetafileNameShortNameAndApplicationName) {
  ApplEntry *appl = Load("exist.mdl", Metafile("Existing"), 0);
  ASSERT_NE(appl, nullptr);
  EXPECT_EQ(QDVP_CheckApplicationExistence(anchor_, (dir_.path() + "/exist.mdl").c_str()), appl);
  EXPECT_EQ(QDVP_CheckApplicationExistence(anchor_, "existing"), appl);
  EXPECT_EQ(QDVP_CheckApplicationExistence(anchor_, "nothing"), nullptr);
  // Loading the same metafile again finds the application; a new metafile with the same
  // application name is refused.
  int opened = -1, already = -1;
  std::string out = Stdout([&] {
    EXPECT_EQ(QDVP_ConstructApplDataModel(anchor_, "exist.mdl", 0, &opened, &already, 0, 0), appl);
  });
  EXPECT_EQ(opened, 0);
  EXPECT_EQ(already, 1);
  EXPECT_EQ(Load("copy.mdl", Metafile("Existing")), nullptr);
  EXPECT_EQ(out.substr(0, 8) + " " + out_.substr(out_.find("QDVPV78E"), 8), "QDVPV35W QDVPV78E");
  EXPECT_NE(out.find("Metafile already defined - exist.mdl\n"), std::string::npos) << out;
  EXPECT_NE(out_.find("Duplicate application. Existing\n"), std::string::npos) << out_;
}

TEST_F(StartupConfig, DeleteAndGroupHelpRelease) {
  ApplEntry *appl = Load(
      "del.mdl", "//APPL Deleted @app help\n//NAME T E @table help\n//ATTRIBUTES\nA D 8 @a\n", 0);
  ASSERT_NE(appl, nullptr);
  // A registered application no longer needs its help texts: the registration released them.
  EXPECT_EQ(appl->pTableList->pTableHelp, nullptr);
  QDVP_ReleaseApplGroupHelp(appl);
  EXPECT_EQ(appl->pTableList->pGroupHelp, nullptr);
  EXPECT_EQ(appl->pTableList->pSourceList->pAttrList->pHelp, nullptr);
  EXPECT_EQ(appl->pApplHelp, nullptr);
  QDVP_DeleteExistingApplication(anchor_, appl);
  EXPECT_EQ(anchor_->pApplList, nullptr);
  EXPECT_EQ(anchor_->pIOEList[0], nullptr);
}

// Outside validation runs an SNMP metafile is not for a data provider of another type (and the
// reverse): it is passed over without a message.
TEST_F(StartupConfig, SnmpMetafileIsPassedOverInOtherDataProviders) {
  anchor_->DPtype = QDVP_TYPE_FILE;
  dir_.Write("mib.mdl",
             "//SNMP TEXT\n//APPL MibApp\n//NAME T P 60\n//ATTRIBUTES\nAgent_Info D 8 1.3.6.1.1\n"
             "Agent_Name D 8 1.3.6.1.2\n");
  dir_.Write("plain.mdl", Metafile("PlainApp"));
  qdvp_test::TraceCapture trace;
  std::string out = Stdout([&] {
    EXPECT_EQ(QDVP_ConstructApplDataModel(anchor_, "mib.mdl", 0, nullptr, nullptr, 0, 0), nullptr);
    EXPECT_NE(QDVP_ConstructApplDataModel(anchor_, "mib.mdl", 1, nullptr, nullptr, 0, 1), nullptr);
    anchor_->DPtype = QDVP_TYPE_SNMP;
    EXPECT_EQ(QDVP_ConstructApplDataModel(anchor_, "plain.mdl", 0, nullptr, nullptr, 0, 0),
              nullptr);
  });
  EXPECT_EQ(out, "QDVPV25I Processing input metafile " + dir_.path() + "/mib.mdl\n");
  EXPECT_TRUE(trace.Contains("SNMP metafile mib.mdl bypassed for non-SNMP DP"));
  EXPECT_TRUE(trace.Contains("Non-SNMP metafile plain.mdl bypassed for SNMP DP"));
  EXPECT_FALSE(trace.Contains("DP log message 5"));
}

}  // namespace
