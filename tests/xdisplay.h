// xdisplay.h — for tests of a real window: an X server of the test's own (Xvfb), programs run
// beside it, input through xdotool, pictures of windows (read from the server) and PNG files.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "files.h"

// Last: its macros (None, Status, ...) would break the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern char** environ;

namespace xd {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ms = std::chrono::milliseconds;

using zd::test::Picture;
using zd::test::read_png;
using zd::test::slurp;

// Asks until ready() or the time is up; whether it became ready.
template <class F>
bool eventually(ms timeout, F ready) {
  for (const auto end = std::chrono::steady_clock::now() + timeout; !ready();) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// A shell command: it may set variables and redirect output, and "exec" gives the program the
// process (and pid) of its own. Ended with SIGTERM, then SIGKILL, if it still runs at the end.
class Process {
 public:
  explicit Process(const std::string& command) {
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    if (posix_spawn(&pid_, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ))
      pid_ = -1;
  }
  Process(const Process&) = delete;
  ~Process() {
    if (pid_ <= 0 || status_) return;
    kill(pid_, SIGTERM);  // lets Xvfb remove its lock file
    if (!wait(5s)) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  // The exit status (128 + the signal if one ended it), once it has ended within the timeout.
  std::optional<int> wait(ms timeout) {
    eventually(timeout, [&] {
      int st = 0;
      if (!status_ && pid_ > 0 && waitpid(pid_, &st, WNOHANG) == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      }
      return status_ || pid_ <= 0;
    });
    return status_;
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// Xvfb with one 1280 x 1024 x 24 screen, on a display number it finds free itself. x() is null
// if it did not start (dir/xvfb.log says why).
class XServer {
 public:
  explicit XServer(const fs::path& dir) : dir_(dir) {
    int fds[2];
    if (pipe(fds) != 0) return;
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    server_.emplace("exec Xvfb -displayfd " + std::to_string(fds[1]) +
                    " -screen 0 1280x1024x24 -nolisten tcp >" + (dir / "xvfb.log").string() +
                    " 2>&1");
    ::close(fds[1]);
    std::string number;  // written once the server accepts connections
    pollfd p = {fds[0], POLLIN, 0};
    for (char c; poll(&p, 1, 30000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n';) number += c;
    ::close(fds[0]);
    name_ = ":" + number;
    if (number.empty() || !(x_ = XOpenDisplay(name_.c_str()))) return;
    fcntl(ConnectionNumber(x_), F_SETFD, FD_CLOEXEC);  // not for the programs it starts
    // A request about a window that is gone fails; the caller sees that, the test goes on.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  }
  ~XServer() {
    if (x_) XCloseDisplay(x_);
  }
  Display* x() const { return x_; }
  const std::string& name() const { return name_; }

  // Runs xdotool with these arguments; whether it succeeded.
  bool xdotool(const std::string& args) const {
    const std::string log = (dir_ / "xdotool.log").string();
    Process xdotool("DISPLAY=" + name_ + " exec xdotool " + args + " >>" + log + " 2>&1");
    return xdotool.wait(30s) == 0;
  }
  // The newest top-level window whose title begins with this one, or 0.
  Window window(const std::string& title) const {
    Window root, parent, *kids = nullptr, found = 0;
    unsigned n = 0;
    XQueryTree(x_, DefaultRootWindow(x_), &root, &parent, &kids, &n);
    for (unsigned i = 0; i < n; ++i) {
      char* name = nullptr;
      if (XFetchName(x_, kids[i], &name) && std::string(name).rfind(title, 0) == 0) found = kids[i];
      XFree(name);
    }
    XFree(kids);
    return found;
  }
  // The window's title (UTF-8), or "".
  std::string title(Window w) const {
    XTextProperty p{};
    std::string t;
    if (XGetWMName(x_, w, &p) && p.value) t.assign(reinterpret_cast<char*>(p.value), p.nitems);
    XFree(p.value);
    return t;
  }
  // What the window shows; empty if it is gone or not mapped.
  Picture shot(Window w) const {
    XWindowAttributes a;
    XImage* img = w && XGetWindowAttributes(x_, w, &a)
                      ? XGetImage(x_, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap)
                      : nullptr;
    if (!img) return {};
    Picture p{a.width, a.height, std::vector<unsigned char>(a.width * a.height * 3)};
    const unsigned long masks[3] = {img->red_mask, img->green_mask, img->blue_mask};
    for (std::size_t i = 0; i < p.rgb.size(); ++i) {
      const unsigned long v = XGetPixel(img, i / 3 % a.width, i / 3 / a.width);
      p.rgb[i] = (v & masks[i % 3]) >> std::countr_zero(masks[i % 3]);
    }
    XDestroyImage(img);
    return p;
  }
  // What a window manager's close button does: asks the client through WM_DELETE_WINDOW.
  void close(Window w) const {
    XEvent ev{};
    ev.xclient = {ClientMessage, 0, False, x_, w, XInternAtom(x_, "WM_PROTOCOLS", False), 32, {}};
    ev.xclient.data.l[0] = static_cast<long>(XInternAtom(x_, "WM_DELETE_WINDOW", False));
    XSendEvent(x_, w, False, NoEventMask, &ev);
    XFlush(x_);
  }

 private:
  fs::path dir_;
  std::string name_;
  std::optional<Process> server_;
  Display* x_ = nullptr;
};

}  // namespace xd
