// The data model records and their builders: table types and time to live, attribute sizes,
// filters, derive functions, duplicates, display order, copies of attribute lists, file name
// patterns, sources, I/O entries and buffers, and the lookups by name, subnode and OID.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/support/qdv0.h"
#include "include/qdvp_core.h"
#include "include/qdvp_metafile.h"
#include "include/qdvp_model.h"
#include "include/qdvp_services.h"
#include "tests/support/qdvptest.h"

namespace {

using qdvp_test::EnvGuard;
using qdvp_test::TempDir;

class Model : public testing::Test {
 protected:
  void SetUp() override {
    env_.Set("QDVP_META_PATH", dir_.path());
    env_.Set("WTB_MAXCOLS", std::nullopt);
    QDVP_ResetMaxAttributesPerGroup();
    anchor_ = QDVP_StartupInitialization();
    ASSERT_NE(anchor_, nullptr);
  }
  void TearDown() override {
    QDVP_ShutdownCleanUp(anchor_, 1);
    QDVP_ReleaseGlobalResources(anchor_);
  }
  // Loads a metafile text (validation run, no echo); the standard output goes to out_.
  ApplEntry *Load(const std::string &name, const std::string &text, int validate = 1) {
    dir_.Write(name, text);
    testing::internal::CaptureStdout();
    ApplEntry *appl =
        QDVP_ConstructApplDataModel(anchor_, name.c_str(), validate, nullptr, nullptr, 0, 1);
    out_ = testing::internal::GetCapturedStdout();
    return appl;
  }
  std::vector<std::string> Names(SourceEntry *s, bool order) {
    std::vector<std::string> names;
    for (AttrEntry *a = order ? s->pOrderList : s->pAttrList; a;
         a = order ? a->pOrderNext : a->pNext)
      names.push_back(a->Name);
    return names;
  }
  TempDir dir_;
  EnvGuard env_;
  DPAB *anchor_ = nullptr;
  std::string out_;
};

TEST_F(Model, TableTypeAndTimeToLive) {
  testing::internal::CaptureStdout();
  TableEntry *t60 = QDVP_InitializeTableEntry(nullptr, "T", "60", nullptr, nullptr);
  TableEntry *event = QDVP_InitializeTableEntry(nullptr, "T", "E", nullptr, nullptr);
  TableEntry *bad = QDVP_InitializeTableEntry(nullptr, "T", "X", nullptr, nullptr);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(t60->Type, 'P');
  EXPECT_EQ(t60->TTL, 60);
  EXPECT_EQ(event->Type, 'E');
  EXPECT_EQ(event->TTL, 0);
  EXPECT_EQ(bad->Type, 'P');
  EXPECT_EQ(bad->TTL, 300);
  EXPECT_EQ(out,
            "QDVPV45W Specification Warning: Invalid data type specified. Poll data assumed\n"
            "QDVPV46W Specification Warning: TTL not specified. Default value assumed. 300\n");
  for (TableEntry *t : {t60, event, bad}) {
    QDV0_FreeStorage(&t->pGroupHelp);
    QDV0_FreeStorage(&t);
  }
}

struct SizeCase {
  const char *type;
  const char *size;
  char storedType;
  int valueSize;
  long maximum;
};

TEST_F(Model, AttributeSizesFollowTheirType) {
  const SizeCase cases[] = {
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
  for (const SizeCase &c : cases) {
    char type[4];
    snprintf(type, sizeof(type), "%s", c.type);
    testing::internal::CaptureStdout();
    AttrEntry *a = QDVP_InitializeAttrEntry(nullptr, "Attr", type, c.size, 0, 0, nullptr, nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_NE(a, nullptr) << c.type;
    EXPECT_EQ(a->Type, c.storedType) << c.type << " " << (c.size ? c.size : "-");
    EXPECT_EQ(a->MaxValSize, c.valueSize) << c.type << " " << (c.size ? c.size : "-");
    EXPECT_EQ(a->MaxSize, c.maximum) << c.type << " " << (c.size ? c.size : "-");
    if (c.valueSize == 3800) {
      EXPECT_NE(out.find("QDVPV54W"), std::string::npos);
    }
    QDV0_FreeStorage(&a);
  }
}

TEST_F(Model, IncompleteAttributeIsRefusedWithMessage39) {
  char type[] = "D";
  testing::internal::CaptureStdout();
  EXPECT_EQ(QDVP_InitializeAttrEntry(nullptr, nullptr, type, "4", 0, 0, nullptr, nullptr), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "QDVPV39E Specification Error: Incomplete attribute specification, ignored\n");
}

TEST_F(Model, FilterWithoutBracesGivesMessage67) {
  char type[] = "D";
  testing::internal::CaptureStdout();
  AttrEntry *a =
      QDVP_InitializeAttrEntry(nullptr, "F", type, "8", 0, 0, nullptr, "+FILTER=SCAN(0,a)");
  EXPECT_EQ(
      testing::internal::GetCapturedStdout(),
      "QDVPV67E Specification Error: Invalid attribute filter syntax, must be enclosed in {}. "
      "+FILTER=SCAN(0,a)\n");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->FilterCount, 0);
  QDV0_FreeStorage(&a);
}

TEST_F(Model, FilterKeepsConditionsBeforeTheFirstError) {
  char type[] = "D";
  testing::internal::CaptureStdout();
  AttrEntry *a = QDVP_InitializeAttrEntry(nullptr, "F", type, "8", 0, 0, nullptr,
                                          "+FILTER={SCAN(0,abc) AND MATCH(2,x) OR NUMBER=(0,1)}");
  testing::internal::GetCapturedStdout();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->FilterCount, 2);
  EXPECT_EQ(a->FilterLogic, '|');
  EXPECT_EQ(a->FilterAccept, 1);
  EXPECT_EQ(a->FilterType[0], 'S');
  EXPECT_EQ(a->FilterType[1], 'M');
  EXPECT_EQ(a->FilterOffset[1], 2);
  EXPECT_STREQ(a->pFilterString[0], "abc");
  for (char *&s : a->pFilterString) QDV0_FreeStorage(&s);
  QDV0_FreeStorage(&a);
}

TEST_F(Model, DeriveFunctionsAreFoundInAnyCase) {
  const DeriveFunction *f = nullptr;
  EXPECT_EQ(QDVP_CheckDeriveFunctionSpec("utctogmt", &f), 1);
  EXPECT_EQ(f, &DerivedFunctionName[4]);
  EXPECT_EQ(QDVP_IsDeriveFunction(f), 1);
  EXPECT_EQ(QDVP_CheckDeriveFunctionSpec("Bytes", &f), 0);
  int local = 0;
  EXPECT_EQ(QDVP_IsDeriveFunction(&local), 0);
}

TEST_F(Model, DisplayOrderPutsSummaryNamesFirstThenSequenceThenRest) {
  ApplEntry *appl = Load("o.mdl",
                         "//APPL Ordered\n//NAME S S 300\n//SUMMARY 300\n//ATTRIBUTES ','\n"
                         "A D 4 SEQ=2 KEY\nB D 4\nC D 4 SEQ=1\n_LocalTimeStamp T\n");
  ASSERT_NE(appl, nullptr) << out_;
  SourceEntry *s = appl->pTableList->pSourceList;
  EXPECT_EQ(Names(s, true),
            (std::vector<std::string>{"_Interval_Unit", "_Interval", "_Occurrences", "C", "A", "B",
                                      "_LocalTimeStamp", "_Date_Time", "_Interval_Unit_Name"}));
}

TEST_F(Model, DuplicatesAreRemovedOrRenamed) {
  ApplEntry *appl =
      Load("d.mdl", "//APPL Dups\n//NAME T E\n//ATTRIBUTES\nCount C\nCount D 4\nCount C\n");
  ASSERT_NE(appl, nullptr) << out_;
  EXPECT_EQ(Names(appl->pTableList->pSourceList, false),
            (std::vector<std::string>{"Count", "Count2"}));
}

TEST_F(Model, AttributeListIsCopiedToOtherSourcesWithFormulaReferences) {
  ApplEntry *appl = Load("c.mdl",
                         "//APPL Copies\n//NAME T E\n//SOURCE FILE /a.log\n"
                         "//SOURCE FILE /b.log ManagedSystemName=hostb\n//ATTRIBUTES ','\n"
                         "Bytes C\nPackets C\nAvg (Bytes / Packets)\n");
  ASSERT_NE(appl, nullptr) << out_;
  SourceEntry *first = appl->pTableList->pSourceList;
  SourceEntry *second = first->pNext;
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Names(first, false), Names(second, false));
  EXPECT_STREQ(first->pDelimiter, ",");
  AttrEntry *avg = first->pAttrList->pNext->pNext;
  EXPECT_EQ(avg->pOperand1, first->pAttrList);
  EXPECT_EQ(avg->pOperand2, first->pAttrList->pNext);
  EXPECT_STREQ(second->pSourceNodeName, "hostb");
  EXPECT_EQ(appl->pTableList->SourceCount, 2);
}

