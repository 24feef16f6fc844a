// The support layer's services, checked against known values: time stamps, Base64, the
// checksum, the cipher, agent link fields, BER, names and paths, storage, directories,
// sockets, trace flags and the manual clock. (Thread identifiers: the own-entry lookup in
// the task tests, core_entry_test.)
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/support/qdv0.h"
#include "core/support/trk1.h"
#include "core/support/zglq.h"
#include "tests/support/dchpeer.h"
#include "tests/support/qdvptest.h"

namespace qdvp_test {
namespace {

std::string Hex(const unsigned char *p, size_t n) {
  return dch_test::Hex(std::string(reinterpret_cast<const char *>(p), n));
}

// In the UTC zone (only non-fatal checks, so the zone is always set back).
TEST(UtcZone, CorvidStampsOfTimesAndOfTimeTexts) {
  EnvGuard env;
  env.Set("TZ", "UTC0");
  tzset();
  char stamp[17];
  EXPECT_STREQ(QDV0_ConvertTimeToCorvidTime(0, stamp), "0700101000000000");
  EXPECT_STREQ(QDV0_ConvertTimeToCorvidTime(1772400600, stamp), "1260301213000000");
  EXPECT_EQ(QDV0_CorvidTimeToTime("1260301213000000"), 1772400600);
  char text[18];
  EXPECT_STREQ(QDV0_CorvidTimeToString("1260301213005000", text), "03/01/26 21:30:05");
  EXPECT_STREQ(QDV0_CorvidTimeToString("garbage", text), "00/00/00 00:00:00");
  EXPECT_EQ(QDV0_CorvidTimeToWeekDay("1260301213000000"), 0);  // a Sunday
  EXPECT_EQ(QDV0_CorvidTimeToWeekDay("1261305000000000"), -1);
  QDV0_UseManualClock(1772400600);
  char now[17];
  EXPECT_STREQ(QDV0_GetCorvidTime(now), "1260301213000000");
  QDV0_UseSystemClock();
  // Time texts become stamps, or sixteen zeros.
  struct {
    const char *text;
    const char *stamp;
  } cases[] = {
      {"03/01/26 21:30:05", "1260301213005000"},   {"03/01/2026 21:30:05", "1260301213005000"},
      {"2026-03-01 21:30:05", "1260301213005000"}, {"2026/03/01", "1260301000000000"},
      {"12/31/99 23:59:59", "0991231235959000"},   {"13/01/26 00:00:00", "0000000000000000"},
      {"not a time", "0000000000000000"},          {"", "0000000000000000"},
      {"2026-03-01 25:00:00", "0000000000000000"},
  };
  for (const auto &c : cases) {
    char buffer[64];
    snprintf(buffer, sizeof(buffer), "%s", c.text);
    EXPECT_STREQ(QDV0_StringToCorvidTime(buffer), c.stamp) << c.text;
  }
  env.Set("TZ", std::nullopt);
  tzset();
}

TEST(Base64, PublishedTestVectorsAndTheCheckSumIsCrc32) {
  struct {
    const char *in, *out;
  } cases[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
               {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
               {"user:pass", "dXNlcjpwYXNz"}};
  for (const auto &c : cases) {
    char out[64];
    EXPECT_EQ(QDV0_EncodeBase64(c.in, out), strlen(c.out));
    EXPECT_STREQ(out, c.out);
  }
  EXPECT_EQ(QDV0_ComputeCheckSum("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(QDV0_ComputeCheckSum("", 0), 0u);
  EXPECT_NE(QDV0_ComputeCheckSum("line one\n", 9) & 0xFFFF,
            QDV0_ComputeCheckSum("line two\n", 9) & 0xFFFF);
}

TEST(Cipher, TableIsAPermutationAndRecordsRoundTrip) {
  std::set<char> chars(cipher_table, cipher_table + 96);
  EXPECT_EQ(chars.size(), 96u);
  for (int c = 0x20; c < 0x80; c++) EXPECT_TRUE(chars.count(static_cast<char>(c))) << c;
  const char *records[] = {"//NAME Access K 300\n", "client D 64 ' ' @Client address\n",
                           "", "#{}[]~\x7f\"'\\", "bytes \x01\xff pass"};
  for (long key : {0L, 1L, 20L * 7, 123456789L, -5L}) {
    for (const char *r : records) {
      std::string text = r;
      std::vector<char> buffer(text.begin(), text.end());
      buffer.push_back('\0');
      QDV0_EncipherMetaRecord(buffer.data(), key);
      if (!text.empty() && key != 0) {
        EXPECT_NE(std::string(buffer.data()), text);
      }
      EXPECT_EQ(strlen(buffer.data()), text.size()) << "no NUL is ever produced";
      QDV0_DecipherMetaRecord(buffer.data(), key);
      EXPECT_EQ(std::string(buffer.data()), text) << key;
    }
  }
  // Line ends are kept, so enciphered metafiles stay line-oriented.
  char line[] = "APPL\n";
  QDV0_EncipherMetaRecord(line, 99);
  EXPECT_EQ(line[4], '\n');
}

TEST(AgentLinkFields, FormatKeepsTheLengthWordAndExtractWalksFields) {
  unsigned char message[64] = {0};
  size_t pos = 4;
  uint16_t request = htons(0x1030);
  pos += QDV0_FormatDataField(message, sizeof(message), pos, 0x0010, &request, 2, 0);
  pos += QDV0_FormatDataField(message, sizeof(message), pos, 0x0050, "Bytes", 5, 0);
  unsigned char value[2] = {0x01, 0x2C};  // 300
  pos += QDV0_FormatDataField(message, sizeof(message), pos, 0x0051, value, 2, 'C');
  EXPECT_EQ(pos, 4u + 8 + 11 + 9);
  EXPECT_EQ(Hex(message, pos),
            "00000020"
            "0010000000021030"
            "0050000000054279746573"
            "00510000000343012c");
  size_t at = 0;
  int code;
  const unsigned char *data;
  size_t length;
  std::vector<int> codes;
  while (QDV0_ExtractDataField(message, pos, &at, &code, &data, &length) == 1) codes.push_back(code);
  EXPECT_EQ(codes, (std::vector<int>{0x10, 0x50, 0x51}));
  // A field that does not fit is refused; one that claims more than remains is an error.
  EXPECT_EQ(QDV0_FormatDataField(message, sizeof(message), pos, 0x0130, "x", 40, 0), 0u);
  message[pos - 6] = 0x7F;  // the last field's length now runs past the end
  at = 4;
  int rc;
  while ((rc = QDV0_ExtractDataField(message, pos, &at, &code, &data, &length)) == 1) {
  }
  EXPECT_EQ(rc, -1);
}

TEST(Ber, IntegersNullStringsAndOids) {
  struct {
    long value;
    const char *hex;
  } ints[] = {{0, "020100"},     {127, "02017f"},    {128, "02020080"}, {-1, "0201ff"},
              {-128, "020180"},  {-129, "0202ff7f"}, {256, "02020100"},
              {2147483647L, "02047fffffff"}};
  for (const auto &c : ints) {
    unsigned char out[16];
    size_t n = QDV0_FormatBERintegerType(QDV0_BER_INTEGER, c.value, out, sizeof(out));
    EXPECT_EQ(Hex(out, n), c.hex) << c.value;
    int tag;
    const unsigned char *contents;
    size_t clen;
    ASSERT_EQ(QDV0_ExtractBERfield(out, n, 0, &tag, &contents, &clen), n);
    long back;
    ASSERT_EQ(QDV0_ExtractBERinteger(contents, clen, &back), 0);
    EXPECT_EQ(back, c.value);
  }
  unsigned char out[320];
  EXPECT_EQ(Hex(out, QDV0_FormatBERnullType(QDV0_BER_NULL, out, sizeof(out))), "0500");
  // Octet strings with the short length form and the long forms of one and two bytes.
  for (const auto &[text, head] : {std::pair<std::string, std::string>{"public", "0406"},
                                   {std::string(200, 'a'), "0481c8"},
                                   {std::string(300, 'b'), "0482012c"}}) {
    size_t n = QDV0_FormatBERoctetstringType(QDV0_BER_OCTETSTRING, text.data(), text.size(), out,
                                             sizeof(out));
    EXPECT_EQ(Hex(out, n), head + dch_test::Hex(text));
  }
  // Round trips, also at the edges: the largest 32-bit arc, a first group above 127 (2.999),
  // arcs that need every byte count.
  struct {
    const char *oid, *hex;
  } oids[] = {{"1.3.6.1.2.1.1.1.0", "06082b06010201010100"},
              {"1.3.6.1.4.1.2021.10.1.3.1", "060b2b060104018f650a010301"},
              {"1.3.6.1.4.1.4294967295", "060a2b06010401 8fffffff7f"},
              {"2.999.3", "0603883703"},
              {"0.0", "060100"},
              {"1.3.128.16383.16384", "06082b8100 ff7f818000"}};
  char text[128];
  for (const auto &c : oids) {
    SCOPED_TRACE(c.oid);
    std::string want = c.hex;
    want.erase(std::remove(want.begin(), want.end(), ' '), want.end());
    size_t n = QDV0_FormatOIDfromString(c.oid, out, sizeof(out));
    EXPECT_EQ(Hex(out, n), want);
    ASSERT_EQ(QDV0_DecodeOIDfromBER(out + 2, n - 2, text, sizeof(text)), 0);
    EXPECT_STREQ(text, c.oid);
  }
  for (const char *bad : {"", "1", "1.", "1.3.x", "3.1", "1.40", "1.3.6.4294967296", "1.3..6",
                          "1.3.6.", "1.3.6.99999999999999999999999"}) {
    EXPECT_EQ(QDV0_FormatOIDfromString(bad, out, sizeof(out)), 0u) << bad;
  }
  // A 33-bit arc, and an arc whose last byte still says "more", are no OID.
  const unsigned char wide[] = {0x2b, 0x90, 0x80, 0x80, 0x80, 0x00};
  EXPECT_NE(QDV0_DecodeOIDfromBER(wide, sizeof(wide), text, sizeof(text)), 0);
  const unsigned char open[] = {0x2b, 0x86};
  EXPECT_NE(QDV0_DecodeOIDfromBER(open, sizeof(open), text, sizeof(text)), 0);
  // Every long length form is read, and a length beyond the buffer is refused.
  const unsigned char forms[][8] = {{0x04, 0x02, 'a', 'b'},
                                    {0x04, 0x81, 0x02, 'a', 'b'},
                                    {0x04, 0x82, 0x00, 0x02, 'a', 'b'},
                                    {0x04, 0x84, 0x00, 0x00, 0x00, 0x02, 'a', 'b'}};
  const size_t sizes[] = {4, 5, 6, 8};
  for (size_t i = 0; i < 4; i++) {
    const unsigned char *contents = nullptr;
    size_t clen = 0;
    EXPECT_EQ(QDV0_ExtractBERfield(forms[i], sizes[i], 0, nullptr, &contents, &clen), sizes[i]);
    EXPECT_EQ(clen, 2u);
    EXPECT_EQ(QDV0_ExtractBERfield(forms[i], sizes[i] - 1, 0, nullptr, nullptr, nullptr), 0u);
  }
  const unsigned char truncated[] = {0x04, 0x05, 'a', 'b'};
  EXPECT_EQ(QDV0_ExtractBERfield(truncated, sizeof(truncated), 0, nullptr, nullptr, nullptr), 0u);
  const unsigned char hugeLength[] = {0x04, 0x85, 1, 2, 3, 4, 5};
  EXPECT_EQ(QDV0_ExtractBERfield(hugeLength, sizeof(hugeLength), 0, nullptr, nullptr, nullptr), 0u);
}

TEST(Names, JoinCheckCleanAndTokenizeKeepingOneScanPerThread) {
  EnvGuard env;
  env.Set("QDVP_HOME", "/home/qdvp");
  auto joined = [](const char *d, const char *n) {
    char *s = QDV0_ConstructFullyQualifiedName(d, n);
    std::string r = s;
    QDV0_FreeStorage(&s);
    return r;
  };
  EXPECT_EQ(joined("/etc/qdvp", "a.cfg"), "/etc/qdvp/a.cfg");
  EXPECT_EQ(joined("/etc/qdvp/", "a.cfg"), "/etc/qdvp/a.cfg");
  EXPECT_EQ(joined(nullptr, "DPACTLOG"), "/home/qdvp/DPACTLOG");
  for (const char *name : {"./x", "/a/b"}) EXPECT_TRUE(QDV0_IsThisFullyQualifiedName(name)) << name;
  for (const char *name : {"DPACTLOG", static_cast<const char *>(nullptr)})
    EXPECT_FALSE(QDV0_IsThisFullyQualifiedName(name)) << (name ? name : "(null)");

  TempDir dir;
  std::string file = dir.Write("plain", "x");
  EXPECT_EQ(QDV0_CheckPathSpec(nullptr), nullptr);
  EXPECT_EQ(QDV0_CheckPathSpec(""), nullptr);
  EXPECT_EQ(QDV0_CheckPathSpec(file.c_str()), nullptr) << "a file is no directory";
  const char *same = dir.path().c_str();
  EXPECT_EQ(QDV0_CheckPathSpec(same), same);
  std::string slashed = dir.path() + "//";
  char *trimmed = QDV0_CheckPathSpec(slashed.c_str());
  EXPECT_EQ(std::string(trimmed), dir.path());
  QDV0_FreeStorage(&trimmed);
  EXPECT_STREQ(QDV0_CheckPathSpec("/"), "/");

  char upper[] = "MixedCase1";
  EXPECT_STREQ(QDV0_ConvertStringToUpper(upper, 0), "MIXEDCASE1");
  char *copy = QDV0_ConvertStringToUpper(const_cast<char *>("abc"), 1);
  EXPECT_STREQ(copy, "ABC");
  QDV0_FreeStorage(&copy);
  char name[] = "Disk Usage-%/1";
  EXPECT_STREQ(QDV0_SubValidNameCharacter(name), "Disk_Usage___1");
  char line[] = "text\r\n\n";
  EXPECT_EQ(QDV0_RemoveCRandLF(line), 4u);
  EXPECT_STREQ(line, "text");
  char a[] = "a b c";
  EXPECT_STREQ(QDV0_strtok(a, " "), "a");
  std::string other;
  std::thread t([&] {
    char b[] = "x,y";
    other = QDV0_strtok(b, ",");
    other += QDV0_strtok(nullptr, ",");
  });
  t.join();
  EXPECT_EQ(other, "xy");
  EXPECT_STREQ(QDV0_strtok(nullptr, " "), "b");
  EXPECT_STREQ(QDV0_strtok(nullptr, " "), "c");
  EXPECT_EQ(QDV0_strtok(nullptr, " "), nullptr);
}

TEST(Storage, BlocksAreZeroedTrackedAndFreedOnce) {
  size_t before = QDV0_LiveBlockCount();
  auto *block = static_cast<unsigned char *>(QDV0_GetStorage(100));
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(std::all_of(block, block + 100, [](unsigned char c) { return c == 0; }));
  EXPECT_TRUE(QDV0_IsValidBlockPointer(block, 100));
  EXPECT_FALSE(QDV0_IsValidBlockPointer(block, 99));
  EXPECT_FALSE(QDV0_IsValidBlockPointer(nullptr, 100));
  EXPECT_EQ(QDV0_LiveBlockCount(), before + 1);
  void *keep = block;
  QDV0_FreeStorage(&block);
  EXPECT_EQ(block, nullptr);
  EXPECT_FALSE(QDV0_IsValidBlockPointer(keep, 100));
  QDV0_FreeStorage(&block);  // already null: nothing happens
  EXPECT_EQ(QDV0_LiveBlockCount(), before);
  QDV0_FailStorageAfter(1, 2);
  void *first = QDV0_GetStorage(8);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(QDV0_GetStorage(8), nullptr);
  EXPECT_EQ(QDV0_GetStorage(8), nullptr);
  void *after = QDV0_GetStorage(8);
  EXPECT_NE(after, nullptr);
  QDV0_FreeStorage(&first);
  QDV0_FreeStorage(&after);
}

TEST(Directories, ListTheDirectoryTheVariableNames) {
  TempDir dir;
  dir.Write("one.mdl", "x");
  dir.Write("two.mdl", "y");
  EnvGuard env;
  env.Set("QDVP_TEST_DIR", dir.path());
  int rc = -1;
  ZGLQ_DIR *handle = zglqpopd("QDVP_TEST_DIR", &rc);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(rc, 0);
  std::vector<std::string> names;
  char entry[256];
  while (zglqprdd(handle, entry, sizeof(entry)) == 0) names.push_back(entry);
  EXPECT_EQ(zglqpcld(handle), 0);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"one.mdl", "two.mdl"}));
  EXPECT_EQ(zglqpopd("QDVP_TEST_UNSET_DIR", &rc), nullptr);
  EXPECT_EQ(rc, -1);
}

TEST(Sockets, BindToLoopbackUnlessConfiguredAndDatagramPortsAreExclusive) {
  sockaddr_in bound{};
  int s = QDV0_OpenLocalSocket(1, 0, &bound, 1);
  ASSERT_GE(s, 0);
  EXPECT_EQ(bound.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  sockaddr_in again{};
  EXPECT_EQ(QDV0_OpenLocalSocket(1, bound.sin_port, &again, 1), -1);
  QDV0_CloseTheSocket(s);
  {
    EnvGuard env;
    env.Set("QDVP_BIND_ADDRESS", "0.0.0.0");
    int any = QDV0_OpenLocalSocket(2, 0, &bound, 1);
    ASSERT_GE(any, 0);
    EXPECT_EQ(bound.sin_addr.s_addr, htonl(INADDR_ANY));
    QDV0_CloseTheSocket(any);
  }
  sockaddr_in address{};
  EXPECT_EQ(QDV0_ConvertNameToAddr("127.0.0.1", 7900, &address), 0);
  EXPECT_EQ(ntohs(address.sin_port), 7900);
  EXPECT_EQ(QDV0_ConvertNameToAddr("localhost", 1, &address), 0);
  EXPECT_TRUE(QDV0_IsThisAddressString("10.1.2.3"));
  EXPECT_FALSE(QDV0_IsThisAddressString("host.example"));
  EXPECT_FALSE(QDV0_IsThisAddressString("1.2.3"));
  EXPECT_TRUE(QDV0_IsOwnHostName("localhost"));
  EXPECT_TRUE(QDV0_IsOwnHostName(QDV0_LocalHostNameString()));
  EXPECT_FALSE(QDV0_IsOwnHostName("some-other-host.example"));
}

TEST(Trace, FlagsFromNumbersAndWordsTheLinesTheyLetThroughAndTheManualClock) {
  struct {
    const char *text;
    unsigned flags;
  } cases[] = {{nullptr, 0},
               {"", 0},
               {"128", TRK1_ERROR},
               {"0x50", TRK1_DETAIL | TRK1_FLOW},
               {"error", TRK1_ERROR},
               {"detail", TRK1_DETAIL | TRK1_ERROR},
               {"storage,flow", TRK1_STORAGE | TRK1_FLOW},
               {"error detail storage flow", TRK1_ERROR | TRK1_DETAIL | TRK1_STORAGE | TRK1_FLOW},
               {"nonsense", 0}};
  for (const auto &c : cases) EXPECT_EQ(TRK1_ParseFlags(c.text), c.flags) << (c.text ? c.text : "");
  // Lines go to the file only when their bit is set.
  TraceCapture trace;
  static TRK1_BLOCK block = {"unit"};
  TRK1_SetFlags(TRK1_ERROR);
  QDVP_TRC(block, TRK1_DETAIL, "detail %d", 1);
  QDVP_TRC(block, TRK1_ERROR, "error %d", 2);
  EXPECT_EQ(trace.Lines(), (std::vector<std::string>{"error 2"}));
  QDV0_UseManualClock(5000);
  EXPECT_EQ(QDV0_Time(), 5000);
  QDV0_AdvanceClock(10);
  EXPECT_EQ(QDV0_Time(), 5010);
  OSV1_Sleep(60);
  EXPECT_EQ(QDV0_Time(), 5070);
  OSV1_LOCK m;
  pthread_cond_t c;
  OSV1_InitializeLock(&m);
  QDV0_InitializeCondVar(&c);
  OSV1_GetLock(&m);
  EXPECT_NE(QDV0_ConditionTimedWait(&c, &m, 30), 0);
  OSV1_ReleaseLock(&m);
  EXPECT_EQ(QDV0_Time(), 5100);
  QDV0_UseSystemClock();
  EXPECT_GT(QDV0_Time(), 1700000000);
}

}  // namespace
}  // namespace qdvp_test
