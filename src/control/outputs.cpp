// outputs.cpp — where zoomdive-render's outputs go, and how a failed run takes them back.
#include "control/outputs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>

namespace zd {

int fail(const std::string& msg) {
  std::fprintf(stderr, "zoomdive-render: %s\n", msg.c_str());
  return 1;
}

int usage_error(const std::string& msg) {
  std::fprintf(stderr, "zoomdive-render: %s (see zoomdive-render --help)\n", msg.c_str());
  return 2;
}

namespace {

namespace fs = std::filesystem;

std::string why(const std::string& path, int err) {
  return "cannot write " + path + ": " + std::strerror(err);
}

std::string dir_of(const std::string& path) {
  const std::string d = fs::path(path).parent_path().string();
  return d.empty() ? "." : d;
}

// Whether new files can be made in dir, by this process's effective ids.
std::string check_dir(const std::string& given, const std::string& dir) {
  if (faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    const int e = errno;
    return "cannot write " + given + ": no new file can be made in " + dir + ": " +
           std::strerror(e);
  }
  return "";
}

// The final target of a chain of symlinks (relative links are relative to their folder). A
// missing final target is a new file.
std::string resolve_links(const std::string& given, std::string& err) {
  std::string p = given;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
    char buf[PATH_MAX];
    const ssize_t n = readlink(p.c_str(), buf, sizeof buf - 1);
    if (n < 0) {
      err = why(given, errno);
      return "";
    }
    const std::string link(buf, static_cast<std::size_t>(n));
    p = link[0] == '/' ? link : (fs::path(dir_of(p)) / link).string();
  }
  err = why(given, ELOOP);
  return "";
}

// What the signal handler removes, as plain pointers into OutputRun's own strings: the handler
// allocates nothing and reads them only while armed. Frames are staged under numbered names in
// one folder, so a count stands for them.
struct Leftovers {
  const char* const* files = nullptr;  // temporary files
  int nfiles = 0;
  const char* const* made = nullptr;  // folders made by the run, deepest last
  int nmade = 0;
  char staging[PATH_MAX] = {};
  // Frames first .. frames: a film may be made in parts, each from its own first frame.
  volatile sig_atomic_t first = 1, frames = 0;
};
Leftovers leftovers;
volatile sig_atomic_t armed = 0;

void copy_path(char* to, const std::string& from) {
  std::strncpy(to, from.c_str(), PATH_MAX - 1);
  to[PATH_MAX - 1] = '\0';
}

// Async-signal-safe: unlink, rmdir and hand-made number formatting only.
void remove_leftovers() {
  for (int i = 0; i < leftovers.nfiles; ++i) unlink(leftovers.files[i]);
  if (leftovers.staging[0] != '\0') {
    char name[PATH_MAX + 32];
    for (long long n = leftovers.first; n <= leftovers.frames; ++n) {
      std::size_t k = 0;
      for (const char* s = leftovers.staging; *s && k < PATH_MAX; ++s) name[k++] = *s;
      const char* prefix = "/frame-";
      for (const char* s = prefix; *s; ++s) name[k++] = *s;
      char digits[24];
      int d = 0;
      for (long long v = n; v > 0 || d < 6; v /= 10) digits[d++] = static_cast<char>('0' + v % 10);
      while (d > 0) name[k++] = digits[--d];
      for (const char* s = ".png"; *s; ++s) name[k++] = *s;
      name[k] = '\0';
      unlink(name);
    }
    rmdir(leftovers.staging);
  }
  for (int i = leftovers.nmade - 1; i >= 0; --i) rmdir(leftovers.made[i]);
}

extern "C" void on_fatal_signal(int sig) {
  if (armed) remove_leftovers();
  signal(sig, SIG_DFL);
  raise(sig);
}

std::string frame_name(long long n) {
  char name[32];
  std::snprintf(name, sizeof name, "frame-%06lld.png", n);
  return name;
}

}  // namespace

