// The world of the churn tests: a data provider and its agent peer (which sends the take
// actions of its action file), with the helpers every churn case uses: take actions, console
// commands that must succeed, and the checks that end each case (the data provider still runs,
// no sanitizer report in its standard error, an orderly stop within its bound).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/support/dpworld.h"
#include "tests/support/qdvptest.h"

namespace qdvp_test {

class ChurnWorld : public DataProviderWorld {
 protected:
  Strings PeerArgs() const override { return {"--action-file", File("actions.jsonl")}; }

  // Appends a take action for node to the file the peer follows.
  void Action(int id, int type, const std::string &name, const std::string &node,
              const std::string &parameter, const std::string &owner = "churn") {
    AppendActions({"{\"id\":" + std::to_string(id) + ",\"type\":" + std::to_string(type) +
                   ",\"name\":\"" + name + "\",\"node\":\"" + node + "\",\"owner\":\"" + owner +
                   "\",\"parameter\":\"" + parameter + "\"}"});
  }
  // Waits for the answer of action id ("status|result"), "" when none came.
  std::string AwaitOutcome(int id, std::chrono::seconds deadline = std::chrono::seconds(30)) {
    WaitFor([&] { return !Outcome(id).empty(); }, deadline);
    return Outcome(id);
  }
  // A console command of the operator; the reply as printed.
  std::string Console(const std::string &type, const std::string &command,
                      const std::string &operand = "") const {
    std::string reply;
    RunConsole(type, operand.empty() ? Strings{command} : Strings{command, operand}, &reply);
    return reply;
  }
  // What a sanitizer said in the data provider's standard error, "" when nothing.
  std::string SanitizerReport() const {
    if (!qdvp_) return "";
    std::string err = qdvp_->Stderr();
    for (const char *mark : {"ERROR: AddressSanitizer", "WARNING: ThreadSanitizer",
                             "runtime error:", "ERROR: LeakSanitizer"}) {
      size_t at = err.find(mark);
      if (at != std::string::npos) return err.substr(at > 200 ? at - 200 : 0, 6000);
    }
    return "";
  }
  // The end of every case: the data provider still runs, said nothing a sanitizer says, and
  // stops in an orderly way within its bound with exit status 0.
  void ExpectCleanEnd() {
    ASSERT_TRUE(qdvp_ != nullptr);
    EXPECT_TRUE(qdvp_->Running()) << qdvp_->Stderr() << Trace().substr(0, 0);
    EXPECT_EQ(SanitizerReport(), "");
    qdvp_->Signal(SIGTERM);
    auto begin = std::chrono::steady_clock::now();
    int status = qdvp_->Wait(std::chrono::seconds(60));
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(status, 0) << qdvp_->Stderr();
    EXPECT_LT(took, std::chrono::seconds(30)) << "the data provider took long to stop";
    EXPECT_EQ(SanitizerReport(), "");
    qdvp_.reset();
  }
};

}  // namespace qdvp_test
