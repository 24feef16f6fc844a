// Shared by the metafile and record processing tests: what code writes to standard output (the
// validation messages), and an anchor whose metafile directory and startup configuration are a
// temporary directory, with a stand-alone agent link when a test asks for one.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "include/qdvp_core.h"
#include "include/qdvp_model.h"
#include "include/qdvp_services.h"
#include "tests/support/linkclient.h"
#include "tests/support/qdvptest.h"

namespace metafile_test {

// Runs body with standard output sent to a temporary file and returns what it wrote.
inline std::string Stdout(const std::function<void()> &body) {
  qdvp_test::StreamCapture out(STDOUT_FILENO);
  body();
  return out.Take();
}

// Names of a source's attribute list, or of its display order list.
inline std::vector<std::string> Names(const SourceEntry *s, bool order = false) {
  std::vector<std::string> names;
  for (const AttrEntry *a = order ? s->pOrderList : s->pAttrList; a;
       a = order ? a->pOrderNext : a->pNext)
    names.push_back(a->Name);
  return names;
}

class WithAnchor : public testing::Test {
 protected:
  void SetUp() override {
    env_.Set("QDVP_META_PATH", dir_.path());
    env_.Set("QDVP_INIT_CONFIG_PATH", dir_.path());
    env_.Set("QDVP_PRODUCT_SPEC", std::nullopt);
    env_.Set("WTB_MAXCOLS", std::nullopt);
    QDVP_ResetMaxAttributesPerGroup();
    QDVP_ResetStartUpConfigState();
    anchor_ = QDVP_StartupInitialization();
    ASSERT_NE(anchor_, nullptr);
  }
  void TearDown() override {
    link_.reset();
    QDVP_ShutdownCleanUp(anchor_, 1);
    QDVP_ReleaseGlobalResources(anchor_);
    QDVP_ResetStartUpConfigState();
  }
  // Writes a metafile and loads it (without the records echoed unless asked); its standard
  // output goes to out_.
  ApplEntry *Load(const std::string &name, const std::string &text, int validate = 1,
                  bool echo = false) {
    if (!text.empty()) dir_.Write(name, text);
    ApplEntry *appl = nullptr;
    out_ = Stdout([&] {
      appl = QDVP_ConstructApplDataModel(anchor_, name.c_str(), validate, nullptr, nullptr, 0,
                                         echo ? 0 : 1);
    });
    return appl;
  }
  // Applications register through the DCH client; a stand-alone one accepts them at once.
  void LinkStandAlone() { link_ = std::make_unique<qdvp_test::LinkClient>(anchor_, true); }
  qdvp_test::TempDir dir_;
  qdvp_test::EnvGuard env_;
  DPAB *anchor_ = nullptr;
  std::unique_ptr<qdvp_test::LinkClient> link_;
  std::string out_;
};

}  // namespace metafile_test
