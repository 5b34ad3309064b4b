// The client's side of a call against a scripted server on loopback: the lines
// it sends, the acknowledgements, and the call-backs of threads and streams.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "definition_book.h"
#include "line_io.h"
#include "velmor_session.h"

namespace {

// Accepts one connection on a free loopback port and runs a script on it.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::function<void(int)> script) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 4);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, script] {
      pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 10000) != 1) return;
      int c = accept(fd_, nullptr, nullptr);
      script(c);
      close(c);
    });
  }
  ~ScriptedServer() {
    finish();
    close(fd_);
  }
  // Waits for the script to run to its end.
  void finish() {
    if (thread_.joinable()) thread_.join();
  }
  int port() const { return port_; }

 private:
  int fd_;
  int port_;
  std::thread thread_;
};

std::string receive(int fd) {
  char buffer[1024];
  int n = read_line(fd, buffer, sizeof buffer, 10000);
  return n > 0 ? std::string(buffer) : n == kLineTimedOut ? "<timeout>" : "<closed>";
}

int connect_back(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return fd;
}

// Port field of a START_FUNCTION line.
int port_of(const std::string& request) {
  size_t third = request.find('~', request.find('~', request.find('~') + 1) + 1);
  return atoi(request.c_str() + third + 1);
}

CallSignature signature(const char* kind_and_text) {
  DefinitionBook book;
  book.add_catalogue_line(kind_and_text);
  CallSignature sig;
  std::string error;
  EXPECT_TRUE(book.lookup(declared_name(strchr(kind_and_text, '~') + 1), &sig, &error)) << error;
  return sig;
}

std::vector<Value> args_of(const CallSignature& sig, std::vector<std::string> texts) {
  std::vector<Value> out(texts.size());
  std::string error;
  for (size_t i = 0; i < texts.size(); i++)
    EXPECT_TRUE(parse_value(sig.params[i], texts[i], &out[i], &error)) << error;
  return out;
}

TEST(SessionProtocol, PlainCallSendsAcknowledgedUnitsAndReadsOutboundThenResult) {
  std::vector<std::string> seen;
  std::unique_ptr<ScriptedServer> server(new ScriptedServer([&](int c) {
    seen.push_back(receive(c));
    write_line(c, "__OK__", 10000);
    for (int i = 0; i < 4; i++) {
      seen.push_back(receive(c));
      write_line(c, "__OK__", 10000);
    }
    seen.push_back(receive(c));  // end of arguments, not answered
    for (const char* unit : {"3", "6", "2", "1", "3"}) {
      write_line(c, unit, 10000);
      seen.push_back("ack:" + receive(c));
    }
  }));
  VelmorSession session("127.0.0.1", server->port(), 5000);
  CallSignature sig = signature("1~int reverse_range_passby_reference (VECTOR<double> & values)");
  CallOutcome out;
  std::string error;
  ASSERT_TRUE(session.call("sample_threads", sig, args_of(sig, {"[1,2,6]"}), "STAMP", &out, &error))
      << error;
  ASSERT_EQ(out.outbound.size(), 1u);
  EXPECT_EQ(format_value(sig.params[0], out.outbound[0]), "[6,2,1]");
  EXPECT_EQ(out.result.text, "3");
  server.reset();  // the script has run to its end
  ASSERT_EQ(seen.size(), 11u);
  EXPECT_EQ(seen[0], "START_FUNCTION~sample_threads~reverse_range_passby_reference~0~STAMP");
  EXPECT_EQ(std::vector<std::string>(seen.begin() + 1, seen.begin() + 5),
            (std::vector<std::string>{"3", "1", "2", "6"}));
  for (size_t i = 6; i < seen.size(); i++) EXPECT_EQ(seen[i], "ack:__OK__");
}

