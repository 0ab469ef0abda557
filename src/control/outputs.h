// outputs.h — zoomdive-render's outputs: checked before anything is computed, written where the
// user pointed without destroying what stood there, and kept only if the whole run succeeds.
#pragma once
#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace zd {

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
  mode_t mode = 0;  // of an existing file
  uid_t uid = 0;
  gid_t gid = 0;
};

// Finds what `given` names and whether it can be written. Returns "" or the reason it cannot
// (the path and strerror of the failing call). Directories, block devices and sockets are
// refused: no picture is meant to go there.
std::string find_target(const std::string& given, Target& t);

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
  // Stages frame number n as DIR/frame-%06d.png: numbers one after another, from any first.
  std::string frame(long long n, const WriteFn& write);

  // Writes t: a file to its temporary file, a stream or standard output directly.
  std::string write(const Target& t, const WriteFn& write);

  // Moves every staged file into place. Returns "" or the reason a move failed.
  std::string commit();

 private:
  struct Staged {
    std::string tmp, to, name;  // temporary file, its place, the name the user gave
  };
  std::string stage(const Target& t, const WriteFn& write);
  void remember();  // refreshes what the signal handler removes
  void remove_uncommitted();

  std::vector<Staged> staged_;
  std::string frames_, staging_;      // frame folder and its hidden staging folder
  std::vector<std::string> made_;     // folders this run made, deepest last
  bool committed_ = false;
};

// Writes a new file PREFIX0001SUFFIX, PREFIX0002SUFFIX, ... in the working folder, the first
// name that does not exist: never over another file. name is the one written; returns "" or
// the reason (and removes what it began).
std::string save_new(const std::string& prefix, const std::string& suffix, const WriteFn& write,
                     std::string& name);

}  // namespace zd
