// Noticing that the server's own files changed (definition files, the
// libraries they name, the module files they list), so that the server can
// reload by itself, but only once a changed file has stopped changing.
//
// The server's loops are single-threaded poll/epoll loops, so the watcher
// has no thread and never blocks: the loop polls fd() for readability,
// passes its events to read_events, bounds its wait by wait_ms, and reloads
// when due() says so.
//
// It watches the directories that hold the files, not the files: a library
// is replaced by writing a new file and renaming it over the old one, and a
// watch on the old file would see nothing of that. A file reached through a
// symbolic link is watched under its own name in its directory; a change to
// the link's target elsewhere is not seen.
#ifndef VELMOR_SERVER_FILE_WATCH_H_
#define VELMOR_SERVER_FILE_WATCH_H_

#include <sys/types.h>
#include <time.h>

struct inotify_event;

#include <map>
#include <set>
#include <string>
#include <vector>

// Milliseconds of the monotonic clock: the time to pass to FileWatch.
long monotonic_ms();

// Not thread-safe: one owner calls every member, from its loop's thread.
// The watcher owns its inotify descriptor and closes it in the destructor;
// the owner only polls it, never reads or closes it.
class FileWatch {
 public:
  // A change counts once no change to any watched file has been seen for
  // quiet_ms milliseconds.
  explicit FileWatch(int quiet_ms);
  ~FileWatch();
  FileWatch(const FileWatch&) = delete;
  FileWatch& operator=(const FileWatch&) = delete;

  // Replaces the set of watched files. Relative paths are relative to the
  // working directory at this call. A file whose directory does not exist
  // (or cannot be watched) is reported on stderr, once until it is watched
  // again, and skipped. A change seen before stays pending. False only when
  // inotify is unusable (reported once); fd() is -1 then.
  bool watch(const std::vector<std::string>& paths);

  // The descriptor to poll for readability; -1 when inotify is unusable.
  int fd() const { return fd_; }

  // Takes every queued event without blocking and notes now_ms (monotonic
  // milliseconds) as the time of the last change when one concerns a
  // watched file. Events for other names in the watched directories are
  // ignored; a lost event (queue overflow) counts as a change to every file.
  void read_events(long now_ms);

  // True exactly once per burst of changes: when quiet_ms have passed since
  // its last change and every changed file still has the size, modification
  // time and identity it had then (a copy that writes without events, say
  // through a hard link elsewhere, would otherwise slip through; if one
  // differs, the quiet period starts again at now_ms). Takes queued events
  // first, so that a change not yet read is never missed.
  bool due(long now_ms);

  // How long the loop may wait before due() can turn true: 0 when it may
  // already, -1 when no change is pending.
  int wait_ms(long now_ms) const;

 private:
  // What a changed file looked like at its burst's last change.
  struct Look {
    bool exists;
    off_t size;
    timespec mtime;
    ino_t ino;
  };
  // A watched directory (resolved path) and the names of the watched files
  // in it.
  struct Dir {
    std::string path;
    std::set<std::string> names;
  };

  bool open_inotify();
  // Adds the watch for path's directory to dirs; false when skipped.
  bool add(const std::string& path, std::map<int, Dir>* dirs);
  void skip(const std::string& path, const char* why);
  // Each notes the files an event concerns as changed; false when none.
  bool note(const inotify_event& e);
  bool note_change(int wd, const char* name);
  bool note_all_changed();
  bool note_dir_gone(int wd);
  static Look look_at(const std::string& path);
  static bool same(const Look& a, const Look& b);
  void look_again();

  const int quiet_ms_;
  int fd_;
  bool reported_unusable_;
  std::map<int, Dir> dirs_;            // by watch descriptor
  std::set<std::string> reported_;     // paths reported as skipped
  std::map<std::string, Look> changed_;  // files changed in this burst
  bool pending_;
  long last_change_ms_;
};

#endif
