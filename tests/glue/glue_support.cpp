#include "glue_support.h"

#include <arpa/inet.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "e2e_support.h"
#include "velmor_session.h"

std::vector<std::pair<std::string, std::string>> glue_definition_files() {
  const std::string lib = std::string("LIBRARIES {\n  ") + VELMOR_GLUE_LIB + ";\n}\n";
  std::string targets;
  for (int i = 1; i <= 8; i++) targets += "  int target0" + std::to_string(i) + " (int x);\n";
  return {
      {"glue_long", lib + "FUNCTIONS {\n" + targets + "}\n"},
      {"glue_mixed", lib +
                         "TYPES {\n  Person (string name, int age);\n"
                         "  Team (string title, VECTOR<Person> members);\n}\n"
                         "FUNCTIONS {\n  int ok2 (int y); char cfirst (char c);\n"
                         "  int typo (Emplyee e);\n"
                         "  Team make_team (string title, int n);\n  int team_age (Team t);\n}\n"},
      {"glue_streams", lib +
                           "STREAMS {\n  int sout (ExcelChannel<int> ch, VECTOR<double> & v, int n);\n"
                           "  int forever (ExcelChannel<int> ch, string log);\n"
                           "  int forever_out (ExcelChannel<int> ch, int & count, string log);\n"
                           "  int stepper (ExcelChannel<int> ch, VECTOR<double> & v, string release);\n}\n"},
  };
}

std::vector<std::pair<std::string, std::string>> raising_definition_files() {
  const std::string lib = std::string("LIBRARIES {\n  ") + VELMOR_GLUE_LIB + ";\n}\n";
  return {
      {"glue_raise", lib + "FUNCTIONS {\n  int raise_kind (int kind);\n}\n"},
      {"glue_raise_async", lib + "THREADS {\n  int raise_kind (int kind);\n  int raise_out (int & out, int kind);\n}\n"},
      {"glue_raise_streams", lib +
                                 "STREAMS {\n  int raise_stream (ExcelChannel<int> ch, int kind);\n"
                                 "  int raise_stream_out (ExcelChannel<int> ch, int & count, int kind);\n}\n"},
  };
}

std::vector<RaisingCase> raising_cases(bool through_pvm) {
  std::vector<RaisingCase> cases;
  for (const char* kind : {"1", "2"}) {
    cases.push_back({"glue_raise", "raise_kind", {kind}, {"#LIB_ERROR"}});
    // A thread on the stream connection gets the value under its key.
    cases.push_back({"glue_raise_async", "raise_kind", {kind}, {"#LIB_ERROR"}});
    // On a connection of its own the failure takes the first unit's place.
    cases.push_back({"glue_raise_async", "raise_out", {"0", kind},
                     {through_pvm ? "#LIB_ERROR ; #LIB_ERROR" : "FAILED DELIVERY"}});
    cases.push_back({"glue_raise_streams", "raise_stream", {kind}, {"100", "#LIB_ERROR", "END"}});
    cases.push_back({"glue_raise_streams", "raise_stream_out", {"0", kind}, {"1 ; 100", "END"}});
  }
  return cases;
}

std::vector<std::string> call_outcome(E2EClient* client, const CallPrint& call, size_t count) {
  if (!call.ok) return {"CALL FAILED: " + call.error};
  if (call.key.empty()) return {call.result};
  std::vector<std::string> got = client->deliveries(call, static_cast<int>(count), 15000);
  // A cut delivery says so in the client's own words, which vary.
  for (std::string& d : got)
    if (d.compare(0, 23, "ERROR: delivery failed:") == 0) d = "FAILED DELIVERY";
  return got;
}

RawStream::RawStream(int server_port, int timeout_ms) : server_port_(server_port), timeout_ms_(timeout_ms) {}

RawStream::~RawStream() {
  delivery_.reset();
  if (listen_fd_ >= 0) close(listen_fd_);
}

bool RawStream::start(const std::string& module, const std::string& function,
                      const std::vector<std::string>& units, std::string* error) {
  listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_fd_, 8) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    *error = "no call-back port";
    return false;
  }
  port_ = ntohs(a.sin_port);
  std::string stamp;
  VelmorSession session("127.0.0.1", server_port_, timeout_ms_);
  if (!session.module_stamp(module, &stamp, error)) return false;
  LineConnection request(timeout_ms_);
  std::string reply;
  if (!request.open("127.0.0.1", server_port_, error) ||
      !request.send("START_FUNCTION~" + module + "~" + function + "~" + std::to_string(port_) + "~" + stamp,
                    error) ||
      !request.receive(&reply, error))
    return false;
  for (const std::string& unit : units)
    if (!request.send(unit, error) || !request.receive(&reply, error)) return false;
  if (!request.send("__END_OF_ARGUMENTS__", error) || !request.receive(&reply, error)) return false;
  if (reply.compare(0, 8, "#STREAM_") != 0) {
    *error = "not a stream's reply: " + reply;
    return false;
  }
  key_ = reply.substr(8);
  return request.send("ack", error);
}

bool RawStream::next_delivery(int units, std::vector<std::string>* lines, std::string* error) {
  delivery_.reset();
  pollfd p = {listen_fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms_) != 1) {
    *error = "no delivery connection";
    return false;
  }
  int fd = accept(listen_fd_, nullptr, nullptr);
  if (fd < 0) {
    *error = "accept failed";
    return false;
  }
  delivery_.reset(new LineConnection(fd, timeout_ms_));
  lines->clear();
  for (int i = 0; i <= units; i++) {
    std::string line;
    if (!delivery_->receive(&line, error) || !delivery_->send("ack", error)) return false;
    lines->push_back(line);
  }
  return true;
}

bool RawStream::closed_within(int timeout_ms) {
  if (!delivery_) return false;
  pollfd p = {delivery_->fd(), POLLIN, 0};
  if (poll(&p, 1, timeout_ms) != 1) return false;
  char byte;
  return recv(delivery_->fd(), &byte, 1, MSG_PEEK) == 0;
}

void check_deliveries_close_at_once(int server_port, const std::string& root, const std::string& log) {
  std::string release = root + "/release";
  RawStream stream(server_port);
  std::string error;
  ASSERT_TRUE(stream.start("glue_streams", "stepper", {"1", "1.5", release}, &error)) << error << log;
  std::vector<std::string> lines;
  ASSERT_TRUE(stream.next_delivery(3, &lines, &error)) << error;
  EXPECT_EQ(lines, (std::vector<std::string>{"#STREAM_" + stream.key() + "~1", "1", "1.5", "1"}));
  // The stream now waits for the release: its delivery is over all the same.
  EXPECT_TRUE(stream.closed_within(15000));
  std::ofstream(release) << "go";
  ASSERT_TRUE(stream.next_delivery(3, &lines, &error)) << error;
  EXPECT_EQ(lines, (std::vector<std::string>{"#STREAM_" + stream.key() + "~1", "1", "2.5", "2"}));
  EXPECT_TRUE(stream.closed_within(15000));
  ASSERT_TRUE(stream.next_delivery(0, &lines, &error)) << error;
  EXPECT_EQ(lines, (std::vector<std::string>{"#STREAM_" + stream.key() + "~-1"}));
  EXPECT_TRUE(stream.closed_within(15000));
}