TEST_F(Model, SixtyFourthAttributeRejectsTheApplication) {
  std::string text = "//APPL Wide\n//NAME T E\n//ATTRIBUTES\n";
  for (int i = 1; i <= 64; i++) text += "A" + std::to_string(i) + " G\n";
  EXPECT_EQ(Load("w.mdl", text), nullptr);
  EXPECT_NE(out_.find("QDVPV31W Specification Warning: Total number of attributes exceeded maximum "
                      "limit. Ignored - A64\n"),
            std::string::npos)
      << out_;
}

TEST_F(Model, AttributeLimitComesFromWTB_MAXCOLS) {
  EnvGuard limit;
  limit.Set("WTB_MAXCOLS", "500");
  QDVP_ResetMaxAttributesPerGroup();
  EXPECT_EQ(QDVP_DetermineMaxAttributesPerGroup(), 127);
  QDVP_ResetMaxAttributesPerGroup();
  limit.Set("WTB_MAXCOLS", "2");
  EXPECT_EQ(QDVP_DetermineMaxAttributesPerGroup(), 2);
  limit.Set("WTB_MAXCOLS", "90");
  EXPECT_EQ(QDVP_DetermineMaxAttributesPerGroup(), 2);  // kept for the life of the process
  QDVP_ResetMaxAttributesPerGroup();
}

