#include "file_watch.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

// Everything that can replace, change or remove a file in a directory.
static const uint32_t kDirEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE |
                                   IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM | IN_ONLYDIR;

long monotonic_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

static std::string join(const std::string& dir, const std::string& name) {
  return dir == "/" ? dir + name : dir + "/" + name;
}

FileWatch::FileWatch(int quiet_ms)
    : quiet_ms_(quiet_ms < 0 ? 0 : quiet_ms),
      fd_(-1),
      reported_unusable_(false),
      pending_(false),
      last_change_ms_(0) {}

FileWatch::~FileWatch() {
  if (fd_ >= 0) close(fd_);
}

bool FileWatch::open_inotify() {
  if (fd_ >= 0) return true;
  fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd_ < 0 && !reported_unusable_) {
    fprintf(stderr, "File watch: inotify: %s; files are not watched\n", strerror(errno));
    reported_unusable_ = true;
  }
  return fd_ >= 0;
}

void FileWatch::skip(const std::string& path, const char* why) {
  if (reported_.insert(path).second)
    fprintf(stderr, "File watch: %s: %s; not watched\n", path.c_str(), why);
}

bool FileWatch::add(const std::string& path, std::map<int, Dir>* dirs) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    skip(path, "names no file");
    return false;
  }
  // Resolved once, so that two spellings of one directory share its watch
  // and its list of names.
  char* real = realpath(dir.c_str(), nullptr);
  if (real == nullptr) {
    skip(path, strerror(errno));
    return false;
  }
  std::string resolved(real);
  free(real);
  int wd = inotify_add_watch(fd_, resolved.c_str(), kDirEvents);
  if (wd < 0) {
    skip(path, strerror(errno));
    return false;
  }
  Dir& d = (*dirs)[wd];
  d.path = resolved;
  d.names.insert(name);
  return true;
}

bool FileWatch::watch(const std::vector<std::string>& paths) {
  if (!open_inotify()) return false;
  std::map<int, Dir> dirs;
  for (const std::string& path : paths)
    if (add(path, &dirs)) reported_.erase(path);
  // A directory still wanted got its old descriptor back from the kernel.
  for (const auto& old : dirs_)
    if (dirs.count(old.first) == 0) inotify_rm_watch(fd_, old.first);
  dirs_.swap(dirs);
  return true;
}

bool FileWatch::note_change(int wd, const char* name) {
  auto d = dirs_.find(wd);
  if (d == dirs_.end() || d->second.names.count(name) == 0) return false;
  changed_[join(d->second.path, name)];
  return true;
}

bool FileWatch::note_all_changed() {
  for (const auto& d : dirs_)
    for (const std::string& name : d.second.names) changed_[join(d.second.path, name)];
  return true;
}

// The directory itself went (removed, unmounted), and its watch with it.
bool FileWatch::note_dir_gone(int wd) {
  auto d = dirs_.find(wd);
  if (d == dirs_.end()) return false;  // one we removed ourselves
  for (const std::string& name : d->second.names) note_change(wd, name.c_str());
  dirs_.erase(d);
  return true;
}

bool FileWatch::note(const inotify_event& e) {
  if (e.mask & IN_Q_OVERFLOW) return note_all_changed();
  if (e.mask & IN_IGNORED) return note_dir_gone(e.wd);
  return e.len > 0 && note_change(e.wd, e.name);
}

FileWatch::Look FileWatch::look_at(const std::string& path) {
  struct stat st;
  Look look = {};
  look.exists = stat(path.c_str(), &st) == 0;
  if (look.exists) {
    look.size = st.st_size;
    look.mtime = st.st_mtim;
    look.ino = st.st_ino;
  }
  return look;
}

bool FileWatch::same(const Look& a, const Look& b) {
  return a.exists == b.exists && a.size == b.size && a.ino == b.ino &&
         a.mtime.tv_sec == b.mtime.tv_sec && a.mtime.tv_nsec == b.mtime.tv_nsec;
}

void FileWatch::look_again() {
  for (auto& c : changed_) c.second = look_at(c.first);
}

void FileWatch::read_events(long now_ms) {
  if (fd_ < 0) return;
  bool seen = false;
  alignas(inotify_event) char buf[8192];
  for (;;) {
    ssize_t n = read(fd_, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const inotify_event* e = reinterpret_cast<const inotify_event*>(buf + at);
      at += sizeof(inotify_event) + e->len;
      if (note(*e)) seen = true;
    }
  }
  if (!seen) return;
  pending_ = true;
  last_change_ms_ = now_ms;
  look_again();
}

bool FileWatch::due(long now_ms) {
  read_events(now_ms);
  if (!pending_ || now_ms - last_change_ms_ < quiet_ms_) return false;
  for (const auto& c : changed_) {
    if (!same(look_at(c.first), c.second)) {
      last_change_ms_ = now_ms;
      look_again();
      return false;
    }
  }
  pending_ = false;
  changed_.clear();
  return true;
}

int FileWatch::wait_ms(long now_ms) const {
  if (!pending_) return -1;
  long left = last_change_ms_ + quiet_ms_ - now_ms;
  if (left < 0) return 0;
  return left > quiet_ms_ ? quiet_ms_ : static_cast<int>(left);
}
