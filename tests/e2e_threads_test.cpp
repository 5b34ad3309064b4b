// Threads and streams against a real Velmord: values by call-back, on the
// client's stream connection or on connections of their own, and stop_thread.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "e2e_support.h"

namespace {

class Threads : public ::testing::TestWithParam<ModelParam> {
 protected:
  void SetUp() override {
    ServerProcess::Options o;
    // sample_threads publishes range_average as a function, sample_threads_async as a thread.
    o.defs = {"sample_threads", "sample_threads_async", "sample_streams"};
    o.per_user = GetParam().per_user;
    o.max_processes = GetParam().max_processes;
    ASSERT_TRUE(server_.prepare(o));
    ASSERT_TRUE(server_.start()) << server_.log();
  }
  ServerProcess server_;
};

TEST_P(Threads, ThreadResultsComeByCallBack) {
  E2EClient client(&server_);
  CallPrint average = client.call("sample_threads_async", "range_average", {"[1,2,6]"});
  ASSERT_TRUE(average.ok) << average.error << "\n" << server_.log();
  EXPECT_EQ(average.key.rfind("sample_threads_async_", 0), 0u) << average.key;
  EXPECT_EQ(client.deliveries(average, 1, 10000), std::vector<std::string>{"3"});

  CallPrint reversed = client.call("sample_threads_async", "reverse_range_returns_array", {"[1,2,3]", "3"});
  ASSERT_TRUE(reversed.ok) << reversed.error;
  EXPECT_EQ(client.deliveries(reversed, 1, 10000), std::vector<std::string>{"[3,2,1]"});

  // A later scalar thread in the same worker process reuses that process's stream
  // connection, which the server checks with "#PING". Pool workers share out the
  // calls, but of three calls two reach the same worker.
  for (int i = 0; i < 2 && client.session()->listener()->pings() == 0; i++) {
    CallPrint again = client.call("sample_threads_async", "range_average", {"[4]"});
    ASSERT_TRUE(again.ok) << again.error;
    EXPECT_EQ(client.deliveries(again, 1, 10000), std::vector<std::string>{"4"});
  }
  EXPECT_GE(client.session()->listener()->pings(), 1);

  // The same function published as a plain function by another module answers at once.
  CallPrint plain = client.call("sample_threads", "range_average", {"[1,2,6]"});
  ASSERT_TRUE(plain.ok) << plain.error;
  EXPECT_TRUE(plain.key.empty());
  EXPECT_EQ(plain.result, "3");
}

TEST_P(Threads, StreamsDeliverUntilTheirEnd) {
  E2EClient client(&server_);
  // Started together, so that the test waits for the longest one only.
  CallPrint seconds = client.call("sample_streams", "show_second", {"2", "5"});
  CallPrint elapsed = client.call("sample_streams", "show_elapsed", {"1", "3"});
  CallPrint jumping = client.call("sample_streams", "jumping_array", {"1", "2"});
  ASSERT_TRUE(seconds.ok && elapsed.ok && jumping.ok)
      << seconds.error << elapsed.error << jumping.error << "\n" << server_.log();

  std::vector<std::string> s = client.deliveries(seconds, 10, 10000);
  ASSERT_EQ(s.size(), 3u) << ::testing::PrintToString(s);
  EXPECT_EQ(s[2], "END");
  for (int i = 0; i < 2; i++) {
    int second = atoi(s[i].c_str());
    EXPECT_TRUE(second >= 0 && second <= 60) << s[i];
  }

  std::vector<std::string> e = client.deliveries(elapsed, 10, 10000);
  ASSERT_EQ(e.size(), 4u) << ::testing::PrintToString(e);
  EXPECT_EQ(e[0], "0");
  EXPECT_LT(atol(e[0].c_str()), atol(e[1].c_str()));
  EXPECT_LT(atol(e[1].c_str()), atol(e[2].c_str()));
  EXPECT_EQ(e[3], "END");

  std::vector<std::string> j = client.deliveries(jumping, 10, 10000);
  ASSERT_EQ(j.size(), 3u) << ::testing::PrintToString(j);
  EXPECT_EQ(j[2], "END");
  for (int i = 0; i < 2; i++) {
    Value range;
    std::string error;
    ASSERT_TRUE(parse_value(jumping.sig.result, j[i], &range, &error)) << error;
    ASSERT_EQ(range.items.size(), 5u) << j[i];
    for (const Value& v : range.items) {
      int n = atoi(v.text.c_str());
      EXPECT_TRUE(n >= 1 && n <= 10 && v.text == std::to_string(n)) << v.text;
    }
  }
}

TEST_P(Threads, StopThreadEndsARunningStreamAndTheWorkerGoesOn) {
  E2EClient client(&server_);
  CallPrint clock = client.call("sample_streams", "show_time", {"1", "600"});
  ASSERT_TRUE(clock.ok) << clock.error << "\n" << server_.log();
  std::vector<std::string> first = client.deliveries(clock, 1, 10000);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_NE(first[0].find(':'), std::string::npos) << first[0];  // "Thu Dec 10 05:00:00 2026"

  std::string error;
  ASSERT_TRUE(client.session()->stop_thread(clock.key, &error)) << error;
  // At most one value may have been on its way; after that the stream is silent or ended.
  std::vector<std::string> after = client.deliveries(clock, 3, 3000);
  ASSERT_FALSE(after.empty());
  EXPECT_TRUE(after.back() == "END" || after.back().rfind("ERROR", 0) == 0)
      << ::testing::PrintToString(after);
  EXPECT_LE(after.size(), 2u) << ::testing::PrintToString(after);

  CallPrint next = client.call("sample_threads_async", "range_average", {"[5,7]"});
  ASSERT_TRUE(next.ok) << next.error;
  EXPECT_EQ(client.deliveries(next, 1, 10000), std::vector<std::string>{"6"});
}

// With two workers the stop request's connection reaches either of them,
// whichever runs the stream: each round must end its stream all the same.
TEST_P(Threads, StopReachesTheStreamWhicheverWorkerTakesTheRequest) {
  E2EClient client(&server_);
  for (int round = 0; round < 6; round++) {
    SCOPED_TRACE(round);
    CallPrint clock = client.call("sample_streams", "show_time", {"1", "600"});
    ASSERT_TRUE(clock.ok) << clock.error << "\n" << server_.log();
    ASSERT_EQ(client.deliveries(clock, 1, 10000).size(), 1u);
    std::string error;
    ASSERT_TRUE(client.session()->stop_thread(clock.key, &error)) << error;
    std::vector<std::string> after = client.deliveries(clock, 3, 5000);
    ASSERT_FALSE(after.empty());
    EXPECT_TRUE(after.back() == "END" || after.back().rfind("ERROR", 0) == 0)
        << ::testing::PrintToString(after) << "\n" << server_.log();
  }
}

// Ends a running stream with stop_thread; its last value is the end.
void stop_stream(E2EClient* client, const CallPrint& stream) {
  std::string error;
  ASSERT_TRUE(client->session()->stop_thread(stream.key, &error)) << error;
  std::vector<std::string> after = client->deliveries(stream, 3, 5000);
  ASSERT_FALSE(after.empty());
  EXPECT_TRUE(after.back() == "END" || after.back().rfind("ERROR", 0) == 0)
      << ::testing::PrintToString(after);
}

// A call refused for its count (a negative one, or two whole worksheet
// columns) ends its own conversation only, whether its client stays for the
// end or leaves right after the count's acknowledgement: the address's next
// calls are served, and a stream of the same client delivers on.
TEST_P(Threads, RefusedCountsLeaveTheAddressServed) {
  E2EClient client(&server_);
  CallPrint clock = client.call("sample_streams", "show_time", {"1", "600"});
  ASSERT_TRUE(clock.ok) << clock.error << "\n" << server_.log();
  ASSERT_EQ(client.deliveries(clock, 1, 10000).size(), 1u);
  std::string stamp, error;
  ASSERT_TRUE(client.session()->module_stamp("sample_threads", &stamp, &error)) << error;
  for (const char* count : {"-5", "2097152"}) {
    for (bool stays : {true, false}) {
      SCOPED_TRACE(std::string(count) + (stays ? ", client stays" : ", client leaves"));
      {
        RawClient raw(server_.port());
        ASSERT_EQ(raw.ask("START_FUNCTION~sample_threads~range_average~0~" + stamp), "__OK__");
        std::string reply = raw.ask(count);
        for (int i = 0; stays && i < 10 && reply != "<closed>" && reply != "<no reply>"; i++)
          reply = raw.reply();
        if (stays) {
          EXPECT_EQ(reply, "<closed>");
        }
      }
      for (int round = 0; round < 2; round++) {
        CallPrint average = client.call("sample_threads", "range_average", {"[1,2,6]"});
        ASSERT_TRUE(average.ok) << average.error << "\n" << server_.log();
        EXPECT_EQ(average.result, "3");
      }
    }
  }
  EXPECT_EQ(client.deliveries(clock, 1, 10000).size(), 1u);
  stop_stream(&client, clock);
}

// stop_thread never waits behind another conversation of its address: with
// a conversation of the same client open and quiet, the stop is answered at
// once and ends the stream; the quiet conversation is then served on.
TEST_P(Threads, StopIsAnsweredBesideAQuietConversation) {
  E2EClient client(&server_);
  CallPrint clock = client.call("sample_streams", "show_time", {"1", "600"});
  ASSERT_TRUE(clock.ok) << clock.error << "\n" << server_.log();
  ASSERT_EQ(client.deliveries(clock, 1, 10000).size(), 1u);
  RawClient quiet(server_.port());
  std::string first = quiet.ask("givefm~1");
  ASSERT_EQ(first.rfind("sample_", 0), 0u) << first;
  stop_stream(&client, clock);
  EXPECT_EQ(quiet.ask("givefm~1"), first);
}

INSTANTIATE_TEST_SUITE_P(Models, Threads,
                         ::testing::Values(ModelParam{false, 2, "Pool"},
                                           ModelParam{true, 2, "PerUser"}),
                         [](const ::testing::TestParamInfo<ModelParam>& i) { return i.param.name; });

}  // namespace