TEST_F(Model, FileSpecificationIsDecodedFromTheName) {
  SourceEntry source{};
  source.pSourceName = const_cast<char *>("/var/log/app{YYMMDD}.log");
  ASSERT_EQ(QDVP_InitializeFileSpecControl(&source), 1);
  FileSpecCB *f = source.pFileSpec;
  EXPECT_STREQ(f->pPathSpec, "/var/log");
  EXPECT_STREQ(f->pPrefix, "app");
  EXPECT_STREQ(f->pPattern, "YYMMDD");
  EXPECT_EQ(f->pSuffix, nullptr);
  EXPECT_STREQ(f->pExtension, "log");
  EXPECT_EQ(f->NumericOffset, 0);
  EXPECT_EQ(f->NumericLen, 6);
  EXPECT_EQ(f->TotalNameLen, 9);
  EXPECT_EQ(f->SwitchCheckInterval, 600);
  QDVP_ReleaseFileSpecControl(f);

  source.pSourceName = const_cast<char *>("app{??}x.*");
  ASSERT_EQ(QDVP_InitializeFileSpecControl(&source), 1);
  f = source.pFileSpec;
  EXPECT_STREQ(f->pPrefix, "app");
  EXPECT_STREQ(f->pSuffix, "x");
  EXPECT_EQ(f->ExtensionLen, 0);
  EXPECT_EQ(f->CharOffset, 0);
  EXPECT_EQ(f->CharLen, 2);
  EXPECT_EQ(f->pPathSpec, nullptr);
  QDVP_ReleaseFileSpecControl(f);
}

