// Golden corpus: every metafile under tests/metafile/corpus is validated in process, and its
// standard output (and validation report, when one is written) must equal the files under
// tests/metafile/golden byte for byte. The temporary metafile directory is written as
// "$META" in the golden files. Set QDVP_UPDATE_GOLDEN=1 to rewrite them after a deliberate
// change, then review the difference.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "include/qdvp.h"
#include "include/qdvp_metafile.h"
#include "include/qdvp_model.h"
#include "tests/metafile/metafile_testing.h"

namespace {

namespace fs = std::filesystem;
using qdvp_test::EnvGuard;
using qdvp_test::ReadFile;
using qdvp_test::SourceDir;
using qdvp_test::TempDir;

std::string CorpusDir() { return SourceDir() + "/tests/metafile/corpus"; }
std::string GoldenDir() { return SourceDir() + "/tests/metafile/golden"; }

std::vector<std::string> CorpusNames() {
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(CorpusDir())) {
    if (entry.path().extension() == ".mdl") names.push_back(entry.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// text with the temporary directory (as written, and upper-cased as the report writes the
// metafile name) replaced by $META.
std::string Normalize(std::string text, const std::string &directory) {
  std::string upper = directory;
  for (char &c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  for (const std::string &from : {directory, upper}) {
    for (size_t at; (at = text.find(from)) != std::string::npos;)
      text.replace(at, from.size(), "$META");
  }
  return text;
}

// Runs a validation of name in directory and returns its standard output with the directory
// replaced by $META.
std::string Validate(const std::string &directory, const std::string &name) {
  EnvGuard env({{"QDVP_META_PATH", directory}, {"QDVP_INIT_CONFIG_PATH", directory}});
  QDVP_ResetMaxAttributesPerGroup();
  return Normalize(metafile_test::Stdout([&] { QDVP_ValidateMetaFile(name.c_str()); }), directory);
}

void CompareWithGolden(const std::string &goldenName, const std::string &actual) {
  std::string path = GoldenDir() + "/" + goldenName;
  const char *update = getenv("QDVP_UPDATE_GOLDEN");
  if (update != nullptr && update[0] == '1') {
    std::ofstream(path, std::ios::binary) << actual;
    return;
  }
  ASSERT_TRUE(fs::exists(path)) << "no golden file " << path;
  EXPECT_EQ(ReadFile(path), actual) << "golden " << goldenName;
}

class GoldenCorpus : public testing::TestWithParam<std::string> {};

TEST_P(GoldenCorpus, OutputAndReportMatchGolden) {
  TempDir dir;
  std::string name = GetParam() + ".mdl";
  fs::copy_file(CorpusDir() + "/" + name, dir.File(name));
  std::string output = Validate(dir.path(), name);
  CompareWithGolden(GetParam() + ".out", output);
  std::string report = dir.File(GetParam() + ".rpt");
  bool succeeded = output.find("QDVPV00I") != std::string::npos;
  EXPECT_EQ(succeeded, fs::exists(report));
  if (fs::exists(report))
    CompareWithGolden(GetParam() + ".rpt", Normalize(ReadFile(report), dir.path()));
  EXPECT_EQ(succeeded, QDVP_LastValidationSucceeded() == 1);
}

INSTANTIATE_TEST_SUITE_P(Corpus, GoldenCorpus, testing::ValuesIn(CorpusNames()),
                         [](const testing::TestParamInfo<std::string> &info) {
                           return info.param;
                         });

// The messages the corpus must show between them: every number these statements can
// produce in a validation run. A message dropped from the corpus by accident fails here.
TEST(GoldenCorpusCoverage, EveryValidationMessageAppears) {
  std::string all;
  for (const auto &entry : fs::directory_iterator(GoldenDir()))
    all += ReadFile(entry.path().string());
  const int expected[] = {0,  2,  3,  4,  5,  7,  15, 16, 17, 18, 19, 25, 26, 27, 28,
                          29, 30, 31, 32, 33, 34, 36, 37, 38, 40, 41, 42, 43, 44, 45,
                          46, 47, 48, 49, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62,
                          63, 64, 65, 66, 68, 69, 70, 71, 72, 74, 75, 76, 77, 79, 80,
                          81, 82, 83, 84, 85, 88, 90, 91, 92, 93, 96, 97, 98};
  for (int n : expected) {
    char code[16];
    snprintf(code, sizeof(code), "QDVPV%02d", n);
    EXPECT_NE(all.find(code), std::string::npos) << code << " is not covered by the corpus";
  }
}

// The example metafiles shipped for operators validate without a single warning.
TEST(ExampleMetafiles, EveryExampleValidatesCleanly) {
  std::string examples = SourceDir() + "/examples/metafiles";
  int count = 0;
  for (const auto &entry : fs::directory_iterator(examples)) {
    if (entry.path().extension() != ".mdl") continue;
    count++;
    TempDir dir;
    std::string name = entry.path().filename().string();
    fs::copy_file(entry.path(), dir.File(name));
    std::istringstream lines(Validate(dir.path(), name));
    std::string rest;
    for (std::string line; std::getline(lines, line);) {
      std::string code = line.substr(0, 8);
      if (code != "QDVPV25I" && code != "QDVPV26I" && code != "QDVPV90I") rest += line + "\n";
    }
    EXPECT_EQ(rest, "QDVPV00I Validation completed successfully\n") << name;
  }
  EXPECT_GE(count, 5);
}

}  // namespace
