// Texts of scalar values on the channel, the acknowledgement rules, keys and
// tags.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <locale.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <string>

#include "channel_test_support.h"
#include "wrapper_support.hxx"

namespace {

struct Channel {
  SocketPair pair;
  DataExchange de;
  Channel() {
    de.SetSd(pair.near_end);
    de.SetModuleName("mod");
    snprintf(de.cinfo.function_key, sizeof(de.cinfo.function_key), "KEY");
  }
  ~Channel() { de.sd = 0; }  // the pair closes its own ends
};

struct TextCase {
  const char* what;
  std::function<int(DataExchange*)> send;
  const char* plain;
  const char* stream;
  const char* thread;
};

TEST(ValueText, ScalarTextsByReturnType) {
  const TextCase cases[] = {
      {"int", [](DataExchange* de) { int v = -42; return pack_and_send(de, v, 0); }, "-42",
       "#STREAM_KEY=-42", "#THREAD_KEY=-42"},
      {"long", [](DataExchange* de) { long v = 1234567890123L; return pack_and_send(de, v); },
       "1234567890123", "#STREAM_KEY=1234567890123", "#THREAD_KEY=1234567890123"},
      // Numbers in their shortest exact text, the same in every form.
      {"float", [](DataExchange* de) { float v = 2.5f; return pack_and_send(de, v); }, "2.5",
       "#STREAM_KEY=2.5", "#THREAD_KEY=2.5"},
      {"float small", [](DataExchange* de) { float v = 1.5e-8f; return pack_and_send(de, v); }, "1.5e-08",
       "#STREAM_KEY=1.5e-08", "#THREAD_KEY=1.5e-08"},
      {"double third", [](DataExchange* de) { double v = 1.0 / 3; return pack_and_send(de, v); },
       "0.3333333333333333", "#STREAM_KEY=0.3333333333333333", "#THREAD_KEY=0.3333333333333333"},
      {"double large", [](DataExchange* de) { double v = 1.2345678901234567e20; return pack_and_send(de, v); },
       "123456789012345667584", "#STREAM_KEY=123456789012345667584", "#THREAD_KEY=123456789012345667584"},
      {"double 7.5", [](DataExchange* de) { double v = 7.5; return pack_and_send(de, v); }, "7.5",
       "#STREAM_KEY=7.5", "#THREAD_KEY=7.5"},
      {"std::string", [](DataExchange* de) { return pack_and_send(de, std::string("a b=c")); },
       "a b=c", "#STREAM_KEY=a b=c", "#THREAD_KEY=a b=c"},
      {"char*", [](DataExchange* de) { char text[] = "hello"; char* p = text; return pack_and_send(de, p); },
       "hello", "#STREAM_KEY=hello", "#THREAD_KEY=hello"},
      {"const char*", [](DataExchange* de) { const char* p = "x~y"; return pack_and_send(de, p); },
       "x~y", "#STREAM_KEY=x~y", "#THREAD_KEY=x~y"},
      {"char* const", [](DataExchange* de) { char text[] = "m"; char* const p = text; return pack_and_send(de, p); },
       "m", "#STREAM_KEY=m", "#THREAD_KEY=m"},
      {"null qvtx_string", [](DataExchange* de) { const qvtx_string p = nullptr; return pack_and_send(de, p); },
       "", "#STREAM_KEY=", "#THREAD_KEY="},
      {"null char*", [](DataExchange* de) { char* p = nullptr; return pack_and_send(de, p); }, "",
       "#STREAM_KEY=", "#THREAD_KEY="},
      {"empty string", [](DataExchange* de) { return pack_and_send(de, std::string()); }, "",
       "#STREAM_KEY=", "#THREAD_KEY="},
      {"char", [](DataExchange* de) { char c = 'q'; return pack_and_send(de, c); }, "q",
       "#STREAM_KEY=q", "#THREAD_KEY=q"},
      {"char NUL", [](DataExchange* de) { char c = '\0'; return pack_and_send(de, c, 0); }, "",
       "#STREAM_KEY=", "#THREAD_KEY="},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::string line;
    {
      // A plain value is acknowledged: the ack is already waiting.
      Channel ch;
      write_line(ch.pair.far_end, "ack");
      EXPECT_GT(c.send(&ch.de), 0);
      ASSERT_TRUE(read_line(ch.pair.far_end, &line));
      EXPECT_EQ(line, c.plain);
      EXPECT_STREQ(ch.de.get_buffer(), "ack");  // the ack overwrote the unit
    }
    const struct { int return_type; const char* text; } prefixed[] = {
        {RETURN_SCALAR_STREAM, c.stream}, {RETURN_SCALAR_THREAD, c.thread}};
    for (const auto& p : prefixed) {
      // Stream and thread values are never acknowledged: a waiting line stays.
      Channel ch;
      ch.de.cinfo.return_type = p.return_type;
      write_line(ch.pair.far_end, "not an ack");
      EXPECT_GT(c.send(&ch.de), 0);
      ASSERT_TRUE(read_line(ch.pair.far_end, &line));
      EXPECT_EQ(line, p.text);
      std::string left;
      ASSERT_TRUE(read_line(ch.pair.near_end, &left));
      EXPECT_EQ(left, "not an ack");
    }
  }
}

TEST(ValueText, ReceivedTextsConvert) {
  const struct {
    const char* text;
    int as_int;
    long as_long;
    double as_double;
    float as_float;
    char as_char;
  } cases[] = {
      {"12abc", 12, 12, 12.0, 12.0f, '1'}, {"abc", 0, 0, 0.0, 0.0f, 'a'},    {"", 0, 0, 0.0, 0.0f, '\0'},
      {"-3.75", -3, -3, -3.75, -3.75f, '-'}, {"2.5e+06", 2, 2, 2500000.0, 2500000.0f, '2'},
      {"9876543210", (int)atoi("9876543210"), 9876543210L, 9876543210.0, 9876543210.0f, '9'},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Channel ch;
    for (int i = 0; i < 7; i++) write_line(ch.pair.far_end, c.text);
    int i = 1;
    long l = 1;
    double d = 1;
    float f = 1;
    std::string s = "old";
    char* p = nullptr;
    char one = 'z';
    EXPECT_EQ(receive_and_unpack(&ch.de, one), 1);
    EXPECT_EQ(one, c.as_char);
    EXPECT_EQ(receive_and_unpack(&ch.de, i, 0), 1);
    EXPECT_EQ(receive_and_unpack(&ch.de, l), 1);
    EXPECT_EQ(receive_and_unpack(&ch.de, d), 1);
    EXPECT_EQ(receive_and_unpack(&ch.de, f), 1);
    EXPECT_EQ(receive_and_unpack(&ch.de, s), 1);
    EXPECT_EQ(receive_and_unpack(&ch.de, p), 1);
    EXPECT_EQ(i, c.as_int);
    EXPECT_EQ(l, c.as_long);
    EXPECT_DOUBLE_EQ(d, c.as_double);
    EXPECT_FLOAT_EQ(f, c.as_float);
    EXPECT_EQ(s, c.text);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, c.text);
    EXPECT_NE(p, ch.de.get_buffer());  // a copy the caller owns
    free(p);
    // Every received unit is answered "__OK__".
    std::vector<std::string> acks = read_lines(ch.pair.far_end);
    EXPECT_EQ(acks, std::vector<std::string>(7, "__OK__"));
  }
}