TEST_F(Model, SourceEntriesOfEachKind) {
  testing::internal::CaptureStdout();
  TableEntry *table = QDVP_InitializeTableEntry(nullptr, "T", "E", nullptr, nullptr);
  int fileFlag = 0;
  SourceEntry *appc =
      QDVP_InitializeSourceEntry(anchor_, table, "APPC", "NET1.LU1", nullptr, &fileFlag);
  SourceEntry *sock =
      QDVP_InitializeSourceEntry(anchor_, table, "sock", "127.0.0.1[1500]", nullptr, &fileFlag);
  SourceEntry *base = QDVP_InitializeSourceEntry(anchor_, table, "BA", nullptr, nullptr, &fileFlag);
  SourceEntry *file =
      QDVP_InitializeSourceEntry(anchor_, table, "FILE", "\"/x y/z.log\" junk", nullptr, &fileFlag);
  SourceEntry *file2 =
      QDVP_InitializeSourceEntry(anchor_, table, "FILE", "/other.log", nullptr, &fileFlag);
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_NE(appc, nullptr);
  EXPECT_STREQ(appc->pLUname, "NET1.LU1.*.*");
  ASSERT_NE(sock, nullptr);
  EXPECT_EQ(sock->Kind, 'S');
  EXPECT_EQ(ntohs(sock->pIOE->PartnerAddr.sin_port), 1500);
  EXPECT_STREQ(sock->pSourceNodeName, "127.0.0.1");
  EXPECT_STREQ(sock->pSourceName, "127.0.0.1[1500]");
  ASSERT_NE(base, nullptr);
  EXPECT_EQ(base->Kind, 'B');
  ASSERT_NE(file, nullptr);
  EXPECT_STREQ(file->pSourceName, "/x y/z.log");
  EXPECT_EQ(file2, nullptr);
  EXPECT_EQ(out, "QDVPV36E Specification Error: More than one FILE SOURCE per NAME, ignored\n");
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
  EXPECT_EQ(s->pIOE->pBufferList->State, QDVP_NotInUse);
}

TEST_F(Model, LookupsByNameSubnodeAndOID) {
  ApplEntry *appl = Load("l.mdl", "//APPL Lookup\n//NAME Disk E\n//ATTRIBUTES\nA D 10\n", 0);
  ASSERT_NE(appl, nullptr) << out_;
  EXPECT_EQ(appl->pTableList->pSourceList->State, QDVP_Ready);  // the agent accepted it
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
  std::string longer = node + "extra:LOOKUPDISK00";
  EXPECT_EQ(QDVP_LocateSourceBySubNode(anchor_, longer.c_str()), nullptr);

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

TEST_F(Model, ApplicationNameRules) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(QDVP_InitializeApplicationEntry(anchor_, "Kx1", 0, nullptr), nullptr);
  ApplEntry *packaged = QDVP_InitializeApplicationEntry(anchor_, "Kx1", 1, nullptr);
  ApplEntry *cut = QDVP_InitializeApplicationEntry(anchor_, "ABCDEFGHIJKLMNOPQRSTUVWXY", 0, "help");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(packaged, nullptr);
  ASSERT_NE(cut, nullptr);
  EXPECT_STREQ(cut->ApplName, "ABCDEFGHIJKLMNOPQRST");
  EXPECT_NE(out.find("Truncated to - ABCDEFGHIJKLMNOPQRST\n"), std::string::npos) << out;
  QDVP_ReleaseApplResources(anchor_, packaged, 1);
  QDVP_ReleaseApplResources(anchor_, cut, 1);
  EXPECT_EQ(anchor_->pApplList, nullptr);
}

TEST_F(Model, InternalRoutingBlocksJoinTablesAndGoWithTheOutputTable) {
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
  EXPECT_EQ(appl->pTableList->pNext->pIRB, nullptr);
  QDVP_ReleaseApplResources(anchor_, appl, 1);
  EXPECT_EQ(anchor_->pIRBList, nullptr);
}

TEST_F(Model, StorageFailureWhileBuildingNeverCrashes) {
  const std::string text =
      "//APPL Failing\n//NAME T E ADDTIMESTAMP\n//SOURCE FILE /a{DD}.log\n//SOURCE FILE /b.log "
      "ManagedSystemName=b\n//SUMMARY 60\n//ATTRIBUTES ','\nA D 8 KEY +FILTER={SCAN(0,a)}\n"
      "B C\nC (B + B)\n";
  for (long n = 0; n < 120; n += 3) {
    dir_.Write("f.mdl", text);
    testing::internal::CaptureStdout();
    QDV0_FailStorageAfter(n, 1);
    ApplEntry *appl = QDVP_ConstructApplDataModel(anchor_, "f.mdl", 1, nullptr, nullptr, 0, 1);
    QDV0_FailStorageAfter(0, 0);
    testing::internal::GetCapturedStdout();
    if (appl != nullptr) QDVP_ReleaseApplResources(anchor_, appl, 1);
  }
  EXPECT_EQ(anchor_->pApplList, nullptr);
}

}  // namespace
