#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/errors.h"
#include "korvel/sim/lx3100.h"
#include "model/model.h"
#include "net/clock.h"
#include "net/transport.h"
#include "sim_helpers.h"

namespace korvel {
namespace {

using sim::Fault;

// A bare MODEL with a command connection to a simulated device.
class Exchange : public ::testing::Test {
 protected:
  void SetUp() override {
    dev_ = test::start_sim(test::sim_config());
    model_ = std::make_unique<MODEL>(dev_->config().address.c_str(), dev_->config().cmd_port,
                                     dev_->config().data_port, QLXMODULE[0]);
    model_->cmd_socket = OpenTcp(dev_->config().address.c_str(), dev_->config().cmd_port, 1);
    ASSERT_GE(model_->cmd_socket, 0);
  }
  void TearDown() override {
    if (model_->cmd_socket >= 0) CloseTcp(model_->cmd_socket);
  }
  int send(const char* cmd, char* reply, int timeout_ms = 1000) {
    return model_->SendRec(model_->cmd_socket, cmd, reply, timeout_ms);
  }

  std::unique_ptr<sim::Device> dev_;
  std::unique_ptr<MODEL> model_;
};

// An exchange that ends without its reply, then the commands after it. The
// device's answer to the first command must never be taken for a later one.
struct LostReplyCase {
  const char* name;
  Fault fault;  // applied to "$01F"
};
void PrintTo(const LostReplyCase& c, std::ostream* os) { *os << c.name; }

class LostReply : public Exchange, public ::testing::WithParamInterface<LostReplyCase> {};

TEST_P(LostReply, LaterCommandsGetTheirOwnReplies) {
  dev_->add_fault(GetParam().fault);
  char reply[kReplyCapacity];
  set_last_error(0);
  EXPECT_EQ(send("$01F", reply, 100), 0);
  EXPECT_EQ(static_cast<unsigned>(get_last_error()), KV_ERR_READ_TIMEOUT);
  ASSERT_EQ(send("@01", reply), 1);
  EXPECT_STREQ(reply, "!05");
  ASSERT_EQ(send("$01F", reply), 1);
  EXPECT_STREQ(reply, "!123");
  ASSERT_EQ(send("@01", reply), 1);
  EXPECT_STREQ(reply, "!05");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LostReply,
    ::testing::Values(
        // "!123" arrives while the next exchange waits for its reply.
        LostReplyCase{"LateDuringTheNextExchange", Fault::late("$01F")},
        LostReplyCase{"NeverSent", Fault::no_reply("$01F")},
        LostReplyCase{"ConnectionClosedByTheDevice", Fault::close("$01F")}),
    [](const ::testing::TestParamInfo<LostReplyCase>& info) { return info.param.name; });

// A command text with a CR of its own is two lines to the device. Should a
// device answer the second as well, that answer must not reach a later
// command.
TEST_F(Exchange, AnswersToEveryLineOfACommandStayWithIt) {
  dev_->add_fault(Fault::reply("~01SI", "!01H0O00T00"));
  dev_->add_fault(Fault::late("").with_text("?"));
  char reply[kReplyCapacity];
  ASSERT_EQ(send("~01SI\r", reply), 1);
  EXPECT_STREQ(reply, "!01H0O00T00");
  ASSERT_EQ(send("@01", reply), 1);
  EXPECT_STREQ(reply, "!05");
  EXPECT_EQ(dev_->commands(), (std::vector<std::string>{"~01SI", "", "@01"}));
}

TEST_F(Exchange, OverlongReplyIsCut) {
  dev_->add_fault(Fault::overlong("@01", 600));
  char reply[kReplyCapacity + 16];
  std::memset(reply, 0x7F, sizeof reply);
  ASSERT_EQ(send("@01", reply), 1);
  EXPECT_EQ(std::strlen(reply), kReplyCapacity - 1);
  EXPECT_EQ(reply[kReplyCapacity], 0x7F);
  // The rest of the long line was consumed: the next exchange is in step.
  ASSERT_EQ(send("@01", reply), 1);
  EXPECT_STREQ(reply, "!05");
}

TEST_F(Exchange, ClosedConnectionFailsPromptly) {
  dev_->add_fault(Fault::close("@01"));
  char reply[kReplyCapacity];
  const int64_t t0 = GetNowMillisecond();
  EXPECT_EQ(send("@01", reply, 1000), 0);
  EXPECT_LT(GetNowMillisecond() - t0, 500);
}

TEST_F(Exchange, CommandLengthLimit) {
  char reply[kReplyCapacity];
  const std::string longest(254, 'Z');
  EXPECT_EQ(send(longest.c_str(), reply), 1);  // the device refuses it with "?"
  EXPECT_STREQ(reply, "?");
  EXPECT_EQ(dev_->commands().back(), longest);

  const std::string too_long(255, 'Z');
  dev_->clear_commands();
  EXPECT_EQ(send(too_long.c_str(), reply), 0);
  EXPECT_EQ(static_cast<unsigned>(get_last_error()), KV_ERR_INVALID_VALUE);
  // The device handles lines in order: had the long one gone out, it would
  // be recorded before this one.
  ASSERT_EQ(send("@01", reply), 1);
  EXPECT_EQ(dev_->commands(), std::vector<std::string>{"@01"});
}

TEST_F(Exchange, ConcurrentExchangesKeepRepliesWithTheirCommands) {
  std::atomic<int> wrong{0};
  auto worker = [&](int channel) {
    for (int i = 0; i < 150; ++i) {
      char cmd[32], reply[kReplyCapacity];
      std::snprintf(cmd, sizeof cmd, "$01R0C%dG0", channel);
      if (send(cmd, reply) != 1) {
        ++wrong;
        continue;
      }
      char expected[16];
      std::snprintf(expected, sizeof expected, "!%04X%04X", 32768 - 40 * channel,
                    static_cast<uint16_t>(channel - 4));
      if (std::strcmp(reply, expected) != 0) ++wrong;
    }
  };
  std::thread a(worker, 1), b(worker, 6);
  a.join();
  b.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace korvel