std::string find_target(const std::string& given, Target& t) {
  t = Target{};
  t.given = given;
  if (given == "-") {
    t.kind = Target::Stdout;
    return "";
  }
  std::string err;
  t.path = resolve_links(given, err);
  if (!err.empty()) return err;
  struct stat st;
  if (stat(t.path.c_str(), &st) != 0) {
    if (errno != ENOENT) return why(given, errno);
    t.kind = Target::NewFile;
    return check_dir(given, dir_of(t.path));
  }
  if (S_ISDIR(st.st_mode)) return why(given, EISDIR);
  if (S_ISBLK(st.st_mode)) return "cannot write " + given + ": it is a block device";
  if (S_ISSOCK(st.st_mode)) return "cannot write " + given + ": it is a socket";
  if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
    t.kind = Target::Stream;
    t.device = S_ISCHR(st.st_mode);
    if (faccessat(AT_FDCWD, t.path.c_str(), W_OK, AT_EACCESS) != 0) return why(given, errno);
    return "";
  }
  t.kind = Target::File;
  t.mode = st.st_mode & 07777;
  t.uid = st.st_uid;
  t.gid = st.st_gid;
  // Opened for writing without truncating it: the file's own answer (a read-only file, a
  // read-only mount, a file the system does not let anyone write) and no change to it.
  const int fd = open(t.path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return why(given, errno);
  close(fd);
  return check_dir(given, dir_of(t.path));
}

namespace {

// A path with every link and "." and ".." taken out, as far as it exists.
std::string real(const std::string& path) {
  std::error_code ec;
  return fs::weakly_canonical(fs::absolute(path, ec), ec).string();
}
// Where a target's bytes end up, one spelling for each file: the real path of its folder and
// its name there ("" for standard output).
std::string place_of(const Target& t) {
  if (t.kind == Target::Stdout) return "";
  if (t.kind == Target::Stream) return real(t.path);
  return (fs::path(real(dir_of(t.path))) / fs::path(t.path).filename()).string();
}

// The number of the frame a file name is, or 0.
long long frame_number(const std::string& name) {
  long long n = 0;
  if (name.size() < 16 || name.size() > 29 || name.compare(0, 6, "frame-") != 0) return 0;
  for (std::size_t i = 6; i < name.size() - 4; ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    n = n * 10 + (name[i] - '0');
  }
  return frame_name(n) == name ? n : 0;
}

}  // namespace

std::string named_twice(const std::vector<Named>& outputs, const std::string& frames,
                        long long first, long long last) {
  std::string folder = frames;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (!folder.empty()) folder = real(folder);
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const Target& t = *outputs[i].target;
    const std::string place = place_of(t);
    if (place.empty() || t.device) continue;
    for (std::size_t j = 0; j < i; ++j) {
      if (place_of(*outputs[j].target) == place) {
        return std::string(outputs[j].option) + " and " + outputs[i].option + " name the same file";
      }
    }
    if (folder.empty()) continue;
    if (place == folder) return std::string(outputs[i].option) + " names the --frames folder";
    const fs::path p(place);
    const long long n = frame_number(p.filename().string());
    if (p.parent_path() == folder && n >= first && n <= last && n > 0) {
      return std::string(outputs[i].option) + " " + t.given + " is one of the frames of --frames " +
             frames;
    }
  }
  return "";
}

OutputRun::OutputRun() {
  leftovers = Leftovers{};
  struct sigaction sa {};
  sa.sa_handler = on_fatal_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  armed = 1;
}

OutputRun::~OutputRun() {
  armed = 0;
  if (!committed_) remove_uncommitted();
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
}

void OutputRun::forget() { armed = 0; }

void OutputRun::remember() {
  armed = 0;
  handler_paths_.clear();
  for (const Staged& st : staged_) handler_paths_.push_back(st.tmp.c_str());
  for (const std::string& m : made_) handler_paths_.push_back(m.c_str());
  leftovers.files = handler_paths_.data();
  leftovers.nfiles = static_cast<int>(staged_.size());
  leftovers.made = handler_paths_.data() + staged_.size();
  leftovers.nmade = static_cast<int>(made_.size());
  copy_path(leftovers.staging, staging_);
  armed = 1;
}

void OutputRun::remove_uncommitted() {
  forget();
  for (const Staged& st : staged_) {
    if (st.fd >= 0) close(st.fd);
    unlink(st.tmp.c_str());
  }
  staged_.clear();
  if (!staging_.empty()) {
    for (long long n = leftovers.first; n <= leftovers.frames; ++n) {
      unlink((staging_ + "/" + frame_name(n)).c_str());
    }
    rmdir(staging_.c_str());
    staging_.clear();
  }
  for (auto it = made_.rbegin(); it != made_.rend(); ++it) rmdir(it->c_str());
  made_.clear();
}

