// Reloading a running server (SIGUSR2, the settings file, the file watch):
// calls go on while the definition files and libraries change under them,
// the new code takes over once the summary line is out, a file that fails
// keeps its module, and stamps tell workbooks which modules changed.
//
// Libraries (tests/reload/): reload_calc's calc answers 1000 + x in
// version 1 and 2000 + x in version 2; reload_grow has twice, thrice (only
// declared after a change), the thread slow_twice and the stream count_to,
// both of which run until a release file exists.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "e2e_support.h"

namespace {

typedef std::chrono::steady_clock Clock;

// A reload compiles the stubs of changed files: a busy machine needs time.
const int kReloadMs = 120000;
const char kSummary[] = "Reload finished in ";

std::string calc_def(const std::string& library) {
  return "LIBRARIES {\n  " + library + ";\n}\nFUNCTIONS {\n  int calc (int x);\n}\n";
}

// reload_grow: twice, the thread and the stream, and thrice once it has grown.
std::string grow_def(bool grown, const std::string& library = VELMOR_RELOAD_GROW_LIB) {
  return "LIBRARIES {\n  " + library + ";\n}\nFUNCTIONS {\n  int twice (int x);\n" +
         (grown ? "  int thrice (int x);\n" : "") +
         "}\nTHREADS {\n  int slow_twice (int x, string release);\n}\n"
         "STREAMS {\n  int count_to (ExcelChannel<int> value, int step_ms, string release);\n}\n";
}

std::string more_def() {
  return std::string("LIBRARIES {\n  ") + VELMOR_RELOAD_GROW_LIB +
         ";\n}\nFUNCTIONS {\n  int thrice (int x);\n}\n";
}

// Writes a new file and renames it over path, as a deployment must: a file
// written in place would change under the processes that have it mapped.
bool replace_file(const std::string& path, const std::string& text) {
  std::string fresh = path + ".new";
  {
    std::ofstream out(fresh, std::ios::binary);
    out << text;
    if (!out) return false;
  }
  return rename(fresh.c_str(), path.c_str()) == 0;
}

bool replace_with_copy(const std::string& from, const std::string& path) {
  return replace_file(path, read_file(from));
}

// Dates a file a minute back, so that an edit within the same second still
// gives it a later time, hence a new stamp.
bool date_back(const std::string& path) {
  struct timeval earlier[2];
  gettimeofday(&earlier[0], nullptr);
  earlier[0].tv_sec -= 60;
  earlier[1] = earlier[0];
  return utimes(path.c_str(), earlier) == 0;
}

// Polls (bounded) the server's log from `from` on until it holds text;
// *said gets the log from `from` on.
bool log_gets(const ServerProcess& server, size_t from, const std::string& text, int timeout_ms,
              std::string* said) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    *said = server.log_since(from);
    if (said->find(text) != std::string::npos) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// The summary line of a reload's log, without its time.
std::string summary_counts(const std::string& said) {
  size_t at = said.find(kSummary);
  if (at == std::string::npos) return "<no summary>";
  size_t colon = said.find(": ", at);
  size_t end = said.find('\n', at);
  return colon == std::string::npos ? "<no counts>" : said.substr(colon + 2, end - colon - 2);
}

// Asks for a reload and waits for its summary line; *said gets what the
// server logged meanwhile.
bool reload(ServerProcess* server, std::string* said) {
  size_t from = server->log_size();
  if (kill(server->pid(), SIGUSR2) != 0) return false;
  return log_gets(*server, from, kSummary, kReloadMs, said);
}

// The worker process a call's key names ("prefix_number_pid_thread").
pid_t key_process(const std::string& key) {
  size_t thread = key.rfind('_');
  size_t pid = thread == std::string::npos || thread == 0 ? std::string::npos : key.rfind('_', thread - 1);
  return pid == std::string::npos ? 0 : static_cast<pid_t>(atol(key.substr(pid + 1, thread - pid - 1).c_str()));
}

// Waits (bounded) until the process is gone.
bool process_ends(pid_t pid, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += 50) {
    if (kill(pid, 0) != 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string server_stamp(E2EClient* client, const std::string& module) {
  std::string stamp, error;
  if (!client->session()->server_stamp(module, &stamp, &error)) return "<" + error + ">";
  return stamp;
}

class Reload : public ::testing::TestWithParam<ModelParam> {
 protected:
  // Starts a server over the given definition files, dated back; `env`
  // goes to its environment.
  void start(const std::vector<std::pair<std::string, std::string>>& defs,
             const std::vector<std::pair<std::string, std::string>>& env = {}) {
    ServerProcess::Options o;
    o.def_texts = defs;
    o.env = env;
    o.per_user = GetParam().per_user;
    o.max_processes = GetParam().max_processes;
    ASSERT_TRUE(server_.prepare(o));
    for (const auto& d : defs) ASSERT_TRUE(date_back(server_.def_path(d.first)));
    ASSERT_TRUE(server_.start()) << server_.log();
  }
  std::string path(const std::string& name) const { return server_.root() + "/" + name; }

  ServerProcess server_;
};

// One plain call of a load thread, and when it started.
struct Answer {
  Clock::time_point started;
  bool ok;
  std::string text;
};

// Calls calc(x) without pause until told to stop. Typed beforehand: the
// client's declaration parser serves one thread at a time.
void keep_calling(int port, const CallSignature* calc, int x, const std::string& stamp,
                  const std::atomic<bool>* stop, std::vector<Answer>* answers, std::atomic<int>* count) {
  VelmorSession session("127.0.0.1", port, 20000);
  while (!*stop) {
    Answer a;
    a.started = Clock::now();
    CallOutcome out;
    std::string error;
    a.ok = session.call("reload_calc", *calc, {Value::leaf(std::to_string(x))}, stamp, &out, &error);
    a.text = !a.ok ? error : out.out_of_date ? "_OUT_OF_DATE_" : format_value(calc->result, out.result);
    answers->push_back(a);
    (*count)++;
  }
}

// Waits (bounded) until every counter has reached its target.
bool counts_reach(const std::vector<std::atomic<int>>& counts, const std::vector<int>& targets) {
  auto deadline = Clock::now() + std::chrono::seconds(60);
  for (;;) {
    bool all = true;
    for (size_t i = 0; i < counts.size(); i++) all = all && counts[i] >= targets[i];
    if (all) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Four clients call calc without pause, a stream counts and a thread waits
// while reload_grow gains thrice and calc's library is replaced by version
// 2: no call fails or answers anything but version 1 or 2, version 2 from
// the summary line on, the stream delivers every value and its end, the
// thread its result, and the stamps say which module changed.
TEST_P(Reload, UnderLoadNoCallIsLostAndTheNewCodeTakesOver) {
  const std::string calc_lib = path("calc.so");
  ASSERT_TRUE(replace_with_copy(VELMOR_RELOAD_V1_LIB, calc_lib));
  ASSERT_NO_FATAL_FAILURE(start({{"reload_calc", calc_def(calc_lib)}, {"reload_grow", grow_def(false)}}));
  E2EClient client(&server_);
  const std::string calc_stamp = server_stamp(&client, "reload_calc");
  std::string grow_stamp, error;
  ASSERT_TRUE(client.session()->module_stamp("reload_grow", &grow_stamp, &error)) << error;

  const std::string release = path("release");
  E2EClient listener(&server_);
  CallPrint ticks = listener.call("reload_grow", "count_to", {"20", release}, grow_stamp);
  ASSERT_TRUE(ticks.ok) << ticks.error << "\n" << server_.log();
  E2EClient waiter(&server_);
  CallPrint slow = waiter.call("reload_grow", "slow_twice", {"7", release}, grow_stamp);
  ASSERT_TRUE(slow.ok) << slow.error;
  CallPrint typed = client.call("reload_calc", "calc", {"0"}, calc_stamp);
  ASSERT_TRUE(typed.ok) << typed.error << "\n" << server_.log();
  EXPECT_EQ(typed.result, "1000");

  // From here on, threads run: no ASSERT until they are joined.
  std::vector<std::string> values;
  std::thread stream([&] { values = listener.deliveries(ticks, 10000, 20000); });
  const int kClients = 4;
  std::atomic<bool> stop(false);
  std::vector<std::vector<Answer>> answers(kClients);
  std::vector<std::atomic<int>> counts(kClients);
  std::vector<std::thread> load;
  for (int i = 0; i < kClients; i++) {
    counts[i] = 0;
    load.emplace_back(keep_calling, server_.port(), &typed.sig, i, calc_stamp, &stop, &answers[i], &counts[i]);
  }
  EXPECT_TRUE(counts_reach(counts, std::vector<int>(kClients, 5)));

  bool changed = replace_file(server_.def_path("reload_grow"), grow_def(true)) &&
                 replace_with_copy(VELMOR_RELOAD_V2_LIB, calc_lib);
  std::string said;
  bool reloaded = changed && reload(&server_, &said);
  Clock::time_point committed = Clock::now();
  // The load goes on for a while on the new registry.
  std::vector<int> targets;
  for (const auto& c : counts) targets.push_back(c + 20);
  EXPECT_TRUE(counts_reach(counts, targets));
  stop = true;
  for (std::thread& t : load) t.join();
  std::ofstream(release) << "go";
  stream.join();
  ASSERT_TRUE(changed);
  ASSERT_TRUE(reloaded) << said;
  EXPECT_EQ(summary_counts(said),
            "2 module(s) reloaded (1 changed), 0 added, 0 removed, 0 kept after an error, 0 not loaded")
      << said;

  for (int i = 0; i < kClients; i++) {
    SCOPED_TRACE("client " + std::to_string(i));
    const std::string v1 = std::to_string(1000 + i), v2 = std::to_string(2000 + i);
    int old_answers = 0, failures = 0, strangers = 0, late_old = 0;
    for (const Answer& a : answers[i]) {
      if (!a.ok) {
        if (failures++ == 0) ADD_FAILURE() << "a call failed: " << a.text;
      } else if (a.text != v1 && a.text != v2) {
        if (strangers++ == 0) ADD_FAILURE() << "neither version's answer: " << a.text;
      } else if (a.text == v1) {
        old_answers++;
        if (a.started > committed && late_old++ == 0)
          ADD_FAILURE() << "version 1 answered a call made after the summary line";
      }
    }
    EXPECT_GT(old_answers, 0);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(strangers, 0);
    EXPECT_EQ(late_old, 0);
  }

  // The thread that ran through the reload delivers its result.
  EXPECT_EQ(waiter.deliveries(slow, 1, 20000), std::vector<std::string>{"14"});
  // 1, 2, ..., n without a gap, then the end.
  ASSERT_GE(values.size(), 7u) << ::testing::PrintToString(values);
  EXPECT_EQ(values.back(), "END") << ::testing::PrintToString(values);
  for (size_t k = 0; k + 1 < values.size(); k++)
    if (values[k] != std::to_string(k + 1)) {
      ADD_FAILURE() << "value " << k + 1 << " is " << values[k] << ": "
                    << ::testing::PrintToString(values);
      break;
    }

  // The grown module answers thrice; its stamp changed, calc's did not.
  CallPrint grown = client.call("reload_grow", "thrice", {"5"});
  ASSERT_TRUE(grown.ok) << grown.error << "\n" << server_.log();
  EXPECT_EQ(grown.result, "15");
  EXPECT_FALSE(grown.out_of_date);
  EXPECT_EQ(server_stamp(&client, "reload_calc"), calc_stamp);
  std::string new_grow_stamp;
  ASSERT_TRUE(client.session()->module_stamp("reload_grow", &new_grow_stamp, &error)) << error;
  EXPECT_NE(new_grow_stamp, grow_stamp);
  EXPECT_EQ(server_stamp(&client, "reload_grow"), new_grow_stamp);
  // A workbook built from the old module is told to fetch the new one.
  CallPrint stale = client.call("reload_grow", "twice", {"4"}, grow_stamp);
  ASSERT_TRUE(stale.ok) << stale.error;
  EXPECT_TRUE(stale.out_of_date);
  CallPrint calc = client.call("reload_calc", "calc", {"7"}, calc_stamp);
  ASSERT_TRUE(calc.ok) << calc.error;
  EXPECT_FALSE(calc.out_of_date);
  EXPECT_EQ(calc.result, "2007");
}

// A definition file that fails keeps its module as it was (its calls
// answer, its stamp stays, the log names the file and why); once fixed, the
// next reload loads it.
TEST_P(Reload, AFileThatFailsKeepsItsModuleUntilFixed) {
  ASSERT_NO_FATAL_FAILURE(start({{"reload_calc", calc_def(VELMOR_RELOAD_V1_LIB)}, {"reload_grow", grow_def(false)}}));
  const std::string grow = server_.def_path("reload_grow");
  // The server's copy is broken on purpose; calls are typed by a good one.
  const std::string typing = path("typing.def");
  ASSERT_TRUE(replace_file(typing, grow_def(true)));
  E2EClient client(&server_);
  client.type_by("reload_grow", typing);
  const std::string stamp = server_stamp(&client, "reload_grow");
  const std::string calc_stamp = server_stamp(&client, "reload_calc");

  const std::string grown = grow_def(true);
  const struct {
    const char* what;
    std::string text;
    const char* reason;
  } cases[] = {
      {"syntax error", grown.substr(0, grown.find("int thrice (int x);")) + "int thrice (int x;\n}\n",
       "it does not parse: "},
      {"missing library", grow_def(true, path("missing.so")), "its library does not load: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(replace_file(grow, c.text));
    std::string said;
    ASSERT_TRUE(reload(&server_, &said)) << said;
    EXPECT_NE(said.find("Reload: keeping the module reload_grow of " + grow + " as it was: " + c.reason),
              std::string::npos)
        << said;
    EXPECT_EQ(summary_counts(said),
              "1 module(s) reloaded (0 changed), 0 added, 0 removed, 1 kept after an error, 0 not loaded")
        << said;
    CallPrint kept = client.call("reload_grow", "twice", {"4"}, stamp);
    ASSERT_TRUE(kept.ok) << kept.error << "\n" << said;
    EXPECT_EQ(kept.result, "8");
    EXPECT_FALSE(kept.out_of_date);
    CallPrint absent = client.call("reload_grow", "thrice", {"4"}, stamp);
    EXPECT_FALSE(absent.ok && absent.result == "12") << "thrice came in with a file that failed";
    EXPECT_EQ(server_stamp(&client, "reload_grow"), stamp);
    // The VBA module workbooks fetch is still the old one.
    std::string served;
    std::string error;
    ASSERT_TRUE(client.session()->module_stamp("reload_grow", &served, &error)) << error;
    EXPECT_EQ(served, stamp);
  }

  ASSERT_TRUE(replace_file(grow, grown));
  std::string said;
  ASSERT_TRUE(reload(&server_, &said)) << said;
  EXPECT_EQ(summary_counts(said),
            "2 module(s) reloaded (1 changed), 0 added, 0 removed, 0 kept after an error, 0 not loaded")
      << said;
  CallPrint fixed = client.call("reload_grow", "thrice", {"4"});
  ASSERT_TRUE(fixed.ok) << fixed.error << "\n" << said;
  EXPECT_EQ(fixed.result, "12");
  EXPECT_NE(server_stamp(&client, "reload_grow"), stamp);
  EXPECT_EQ(server_stamp(&client, "reload_calc"), calc_stamp);
}

// VELMOR_DEFINITIONS of the settings file is read again at every reload: a
// file added there is loaded (unless it fails, which is said), one taken
// out is removed and its calls fail; the command line's files stay.
TEST_P(Reload, TheSettingsFileAddsAndRemovesFiles) {
  const std::string settings = path("velmord.settings");
  const std::string calc = server_.def_path("reload_calc");
  const std::string more = server_.def_path("reload_more");
  ASSERT_TRUE(replace_file(settings, "# loaded at start-up\nVELMOR_DEFINITIONS=\"" + calc + "\"\n"));
  // Written beside the command line's file, but named only by the settings file.
  ASSERT_EQ(mkdir((server_.root() + "/defs").c_str(), 0755), 0);
  ASSERT_TRUE(replace_file(calc, calc_def(VELMOR_RELOAD_V1_LIB)));
  ASSERT_TRUE(replace_file(more, more_def()));
  ASSERT_NO_FATAL_FAILURE(start({{"reload_grow", grow_def(false)}}, {{"VELMOR_SETTINGS", settings}}));

  E2EClient client(&server_);
  CallPrint at_start = client.call("reload_calc", "calc", {"3"});
  ASSERT_TRUE(at_start.ok) << at_start.error << "\n" << server_.log();
  EXPECT_EQ(at_start.result, "1003");
  const std::string calc_stamp = server_stamp(&client, "reload_calc");

  ASSERT_TRUE(replace_file(settings, "VELMOR_DEFINITIONS='" + more + "'\n"));
  std::string said;
  ASSERT_TRUE(reload(&server_, &said)) << said;
  EXPECT_NE(said.find("Reload: module reload_calc of " + calc + " removed"), std::string::npos) << said;
  EXPECT_EQ(summary_counts(said),
            "1 module(s) reloaded (0 changed), 1 added, 1 removed, 0 kept after an error, 0 not loaded")
      << said;
  CallPrint added = client.call("reload_more", "thrice", {"3"});
  ASSERT_TRUE(added.ok) << added.error << "\n" << said;
  EXPECT_EQ(added.result, "9");
  CallPrint gone = client.call("reload_calc", "calc", {"3"}, calc_stamp);
  EXPECT_FALSE(gone.ok && gone.result == "1003") << "a removed module still answers";
  EXPECT_EQ(server_stamp(&client, "reload_calc").compare(0, 1, "<"), 0) << "the removed module has a stamp";
  CallPrint kept = client.call("reload_grow", "twice", {"3"});
  ASSERT_TRUE(kept.ok) << kept.error;
  EXPECT_EQ(kept.result, "6");

  // Back again, with the other one beside it, and a new file that fails:
  // all listed, blank-separated.
  const std::string broken = server_.def_path("reload_broken");
  ASSERT_TRUE(replace_file(broken, "FUNCTIONS {\n  int twice (int x;\n}\n"));
  ASSERT_TRUE(replace_file(settings, "VELMOR_DEFINITIONS=\"" + more + "  " + calc + " " + broken + "\"\n"));
  ASSERT_TRUE(reload(&server_, &said)) << said;
  EXPECT_NE(said.find("Reload: " + broken + " is not loaded: it does not parse: "), std::string::npos)
      << said;
  EXPECT_EQ(summary_counts(said),
            "2 module(s) reloaded (0 changed), 1 added, 0 removed, 0 kept after an error, 1 not loaded")
      << said;
  CallPrint back = client.call("reload_calc", "calc", {"3"});
  ASSERT_TRUE(back.ok) << back.error << "\n" << said;
  EXPECT_EQ(back.result, "1003");
}

// A stream started before a reload runs on in a worker the reload retired;
// a stop_thread sent after the reload must still reach it there.
TEST_P(Reload, AStreamOfARetiredWorkerCanStillBeStopped) {
  ASSERT_NO_FATAL_FAILURE(start({{"reload_grow", grow_def(false)}}));
  E2EClient client(&server_);
  CallPrint ticks = client.call("reload_grow", "count_to", {"50", path("never")});
  ASSERT_TRUE(ticks.ok) << ticks.error << "\n" << server_.log();
  ASSERT_EQ(client.deliveries(ticks, 1, 10000).size(), 1u);
  ASSERT_TRUE(replace_file(server_.def_path("reload_grow"), grow_def(true)));
  std::string said;
  ASSERT_TRUE(reload(&server_, &said)) << said;
  // The values of the reload's time wait in the client's queue: take them
  // until one has to be waited for, so that what comes after the stop is
  // what the stream sent after it.
  bool live = false;
  for (int i = 0; i < 2000 && !live; i++) {
    auto asked = Clock::now();
    std::vector<std::string> one = client.deliveries(ticks, 1, 10000);
    ASSERT_EQ(one.size(), 1u);
    ASSERT_NE(one[0], "END");
    ASSERT_EQ(one[0].rfind("ERROR", 0), std::string::npos) << one[0];
    live = Clock::now() - asked > std::chrono::milliseconds(20);
  }
  ASSERT_TRUE(live);

  std::string error;
  ASSERT_TRUE(client.session()->stop_thread(ticks.key, &error)) << error;
  // A value or two may have been on their way; then the end, well before
  // the three seconds the stream would otherwise fill.
  std::vector<std::string> after = client.deliveries(ticks, 60, 5000);
  ASSERT_FALSE(after.empty());
  EXPECT_TRUE(after.back() == "END" || after.back().rfind("ERROR", 0) == 0)
      << ::testing::PrintToString(after) << "\n" << server_.log();
  EXPECT_LE(after.size(), 3u) << ::testing::PrintToString(after);
}

// The server's stop (SIGHUP) ends the workers a reload retired too, with
// the streams they still run: none is left behind the server.
TEST_P(Reload, StoppingTheServerEndsTheWorkersOfEarlierRegistries) {
  ASSERT_NO_FATAL_FAILURE(start({{"reload_grow", grow_def(false)}}));
  E2EClient client(&server_);
  CallPrint ticks = client.call("reload_grow", "count_to", {"50", path("never")});
  ASSERT_TRUE(ticks.ok) << ticks.error << "\n" << server_.log();
  ASSERT_EQ(client.deliveries(ticks, 1, 10000).size(), 1u);
  pid_t retired = key_process(ticks.key);
  ASSERT_GT(retired, 0) << ticks.key;
  ASSERT_TRUE(replace_file(server_.def_path("reload_grow"), grow_def(true)));
  std::string said;
  ASSERT_TRUE(reload(&server_, &said)) << said;
  ASSERT_EQ(kill(retired, 0), 0) << "the stream's worker did not wait for its stream";

  ASSERT_EQ(kill(server_.pid(), SIGHUP), 0);
  int status = 0;
  ASSERT_TRUE(server_.wait_exit(30000, &status)) << server_.log();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  bool ended = process_ends(retired, 10000);
  if (!ended) kill(retired, SIGKILL);
  EXPECT_TRUE(ended) << "a retired worker outlived its server";
}

// A definition file written again while a reload rebuilds it: the server
// ends up serving what the file finally says, whichever reload reads it.
TEST_P(Reload, AFileChangedDuringItsRebuildEndsUpServedAsItEnds) {
  ASSERT_NO_FATAL_FAILURE(start({{"reload_grow", grow_def(false)}}));
  const std::string grow = server_.def_path("reload_grow");
  // Finally: thrice without twice.
  const std::string final_text = std::string("LIBRARIES {\n  ") + VELMOR_RELOAD_GROW_LIB +
                                 ";\n}\nFUNCTIONS {\n  int thrice (int x);\n}\n";
  const std::string typing = path("typing.def");
  ASSERT_TRUE(replace_file(typing, grow_def(true)));
  E2EClient client(&server_);
  client.type_by("reload_grow", typing);

  ASSERT_TRUE(replace_file(grow, grow_def(true)));
  size_t from = server_.log_size();
  ASSERT_EQ(kill(server_.pid(), SIGUSR2), 0);
  std::string said;
  ASSERT_TRUE(log_gets(server_, from, "Reload asked for", kReloadMs, &said)) << said;
  ASSERT_TRUE(replace_file(grow, final_text));

  // Bounded: every reload the change brings about is over within kReloadMs.
  auto deadline = Clock::now() + std::chrono::milliseconds(kReloadMs);
  bool settled = false;
  while (!settled && Clock::now() < deadline) {
    CallPrint thrice = client.call("reload_grow", "thrice", {"2"});
    CallPrint twice = client.call("reload_grow", "twice", {"2"});
    settled = thrice.ok && !thrice.out_of_date && thrice.result == "6" &&
              !(twice.ok && twice.result == "4");
    if (!settled) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_TRUE(settled) << server_.log_since(from);
}

// With VELMOR_WATCH=yes (here from the settings file) the server reloads by
// itself once a watched file has stopped changing: a library renamed over
// its old version, a definition file written anew. The library's directory
// also holds the server's log, which changes all the time and must not count.
TEST_P(Reload, TheWatchReloadsByItself) {
  const std::string settings = path("velmord.settings");
  ASSERT_TRUE(replace_file(settings, "VELMOR_WATCH=yes\n"));
  const std::string calc_lib = path("calc.so");
  ASSERT_TRUE(replace_with_copy(VELMOR_RELOAD_V1_LIB, calc_lib));
  ASSERT_NO_FATAL_FAILURE(start({{"reload_calc", calc_def(calc_lib)}, {"reload_grow", grow_def(false)}},
                                {{"VELMOR_SETTINGS", settings}}));
  E2EClient client(&server_);
  const std::string calc_stamp = server_stamp(&client, "reload_calc");
  CallPrint before = client.call("reload_calc", "calc", {"7"}, calc_stamp);
  ASSERT_TRUE(before.ok) << before.error << "\n" << server_.log();
  EXPECT_EQ(before.result, "1007");

  const std::string grow = server_.def_path("reload_grow");
  const struct {
    const char* what;
    std::string from, text, module, function, expected;
  } cases[] = {
      {"library renamed over", VELMOR_RELOAD_V2_LIB, "", "reload_calc", "calc", "2007"},
      {"definition file written anew", "", grow_def(true), "reload_grow", "thrice", "21"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    size_t from = server_.log_size();
    ASSERT_TRUE(c.from.empty() ? replace_file(grow, c.text) : replace_with_copy(c.from, calc_lib));
    std::string said;
    ASSERT_TRUE(log_gets(server_, from, kSummary, kReloadMs, &said)) << said;
    EXPECT_NE(said.find("Reload: a watched file changed"), std::string::npos) << said;
    CallPrint after = client.call(c.module, c.function, {"7"});
    ASSERT_TRUE(after.ok) << after.error << "\n" << said;
    EXPECT_EQ(after.result, c.expected);
  }
  // Quiet files, no reload: the log's own writes beside the library included.
  size_t from = server_.log_size();
  for (int i = 0; i < 5; i++) client.call("reload_calc", "calc", {"1"}, calc_stamp);
  std::string said;
  EXPECT_FALSE(log_gets(server_, from, "Reload asked for", 3000, &said)) << said;
}

// The stamp is the definition file's time in seconds: a new version written
// within the second of the version served, or dated further back (cp -p of
// an older file), must still give the module a stamp no workbook has seen,
// or a workbook built from the old module would call the new one unwarned.
TEST_P(Reload, AChangedFileAlwaysGetsANewStamp) {
  ASSERT_NO_FATAL_FAILURE(start({{"reload_grow", grow_def(false)}}));
  const std::string grow = server_.def_path("reload_grow");
  E2EClient client(&server_);
  const struct {
    const char* what;
    long seconds_from_served;  // the new version's time against the served one's
    bool grown;
  } cases[] = {
      {"within the same second", 0, true},
      {"dated back before the version served", -30, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string served = server_stamp(&client, "reload_grow");
    struct stat before;
    ASSERT_EQ(stat(grow.c_str(), &before), 0);
    ASSERT_TRUE(replace_file(grow, grow_def(c.grown)));
    struct timeval times[2] = {{before.st_mtime + c.seconds_from_served, 0},
                               {before.st_mtime + c.seconds_from_served, 0}};
    ASSERT_EQ(utimes(grow.c_str(), times), 0);
    std::string said;
    ASSERT_TRUE(reload(&server_, &said)) << said;
    EXPECT_NE(said.find("1 changed"), std::string::npos) << said;
    const std::string fresh = server_stamp(&client, "reload_grow");
    EXPECT_NE(fresh, served) << said;
    CallPrint stale = client.call("reload_grow", "twice", {"4"}, served);
    ASSERT_TRUE(stale.ok) << stale.error;
    EXPECT_TRUE(stale.out_of_date) << "a workbook of the old module was not told";
    CallPrint current = client.call("reload_grow", "twice", {"4"}, fresh);
    ASSERT_TRUE(current.ok) << current.error;
    EXPECT_FALSE(current.out_of_date);
    EXPECT_EQ(current.result, "8");
  }
}

// A file that now names another library: the new workers load that one
// only. The one it named before may be gone from disk by then.
TEST_P(Reload, ALibraryNoLongerListedIsNoLongerLoaded) {
  const std::string before = path("calc_old.so"), after = path("calc_new.so");
  ASSERT_TRUE(replace_with_copy(VELMOR_RELOAD_V1_LIB, before));
  ASSERT_NO_FATAL_FAILURE(start({{"reload_calc", calc_def(before)}}));
  E2EClient client(&server_);
  CallPrint first = client.call("reload_calc", "calc", {"1"});
  ASSERT_TRUE(first.ok) << first.error << "\n" << server_.log();
  EXPECT_EQ(first.result, "1001");

  ASSERT_TRUE(replace_with_copy(VELMOR_RELOAD_V2_LIB, after));
  ASSERT_TRUE(replace_file(server_.def_path("reload_calc"), calc_def(after)));
  ASSERT_EQ(unlink(before.c_str()), 0);
  size_t from = server_.log_size();
  std::string said;
  ASSERT_TRUE(reload(&server_, &said)) << said;
  CallPrint second = client.call("reload_calc", "calc", {"1"});
  ASSERT_TRUE(second.ok) << second.error << "\n" << server_.log_since(from);
  EXPECT_EQ(second.result, "2001");
  EXPECT_EQ(server_.log_since(from).find(before), std::string::npos) << server_.log_since(from);
}

INSTANTIATE_TEST_SUITE_P(Models, Reload,
                         ::testing::Values(ModelParam{false, 2, "Pool"}, ModelParam{true, 2, "PerUser"}),
                         [](const ::testing::TestParamInfo<ModelParam>& i) { return i.param.name; });

// A server that is its own only worker cannot swap its workers: it says so
// and serves on with what it has.
TEST(ReloadRefused, OneProcessServesOnWithItsRegistry) {
  ServerProcess server;
  ServerProcess::Options o;
  o.def_texts = {{"reload_grow", grow_def(false)}};
  o.max_processes = 1;
  ASSERT_TRUE(server.prepare(o));
  ASSERT_TRUE(date_back(server.def_path("reload_grow")));
  ASSERT_TRUE(server.start()) << server.log();
  ASSERT_TRUE(replace_file(server.def_path("reload_grow"), grow_def(true)));
  size_t from = server.log_size();
  ASSERT_EQ(kill(server.pid(), SIGUSR2), 0);
  std::string said;
  ASSERT_TRUE(log_gets(server, from, "Reload refused:", 20000, &said)) << said;
  EXPECT_EQ(said.find(kSummary), std::string::npos) << said;
  E2EClient client(&server);
  CallPrint still = client.call("reload_grow", "twice", {"5"});
  ASSERT_TRUE(still.ok) << still.error << "\n" << server.log();
  EXPECT_EQ(still.result, "10");
}

}  // namespace