TEST(SessionProtocol, RefusedCallsAreReported) {
  CallSignature sig = signature("1~double range_average (VECTOR<double> values)");
  {
    ScriptedServer server([](int c) {
      receive(c);
      write_line(c, "_OUT_OF_DATE_", 10000);
    });
    VelmorSession session("127.0.0.1", server.port(), 5000);
    CallOutcome out;
    std::string error;
    ASSERT_TRUE(session.call("m", sig, args_of(sig, {"1"}), "old", &out, &error));
    EXPECT_TRUE(out.out_of_date);
  }
  {
    ScriptedServer server([](int c) { receive(c); });  // unknown function: no reply
    VelmorSession session("127.0.0.1", server.port(), 5000);
    CallOutcome out;
    std::string error;
    EXPECT_FALSE(session.call("m", sig, args_of(sig, {"1"}), "s", &out, &error));
    EXPECT_EQ(error, "the server does not publish range_average in module m");
  }
  ScriptedServer unused([](int) {});
  VelmorSession session("127.0.0.1", unused.port(), 5000);
  CallOutcome out;
  std::string error;
  EXPECT_FALSE(session.call("m", sig, {}, "s", &out, &error));
  EXPECT_EQ(error, "range_average takes 1 argument(s), 0 given");
  int wake = connect_back(unused.port());  // lets the scripted server finish
  close(wake);
}

TEST(SessionProtocol, ScalarThreadResultComesOnTheStreamPortAndPingsAreIgnored) {
  ScriptedServer server([](int c) {
    std::string request = receive(c);
    write_line(c, "__OK__", 10000);
    receive(c);
    write_line(c, "__OK__", 10000);
    receive(c);
    write_line(c, "#THREAD_m_1_2_3", 10000);
    receive(c);
    int s = connect_back(port_of(request) + 1);
    write_line(s, "#PING", 10000);
    write_line(s, "#THREAD_m_1_2_3=3.000000", 10000);
    receive(s);  // until the client goes away
    close(s);
  });
  VelmorSession session("127.0.0.1", server.port(), 5000);
  CallSignature sig = signature("2~double range_average (VECTOR<double> values)");
  CallOutcome out;
  std::string error;
  ASSERT_TRUE(session.call("m", sig, args_of(sig, {"[]"}), "s", &out, &error)) << error;
  EXPECT_EQ(out.key, "m_1_2_3");
  Delivery d;
  ASSERT_TRUE(session.next_delivery(out.key, 5000, &d, &error)) << error;
  EXPECT_TRUE(d.scalar);
  EXPECT_EQ(d.value.text, "3.000000");
  EXPECT_EQ(session.listener()->pings(), 1);
  // Leaving the scope closes the listener, which ends the script's last read.
}

TEST(SessionProtocol, StreamDeliveriesOnConnectionsOfTheirOwnThenTheEnd) {
  std::vector<std::string> acks;
  ScriptedServer server([&](int c) {
    std::string request = receive(c);
    write_line(c, "__OK__", 10000);
    for (int i = 0; i < 2; i++) {
      receive(c);
      write_line(c, "__OK__", 10000);
    }
    receive(c);
    write_line(c, "#STREAM_k9", 10000);
    receive(c);
    for (int round = 0; round < 2; round++) {
      int d = connect_back(port_of(request));
      write_line(d, "#STREAM_k9~1", 10000);
      acks.push_back(receive(d));
      for (const char* unit : {"2", "5", "7"}) {
        write_line(d, unit, 10000);
        acks.push_back(receive(d));
      }
      close(d);
    }
    int end = connect_back(port_of(request));
    write_line(end, "#STREAM_k9~-1", 10000);
    acks.push_back(receive(end));
    close(end);
  });
  VelmorSession session("127.0.0.1", server.port(), 5000);
  CallSignature sig = signature("3~int jumping_array (ExcelChannel<double *> values, int interval, int duration)");
  CallOutcome out;
  std::string error;
  ASSERT_TRUE(session.call("m", sig, args_of(sig, {"1", "2"}), "s", &out, &error)) << error;
  for (int round = 0; round < 2; round++) {
    Delivery d;
    ASSERT_TRUE(session.next_delivery("k9", 5000, &d, &error)) << error;
    EXPECT_EQ(d.kind, Delivery::VALUE);
    EXPECT_EQ(format_value(sig.result, d.value), "[5,7]");
  }
  Delivery end;
  ASSERT_TRUE(session.next_delivery("k9", 5000, &end, &error)) << error;
  EXPECT_EQ(end.kind, Delivery::END);
  server.finish();  // the script records the last acknowledgement after the client sent it
  EXPECT_EQ(acks, std::vector<std::string>(9, "__OK__"));
}

}  // namespace