std::string OutputRun::frames_folder(const std::string& given) {
  std::string err;
  std::string dir = resolve_links(given, err);
  if (!err.empty()) return err;
  // "d1/d2/" is d1/d2: a trailing slash would make it a level of its own.
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  // Made one level at a time, so that a failed run removes exactly the folders it made.
  std::vector<std::string> missing;
  for (fs::path p = dir; !p.empty(); p = p.parent_path()) {
    struct stat st;
    if (stat(p.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return why(given, ENOTDIR);
      break;
    }
    if (errno != ENOENT) return why(given, errno);
    missing.push_back(p.string());
    if (p == p.parent_path()) break;
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    // Remembered before it exists, as frames are.
    forget();
    made_.push_back(*it);
    remember();
    if (mkdir(it->c_str(), 0777) != 0) {
      const int e = errno;
      forget();
      made_.pop_back();
      remember();
      return "cannot make the frame folder " + *it + ": " + std::strerror(e);
    }
  }
  if (faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return why(given, errno);
  std::string tmpl = (fs::path(dir) / ".zoomdive-frames-XXXXXX").string();
  // Frames keep their names from one folder to the other: the longest must fit both.
  if (tmpl.size() + 1 + frame_name(LLONG_MAX).size() >= PATH_MAX) return why(given, ENAMETOOLONG);
  forget();
  const bool made = mkdtemp(tmpl.data()) != nullptr;
  const int e = errno;
  if (made) {
    frames_ = dir;
    staging_ = tmpl;
  }
  remember();
  return made ? "" : why(given, e);
}

std::string OutputRun::frame(long long n, const WriteFn& write) {
  const std::string path = staging_ + "/" + frame_name(n);
  // Counted before the file exists: a signal as it is made removes it too.
  if (leftovers.frames == 0) leftovers.first = static_cast<sig_atomic_t>(n);
  leftovers.frames = static_cast<sig_atomic_t>(n);
  std::FILE* f = std::fopen(path.c_str(), "wbx");
  if (!f) return why(frames_ + "/" + frame_name(n), errno);
  std::string bad = write(f);
  if (std::fflush(f) != 0 && bad.empty()) bad = std::strerror(errno);
  if (std::fclose(f) != 0 && bad.empty()) bad = std::strerror(errno);
  if (!bad.empty()) return "cannot write " + frames_ + "/" + frame_name(n) + ": " + bad;
  return "";
}

std::string OutputRun::reserve(const Target& t) {
  if (t.kind != Target::NewFile && t.kind != Target::File) return "";
  const std::string dir = dir_of(t.path);
  // Hidden, beside the target: the rename into place stays within one file system. The name
  // is cut to fit where the target's own name is as long as a name may be.
  std::string name = fs::path(t.path).filename().string();
  constexpr std::size_t around = 8;  // "." before, ".XXXXXX" after
  if (name.size() + around > NAME_MAX) name.resize(NAME_MAX - around);
  std::string tmp = dir + "/." + name + ".XXXXXX";
  forget();
  const int fd = mkstemp(tmp.data());
  const int e = errno;
  if (fd >= 0) staged_.push_back({tmp, t.path, t.given, fd});
  remember();
  if (fd < 0) {
    return "cannot write " + t.given + ": no new file can be made in " + dir + ": " +
           std::strerror(e);
  }
  // mkstemp makes the file private: give it the mode an existing file had, or the one a new
  // file gets; and the existing file's owner where we may.
  mode_t mode;
  if (t.kind == Target::File) {
    mode = t.mode;
    if (fchown(fd, t.uid, t.gid) != 0) {
      // Not ours to give away: the file becomes ours, as any rewrite by another user would.
    }
  } else {
    mode = umask(0);
    umask(mode);
    mode = 0666 & ~mode;
  }
  fchmod(fd, mode);
  return "";
}

std::string OutputRun::stage(const Target& t, const WriteFn& write) {
  auto reserved = [&] {
    return std::find_if(staged_.begin(), staged_.end(),
                        [&](const Staged& st) { return st.to == t.path && st.fd >= 0; });
  };
  if (reserved() == staged_.end()) {
    if (std::string err = reserve(t); !err.empty()) return err;
  }
  Staged& st = *reserved();
  const std::string& path = t.given;
  std::FILE* f = fdopen(st.fd, "wb");
  if (!f) {
    const int e = errno;
    close(st.fd);
    st.fd = -1;
    return why(path, e);
  }
  st.fd = -1;  // the stream's now
  std::string bad = write(f);
  if (std::fflush(f) != 0 && bad.empty()) bad = std::strerror(errno);
  if (fsync(fileno(f)) != 0 && bad.empty() && errno != EINVAL) bad = std::strerror(errno);
  if (std::fclose(f) != 0 && bad.empty()) bad = std::strerror(errno);
  if (!bad.empty()) return "cannot write " + path + ": " + bad;
  return "";
}

std::string OutputRun::write(const Target& t, const WriteFn& write) {
  switch (t.kind) {
    case Target::NewFile:
    case Target::File:
      return stage(t, write);
    case Target::Stream: {
      // O_APPEND-free, no truncation: a device or a pipe takes the bytes as they come.
      const int fd = open(t.path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
      if (fd < 0) return why(t.given, errno);
      std::FILE* f = fdopen(fd, "wb");
      if (!f) {
        const int e = errno;
        close(fd);
        return why(t.given, e);
      }
      std::string bad = write(f);
      if (std::fflush(f) != 0 && bad.empty()) bad = std::strerror(errno);
      if (std::fclose(f) != 0 && bad.empty()) bad = std::strerror(errno);
      return bad.empty() ? "" : "cannot write " + t.given + ": " + bad;
    }
    case Target::Stdout: {
      std::string bad = write(stdout);
      if (std::fflush(stdout) != 0 && bad.empty()) bad = std::strerror(errno);
      return bad.empty() ? "" : "cannot write standard output: " + bad;
    }
  }
  return "";
}

std::string OutputRun::commit() {
  // Staged files keep their temporary names until the whole run has succeeded. A folder where
  // a file goes would stop the moves halfway: look for one before moving anything.
  auto folder_at = [](const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  };
  for (const Staged& s : staged_) {
    if (folder_at(s.to)) return why(s.name, EISDIR);
  }
  for (long long n = leftovers.first; !staging_.empty() && n <= leftovers.frames; ++n) {
    if (folder_at(frames_ + "/" + frame_name(n))) return why(frames_ + "/" + frame_name(n), EISDIR);
  }
  forget();  // from here on the handler would remove files no longer ours
  for (Staged& s : staged_) {
    if (std::rename(s.tmp.c_str(), s.to.c_str()) != 0) {
      const std::string err = why(s.name, errno);
      std::erase_if(staged_, [](const Staged& st) { return st.tmp.empty(); });
      remember();
      return err;
    }
    s.tmp.clear();
  }
  std::erase_if(staged_, [](const Staged& s) { return s.tmp.empty(); });
  remember();
  if (!staging_.empty()) {
    for (long long n = leftovers.first; n <= leftovers.frames; ++n) {
      const std::string from = staging_ + "/" + frame_name(n);
      const std::string to = frames_ + "/" + frame_name(n);
      if (std::rename(from.c_str(), to.c_str()) != 0) return why(to, errno);
    }
    rmdir(staging_.c_str());
    staging_.clear();
  }
  committed_ = true;
  armed = 0;
  return "";
}

std::string save_new(const std::string& prefix, const std::string& suffix, const WriteFn& write,
                     std::string& name) {
  for (int n = 1; n <= 99999; ++n) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d", n);
    name = prefix + buf + suffix;
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return why(name, errno);
    }
    std::FILE* f = fdopen(fd, "wb");
    std::string bad = f ? write(f) : std::strerror(errno);
    if (f && std::fflush(f) != 0 && bad.empty()) bad = std::strerror(errno);
    if (f ? std::fclose(f) != 0 : close(fd) != 0) {
      if (bad.empty()) bad = std::strerror(errno);
    }
    if (!bad.empty()) {
      unlink(name.c_str());  // ours: made by this call
      return "cannot write " + name + ": " + bad;
    }
    return "";
  }
  return "cannot write " + prefix + "NNNN" + suffix + ": every name is taken";
}

}  // namespace zd
