// The file watcher behind the server's reload, in a temporary directory.
// Time is passed explicitly; real waits are only for inotify's delivery.
#include "file_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using velmor_test::TempDir;
using velmor_test::write_file;

const int kQuiet = 100;
const long kStart = 1000;

bool readable(int fd, int timeout_ms = 2000) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

// Waits for the events of a change and reads them at now_ms.
void deliver(FileWatch* w, long now_ms) {
  ASSERT_TRUE(readable(w->fd()));
  w->read_events(now_ms);
}

// A change at kStart is due exactly at kStart + kQuiet, and only once.
void expect_one_due(FileWatch* w, long start = kStart) {
  EXPECT_EQ(kQuiet, w->wait_ms(start));
  EXPECT_FALSE(w->due(start + kQuiet - 1));
  EXPECT_EQ(1, w->wait_ms(start + kQuiet - 1));
  EXPECT_TRUE(w->due(start + kQuiet));
  EXPECT_FALSE(w->due(start + 10 * kQuiet));
  EXPECT_EQ(-1, w->wait_ms(start + 10 * kQuiet));
}

void expect_nothing_due(FileWatch* w) {
  EXPECT_EQ(-1, w->wait_ms(kStart));
  EXPECT_FALSE(w->due(kStart + 10 * kQuiet));
}

struct ChangeCase {
  const char* name;
  std::function<void(const TempDir&)> change;  // lib.so exists before
  bool counts;
};

// Each way a watched file can change counts once; other names in its
// directory do not.
TEST(FileWatch, ChangesToTheWatchedFile) {
  const ChangeCase cases[] = {
      {"write in place", [](const TempDir& d) { write_file(d.file("lib.so"), "v2"); }, true},
      {"new file renamed over",
       [](const TempDir& d) {
         write_file(d.file("lib.so.new"), "v2");
         ASSERT_EQ(0, rename(d.file("lib.so.new").c_str(), d.file("lib.so").c_str()));
       },
       true},
      {"deleted and recreated",
       [](const TempDir& d) {
         ASSERT_EQ(0, unlink(d.file("lib.so").c_str()));
         write_file(d.file("lib.so"), "v2");
       },
       true},
      {"renamed away",
       [](const TempDir& d) {
         ASSERT_EQ(0, rename(d.file("lib.so").c_str(), d.file("lib.so.old").c_str()));
       },
       true},
      {"mode changed", [](const TempDir& d) { ASSERT_EQ(0, chmod(d.file("lib.so").c_str(), 0600)); },
       true},
      {"other file in the directory",
       [](const TempDir& d) {
         write_file(d.file("other.so"), "x");
         ASSERT_EQ(0, rename(d.file("other.so").c_str(), d.file("lib.so.old").c_str()));
       },
       false},
  };
  for (const ChangeCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_file(dir.file("lib.so"), "v1");
    FileWatch w(kQuiet);
    ASSERT_TRUE(w.watch({dir.file("lib.so")}));
    ASSERT_GE(w.fd(), 0);
    c.change(dir);
    deliver(&w, kStart);
    if (c.counts)
      expect_one_due(&w);
    else
      expect_nothing_due(&w);
  }
}

// Writes spread over less than the quiet period are one burst: one due(),
// a quiet period after the last of them.
TEST(FileWatch, BurstIsDueOnceAfterItsLastChange) {
  TempDir dir;
  FileWatch w(kQuiet);
  ASSERT_TRUE(w.watch({dir.file("defs.txt")}));
  const long writes[] = {0, 40, 80};
  int dues = 0;
  long first_due = -1;
  for (long t = 0; t <= 1000; t += 10) {
    for (long at : writes) {
      if (at != t) continue;
      write_file(dir.file("defs.txt"), "line " + std::to_string(t));
      deliver(&w, kStart + t);
    }
    if (w.due(kStart + t)) {
      dues++;
      if (first_due < 0) first_due = t;
    }
  }
  EXPECT_EQ(1, dues);
  EXPECT_EQ(80 + kQuiet, first_due);
}

