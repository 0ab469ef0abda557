// outputs.h — zoomdive-render's outputs: checked before anything is computed, written where the
// user pointed without destroying what stood there, and kept only if the whole run succeeds.
#pragma once
#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace zd {

// zoomdive-render's two ways to end badly, each one line on stderr: a failure while running
// (returns exit status 1) and unusable arguments (status 2, pointing at --help).
int fail(const std::string& msg);
int usage_error(const std::string& msg);

// One output as found before the run.
struct Target {
  std::string given;  // as the user wrote it: messages name it
  std::string path;   // where the bytes go: a symlink's final target
  enum Kind {
    NewFile,  // a regular file that does not exist yet
    File,     // an existing regular file: replaced whole, its mode and owner kept
    Stream,   // a character device or a FIFO: written directly, never replaced
    Stdout,   // "-"
  } kind = NewFile;
  bool device = false;  // a Stream that is a character device: outputs may share it
  mode_t mode = 0;  // of an existing file
  uid_t uid = 0;
  gid_t gid = 0;
};

// Finds what `given` names and whether it can be written. Returns "" or the reason it cannot
// (the path and strerror of the failing call). Directories, block devices and sockets are
// refused: no picture is meant to go there.
std::string find_target(const std::string& given, Target& t);

// One output as the command line named it, for named_twice().
struct Named {
  const char* option;  // "-o", "--screen", ...
  const Target* target;
};
// Whether two of the outputs are one file however they are spelled (the real path of the folder,
// and the name in it), or one of them is the frame folder (frames, "" for none) or one of the
// frames it gets, numbers first to last. Returns "" or what is wrong (an unusable command line).
// Character devices may take any number of outputs.
std::string named_twice(const std::vector<Named>& outputs, const std::string& frames,
                        long long first, long long last);

// Writes bytes into a stream; returns "" or the reason it failed.
using WriteFn = std::function<std::string(std::FILE*)>;

// The outputs of one run. Files are written to temporary files beside their targets and moved
// into place by commit(); streams are written at once. Whatever has not been committed when
// the run ends (a failure, or SIGINT, SIGTERM or SIGHUP) is removed again, and so is a frame
// folder the run made: a failed run leaves nothing of its own behind, and nothing that stood
// there before is changed.
class OutputRun {
 public:
  OutputRun();
  ~OutputRun();
  OutputRun(const OutputRun&) = delete;
  OutputRun& operator=(const OutputRun&) = delete;

  // The folder for numbered frames: made (with its parents) if missing, else it must be a
  // writable folder. Frames are staged in a hidden folder inside it until commit().
  std::string frames_folder(const std::string& given);
  // Makes the temporary file of t, if it is a file, at once: so that one that cannot be made
  // stops the run before any work. write() makes it if this was not called.
  std::string reserve(const Target& t);
  // Stages frame number n as DIR/frame-%06d.png: numbers one after another, from any first.
  std::string frame(long long n, const WriteFn& write);

  // Writes t: a file to its temporary file, a stream or standard output directly.
  std::string write(const Target& t, const WriteFn& write);

  // Moves every staged file into place. Returns "" or the reason a move failed.
  std::string commit();

 private:
  struct Staged {
    std::string tmp, to, name;  // temporary file, its place, the name the user gave
    int fd = -1;                // open until written
  };
  std::string stage(const Target& t, const WriteFn& write);
  // What the signal handler removes: forget() before changing it, remember() after.
  void forget();
  void remember();
  void remove_uncommitted();

  std::vector<Staged> staged_;
  std::string frames_, staging_;      // frame folder and its hidden staging folder
  std::vector<std::string> made_;     // folders this run made, deepest last
  std::vector<const char*> handler_paths_;  // the handler's copy: temporaries, then made_
  bool committed_ = false;
};

// Writes a new file PREFIX0001SUFFIX, PREFIX0002SUFFIX, ... in the working folder, the first
// name that does not exist: never over another file. name is the one written; returns "" or
// the reason (and removes what it began).
std::string save_new(const std::string& prefix, const std::string& suffix, const WriteFn& write,
                     std::string& name);

}  // namespace zd
