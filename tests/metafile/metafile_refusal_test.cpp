// A file that does not begin as a metafile is refused before any of its records reaches a
// message: loading /etc/shadow (or any file an operator names by mistake) must not print its
// lines. A metafile that opens with comments and blank lines still has them echoed.
#include <gtest/gtest.h>

#include "tests/metafile/metafile_testing.h"

namespace {

using metafile_test::WithAnchor;

TEST_F(WithAnchor, AFileThatDoesNotBeginAsAMetafileIsRefusedWithoutEchoingIt) {
  struct {
    const char *text;
    bool metafile;
  } const cases[] = {
      {"root:$y$j9T$secretsecret:19000:0:99999:7:::\n//APPL Shop\n", false},
      {"* a comment\n\n//NAME T E\n//APPL Shop\n", false},
      {"   \n#secret=hunter2\n//APPL Shop\n", false},
      {"* header comment\n\n  //appl Shop\n//NAME T E\n//ATTRIBUTES\nA D 8\n", true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    ApplEntry *appl = Load("f.mdl", c.text, 1, true);
    if (c.metafile) {
      EXPECT_NE(out_.find("0001 -> "), std::string::npos) << out_;
      EXPECT_EQ(out_.find("QDVPV03E"), std::string::npos) << out_;
    } else {
      EXPECT_EQ(appl, nullptr);
      EXPECT_NE(out_.find("QDVPV03E"), std::string::npos) << out_;
      for (const char *secret : {"secret", "comment", "NAME"}) {
        EXPECT_EQ(out_.find(secret), std::string::npos) << out_;
      }
    }
    if (appl) QDVP_ReleaseApplResources(anchor_, appl, 1);
  }
}

}  // namespace
