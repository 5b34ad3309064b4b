// Call-back delivery: per-delivery connections, the shared stream connection
// with its "#PING" check, reopening, per-port entries, dead connections.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "channel_test_support.h"
#include "stream_clients.h"
#include "wrapper_support.hxx"

namespace {

typedef std::vector<std::string> Lines;

// A channel released from its request, aimed at the client's call-back port.
struct CallbackChannel {
  DataExchange de;
  CallbackChannel(const char* address, int port, int kind) {
    de.SetClientAddr(loopback_address(address, 0));
    de.SetRBridgePort(port);
    de.SetModuleName("cb");
    de.SetFunctionKey(nullptr);
    de.SetExecutionType(kind);
  }
  std::string key() { return de.GetFunctionKey(); }
};

// The client end of one per-delivery connection, in a thread: answers every
// line with an ack, then the closing line when asked to.
struct DeliveryClient {
  Listener* listener;
  bool send_closing_line;
  Lines received;
  pthread_t thread;
  static void* run(void* p) {
    DeliveryClient* c = static_cast<DeliveryClient*>(p);
    int s = c->listener->accept_one();
    if (s < 0) return nullptr;
    std::string line;
    while (read_line(s, &line, 1000)) {
      c->received.push_back(line);
      write_line(s, "ack");
      if (c->send_closing_line && c->received.size() == 3) write_line(s, "closing");
    }
    close(s);
    return nullptr;
  }
  void start() { pthread_create(&thread, nullptr, run, this); }
  void join() { pthread_join(thread, nullptr); }
};

TEST(PerDeliveryConnection, ValuesThenClosingLine) {
  CallbackPorts ports;
  DeliveryClient client = {ports.callback, true, {}, {}};
  client.start();
  CallbackChannel call("127.0.0.1", ports.callback->port, 1);
  ASSERT_EQ(call.de.make_connection(1), 1);
  int outbound = 4;
  double result = 7.5;
  EXPECT_GT(pack_and_send(&call.de, outbound), 0);
  EXPECT_GT(pack_and_send(&call.de, result), 0);
  EXPECT_EQ(call.de.done_with_result(), 1);
  EXPECT_EQ(call.de.sd, 0);
  client.join();
  EXPECT_EQ(client.received, Lines({"#THREAD_" + call.key() + "~1", "4", "7.5"}));

  // A live thread's end connection carries -1 and is closed at once.
  DeliveryClient end = {ports.callback, false, {}, {}};
  end.start();
  CallbackChannel live("127.0.0.1", ports.callback->port, 2);
  ASSERT_EQ(live.de.make_connection(-1), 1);
  EXPECT_EQ(live.de.done_with_result(), 1);
  end.join();
  EXPECT_EQ(end.received, Lines({"#STREAM_" + live.key() + "~-1"}));
}

TEST(PerDeliveryConnection, RefusedPortFails) {
  int port;
  {
    Listener gone("127.0.0.1", 0);
    port = gone.port;
  }
  CallbackChannel call("127.0.0.1", port, 1);
  EXPECT_EQ(call.de.make_connection(1), 0);
  EXPECT_EQ(call.de.sd, 0);
}

TEST(StreamConnection, SharedPingedAndEnded) {
  CallbackPorts ports;
  CallbackChannel first("127.0.0.1", ports.callback->port, 2);
  ASSERT_EQ(first.de.SetScalarStream(), 1);
  int stream = ports.stream->accept_one();
  ASSERT_GE(stream, 0);
  int value = 5;
  EXPECT_GT(pack_and_send(&first.de, value), 0);

  // A second scalar call of the same client reuses the connection; the
  // liveness check puts one "#PING" on it first.
  CallbackChannel second("127.0.0.1", ports.callback->port, 1);
  ASSERT_EQ(second.de.SetScalarThread(), 1);
  EXPECT_EQ(second.de.sd, first.de.sd);
  double result = 7.5;
  EXPECT_GT(pack_and_send(&second.de, result), 0);
  EXPECT_GT(first.de.EndScalarStream(), 0);
  EXPECT_EQ(ports.stream->accept_one(200), -1);  // no second connection

  EXPECT_EQ(read_lines(stream), Lines({"#STREAM_" + first.key() + "=5", "#PING",
                                       "#THREAD_" + second.key() + "=7.5",
                                       "#STREAM_" + first.key()}));
  // Neither call closes the shared connection.
  first.de.close_connection();
  second.de.close_connection();
  CallbackChannel third("127.0.0.1", ports.callback->port, 2);
  ASSERT_EQ(third.de.SetScalarStream(), 1);
  EXPECT_EQ(read_lines(stream), Lines({"#PING"}));
  close(stream);
}

TEST(StreamConnection, ReopenedAfterTheClientClosedIt) {
  CallbackPorts ports;
  CallbackChannel first("127.0.0.1", ports.callback->port, 2);
  ASSERT_EQ(first.de.SetScalarStream(), 1);
  int stream = ports.stream->accept_one();
  ASSERT_GE(stream, 0);
  close(stream);

  CallbackChannel second("127.0.0.1", ports.callback->port, 2);
  ASSERT_EQ(second.de.SetScalarStream(), 1);
  int reopened = ports.stream->accept_one();
  ASSERT_GE(reopened, 0);
  int value = 1;
  EXPECT_GT(pack_and_send(&second.de, value), 0);
  EXPECT_EQ(read_lines(reopened), Lines({"#STREAM_" + second.key() + "=1"}));

  // The first call goes on over the reopened connection.
  EXPECT_GT(pack_and_send(&first.de, value), 0);
  EXPECT_EQ(read_lines(reopened), Lines({"#STREAM_" + first.key() + "=1"}));

  // The stream port now refuses: the scalar set-up fails.
  close(reopened);
  delete ports.stream;
  ports.stream = nullptr;
  CallbackChannel third("127.0.0.1", ports.callback->port, 2);
  EXPECT_EQ(third.de.SetScalarStream(), 0);
}

TEST(StreamConnection, EntriesPerAddressAndPort) {
  CallbackPorts a("127.0.0.1");
  CallbackPorts b("127.0.0.1");
  CallbackPorts other_client("127.0.0.2");
  CallbackChannel on_a("127.0.0.1", a.callback->port, 2);
  CallbackChannel on_b("127.0.0.1", b.callback->port, 2);
  CallbackChannel on_other("127.0.0.2", other_client.callback->port, 2);
  ASSERT_EQ(on_a.de.SetScalarStream(), 1);
  ASSERT_EQ(on_b.de.SetScalarStream(), 1);
  ASSERT_EQ(on_other.de.SetScalarStream(), 1);
  EXPECT_NE(on_a.de.sd, on_b.de.sd);
  EXPECT_NE(on_a.de.sd, on_other.de.sd);
  int sa = a.stream->accept_one(), sb = b.stream->accept_one(), so = other_client.stream->accept_one();
  ASSERT_GE(sa, 0);
  ASSERT_GE(sb, 0);
  ASSERT_GE(so, 0);
  pthread_mutex_lock(&clients_lock);
  int matching = 0;
  for (ClientInfo* e = clients; e != nullptr; e = e->next)
    if (e->client_port == a.stream->port || e->client_port == b.stream->port ||
        e->client_port == other_client.stream->port)
      matching++;
  pthread_mutex_unlock(&clients_lock);
  EXPECT_EQ(matching, 3);
  close(sa);
  close(sb);
  close(so);
}

TEST(StreamConnection, DeadConnectionIsNeverWrittenAgain) {
  CallbackPorts ports;
  CallbackChannel call("127.0.0.1", ports.callback->port, 2);
  ASSERT_EQ(call.de.SetScalarStream(), 1);
  int stream = ports.stream->accept_one();
  ASSERT_GE(stream, 0);
  ClientInfo* entry = call.de.stream_client;
  ASSERT_NE(entry, nullptr);
  close(stream);
  // Writes into a reset connection fail after at most a few tries.
  int value = 0, failed_after = -1;
  for (int i = 0; i < 50 && failed_after < 0; i++) {
    if (pack_and_send(&call.de, value) <= 0) failed_after = i;
    usleep(10000);
  }
  ASSERT_GE(failed_after, 0);
  EXPECT_EQ(call.de.sd, 0);
  pthread_mutex_lock(&clients_lock);
  EXPECT_EQ(entry->connection_status, 0);
  EXPECT_EQ(entry->client_sd, 0);
  pthread_mutex_unlock(&clients_lock);
  EXPECT_EQ(is_socket_alive(0), 0);
}

// Many scalar calls of one client write concurrently; every line arrives whole.
TEST(StreamConnection, ConcurrentWritersKeepLinesWhole) {
  CallbackPorts ports;
  const int kWriters = 4, kValues = 200;
  struct Writer {
    int port;
    std::string key;
    pthread_t thread;
  };
  std::vector<Writer> writers(kWriters);
  for (auto& w : writers) {
    w.port = ports.callback->port;
    pthread_create(&w.thread, nullptr, [](void* p) -> void* {
      Writer* w = static_cast<Writer*>(p);
      CallbackChannel call("127.0.0.1", w->port, 2);
      w->key = call.key();
      if (call.de.SetScalarStream() != 1) return nullptr;
      std::string text(300, 'v');
      for (int i = 0; i < kValues; i++) pack_and_send(&call.de, text);
      call.de.EndScalarStream();
      return nullptr;
    }, &w);
  }
  int stream = ports.stream->accept_one();
  ASSERT_GE(stream, 0);
  Lines lines = read_lines(stream, 1000);
  for (auto& w : writers) pthread_join(w.thread, nullptr);
  int values = 0, ends = 0;
  for (const std::string& line : lines) {
    if (line == "#PING") continue;
    bool known = false;
    for (auto& w : writers) {
      if (line == "#STREAM_" + w.key + "=" + std::string(300, 'v')) values++, known = true;
      if (line == "#STREAM_" + w.key) ends++, known = true;
    }
    EXPECT_TRUE(known) << line.substr(0, 80);
  }
  EXPECT_EQ(values, kWriters * kValues);
  EXPECT_EQ(ends, kWriters);
  close(stream);
}

}  // namespace
