// File monitoring against what the outside world puts under a monitored name, end to end with
// qdvp-dch (the fixture in filemon_fixture.h): lines longer than the record, a rotation in the
// middle of a fast stream, a FIFO in the file's place, and symbolic links to files inside and
// outside the file's directory under each QDVP_FOLLOW_SYMLINKS setting.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <thread>

#include "include/qdvp_filemon.h"
#include "tests/filemon/filemon_fixture.h"

namespace {

using namespace filemon_test;
using Clock = std::chrono::steady_clock;

std::string Last(const std::string &path) { return path.substr(path.find_last_of('/') + 1); }

// What the opener makes of each thing that may stand under a monitored name, on its own: only
// regular files are opened (a FIFO without a writer is not even tried), links as the setting
// says, a link to nothing is a missing file.
TEST(MonitorFileOpen, OnlyRegularFilesAreOpenedAndLinksAsTheSettingAllows) {
  qdvp_test::TempDir dir, elsewhere;
  dir.Write("plain.log", "x\n");
  elsewhere.Write("out.log", "y\n");
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0644), 0);
  ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0755), 0);
  dir.Write("sub/deeper.log", "z\n");
  const std::pair<const char *, std::string> links[] = {
      {"in.lnk", dir.File("plain.log")},
      {"deep.lnk", "sub/deeper.log"},
      {"out.lnk", elsewhere.File("out.log")},
      {"up.lnk", "../" + Last(elsewhere.path()) + "/out.log"},
      {"dangling.lnk", dir.File("none")}};
  for (const auto &[name, target] : links) {
    ASSERT_EQ(symlink(target.c_str(), dir.File(name).c_str()), 0);
  }
  const struct {
    const char *name, *follow;
    int status, link;
  } cases[] = {
      {"plain.log", nullptr, QDVP_OPEN_OK, 0},
      {"missing", nullptr, QDVP_OPEN_MISSING, 0},
      {"fifo", nullptr, QDVP_OPEN_NOT_REGULAR, 0},
      {"sub", nullptr, QDVP_OPEN_ERROR, 0},
      {"in.lnk", nullptr, QDVP_OPEN_OK, 1},
      {"deep.lnk", "DIR", QDVP_OPEN_OK, 1},
      {"out.lnk", nullptr, QDVP_OPEN_LINK_REFUSED, 1},
      {"up.lnk", nullptr, QDVP_OPEN_LINK_REFUSED, 1},
      {"out.lnk", "yes", QDVP_OPEN_OK, 1},
      {"in.lnk", "no", QDVP_OPEN_LINK_REFUSED, 1},
      {"dangling.lnk", nullptr, QDVP_OPEN_MISSING, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + (c.follow ? c.follow : "(default)"));
    qdvp_test::EnvGuard env;
    env.Set("QDVP_FOLLOW_SYMLINKS", c.follow ? std::optional<std::string>(c.follow) : std::nullopt);
    MonitorFileOpen open;
    EXPECT_EQ(QDVP_OpenMonitorFile(dir.File(c.name).c_str(), 0, &open), c.status);
    EXPECT_EQ(open.Link, c.link);
    EXPECT_EQ(open.File != nullptr, c.status == QDVP_OPEN_OK);
    if (open.File != nullptr) fclose(open.File);
  }
}

// A line longer than the record is cut to the record size (its row carries what fitted) and
// the lines behind it arrive; the DP log tells it once for the file, not once per line.
TEST_F(FileMonitoring, LinesLongerThanTheRecordAreCutAndTheLinesBehindThemArrive) {
  const std::string tail = File("tail.log");
  Replace(tail, "start 0\n");
  Metafile("tail", kTail);
  Start(1);
  ASSERT_TRUE(WaitPositioned());
  std::string lines = "long " + std::string(10000, 'y') + " 1\n";
  for (int i = 2; i <= 1000; i++) lines += "w " + std::to_string(i) + "\n";
  lines += "long " + std::string(5000, 'z') + " 1001\nw 1002\n";
  Append(tail, lines);
  ASSERT_TRUE(WaitFor([&] { return Values("Lines", "Word").size() >= 1002; }, 60s))
      << Count("Lines");
  Strings words = Values("Lines", "Word"), numbers = Values("Lines", "Number"), expected;
  ASSERT_EQ(words.size(), 1002u);
  for (int i = 2; i <= 1002; i++) {
    if (i != 1001) expected.push_back(std::to_string(i));
  }
  Strings sent;
  for (size_t i = 0; i < words.size(); i++) {
    if (words[i] == "w") sent.push_back(numbers[i]);
  }
  EXPECT_EQ(sent, expected);
  EXPECT_EQ(words.front(), "long");
  EXPECT_EQ(words[1000], "long");
  EXPECT_EQ(Logged("File " + tail + " holds a record longer than the record size"), 1);
}

