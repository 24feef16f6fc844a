// Shared fixture of the record processing tests: an anchor, metafiles loaded from text in a
// temporary directory, and the rendering of a source's current row as text.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

#include <string>

#include "core/support/qdv0.h"
#include "core/support/trk1.h"
#include "include/qdvp_core.h"
#include "include/qdvp_metafile.h"
#include "include/qdvp_model.h"
#include "include/qdvp_records.h"
#include "include/qdvp_services.h"
#include "tests/metafile/metafile_testing.h"

namespace records_test {

// The integer value of an attribute as the row carries it.
inline long IntValue(const AttrEntry *a) {
  auto *v = reinterpret_cast<const unsigned char *>(a->Value);
  if (a->MaxValSize == 2) return static_cast<int16_t>((v[0] << 8) | v[1]);
  return static_cast<int32_t>((static_cast<uint32_t>(v[0]) << 24) |
                              (static_cast<uint32_t>(v[1]) << 16) |
                              (static_cast<uint32_t>(v[2]) << 8) | v[3]);
}

inline bool IsInteger(char type) { return type != '\0' && strchr("AGCS?%#", type) != nullptr; }

// "Name=value" for every attribute that holds a value, joined by "|".
inline std::string Row(SourceEntry *s) {
  std::string out;
  for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext) {
    if (a->ActualValSize == 0) continue;
    if (!out.empty()) out += "|";
    out += a->Name;
    out += "=";
    if (IsInteger(a->Type))
      out += std::to_string(IntValue(a));
    else
      out.append(a->Value, static_cast<size_t>(a->ActualValSize));
  }
  return out;
}

inline AttrEntry *Attr(SourceEntry *s, const char *name) {
  for (AttrEntry *a = s->pAttrList; a != nullptr; a = a->pNext)
    if (strcmp(a->Name, name) == 0) return a;
  return nullptr;
}

// The anchor of the metafile tests, with the summary settings unset and a stand-alone agent
// link to register the applications.
class RecordsTest : public metafile_test::WithAnchor {
 protected:
  void SetUp() override {
    env_.Set("QDVP_SUMMARY_BATCH_MODE", std::nullopt);
    env_.Set("QDVP_SUMMARY_INTERVAL", std::nullopt);
    WithAnchor::SetUp();
    LinkStandAlone();
    ASSERT_TRUE(link_->Started());
  }
  // Loads a metafile text without validation; standard output goes to out_.
  ApplEntry *Load(const std::string &text, const std::string &name = "t.mdl") {
    return WithAnchor::Load(name, text, 0);
  }
  // Parses a record into the source; returns the attributes loaded.
  static int Parse(SourceEntry *s, const std::string &record) {
    std::string copy = record;
    return QDVP_MoveDataToAttr(s, copy.data(), static_cast<int>(copy.size()), nullptr);
  }
};

// A record processing fixture on a manual clock set to a Saturday morning in UTC, with the
// batch output settings read afresh: the output and summary tests compare exact time stamps.
class ClockedRecordsTest : public RecordsTest {
 protected:
  static constexpr time_t kSaturdayMorning = 1796468280;  // 2026-12-05 10:58:00 UTC
  void SetUp() override {
    RecordsTest::SetUp();
    env_.Set("TZ", "UTC");
    env_.Set("QDVP_BATCH_SUMMARY_OUTPUT_ONLY", std::nullopt);
    tzset();
    QDVP_ResetBatchSettings();
    QDV0_UseManualClock(kSaturdayMorning);
  }
  void TearDown() override {
    QDV0_UseSystemClock();
    RecordsTest::TearDown();
    tzset();
  }
};

}  // namespace records_test
