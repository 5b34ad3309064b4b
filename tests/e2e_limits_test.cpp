// Time limits a conversation must not have: a real Velmord serving in one
// process, whose accepting threads wait with a time-out of their own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "e2e_support.h"
#include "line_transport.h"

namespace {

// Longer than any time-out of the server's own (60 s for idle threads).
const int kQuietSeconds = 65;

int connect_loopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in server = {};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof(server)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string ask(int fd, const std::string& text) {
  if (send_line(fd, text.c_str()) < 1) return "<not sent>";
  pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, 15000) != 1) return "<no reply>";
  char line[1024];
  return receive_line(fd, line, sizeof(line)) >= 1 ? line : "<closed>";
}

// A conversation quiet between two requests, and a call quiet before its
// first argument, side by side: both are served after the quiet time.
TEST(Limits, QuietConversationsInOneProcessAreServed) {
  ServerProcess server;
  ServerProcess::Options o;
  o.defs = {"sample_employee_db"};
  o.max_processes = 1;
  ASSERT_TRUE(server.prepare(o));
  ASSERT_TRUE(server.start()) << server.log();
  std::string stamp, error;
  {
    E2EClient client(&server);
    ASSERT_TRUE(client.session()->module_stamp("sample_employee_db", &stamp, &error)) << error;
  }
  int idle = connect_loopback(server.port());
  int call = connect_loopback(server.port());
  ASSERT_GE(idle, 0);
  ASSERT_GE(call, 0);
  EXPECT_EQ(ask(idle, "givefm~1"), "sample_employee_db");
  EXPECT_EQ(ask(call, "START_FUNCTION~sample_employee_db~update_db~0~" + stamp), "__OK__");
  std::this_thread::sleep_for(std::chrono::seconds(kQuietSeconds));
  EXPECT_EQ(ask(idle, "givefm~1"), "sample_employee_db") << server.log();
  // The argument arrives late and is taken; the call is then left, and so
  // never runs.
  EXPECT_EQ(ask(call, "1"), "__OK__") << server.log();
  EXPECT_EQ(ask(call, "Zed"), "__OK__");
  close(idle);
  close(call);
  E2EClient client(&server);
  CallPrint db = client.call("sample_employee_db", "get_db", {"[]"});
  ASSERT_TRUE(db.ok) << db.error;
  EXPECT_EQ(db.result, "26");
}

}  // namespace