// What one channel writes, another reads back to the very same bits.
template <class T>
T sent_and_received(T value, std::string* text) {
  Channel out;
  write_line(out.pair.far_end, "ack");
  EXPECT_GT(pack_and_send(&out.de, value), 0);
  EXPECT_TRUE(read_line(out.pair.far_end, text));
  Channel in;
  write_line(in.pair.far_end, *text);
  T back = 0;
  receive_and_unpack(&in.de, back);
  return back;
}

TEST(ValueText, NumbersTravelExactly) {
  const double doubles[] = {1.0 / 3,  0.1,  1e-300, 5e-324, 1.7976931348623157e308, -0.0,
                            9007199254740992.0, 1.2345678901234567e20, -2.5e-8, 1e22};
  for (double v : doubles) {
    std::string text;
    double back = sent_and_received(v, &text);
    EXPECT_EQ(memcmp(&back, &v, sizeof v), 0) << text;
  }
  const float floats[] = {1.5e-8f, 16777216.0f, 1.0f / 3, 0.1f, -0.0f, 3.4028235e38f, 1e-45f};
  for (float v : floats) {
    std::string text;
    float back = sent_and_received(v, &text);
    EXPECT_EQ(memcmp(&back, &v, sizeof v), 0) << text;
  }
}

TEST(ValueText, ReceivedNumbersReadAsStrtodReadsThem) {
  const struct {
    const char* text;
    double as_double;
    float as_float;
  } cases[] = {
      {" \t+2.5x", 2.5, 2.5f},
      {"+-1", 0, 0},
      {"0x1p-2", 0.25, 0.25f},
      {"-1e400", -HUGE_VAL, -HUGE_VALF},
      {"1e39", 1e39, HUGE_VALF},
      {"1e-400", 0, 0},
      {"1e-50", 1e-50, 0},
      // Rounded once, to the float itself: through a double this text would
      // round down to the double just below 1+2^-24 and then to 1.
      {"1.000000059604644775390625000001", 1.0000000596046448, 1.00000012f},
      {"16777217", 16777217.0, 16777216.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Channel ch;
    write_line(ch.pair.far_end, c.text);
    write_line(ch.pair.far_end, c.text);
    double d = 7;
    float f = 7;
    receive_and_unpack(&ch.de, d);
    receive_and_unpack(&ch.de, f);
    EXPECT_EQ(d, c.as_double);
    EXPECT_EQ(f, c.as_float);
  }
}

// A user library may set the process's locale; numbers keep their "." both
// ways. The test makes a locale whose decimal point is ",".
TEST(ValueText, NumbersIgnoreTheLocale) {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/velmor-locale-XXXXXX";
  ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
  const std::string root = pattern;
  {
    FILE* src = fopen((root + "/comma.src").c_str(), "w");
    ASSERT_NE(src, nullptr);
    fputs("LC_NUMERIC\ndecimal_point \"<U002C>\"\nthousands_sep \"\"\ngrouping -1\nEND LC_NUMERIC\n", src);
    fclose(src);
  }
  (void)!system(("localedef -c -i '" + root + "/comma.src' -f ANSI_X3.4-1968 '" + root +
                 "/comma' >/dev/null 2>&1").c_str());
  setenv("LOCPATH", root.c_str(), 1);
  bool active = setlocale(LC_NUMERIC, "comma") != nullptr && strtod("0.5", nullptr) == 0;
  if (active) {
    std::string text;
    EXPECT_EQ(sent_and_received(0.5, &text), 0.5);
    EXPECT_EQ(text, "0.5");
    EXPECT_EQ(sent_and_received(1.25f, &text), 1.25f);
    EXPECT_EQ(text, "1.25");
  }
  setlocale(LC_NUMERIC, "C");
  unsetenv("LOCPATH");
  (void)!system(("rm -rf '" + root + "'").c_str());
  if (!active) GTEST_SKIP() << "no locale with a decimal comma could be made";
}

TEST(ValueText, LongLinesAreCutToTheUnitBuffer) {
  Channel ch;
  std::string long_text(3000, 'x');
  write_line(ch.pair.far_end, long_text);
  write_line(ch.pair.far_end, "next");
  std::string s;
  receive_and_unpack(&ch.de, s);
  EXPECT_EQ(s, std::string(UNIT_DATA_SIZE - 1, 'x'));
  receive_and_unpack(&ch.de, s);
  EXPECT_EQ(s, "next");

  read_lines(ch.pair.far_end, 100);  // the two acks

  // A value longer than the unit buffer goes out cut, never past the buffer.
  write_line(ch.pair.far_end, "ack");
  EXPECT_GT(pack_and_send(&ch.de, long_text), 0);
  std::string line;
  ASSERT_TRUE(read_line(ch.pair.far_end, &line));
  EXPECT_EQ(line, std::string(UNIT_DATA_SIZE - 1, 'x'));
}

TEST(ValueText, FailedSendClosesTheChannel) {
  Channel ch;
  close(ch.pair.far_end);
  ch.pair.far_end = 0;
  int fd = ch.pair.near_end;
  double v = 1.5;
  EXPECT_LE(pack_and_send(&ch.de, v), 0);
  EXPECT_EQ(ch.de.sd, 0);
  ch.pair.near_end = 0;  // closed by the channel
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  // Later sends fail without touching descriptor 0.
  EXPECT_EQ(pack_and_send(&ch.de, v), 0);
  EXPECT_EQ(ch.de.close_connection(), 1);
  EXPECT_EQ(ch.de.sd, 0);
}

TEST(ValueText, UnknownServiceTypeSendsNothing) {
  Channel ch;
  ch.de.SetDataServiceType(static_cast<DataServiceType>(3));
  int v = 3;
  EXPECT_EQ(pack_and_send(&ch.de, v), 0);
  EXPECT_TRUE(stays_quiet(ch.pair.far_end, 50));
}

TEST(Keys, FunctionKeyAndTags) {
  DataExchange de;
  de.SetModuleName("sample_threads");
  de.SetFunctionKey("prefix");
  unsigned first = 0, pid = 0;
  unsigned long tid = 0;
  char name[64];
  ASSERT_EQ(sscanf(de.GetFunctionKey(), "%63[^_]_%u_%u_%lu", name, &first, &pid, &tid), 4);
  EXPECT_STREQ(name, "prefix");
  EXPECT_EQ(pid, (unsigned)getpid());
  EXPECT_EQ(tid, (unsigned long)pthread_self());
  de.SetFunctionKey(nullptr);
  std::string key = de.GetFunctionKey();
  EXPECT_EQ(key.rfind("sample_threads_", 0), 0u);
  unsigned second = 0;
  sscanf(key.c_str() + strlen("sample_threads_"), "%u", &second);
  EXPECT_EQ(second, first + 1);

  // A long prefix is cut so the numbers still fit.
  std::string long_name(600, 'm');
  de.SetFunctionKey(long_name.c_str());
  EXPECT_LT(strlen(de.GetFunctionKey()), (size_t)CALLBACK_NAME_SIZE);
  EXPECT_NE(strchr(de.GetFunctionKey(), '_'), nullptr);

  de.SetPVMKey("pk");
  de.SetPVMKey(nullptr);
  EXPECT_STREQ(de.GetPVMKey(), "pk");
}

TEST(Keys, MessageTagsArePositiveAndWrap) {
  std::set<int> seen;
  for (int i = 0; i < 100; i++) {
    int tag = DataExchange::GetNewPvmMsgTag();
    EXPECT_GT(tag, 0);
    seen.insert(tag);
  }
  EXPECT_EQ(seen.size(), 100u);
  __atomic_store_n(&DataExchange::msg_tag, 0x7fffffff, __ATOMIC_RELAXED);
  EXPECT_EQ(DataExchange::GetNewPvmMsgTag(), 1);
  EXPECT_EQ(DataExchange::GetNewPvmMsgTag(), 2);
}

TEST(Keys, CountersAreSharedAcrossThreads) {
  const int kThreads = 4, kEach = 500;
  std::set<std::string> keys;
  std::vector<std::vector<std::string>> made(kThreads);
  std::vector<pthread_t> threads(kThreads);
  struct Arg { std::vector<std::string>* out; };
  std::vector<Arg> args(kThreads);
  for (int t = 0; t < kThreads; t++) {
    args[t].out = &made[t];
    pthread_create(&threads[t], nullptr, [](void* p) -> void* {
      Arg* a = static_cast<Arg*>(p);
      DataExchange de;
      for (int i = 0; i < kEach; i++) {
        de.SetFunctionKey("k");
        a->out->push_back(de.GetFunctionKey());
        EXPECT_GT(DataExchange::GetNewPvmMsgTag(), 0);
      }
      return nullptr;
    }, &args[t]);
  }
  for (int t = 0; t < kThreads; t++) pthread_join(threads[t], nullptr);
  for (auto& v : made) keys.insert(v.begin(), v.end());
  EXPECT_EQ(keys.size(), (size_t)(kThreads * kEach));
}

}  // namespace