// Spellings of one directory share its watch, and every file named through
// any of them is seen.
TEST(FileWatch, SpellingsOfOneDirectory) {
  TempDir dir;
  ASSERT_EQ(0, mkdir(dir.file("sub").c_str(), 0700));
  ASSERT_EQ(0, symlink(dir.path().c_str(), dir.file("link").c_str()));
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
  ASSERT_EQ(0, chdir(dir.path().c_str()));
  FileWatch w(kQuiet);
  bool watched = w.watch({dir.file("a.so"), dir.file("sub/../b.so"), dir.file("link/c.so"),
                          dir.path() + "/./d.so", "e.so", "./sub/../f.so"});
  ASSERT_EQ(0, chdir(cwd));
  ASSERT_TRUE(watched);
  long start = kStart;
  for (const char* name : {"a.so", "b.so", "c.so", "d.so", "e.so", "f.so"}) {
    SCOPED_TRACE(name);
    write_file(dir.file(name), "v");
    deliver(&w, start);
    expect_one_due(&w, start);
    start += 10 * kQuiet;
  }
}

// A file that keeps changing without events (here through a hard link in an
// unwatched directory) holds the reload back until it stops.
TEST(FileWatch, ChangeWithoutEventsRestartsTheQuietPeriod) {
  TempDir dir;
  ASSERT_EQ(0, mkdir(dir.file("watched").c_str(), 0700));
  ASSERT_EQ(0, mkdir(dir.file("elsewhere").c_str(), 0700));
  const std::string lib = dir.file("watched/lib.so");
  write_file(lib, "v1");
  ASSERT_EQ(0, link(lib.c_str(), dir.file("elsewhere/lib.so").c_str()));
  FileWatch w(kQuiet);
  ASSERT_TRUE(w.watch({lib}));
  write_file(lib, "v2");
  deliver(&w, kStart);

  int out = open(dir.file("elsewhere/lib.so").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(out, 0);
  ASSERT_EQ(4, write(out, "more", 4));
  close(out);
  ASSERT_FALSE(readable(w.fd(), 0));  // the watched directory saw nothing

  EXPECT_FALSE(w.due(kStart + kQuiet));
  EXPECT_EQ(kQuiet, w.wait_ms(kStart + kQuiet));
  EXPECT_FALSE(w.due(kStart + 2 * kQuiet - 1));
  EXPECT_TRUE(w.due(kStart + 2 * kQuiet));
}

// Lost events (the kernel's queue overflowed) may have hidden a change.
TEST(FileWatch, QueueOverflowCountsAsChange) {
  FILE* f = fopen("/proc/sys/fs/inotify/max_queued_events", "r");
  long max_events = 0;
  if (f != nullptr) {
    if (fscanf(f, "%ld", &max_events) != 1) max_events = 0;
    fclose(f);
  }
  if (max_events <= 0 || max_events > 100000) GTEST_SKIP() << "queue of " << max_events;
  TempDir dir;
  FileWatch w(kQuiet);
  ASSERT_TRUE(w.watch({dir.file("lib.so")}));
  // Renames back and forth: two distinct events each, none merged.
  write_file(dir.file("x.a"), "x");
  for (long i = 0; i <= max_events / 2; i++) {
    bool even = i % 2 == 0;
    ASSERT_EQ(0, rename(dir.file(even ? "x.a" : "x.b").c_str(),
                        dir.file(even ? "x.b" : "x.a").c_str()));
  }
  deliver(&w, kStart);
  expect_one_due(&w);
}

// A new set replaces the old: dropped names and directories go quiet, a
// kept directory keeps working for its new names.
TEST(FileWatch, WatchReplacesTheSet) {
  TempDir one, two;
  FileWatch w(kQuiet);
  ASSERT_TRUE(w.watch({one.file("a.so"), two.file("b.so")}));
  ASSERT_TRUE(w.watch({one.file("c.so")}));
  write_file(one.file("a.so"), "v");
  write_file(two.file("b.so"), "v");
  readable(w.fd(), 100);
  w.read_events(kStart);
  expect_nothing_due(&w);
  write_file(one.file("c.so"), "v");
  deliver(&w, kStart);
  expect_one_due(&w);
}

// A file whose directory is missing is reported once and skipped; the
// others are watched.
TEST(FileWatch, MissingDirectoryIsSkipped) {
  TempDir dir;
  const std::vector<std::string> paths = {dir.file("none/x.so"), dir.file("a.so")};
  FileWatch w(kQuiet);
  testing::internal::CaptureStderr();
  bool first = w.watch(paths);
  bool second = w.watch(paths);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(first);
  EXPECT_TRUE(second);
  EXPECT_NE(std::string::npos, err.find(dir.file("none/x.so"))) << err;
  EXPECT_EQ(err.find('\n'), err.rfind('\n')) << err;  // one report

  write_file(dir.file("a.so"), "v");
  deliver(&w, kStart);
  expect_one_due(&w);
}

}  // namespace
