// Containers on the channel: counts, elements, the open form, records, and a
// whole plain call against a peer thread that plays the client.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "channel_test_support.h"
#include "wrapper_support.hxx"

namespace {

struct Channel {
  SocketPair pair;
  DataExchange de;
  Channel() { de.SetSd(pair.near_end); }
  ~Channel() { de.sd = 0; }
  void acks(int n) {
    for (int i = 0; i < n; i++) write_line(pair.far_end, "ack");
  }
  void feed(const std::vector<std::string>& units) {
    for (const auto& u : units) write_line(pair.far_end, u);
  }
  std::vector<std::string> sent() { return read_lines(pair.far_end); }
};

typedef std::vector<std::string> Lines;

// Elements 0..last-1 are index * 10; past them it throws, as open ranges do.
class OpenRange : public Range<int> {
 public:
  explicit OpenRange(int last) : last_(last) {}
  int GetSize() const override { return -1; }
  int GetValue(int index) override {
    if (index >= last_) throw -1;
    return index * 10;
  }
  int* GetValue() override { return nullptr; }

 private:
  int last_;
};

TEST(ContainerSend, CountThenElements) {
  const struct {
    const char* what;
    std::function<int(DataExchange*)> send;
    Lines expected;
  } cases[] = {
      {"double range", [](DataExchange* de) {
         double* v = new double[3]{0.1, 2500000.0, -1};
         Range<double>* r = new DoubleRange(3, v);
         int rc = pack_and_send(de, r, 1);
         delete r;  // the stub deletes through the virtual destructor
         return rc;
       }, {"3", "0.1", "2500000", "-1"}},
      {"empty range", [](DataExchange* de) {
         DoubleRange r(0, nullptr);
         return pack_and_send(de, &r, 1);
       }, {"0"}},
      {"missing range", [](DataExchange* de) {
         Range<double>* r = nullptr;
         return pack_and_send(de, r, 1);
       }, {"0"}},
      {"open range", [](DataExchange* de) {
         OpenRange r(3);
         return pack_and_send(de, &r);
       }, {"-1", "0", "0", "1", "10", "2", "20", "-1"}},
      {"open range empty", [](DataExchange* de) {
         OpenRange r(0);
         return pack_and_send(de, &r);
       }, {"-1", "-1"}},
      {"vector of strings", [](DataExchange* de) {
         vector<string> v = {"a", "", "c d"};
         return pack_and_send(de, v, 0);
       }, {"3", "a", "", "c d"}},
      {"vector of C strings", [](DataExchange* de) {
         char a[] = "x";
         vector<char*> v = {a, nullptr};
         return pack_and_send(de, v);
       }, {"2", "x", ""}},
      {"matrix", [](DataExchange* de) {
         Matrix<int> m(2, 3);
         for (int r = 0; r < 2; r++)
           for (int c = 0; c < 3; c++) m(r, c) = r * 3 + c;
         return pack_and_send(de, m);
       }, {"2", "3", "0", "1", "2", "3", "3", "4", "5"}},
      {"result range of const", [](DataExchange* de) {
         ResultRange<const double, 1> holder;
         Range<const double>* r = &holder;
         return pack_and_send(de, r, 1);
       }, {"0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Channel ch;
    ch.acks(static_cast<int>(c.expected.size()));
    EXPECT_EQ(c.send(&ch.de), 1);
    EXPECT_EQ(ch.sent(), c.expected);
  }
}

TEST(ContainerSend, StopsAtTheFirstFailedUnit) {
  Channel ch;
  close(ch.pair.far_end);
  ch.pair.far_end = 0;
  vector<int> v = {1, 2, 3};
  EXPECT_EQ(pack_and_send(&ch.de, v), 0);
  EXPECT_EQ(ch.de.sd, 0);
  ch.pair.near_end = 0;
  OpenRange endless(1 << 30);  // never reached: the first unit fails
  EXPECT_EQ(pack_and_send(&ch.de, &endless), 0);
}

TEST(ContainerReceive, RangesVectorsAndMatrices) {
  Channel ch;
  ch.feed({"3", "1.5", "2", "x"});
  ResultRange<double> range;
  EXPECT_EQ(receive_and_unpack(&ch.de, range, 1), 1);
  ASSERT_EQ(range.GetSize(), 3);
  double* values = range.GetValue();
  ASSERT_NE(values, nullptr);
  EXPECT_DOUBLE_EQ(values[0], 1.5);
  EXPECT_DOUBLE_EQ(values[1], 2.0);
  EXPECT_DOUBLE_EQ(values[2], 0.0);
  EXPECT_EQ(ch.sent(), Lines(4, "__OK__"));

  // The open form: indexes may skip; the slots between keep T().
  ch.feed({"-1", "0", "a", "2", "c", "-1"});
  ResultRange<char*> strings;
  EXPECT_EQ(receive_and_unpack(&ch.de, strings), 1);
  ASSERT_EQ(strings.GetSize(), 3);
  EXPECT_STREQ(strings.GetValue(0), "a");
  EXPECT_EQ(strings.GetValue(1), nullptr);
  EXPECT_STREQ(strings.GetValue(2), "c");
  EXPECT_THROW(strings.GetValue(3), int);
  EXPECT_EQ(ch.sent(), Lines(6, "__OK__"));

  ch.feed({"0"});
  vector<int> empty = {9};
  EXPECT_EQ(receive_and_unpack(&ch.de, empty), 1);
  EXPECT_TRUE(empty.empty());
  ch.sent();

  ch.feed({"2", "2", "1", "2", "1", "3"});
  Matrix<long> m;
  EXPECT_EQ(receive_and_unpack(&ch.de, m), 1);
  ASSERT_EQ(m.GetRows(), 2);
  ASSERT_EQ(m.GetColumns(), 2);
  EXPECT_EQ(m(0, 0), 1);
  EXPECT_EQ(m(0, 1), 2);
  EXPECT_EQ(m(1, 0), 3);
  EXPECT_EQ(m(1, 1), 0);  // a short row is padded
  EXPECT_EQ(ch.sent(), Lines(6, "__OK__"));
}

TEST(ContainerReceive, RejectsBrokenCountsAndLostChannels) {
  const struct {
    const char* what;
    Lines units;
  } cases[] = {
      {"negative count", {"-5"}},
      {"count beyond the limit", {"99999999"}},
      {"negative index", {"-1", "-7"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Channel ch;
    ch.feed(c.units);
    vector<double> v;
    EXPECT_EQ(receive_and_unpack(&ch.de, v), 0);
    // The rest of the arguments cannot be told apart: the call never runs.
    EXPECT_THROW(ch.de.done_with_arguments(), CallAbandoned);
  }
  // The client goes away in the middle: no spinning on a dead socket.
  Channel ch;
  ch.feed({"1000000", "1", "2"});
  close(ch.pair.far_end);
  ch.pair.far_end = 0;
  vector<int> v;
  EXPECT_EQ(receive_and_unpack(&ch.de, v), 0);
  EXPECT_EQ(ch.de.sd, 0);
  EXPECT_THROW(ch.de.done_with_arguments(), CallAbandoned);
  ch.pair.near_end = 0;
}

// A record as the stub generator writes it.
class Employee {
 public:
  string name;
  double salary;
  double* history;
  vector<int> grades;
  ResultRange<double, 1> range_history;

  int receive_and_unpack(DataExchange* de) {
    int _qvtx_status = 1;
    if (_qvtx_status) _qvtx_status = ::receive_and_unpack(de, name);
    if (_qvtx_status) _qvtx_status = ::receive_and_unpack(de, salary);
    if (_qvtx_status) _qvtx_status = ::receive_and_unpack(de, range_history, 1);
    history = range_history.GetValue();
    if (_qvtx_status) _qvtx_status = ::receive_and_unpack(de, grades);
    return _qvtx_status ? 1 : 0;
  }
  int pack_and_send(DataExchange* de) const {
    int _qvtx_status = 1;
    if (_qvtx_status) _qvtx_status = ::pack_and_send(de, name);
    if (_qvtx_status) _qvtx_status = ::pack_and_send(de, salary);
    range_history.SetValue(history);
    Range<double>* p_range_history = &range_history;
    if (_qvtx_status) _qvtx_status = ::pack_and_send(de, p_range_history, 1);
    if (_qvtx_status) _qvtx_status = ::pack_and_send(de, grades);
    return _qvtx_status ? 1 : 0;
  }
};
int pack_and_send(DataExchange* de, const Employee& result, int = 0) { return result.pack_and_send(de); }
int receive_and_unpack(DataExchange* de, Employee& result, int = 0) { return result.receive_and_unpack(de); }

TEST(ContainerRecords, VectorOfRecordsRoundTrip) {
  Channel ch;
  Lines units = {"2", "ann", "10.5", "2", "1", "2", "1", "7", "bob", "20", "0", "0"};
  ch.feed(units);
  vector<Employee> staff;
  EXPECT_EQ(receive_and_unpack(&ch.de, staff, 0), 1);
  ASSERT_EQ(staff.size(), 2u);
  EXPECT_EQ(staff[0].name, "ann");
  ASSERT_NE(staff[0].history, nullptr);
  EXPECT_DOUBLE_EQ(staff[0].history[1], 2.0);
  EXPECT_EQ(staff[1].history, nullptr);
  EXPECT_EQ(ch.sent(), Lines(units.size(), "__OK__"));

  // Copies of the records travel back; each keeps its own history array.
  ch.acks(static_cast<int>(units.size()));
  EXPECT_EQ(pack_and_send(&ch.de, staff, 0), 1);
  EXPECT_EQ(ch.sent(), Lines({"2", "ann", "10.5", "2", "1", "2", "1", "7", "bob", "20", "0", "0"}));
}

// ---------------------------------------------------------------------------
// A plain call, stub and client in two threads: reversed(range) -> range.

int reverse_stub(DataExchange* de) {
  ResultRange<double> arg_0; receive_and_unpack (de, arg_0, 1);
  Range<double> *arg_0_range_ptr = &arg_0;
  de->done_with_arguments ();
  Range<double> * ret;
  int n = arg_0_range_ptr->GetSize();
  double* out = new double[n > 0 ? n : 1];
  for (int i = 0; i < n; i++) out[i] = arg_0_range_ptr->GetValue()[n - 1 - i];
  ret = new DoubleRange(n, out);
  pack_and_send (de, arg_0_range_ptr, 1);
  pack_and_send (de, ret, 1);
  delete ret;
  de->done_with_result ();
  return 1;
}

struct ClientScript {
  int sock;
  Lines received;
};

void* play_client(void* p) {
  ClientScript* s = static_cast<ClientScript*>(p);
  std::string line;
  for (const char* unit : {"3", "1", "2", "3.5"}) {
    write_line(s->sock, unit);
    if (read_line(s->sock, &line)) s->received.push_back(line);  // "__OK__"
  }
  write_line(s->sock, "end of arguments");
  // Outbound argument, then the result: each unit acknowledged.
  for (int i = 0; i < 8 && read_line(s->sock, &line); i++) {
    s->received.push_back(line);
    write_line(s->sock, "ack");
  }
  return nullptr;
}

TEST(ContainerCall, PlainCallAgainstAClientThread) {
  Channel ch;
  ClientScript script = {ch.pair.far_end, {}};
  pthread_t client;
  ASSERT_EQ(pthread_create(&client, nullptr, play_client, &script), 0);
  EXPECT_EQ(reverse_stub(&ch.de), 1);
  pthread_join(client, nullptr);
  EXPECT_EQ(script.received, Lines({"__OK__", "__OK__", "__OK__", "__OK__", "3", "1", "2", "3.5", "3",
                                    "3.5", "2", "1"}));
}

}  // namespace
