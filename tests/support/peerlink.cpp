// The peer-and-link fixture: start in the order the data provider needs (peer first, then the
// settings, the anchor and its client), end in the reverse order.
#include "tests/support/peerlink.h"

#include <unistd.h>

#include <cstdlib>

#include "core/support/qdv0.h"
#include "include/qdvp_core.h"
#include "include/qdvp_metafile.h"
#include "include/qdvp_model.h"
#include "include/qdvp_request.h"

namespace qdvp_test {

void PeerLinkTest::StartPeerLink(std::vector<std::string> options) {
  options.push_back("--commit-ms");
  options.push_back("0");
  peer_ = std::make_unique<dch_test::Peer>(options);
  ASSERT_TRUE(peer_->Ready()) << peer_->Stderr();
  StartLink(peer_->port(), "2");
}

void PeerLinkTest::StartLink(int port, const std::string &replyWait) {
  env_.Set("QDVA_DCH_PORT", std::to_string(port));
  env_.Set("QDVP_DCH_HOST", "127.0.0.1");
  env_.Set("QDVP_DCH_REPLY_WAIT", replyWait);
  env_.Set("QDVP_META_PATH", dir_.path());
  // The action log of a test's own actions stays in its temporary directory.
  if (std::getenv("QDVP_ACTION_LOG_FILENAME") == nullptr)
    env_.Set("QDVP_ACTION_LOG_FILENAME", dir_.path() + "/DPACTLOG");
  env_.Set("QDVP_PRODUCT_SPEC", std::nullopt);
  QDV0_ResetProductSpec();
  QDV0_InitializeProductSpec();
  anchor_ = QDVP_StartupInitialization();
  ASSERT_NE(anchor_, nullptr);
  link_ = std::make_unique<LinkClient>(anchor_);
  ASSERT_TRUE(link_->Started());
}

void PeerLinkTest::TearDown() {
  link_.reset();
  if (anchor_ != nullptr) {
    QDVP_ShutdownCleanUp(anchor_, 1);
    QDVP_ReleaseGlobalResources(anchor_);
    anchor_ = nullptr;
  }
  QDV0_ResetProductSpec();
  if (peer_) peer_->Stop();
}

ApplEntry *PeerLinkTest::LoadMetafile(const std::string &name, const std::string &text) {
  dir_.Write(name, text);
  StreamCapture out(STDOUT_FILENO);
  ApplEntry *appl = QDVP_ConstructApplDataModel(anchor_, name.c_str(), 0, nullptr, nullptr, 0, 0);
  out_ = out.Take();
  return appl;
}

SourceEntry *PeerLinkTest::LoadSource(const std::string &name, const std::string &text) {
  ApplEntry *appl = LoadMetafile(name, text);
  return appl ? appl->pTableList->pSourceList : nullptr;
}

int PeerLinkTest::Request(SourceEntry *source, int state) {
  return QDVP_Request(anchor_, source, static_cast<DCHverb>(state), link_->Requester()).state;
}

void PeerLinkTest::ExpectDb(const std::string &sql, const std::string &expected) {
  std::string value;
  WaitFor([&] { return (value = dch_test::QueryOne(peer_->Db(), sql)) == expected; },
          std::chrono::seconds(5));
  EXPECT_EQ(value, expected) << sql;
}

std::unique_ptr<dch_test::Peer> PeerLinkTest::Restart(std::vector<std::string> options) {
  options.insert(options.end(), {"--port", std::to_string(peer_->port()), "--commit-ms", "0"});
  auto second = std::make_unique<dch_test::Peer>(options, peer_->dir());
  EXPECT_TRUE(second->Ready()) << second->Stderr();
  return second;
}

}  // namespace qdvp_test