// `mv tail.log tail.log.1; : > tail.log` while a writer appends a few thousand numbered lines
// a second, and goes on in the renamed file for a while before it turns to the new one (as a
// program does until it is told to reopen its log): every line arrives exactly once. The scan
// interval is long, so that the old file's last interval holds many lines; the new file is seen
// at once, by the watch on the directory.
TEST_F(FileMonitoring, ARotationInTheMiddleOfAStreamLosesNoLineAndSendsNoneTwice) {
  const std::string tail = File("tail.log");
  extraEnv_["QDVP_DP_EVENT"] = "5";
  Replace(tail, "start 0\n");
  Metafile("tail", kTail);
  Start(1);
  ASSERT_TRUE(WaitPositioned());
  constexpr int kLines = 8000, kRotateAt = 4000, kLate = 300;
  std::thread writer([&] {
    FILE *out = fopen(tail.c_str(), "a");
    for (int i = 1; i <= kLines; i++) {
      fprintf(out, "n %d\n", i);
      if (i == kRotateAt) {
        std::rename(tail.c_str(), (tail + ".1").c_str());
        FILE *fresh = fopen(tail.c_str(), "w");
        while (i < kRotateAt + kLate) fprintf(out, "n %d\n", ++i);
        fclose(out);
        out = fresh;
      }
      if (i % 40 == 0) {
        fflush(out);
        std::this_thread::sleep_for(10ms);  // the writer's pace: about 4,000 lines a second
      }
    }
    fclose(out);
  });
  writer.join();
  ASSERT_TRUE(WaitFor([&] { return Count("Lines") >= kLines; }, 60s)) << Count("Lines");
  EXPECT_EQ(QueryOne(peer_->Db(),
                     "select count(distinct json_extract(attrs,'$.Number')) from "
                     "rows where attribute_group='Lines'"),
            std::to_string(kLines));
  Stop();
  EXPECT_EQ(Count("Lines"), kLines);
  EXPECT_GE(Occurrences(Trace(), "tail.log created or moved in. Scan at once"), 1);
  EXPECT_EQ(Logged("File " + tail + " deleted"), 0);
}

// What comes to stand under the monitored name, and what the file server makes of it.
struct Stand {
  const char *what;
  const char *follow;  // QDVP_FOLLOW_SYMLINKS, or null for the default
  enum { kFifo, kLinkInside, kLinkOutside } kind;
  bool atStart;  // there before monitoring starts (else it replaces the file later)
  const char *message;
  bool followed;
};

void PrintTo(const Stand &c, std::ostream *os) { *os << c.what; }

class FileMonitoringHostileName : public FileMonitoring,
                                  public testing::WithParamInterface<Stand> {};

// A FIFO is never opened (it would block the server) and a link is followed only as the
// setting allows; each is reported once, and the data provider still ends at once on SIGTERM.
TEST_P(FileMonitoringHostileName, IsRefusedOrFollowedWithItsMessageAndTheServerEndsAtOnce) {
  const Stand &c = GetParam();
  const std::string tail = File("tail.log"), next = File("next.tmp");
  qdvp_test::TempDir elsewhere;
  const std::string target =
      c.kind == Stand::kLinkOutside ? elsewhere.File("other.log") : File("real.log");
  Replace(target, "linked 2\n");
  auto place = [&] {
    if (c.kind == Stand::kFifo) {
      ASSERT_EQ(mkfifo(next.c_str(), 0644), 0);
    } else {
      ASSERT_EQ(symlink(target.c_str(), next.c_str()), 0);
    }
    ASSERT_EQ(std::rename(next.c_str(), tail.c_str()), 0);
  };
  if (c.follow != nullptr) extraEnv_["QDVP_FOLLOW_SYMLINKS"] = c.follow;
  Metafile("tail", kTail);
  if (c.atStart) {
    place();
    Start(1);
  } else {
    Replace(tail, "start 0\n");
    Start(1);
    ASSERT_TRUE(WaitPositioned());
    Append(tail, "before 1\n");
    ASSERT_TRUE(WaitRows("Lines", 1));
    place();
  }
  ASSERT_TRUE(WaitLogged("File " + tail + " is a")) << c.what;
  ASSERT_TRUE(WaitLogged(c.message)) << c.what;
  Strings expected = c.atStart ? Strings{} : Strings{"1"};
  if (c.followed) {
    // A file found at start is tailed from its end; one switched to is read from its start.
    if (!c.atStart) expected.push_back("2");
    Append(target, "linked 3\n");
    expected.push_back("3");
    ASSERT_TRUE(WaitRows("Lines", static_cast<int>(expected.size())));
  }
  auto stopAt = Clock::now();
  Stop();
  EXPECT_LT(Clock::now() - stopAt, 10s);
  EXPECT_EQ(Values("Lines", "Number"), expected);
  EXPECT_EQ(Logged(c.message), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Stands, FileMonitoringHostileName,
    testing::Values(Stand{"a FIFO replaces the file", nullptr, Stand::kFifo, false,
                          "is a FIFO, not a regular file", false},
                    Stand{"a FIFO from the start", nullptr, Stand::kFifo, true,
                          "is a FIFO, not a regular file", false},
                    Stand{"a link into the directory", nullptr, Stand::kLinkInside, false,
                          "Link followed per QDVP_FOLLOW_SYMLINKS DIR", true},
                    Stand{"a link out of the directory", nullptr, Stand::kLinkOutside, false,
                          "Link not followed per QDVP_FOLLOW_SYMLINKS DIR", false},
                    Stand{"a link out of the directory at start", nullptr, Stand::kLinkOutside,
                          true, "Link not followed per QDVP_FOLLOW_SYMLINKS DIR", false},
                    Stand{"no link followed", "N", Stand::kLinkInside, false,
                          "Link not followed per QDVP_FOLLOW_SYMLINKS N", false},
                    Stand{"any link followed", "Y", Stand::kLinkOutside, false,
                          "Link followed per QDVP_FOLLOW_SYMLINKS Y", true}),
    [](const testing::TestParamInfo<Stand> &info) {
      std::string name;
      for (const char *p = info.param.what; *p; p++) {
        if (isalnum(static_cast<unsigned char>(*p))) name += *p;
      }
      return name;
    });

}  // namespace
