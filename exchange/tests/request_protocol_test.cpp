// The request protocol against a hand-made registry: every catalogue command,
// the final requests, and calls of plain functions, threads and streams
// through hand-written stubs, in both execution models.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "channel_test_support.h"
#include "data_exchange.h"
#include "df_interface.h"
#include "formula_manager.h"
#include "stream_clients.h"
#include "tarrow.h"
#include "wrapper_reader.h"

namespace {

typedef std::vector<std::string> Lines;

const char* kStamp = "10 Dec 2026 05:00:00 GMT";

std::string temp_dir() {
  char tmpl[] = "/tmp/velmor_rp_XXXXXX";
  return mkdtemp(tmpl);
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

Llist<ExternDefinition*>* declare(Llist<ExternDefinition*>* list, const char* name) {
  ExternDefinition* d = new ExternDefinition();
  char text[DEFN_NAME_SIZE];
  snprintf(text, sizeof(text), "%s", name);
  d->SetFunctionName(text);
  return new Llist<ExternDefinition*>(d, list);
}

Formula* formula(const char* usage, const char* app, Formula* next) {
  Formula* f = new Formula();
  f->usageName = strdup(usage);
  f->appName = app ? strdup(app) : nullptr;
  f->poll = 0;
  f->next = next;
  return f;
}

DefnLine* defn(const char* book, int type, const char* line) {
  DefnLine* d = new DefnLine();
  snprintf(d->line, sizeof(d->line), "%s", line);
  snprintf(d->book, sizeof(d->book), "%s", book);
  d->type = type;
  return d;
}

// Two modules: "testmod" (loaded last, so first in the list) with the test
// stubs, and "older" with nothing but a name.
class Registry : public ::testing::Environment {
 public:
  std::string dir;
  void SetUp() override {
    dir = temp_dir();
    setenv("VELMOR_LOG_DIR", dir.c_str(), 1);
    write_file(dir + "/testmod.bas", "Attribute VB_Name\r\n\r\nline three\n");
    write_file(dir + "/notes.txt", "first\n" + std::string(600, 'w') + "\nlast");

    FormulaManager* older = new FormulaManager();
    older->formula_name = strdup("older");
    snprintf(older->time_stamp, sizeof(older->time_stamp), "%s", "1 Jan 2020 00:00:00 GMT");

    FormulaManager* fm = new FormulaManager();
    fm->formula_name = strdup("testmod");
    snprintf(fm->time_stamp, sizeof(fm->time_stamp), "%s", kStamp);
    fm->module_handle = dlopen(TEST_STUBS_PATH, RTLD_NOW);
    ASSERT_NE(fm->module_handle, nullptr) << dlerror();
    fm->module_loaded = 1;
    Llist<ExternDefinition*>* functions = declare(declare(nullptr, "add_scaled"), "not_in_library");
    Llist<ExternDefinition*>* threads =
        declare(declare(declare(nullptr, "slow_product"), "fill_range"), "fails_early");
    Llist<ExternDefinition*>* streams =
        declare(declare(declare(declare(nullptr, "count_up"), "ticker"), "range_ticker"), "flood");
    fm->functions = {functions, nullptr};
    fm->threads = {threads, nullptr};
    fm->live_threads = {streams, nullptr};
    fm->fstart = formula("PRICE", "2", formula("NET", "PRICE*3", formula("EMPTY", nullptr, nullptr)));
    fm->gstart = formula("GROW", "PRICE+1", nullptr);
    Node* notes = new Node();
    notes->data = strdup((dir + "/notes.txt").c_str());
    notes->next = nullptr;
    Node* missing = new Node();
    missing->data = strdup((dir + "/missing.txt").c_str());
    missing->next = notes;
    fm->mstart = missing;
    fm->next = older;
    FS.fm_list = fm;
    add_an_entry("testmod", "PRICE", "2");
    add_an_entry("testmod", "NET", "PRICE*3");
    add_an_entry("testmod_GEN_", "GROW", "PRICE+1");

    DefnLine* lines[] = {defn("testmod", 1, "double add_scaled(double, int)"), defn("other", 0, "type X"),
                         defn("TESTMOD", 2, "double slow_product(double, int)")};
    for (DefnLine*& line : lines) definitions = new Llist<DefnLine*>(line, definitions);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }
};

::testing::Environment* const registry = ::testing::AddGlobalTestEnvironment(new Registry);

// One conversation: ProcessRequest on the near end, the test as the client
// on the far end.
struct Conversation {
  SocketPair pair;
  HCStruct hc;
  explicit Conversation(ExecutionModel model, const char* client = "127.0.0.1") {
    execution_model = model;
    hc.sock_desc = pair.near_end;
    hc.ClientAddr = loopback_address(client, 0);
    hc.tarrow = &FS;
  }
  ~Conversation() {
    if (hc.sock_desc == 0) pair.near_end = 0;  // closed by the server side
    execution_model = PROCESS_POOL;
  }
  // What the connection handler does at the end of a conversation.
  void close_as_handler() {
    if (hc.sock_desc != 0) shutdown(hc.sock_desc, SHUT_WR);
  }
  PROCESS_REQUEST_STATUS request(const std::string& line) {
    std::vector<char> data(line.begin(), line.end());
    data.push_back('\0');
    return FS.ProcessRequest(&hc, data.data());
  }
  std::string reply() {
    std::string line;
    return read_line(pair.far_end, &line, 2000) ? line : "<none>";
  }
};

TEST(Catalogue, CommandsAndTheirAnswers) {
  static const std::string long_line(510, 'w');  // a read takes at most 510 characters
  const struct {
    const char* request;
    const char* reply;
  } cases[] = {
      {"givefm~1", "testmod"},
      {"givefm~2", "older"},
      {"givefm~3", "__OVER__"},
      {"givefm~0", "__OVER__"},
      {"populate_formula~TESTMOD~2", "testmod.NET"},
      {"populate_formula~testmod~4", "__OVER__"},
      {"populate_formula~nosuch~1", "__ERR__"},
      {"populate_genusage~testmod~1", "testmod.GROW"},
      {"populate_genusage~testmod~2", "__OVER__"},
      {"populate_appname~testmod~3", " "},
      {"populate_appname~testmod~9", "__OVER__"},
      {"populate_appname~nosuch~1", "__ERR__"},
      {"populate_genappname~older~1", "__OVER__"},
      {"module~testmod~2~1", "first"},
      {"module~testmod~2~2", long_line.c_str()},
      {"module~testmod~2~4", "last"},
      {"module~testmod~2~5", "__OVER__"},
      {"module~testmod~2~0", "__OVER__"},
      {"module~testmod~1~1", "__ERR__"},  // listed file that does not exist
      {"module~testmod~3~1", "__OVER__"},
      {"module~nosuch~1~1", "__ERR__"},
      {"wrapper~testmod~1", "Attribute VB_Name"},
      {"wrapper~testmod~2", " "},
      {"wrapper~testmod~3", "line three"},
      {"wrapper~testmod~4", "__OVER__"},
      {"wrapper~nosuch~1", "__ERR__"},
      {"wrapper~../testmod~1", "__ERR__"},
      {"wrapper~a/b~1", "__ERR__"},
      {"wrapper~..~1", "__ERR__"},
      {"wrapper~x y~1", "__ERR__"},
      {"givemedefn~testmod~1", "2~double slow_product(double, int)"},
      {"givemedefn~testmod~2", "1~double add_scaled(double, int)"},
      {"givemedefn~testmod~3", "__OVER__"},
      {"givemedefn~nobook~1", "__OVER__"},
      {"stop_thread~testmod_1~2~3", "__OK__"},
  };
  Conversation c(PROCESS_POOL);
  for (const auto& k : cases) {
    SCOPED_TRACE(k.request);
    EXPECT_EQ(c.request(k.request), PROCESS_CONTINUES);
    EXPECT_EQ(c.reply(), k.reply);
  }
}

TEST(Catalogue, FormulaTextsAreRewritten) {
  Conversation c(PROCESS_POOL);
  c.request("populate_appname~testmod~2");
  std::string net = c.reply();
  EXPECT_NE(net, "__ERR__");
  EXPECT_NE(net, " ");
  EXPECT_NE(net.find("PRICE"), std::string::npos);
  c.request("populate_genappname~testmod~1");
  std::string grow = c.reply();
  EXPECT_NE(grow, "__ERR__");
  EXPECT_NE(grow.find("PRICE"), std::string::npos);
}

// Pool connection threads serve requests at once: each line is split on its
// own, and formula rewriting is serialised.
TEST(Catalogue, ConcurrentConversations) {
  const int kThreads = 4, kRounds = 50;
  std::vector<Conversation*> conversations;
  for (int t = 0; t < kThreads; t++) conversations.push_back(new Conversation(PROCESS_POOL));
  struct Worker {
    Conversation* c;
    int mismatches;
    pthread_t thread;
  };
  std::vector<Worker> workers(kThreads);
  for (int t = 0; t < kThreads; t++) {
    workers[t] = {conversations[t], 0, {}};
    pthread_create(&workers[t].thread, nullptr, [](void* p) -> void* {
      Worker* w = static_cast<Worker*>(p);
      std::string net;
      for (int i = 0; i < kRounds; i++) {
        w->c->request("populate_formula~testmod~" + std::to_string(1 + i % 2));
        if (w->c->reply() != (i % 2 ? "testmod.NET" : "testmod.PRICE")) w->mismatches++;
        w->c->request("givemedefn~testmod~2");
        if (w->c->reply() != "1~double add_scaled(double, int)") w->mismatches++;
        w->c->request("populate_appname~testmod~2");
        std::string text = w->c->reply();
        if (net.empty()) net = text;
        if (text != net || text == "__ERR__") w->mismatches++;
      }
      return nullptr;
    }, &workers[t]);
  }
  for (auto& w : workers) {
    pthread_join(w.thread, nullptr);
    EXPECT_EQ(w.mismatches, 0);
  }
  for (Conversation* c : conversations) delete c;
}

// A symbolic link among the served files is never followed, wherever it
// points; the file it names is still served by its own name.
TEST(Catalogue, SymbolicLinksAreNotServed) {
  const std::string dir = getenv("VELMOR_LOG_DIR");
  ASSERT_EQ(symlink("/etc/passwd", (dir + "/passwd.bas").c_str()), 0);
  ASSERT_EQ(symlink((dir + "/testmod.bas").c_str(), (dir + "/alias.bas").c_str()), 0);
  for (const char* request : {"wrapper~passwd~1", "wrapper~alias~1"}) {
    SCOPED_TRACE(request);
    Conversation c(PROCESS_POOL);
    EXPECT_EQ(c.request(request), PROCESS_CONTINUES);
    EXPECT_EQ(c.reply(), "__ERR__");
  }
  Conversation c(PROCESS_POOL);
  EXPECT_EQ(c.request("wrapper~testmod~1"), PROCESS_CONTINUES);
  EXPECT_EQ(c.reply(), "Attribute VB_Name");
}

TEST(Catalogue, NothingLoaded) {
  FormulaManager* saved = FS.fm_list;
  FS.fm_list = nullptr;
  Conversation c(PROCESS_POOL);
  for (const char* r : {"givefm~1", "populate_formula~testmod~1", "module~testmod~1~1"}) {
    c.request(r);
    EXPECT_EQ(c.reply(), "__OVER__") << r;
  }
  c.request("wrapper~testmod~1");  // does not consult the registry
  EXPECT_EQ(c.reply(), "Attribute VB_Name");
  FS.fm_list = saved;
}

TEST(FinalRequests, StampsAndClosing) {
  const struct {
    ExecutionModel model;
    std::string request;
    PROCESS_REQUEST_STATUS status;
    const char* reply;
  } cases[] = {
      {PROCESS_POOL, std::string("CHECK_UPD_TIME~testmod~") + kStamp, PROCESS_COMPLETED, "__OK__"},
      {PROCESS_POOL, "check_upd_time~testmod~10 DEC 2026 05:00:00 gmt", PROCESS_COMPLETED, "__OK__"},
      {PROCESS_POOL, "CHECK_UPD_TIME~testmod~yesterday", PROCESS_COMPLETED, "_OUT_OF_DATE_"},
      {PROCESS_POOL, "CHECK_UPD_TIME~testmod", PROCESS_COMPLETED, "_OUT_OF_DATE_"},
      {PROCESS_POOL, "GET_UPD_TIME~testmod", PROCESS_COMPLETED, kStamp},
      {PROCESS_POOL, "GET_UPD_TIME~testmod~x", PROCESS_COMPLETED, "__ERR__"},
      {PROCESS_POOL, "GET_UPD_TIME", PROCESS_COMPLETED, "__ERR__"},
      {PROCESS_POOL, "START_FUNCTION~testmod~add_scaled~1~stale", PROCESS_COMPLETED, "_OUT_OF_DATE_"},
      {PROCESS_POOL, "START_FUNCTION~testmod~add_scaled~1", PROCESS_COMPLETED, "_OUT_OF_DATE_"},
      {PROCESS_PER_USER, "START_FUNCTION~testmod~add_scaled~1~stale", PROCESS_COMPLETED, "_OUT_OF_DATE_"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.request);
    Conversation c(k.model);
    EXPECT_EQ(c.request(k.request), k.status);
    EXPECT_EQ(c.reply(), k.reply);
  }
}

// __CLOSE__ ends a conversation without a reply, and so does a command
// nobody knows in the per-user model (its clients have always seen the
// connection end there). The pool answers an unknown command "__DONE__" and
// reads one acknowledgement before the next request.
TEST(FinalRequests, CloseAndUnknownCommands) {
  for (ExecutionModel model : {PROCESS_POOL, PROCESS_PER_USER}) {
    for (const char* request : {"__CLOSE__", "__close__"}) {
      SCOPED_TRACE(request);
      Conversation c(model);
      EXPECT_EQ(c.request(request), PROCESS_COMPLETED);
      EXPECT_TRUE(stays_quiet(c.pair.far_end, 100));
    }
  }
  for (const char* request : {"FROBNICATE~1", ""}) {
    SCOPED_TRACE(request);
    Conversation user(PROCESS_PER_USER);
    EXPECT_EQ(user.request(request), PROCESS_COMPLETED);
    EXPECT_TRUE(stays_quiet(user.pair.far_end, 100));

    Conversation c(PROCESS_POOL);
    write_line(c.pair.far_end, "__OK__");
    write_line(c.pair.far_end, "givefm~1");
    EXPECT_EQ(c.request(request), PROCESS_CONTINUES);
    EXPECT_EQ(c.reply(), "__DONE__");
    std::string next;
    ASSERT_TRUE(read_line(c.pair.near_end, &next));
    EXPECT_EQ(next, "givefm~1");  // the acknowledgement alone was consumed
  }
  // An acknowledgement that never comes ends the conversation.
  Conversation c(PROCESS_POOL);
  shutdown(c.pair.far_end, SHUT_WR);
  EXPECT_EQ(c.request("FROBNICATE"), PROCESS_CONTINUES);
  EXPECT_EQ(c.hc.sock_desc, 0);
}

TEST(StartFunction, CallsThatDoNotStart) {
  const char* requests[] = {
      "START_FUNCTION~testmod~not_in_library~1~10 Dec 2026 05:00:00 GMT",
      "START_FUNCTION~testmod~undeclared~1~10 Dec 2026 05:00:00 GMT",
      "START_FUNCTION~testmod",
      "START_FUNCTION",
  };
  for (ExecutionModel model : {PROCESS_POOL, PROCESS_PER_USER}) {
    for (const char* r : requests) {
      SCOPED_TRACE(r);
      Conversation c(model);
      EXPECT_EQ(c.request(r), PROCESS_COMPLETED);
      EXPECT_TRUE(stays_quiet(c.pair.far_end, 50));  // no reply; the handler closes
    }
  }
}

std::string start(const char* function, int port) {
  return std::string("START_FUNCTION~testmod~") + function + "~" + std::to_string(port) + "~" + kStamp;
}

// The client of one call, in a thread: sends the arguments, acknowledges
// every value until the connection ends, records what it got.
struct Client {
  int sock;
  Lines arguments;
  Lines received;
  pthread_t thread;
  static void* run(void* p) {
    Client* c = static_cast<Client*>(p);
    std::string line;
    if (!read_line(c->sock, &line)) return nullptr;
    c->received.push_back(line);  // "__OK__" of START_FUNCTION
    for (const std::string& a : c->arguments) {
      write_line(c->sock, a);
      if (read_line(c->sock, &line)) c->received.push_back(line);
    }
    write_line(c->sock, "end of arguments");
    while (read_line(c->sock, &line, 3000)) {
      c->received.push_back(line);
      write_line(c->sock, "ack");
    }
    return nullptr;
  }
  void start() { pthread_create(&thread, nullptr, run, this); }
  void join() { pthread_join(thread, nullptr); }
};

void wait_for_calls_to_end() {
  for (int i = 0; i < 5000 && FS.thread_status_manager.running_count() > 0; i++) usleep(1000);
  EXPECT_EQ(FS.thread_status_manager.running_count(), 0);
}

TEST(StartFunction, PlainFunctionInBothModels) {
  for (ExecutionModel model : {PROCESS_POOL, PROCESS_PER_USER}) {
    SCOPED_TRACE(model);
    Conversation c(model);
    Client client = {c.pair.far_end, {"2.5", "3"}, {}, {}};
    client.start();
    EXPECT_EQ(c.request(start("add_scaled", 1)), PROCESS_COMPLETED);
    EXPECT_NE(c.hc.sock_desc, 0);  // the conversation socket is the handler's again
    c.close_as_handler();
    client.join();
    EXPECT_EQ(client.received, Lines({"__OK__", "__OK__", "__OK__", "7.5"}));
  }
}

TEST(StartFunction, LowerCaseCommandWord) {
  Conversation c(PROCESS_POOL);
  Client client = {c.pair.far_end, {"1", "4"}, {}, {}};
  client.start();
  std::string line = start("add_scaled", 1);
  for (size_t i = 0; i < strlen("START_FUNCTION"); i++) line[i] = tolower(line[i]);
  EXPECT_EQ(c.request(line), PROCESS_COMPLETED);
  shutdown(c.pair.near_end, SHUT_WR);
  client.join();
  EXPECT_EQ(client.received, Lines({"__OK__", "__OK__", "__OK__", "4"}));
}

// Runs ProcessRequest in a thread of its own, as a pool connection thread.
struct ConnectionThread {
  Conversation* c;
  std::string line;
  PROCESS_REQUEST_STATUS status;
  pthread_t thread;
  static void* run(void* p) {
    ConnectionThread* t = static_cast<ConnectionThread*>(p);
    t->status = t->c->request(t->line);
    return nullptr;
  }
  void start() { pthread_create(&thread, nullptr, run, this); }
  void join() { pthread_join(thread, nullptr); }
};

TEST(StartFunction, ScalarThreadInBothModels) {
  for (ExecutionModel model : {PROCESS_POOL, PROCESS_PER_USER}) {
    SCOPED_TRACE(model);
    CallbackPorts ports;
    Conversation c(model);
    Client client = {c.pair.far_end, {"2.5", "3"}, {}, {}};
    client.start();
    ConnectionThread t = {&c, start("slow_product", ports.callback->port), PROCESS_CONTINUES, {}};
    t.start();
    int stream = ports.stream->accept_one();
    ASSERT_GE(stream, 0);
    std::string value;
    ASSERT_TRUE(read_line(stream, &value));
    t.join();
    client.join();
    EXPECT_EQ(t.status, PROCESS_COMPLETED);
    ASSERT_GE(client.received.size(), 4u);
    std::string accepted = client.received[3];
    ASSERT_EQ(accepted.rfind("#THREAD_testmod_", 0), 0u) << accepted;
    std::string key = accepted.substr(strlen("#THREAD_"));
    EXPECT_EQ(value, "#THREAD_" + key + "=7.5");
    EXPECT_EQ(client.received.size(), 4u);
    EXPECT_EQ(c.hc.sock_desc, 0);  // the channel closed it
    wait_for_calls_to_end();
    close(stream);
  }
}

int user_runs() {
  int* runs = static_cast<int*>(dlsym(FS.fm_list->module_handle, "user_runs"));
  return runs == nullptr ? -1 : __atomic_load_n(runs, __ATOMIC_SEQ_CST);
}

// A call whose client leaves before its arguments and end-of-arguments line
// are through: nothing more is acknowledged, the user function never runs,
// and the next call is served as if nothing had happened. Functions,
// threads and streams.
TEST(StartFunction, AbandonedCallsNeverRunTheUserFunction) {
  const struct {
    const char* function;
    Lines units;  // sent before the client leaves, each answered "__OK__"
  } cases[] = {
      {"add_scaled", {}}, {"add_scaled", {"2.5"}}, {"add_scaled", {"2.5", "3"}},
      {"slow_product", {"2.5"}}, {"slow_product", {"2.5", "3"}},
      {"count_up", {}}, {"count_up", {"3"}},
  };
  for (ExecutionModel model : {PROCESS_POOL, PROCESS_PER_USER}) {
    for (const auto& k : cases) {
      SCOPED_TRACE(std::string(k.function) + " after " + std::to_string(k.units.size()) +
                   (model == PROCESS_POOL ? " pool" : " per-user"));
      int runs = user_runs();
      Conversation c(model);
      ConnectionThread t = {&c, start(k.function, 1), PROCESS_CONTINUES, {}};
      t.start();
      EXPECT_EQ(c.reply(), "__OK__");
      for (const std::string& unit : k.units) {
        write_line(c.pair.far_end, unit);
        EXPECT_EQ(c.reply(), "__OK__");
      }
      shutdown(c.pair.far_end, SHUT_WR);
      t.join();
      EXPECT_EQ(t.status, PROCESS_COMPLETED);
      wait_for_calls_to_end();
      EXPECT_EQ(user_runs(), runs);
      EXPECT_EQ(c.hc.sock_desc, 0);
      EXPECT_EQ(c.reply(), "<none>");

      Conversation next(model);
      Client client = {next.pair.far_end, {"2.5", "3"}, {}, {}};
      client.start();
      EXPECT_EQ(next.request(start("add_scaled", 1)), PROCESS_COMPLETED);
      next.close_as_handler();
      client.join();
      EXPECT_EQ(client.received, Lines({"__OK__", "__OK__", "__OK__", "7.5"}));
      EXPECT_EQ(user_runs(), runs + 1);
    }
  }
}

TEST(StartFunction, ScalarStreamPerUser) {
  CallbackPorts ports;
  Conversation c(PROCESS_PER_USER);
  Client client = {c.pair.far_end, {"3"}, {}, {}};
  client.start();
  EXPECT_EQ(c.request(start("count_up", ports.callback->port)), PROCESS_COMPLETED);
  client.join();
  ASSERT_EQ(client.received.size(), 3u);
  std::string key = client.received[2].substr(strlen("#STREAM_"));
  int stream = ports.stream->accept_one();
  ASSERT_GE(stream, 0);
  EXPECT_EQ(read_lines(stream, 1000), Lines({"#STREAM_" + key + "=1", "#STREAM_" + key + "=2",
                                             "#STREAM_" + key + "=3", "#STREAM_" + key}));
  wait_for_calls_to_end();
  close(stream);
}

TEST(StartFunction, NonScalarThreadDeliversOverItsOwnConnection) {
  CallbackPorts ports;
  Conversation c(PROCESS_PER_USER);
  Client client = {c.pair.far_end, {"7", "2", "0", "0"}, {}, {}};
  client.start();
  EXPECT_EQ(c.request(start("fill_range", ports.callback->port)), PROCESS_COMPLETED);
  client.join();
  ASSERT_GE(client.received.size(), 6u);
  std::string key = client.received[5].substr(strlen("#THREAD_"));
  int delivery = ports.callback->accept_one();
  ASSERT_GE(delivery, 0);
  Lines got;
  std::string line;
  while (read_line(delivery, &line, 2000)) {
    got.push_back(line);
    write_line(delivery, "ack");
    if (got.size() == 5) write_line(delivery, "closing");
  }
  EXPECT_EQ(got, Lines({"#THREAD_" + key + "~1", "2", "0.5", "1.5", "7"}));
  wait_for_calls_to_end();
  close(delivery);
}

TEST(StartFunction, StopThreadEndsALiveStream) {
  CallbackPorts ports;
  Conversation c(PROCESS_PER_USER);
  Client client = {c.pair.far_end, {}, {}, {}};
  client.start();
  EXPECT_EQ(c.request(start("ticker", ports.callback->port)), PROCESS_COMPLETED);
  client.join();
  ASSERT_EQ(client.received.size(), 2u);
  std::string key = client.received[1].substr(strlen("#STREAM_"));
  int stream = ports.stream->accept_one();
  ASSERT_GE(stream, 0);
  std::string line;
  ASSERT_TRUE(read_line(stream, &line));
  EXPECT_EQ(line, "#STREAM_" + key + "=0");

  Conversation stop(PROCESS_PER_USER);
  EXPECT_EQ(stop.request("stop_thread~" + key), PROCESS_CONTINUES);
  EXPECT_EQ(stop.reply(), "__OK__");
  wait_for_calls_to_end();
  Lines rest = read_lines(stream, 500);
  ASSERT_FALSE(rest.empty());
  EXPECT_EQ(rest.back(), "#STREAM_" + key);  // the stream's end text
  close(stream);
}

// The client's call-back port for a live thread that delivers over
// connections of its own: every connection's lines, acknowledged.
struct DeliveryListener {
  Listener* listener;
  std::vector<Lines> deliveries;
  bool ended = false;
  pthread_t thread;
  static void* run(void* p) {
    DeliveryListener* d = static_cast<DeliveryListener*>(p);
    for (int i = 0; i < 3000 && !d->ended; i++) {
      int s = d->listener->accept_one(3000);
      if (s < 0) break;
      Lines lines;
      std::string line;
      while (read_line(s, &line, 2000)) {
        lines.push_back(line);
        write_line(s, "ack");
      }
      close(s);
      if (!lines.empty() && lines[0].find("~-1") != std::string::npos) d->ended = true;
      d->deliveries.push_back(lines);
    }
    return nullptr;
  }
  void start() { pthread_create(&thread, nullptr, run, this); }
  void join() { pthread_join(thread, nullptr); }
};

TEST(StartFunction, StopThreadEndsADeliveringStream) {
  CallbackPorts ports;
  DeliveryListener listener = {ports.callback, {}, false, {}};
  listener.start();
  Conversation c(PROCESS_PER_USER);
  Client client = {c.pair.far_end, {}, {}, {}};
  client.start();
  EXPECT_EQ(c.request(start("range_ticker", ports.callback->port)), PROCESS_COMPLETED);
  client.join();
  ASSERT_EQ(client.received.size(), 2u);
  std::string key = client.received[1].substr(strlen("#STREAM_"));
  usleep(100000);
  Conversation stop(PROCESS_PER_USER);
  EXPECT_EQ(stop.request("stop_thread~" + key), PROCESS_CONTINUES);
  EXPECT_EQ(stop.reply(), "__OK__");
  wait_for_calls_to_end();
  listener.join();
  ASSERT_GE(listener.deliveries.size(), 2u);
  EXPECT_EQ(listener.deliveries[0], Lines({"#STREAM_" + key + "~1", "1", "0.5"}));
  EXPECT_EQ(listener.deliveries.back(), Lines({"#STREAM_" + key + "~-1"}));
}

TEST(StartFunction, StubThatNeverReleasesTheClient) {
  Conversation c(PROCESS_PER_USER);
  Client client = {c.pair.far_end, {"1"}, {}, {}};
  client.start();
  EXPECT_EQ(c.request(start("fails_early", 1)), PROCESS_COMPLETED);
  client.join();
  EXPECT_EQ(client.received, Lines({"__OK__", "__OK__"}));  // then the connection ends
  EXPECT_EQ(c.hc.sock_desc, 0);
  wait_for_calls_to_end();
}

// A stream whose client has stopped reading its stream connection: the
// call's sends give up at the call-back time limit, so a stop still ends it.
TEST(StartFunction, StopEndsAStreamWhoseClientDoesNotRead) {
  CallbackPorts ports;
  int small = 4096;
  setsockopt(ports.stream->fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
  Conversation c(PROCESS_PER_USER);
  Client client = {c.pair.far_end, {}, {}, {}};
  client.start();
  EXPECT_EQ(c.request(start("flood", ports.callback->port)), PROCESS_COMPLETED);
  client.join();
  ASSERT_EQ(client.received.size(), 2u);
  std::string key = client.received[1].substr(strlen("#STREAM_"));
  int stream = ports.stream->accept_one();
  ASSERT_GE(stream, 0);
  usleep(300 * 1000);  // the stream fills both socket buffers; nobody reads
  Conversation stop(PROCESS_PER_USER);
  EXPECT_EQ(stop.request("stop_thread~" + key), PROCESS_CONTINUES);
  EXPECT_EQ(stop.reply(), "__OK__");
  wait_for_calls_to_end();
  close(stream);
}

TEST(StartFunction, StopThreadInThePoolModel) {
  CallbackPorts ports;
  Conversation c(PROCESS_POOL);
  Client client = {c.pair.far_end, {}, {}, {}};
  client.start();
  ConnectionThread t = {&c, start("ticker", ports.callback->port), PROCESS_CONTINUES, {}};
  t.start();
  client.join();
  ASSERT_EQ(client.received.size(), 2u);
  std::string key = client.received[1].substr(strlen("#STREAM_"));
  int stream = ports.stream->accept_one();
  ASSERT_GE(stream, 0);
  std::string line;
  ASSERT_TRUE(read_line(stream, &line));

  Conversation other(PROCESS_POOL);
  EXPECT_EQ(other.request("stop_thread~" + key), PROCESS_CONTINUES);
  EXPECT_EQ(other.reply(), "__OK__");
  t.join();  // the connection thread ends with its call
  EXPECT_EQ(c.hc.sock_desc, 0);
  wait_for_calls_to_end();
  Lines rest = read_lines(stream, 500);
  ASSERT_FALSE(rest.empty());
  EXPECT_EQ(rest.back(), "#STREAM_" + key);
  close(stream);
}

}  // namespace
