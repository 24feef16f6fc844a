// The end of a set of rows from an API client when its last record cannot be parsed (it has
// no delimiter): that record is no row, and the set's end still reaches the agent. On a link
// with the window and without it (`qdvp-dch --no-window`), with ENDROW and with ENDINP, and with
// ENDINP in the same receive as the SNDDTA before it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/apisession.h"
#include "tests/support/dpworld.h"

namespace {

using namespace std::chrono_literals;
using qdvp_test::WaitFor;

using qdvp_test::ApiSession;

std::string Req(const std::string &name, const std::string &data = "") {
  return qdvp_test::ApiRequest(name, data);
}

// with the window
class ApiEndOfSet : public qdvp_test::DataProviderWorld, public testing::WithParamInterface<bool> {
 protected:
  Strings PeerArgs() const override {
    if (GetParam()) return {};
    return {"--no-window"};
  }
  std::map<std::string, std::string> KindEnv() const override {
    return {{"QDVP_API_DPAPI_PORT", std::to_string(port_)}};
  }
  void SetUp() override {
    DataProviderWorld::SetUp();
    Metafile("feed", "//APPL Feed\n//NAME Lines E\n//ATTRIBUTES ','\nHost D 16\nA D 4\nB D 4\n");
    Launch("apis");
    ASSERT_TRUE(
        WaitLogged("Socket API Server DP started. Listening on port " + std::to_string(port_)))
        << Trace();
  }
  // The rows of the table as "mark:attributes", in arrival order.
  std::vector<std::string> Rows() const {
    std::vector<std::string> rows;
    for (auto &row : dch_test::Query(peer_->Db(),
                                     "select data_sequence, attrs from rows where "
                                     "attribute_group='Lines' order by id")) {
      rows.push_back(row[0] + ":" + row[1]);
    }
    return rows;
  }
  int port_ = qdvp_test::FreePort();
};

// The record without a delimiter is skipped before it could replace the row held back, which
// stays the set's last row: it goes marked 16 at ENDINP (or at the close of the connection),
// and no row without attributes is sent. A set begun with BGNROW has its first row sent at
// once, marked 1, as ever.
TEST_P(ApiEndOfSet, AnUnparsableLastRecordIsNoRow) {
  struct Case {
    const char *name;
    std::vector<std::string> requests;
  } cases[] = {
      {"endinp", {Req("SNDDTA", "one,1,1\n"), Req("SNDDTA", "nodelimiterhere\n"), Req("ENDINP")}},
      {"endrow",
       {Req("BGNROW"), Req("SNDDTA", "two,1,1\n"), Req("SNDDTA", "nodelimiterhere\n"),
        Req("ENDROW"), Req("ENDINP")}},
      {"held to the end", {Req("SNDDTA", "three,1,1\nnodelimiterhere\n"), Req("ENDROW")}},
      {"same receive", {Req("SNDDTA", "four,1,1\n" + Req("ENDINP"))}},
  };
  int session = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ApiSession s(port_, false);
    ASSERT_TRUE(s.connected());
    ASSERT_EQ(s.Call(Req("SETSRC", "nodlm" + std::to_string(++session))), 0);
    ASSERT_EQ(s.Call(Req("BGNINP", "Feed Lines")), 0);
    for (const std::string &r : c.requests) EXPECT_EQ(s.Call(r), 0) << r;
  }
  ASSERT_TRUE(WaitLogged("dp_CloseSession completed for location", 4)) << Trace();
  ASSERT_TRUE(WaitFor([&] { return OnlineSources("Lines") == 0; }, 10s));
  EXPECT_EQ(Rows(), (std::vector<std::string>{"16:{\"Host\":\"one\",\"A\":\"1\",\"B\":\"1\"}",
                                              "1:{\"Host\":\"two\",\"A\":\"1\",\"B\":\"1\"}",
                                              "16:{\"Host\":\"three\",\"A\":\"1\",\"B\":\"1\"}",
                                              "16:{\"Host\":\"four\",\"A\":\"1\",\"B\":\"1\"}"}));
}

INSTANTIATE_TEST_SUITE_P(Window, ApiEndOfSet, testing::Bool(),
                         [](const auto &info) { return info.param ? "Window" : "NoWindow"; });

}  // namespace
