// test_window.cpp — the explorer in a real window: an X server of the test's own (Xvfb, a
// 1280 x 1024 screen), synthetic mouse input (xdotool) and screenshots (ImageMagick's import).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// Last: its macros (None, Status, ...) would break the headers above.
#include <X11/Xlib.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Start view of the dive: centred on the cusp of the set's main body, where the boundary keeps
// its detail at every depth. Points inside cost the whole (high) limit, so a second's dive takes
// few steps on any machine and stays far from where double precision runs out.
const char* const CUSP_VIEW = "-0.3 -0.2 0.0375 -0.0375 20000";
const char* const SEAHORSE_VIEW = "0.7 0.8 -0.15 -0.075 300";

// 480 x 360 RGB, top row first, as the window and the renderer's PNG show it.
struct Picture {
  int width = 0, height = 0;
  std::vector<unsigned char> rgb;
  unsigned px(int x, int y) const {
    const unsigned char* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
    return p[0] | p[1] << 8 | p[2] << 16;
  }
  bool operator==(const Picture&) const = default;
};

bool read_png(const fs::path& file, Picture& out) {
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&img, file.c_str())) return false;
  img.format = PNG_FORMAT_RGB;
  out.width = static_cast<int>(img.width);
  out.height = static_cast<int>(img.height);
  out.rgb.assign(PNG_IMAGE_SIZE(img), 0);
  return png_image_finish_read(&img, nullptr, out.rgb.data(), 0, nullptr) != 0;
}

int count_differing(const Picture& a, const Picture& b) {
  if (a.width != b.width || a.height != b.height) return -1;
  int n = 0;
  for (int y = 0; y < a.height; ++y) {
    for (int x = 0; x < a.width; ++x) n += a.px(x, y) != b.px(x, y);
  }
  return n;
}

std::string slurp(const fs::path& p) {
  std::ifstream f(p);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// A program started with its output in files (prefix the arguments with "env" to change the
// environment it sees).
class Process {
 public:
  Process(const std::vector<std::string>& args, const fs::path& out, const fs::path& err) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
  }
  ~Process() {
    int status;
    if (running()) kill(pid_, SIGTERM);  // lets Xvfb remove its lock file
    if (running() && !wait(3s, status)) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool started() const { return pid_ > 0; }
  bool running() const { return pid_ > 0 && !done_; }
  // Waits for the end; false if it is still running after the timeout.
  bool wait(std::chrono::milliseconds timeout, int& status) {
    const auto end = Clock::now() + timeout;
    while (running()) {
      int st = 0;
      const pid_t r = waitpid(pid_, &st, WNOHANG);
      if (r == pid_) {
        done_ = true;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      } else if (Clock::now() > end) {
        return false;
      } else {
        std::this_thread::sleep_for(20ms);
      }
    }
    status = status_;
    return true;
  }

 private:
  pid_t pid_ = -1;
  bool done_ = false;
  int status_ = -1;
};

// Polls until ready() or the timeout.
bool eventually(std::chrono::milliseconds timeout, const std::function<bool()>& ready) {
  const auto end = Clock::now() + timeout;
  for (;;) {
    if (ready()) return true;
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(100ms);
  }
}

// One Xvfb for the whole suite.
class Screen {
 public:
  static Screen& get() {
    static Screen s;
    return s;
  }
  bool up() const { return display_ != nullptr; }
  const std::string& why() const { return why_; }
  const std::string& name() const { return name_; }
  Display* x() const { return display_; }
  const fs::path& dir() const { return dir_; }

  ~Screen() {
    if (display_) XCloseDisplay(display_);
    server_.reset();
    fs::remove_all(dir_);
  }

 private:
  Screen() {
    dir_ = fs::temp_directory_path() / ("zdwindow-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    // A display number nobody uses.
    int n = 90 + getpid() % 100;
    for (int tries = 0; tries < 100 && (fs::exists("/tmp/.X11-unix/X" + std::to_string(n)) ||
                                        fs::exists("/tmp/.X" + std::to_string(n) + "-lock"));
         ++tries) {
      n = 90 + (n - 90 + 1) % 400;
    }
    name_ = ":" + std::to_string(n);
    server_ = std::make_unique<Process>(
        std::vector<std::string>{"Xvfb", name_, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"},
        dir_ / "xvfb.out", dir_ / "xvfb.err");
    if (!server_->started()) {
      why_ = "Xvfb is not installed";
      return;
    }
    eventually(10s, [&] {
      display_ = XOpenDisplay(name_.c_str());
      return display_ != nullptr || !server_->running() || exited();
    });
    if (!display_) why_ = "Xvfb " + name_ + " did not start: " + slurp(dir_ / "xvfb.err");
  }
  bool exited() {
    int st;
    return server_->wait(0ms, st);
  }

  fs::path dir_;
  std::string name_, why_;
  std::unique_ptr<Process> server_;
  Display* display_ = nullptr;
};

// Output of a shell command run against the test's X server.
std::string sh(const std::string& cmd) {
  const std::string full = "DISPLAY=" + Screen::get().name() + " " + cmd + " 2>/dev/null";
  std::string out;
  if (FILE* p = popen(full.c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
  }
  return out;
}

class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Screen::get().up()) {
      GTEST_SKIP() << "no X server for window tests: " << Screen::get().why();
    }
    dir = Screen::get().dir() / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(dir);
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(dir);
  }

  // Starts the explorer with these arguments and waits for its window.
  void start(const std::string& view) {
    // Under AddressSanitizer the window system's own run-time loaded libraries leave a few
    // hundred bytes behind that cannot even be named (the program's code is leak-checked in
    // the other suites); ThreadSanitizer cannot see into the system's OpenGL driver.
    std::vector<std::string> args = {"env", "DISPLAY=" + Screen::get().name(),
                                     "ASAN_OPTIONS=detect_leaks=0",
                                     std::string("TSAN_OPTIONS=suppressions=") + ZD_TSAN_SUPP,
                                     ZD_EXPLORER_BIN};
    std::istringstream in(view);
    for (std::string a; in >> a;) args.push_back(a);
    app = std::make_unique<Process>(args, dir / "out", dir / "err");
    ASSERT_TRUE(eventually(20s, [&] {
      window = sh("xdotool search --name '^zoomdive$'");
      return !window.empty() || !app->running();
    })) << "no window; stderr: " << slurp(dir / "err");
    window = window.substr(0, window.find('\n'));
    ASSERT_FALSE(window.empty()) << "stderr: " << slurp(dir / "err");
  }
  // Starts the explorer and waits until its window shows the renderer's first picture.
  Picture start_and_wait(const std::string& view) {
    const Picture want = render(view, dir / "want.png");
    start(view);
    Picture got;
    eventually(60s, [&] { return (got = shot()) == want; });
    EXPECT_EQ(count_differing(got, want), 0) << "pixels differing from zoomdive-render's picture";
    return got;
  }
  Picture shot() {
    Picture p;
    const fs::path file = dir / "shot.png";
    fs::remove(file);
    sh("import -window " + window + " png:" + file.string());
    if (!read_png(file, p)) p = Picture{};
    return p;
  }
  // The picture once it has not changed for half a second.
  Picture settled(std::chrono::milliseconds timeout = 30s) {
    Picture last = shot();
    eventually(timeout, [&] {
      std::this_thread::sleep_for(400ms);
      Picture now = shot();
      const bool same = now == last;
      last = std::move(now);
      return same;
    });
    return last;
  }
  static Picture render(const std::string& view, const fs::path& file) {
    Picture p;
    const std::string cmd = std::string(ZD_RENDER_BIN) + " -o " + file.string() + " -- " + view;
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    EXPECT_TRUE(read_png(file, p));
    return p;
  }
  void expect_exit_0() {
    int status = -1;
    ASSERT_TRUE(app->wait(10s, status)) << "still running";
    EXPECT_EQ(status, 0) << slurp(dir / "err");
  }

  fs::path dir;
  std::unique_ptr<Process> app;
  std::string window;
};

TEST_F(Window, FirstPictureIsTheRenderersScaledWhenResizedAndRightButtonQuits) {
  for (const std::string view : {"", SEAHORSE_VIEW}) {
    SCOPED_TRACE(view);
    const Picture want = start_and_wait(view);
    Picture got;

    // Twice the size (moved to where the screen has room for it): every pixel doubled.
    sh("xdotool windowmove " + window + " 0 0 windowsize " + window + " 960 720");
    ASSERT_TRUE(eventually(10s, [&] { return (got = shot()).width == 960 && got.height == 720; }));
    int wrong = 0;
    eventually(10s, [&] {
      got = shot();
      wrong = 0;
      for (int y = 0; y < 720 && got.width == 960 && got.height == 720; ++y) {
        for (int x = 0; x < 960; ++x) wrong += got.px(x, y) != want.px(x / 2, y / 2);
      }
      return got.width == 960 && wrong == 0;
    });
    EXPECT_EQ(wrong, 0) << "pixels not scaled by 2";

    sh("xdotool click 3");
    expect_exit_0();
  }
}

// Blocks of 4 x 4 pixels (the logo's rows aside) that are not all one colour. A picture left
// coarse has none.
int detailed_blocks(const Picture& p) {
  int n = 0;
  for (int by = 0; by + 4 <= 360 - 20 && p.width == 480; by += 4) {
    for (int bx = 0; bx < 480; bx += 4) {
      bool uniform = true;
      for (int i = 0; i < 16; ++i) uniform &= p.px(bx + i % 4, by + i / 4) == p.px(bx, by);
      n += !uniform;
    }
  }
  return n;
}

TEST_F(Window, HeldLeftButtonDivesAndTheReleasedPictureIsRefined) {
  const Picture first = start_and_wait(CUSP_VIEW);
  ASSERT_GT(detailed_blocks(first), 100);
  sh("xdotool mousedown 1 sleep 1 mouseup 1");
  // The refinement of a deep view may take a while; a coarse picture never gets detail.
  Picture after;
  eventually(60s, [&] { return detailed_blocks(after = shot()) > 100; });
  EXPECT_GT(detailed_blocks(after), 100) << "blocks with detail inside, of " << 120 * 85;
  EXPECT_GT(count_differing(first, after), 480 * 360 / 100) << "the view did not change";
  sh("xdotool click 3");
  expect_exit_0();
}

TEST_F(Window, PointerMotionShiftsThePictureByWholeBlocks) {
  const Picture before = start_and_wait(SEAHORSE_VIEW);
  sh("xdotool mousemove_relative 40 0");  // to the right: the content slides left
  ASSERT_TRUE(eventually(30s, [&] { return shot() != before; })) << "nothing moved";
  const Picture after = settled();
  ASSERT_EQ(after.width, 480);
  int shift = 0;
  for (int s = 4; s < 480 && shift == 0; s += 4) {
    bool kept = true;
    for (int y = 0; y < 360 - 18 && kept; ++y) {  // above the logo
      for (int x = 0; x + s < 480 && kept; ++x) kept = after.px(x, y) == before.px(x + s, y);
    }
    if (kept) shift = s;
  }
  EXPECT_GT(shift, 0) << "the old picture does not reappear moved by a multiple of 4";
  // 40 screen pixels are 15 grid columns, which the pan turns into 28 picture columns.
  EXPECT_EQ(shift, 28);
  sh("xdotool click 3");
  expect_exit_0();
}

TEST_F(Window, ClosingTheWindowEndsTheProgram) {
  start_and_wait("");
  // What a window manager's close does: ask the client through WM_DELETE_WINDOW.
  Display* x = Screen::get().x();
  XEvent ev{};
  ev.xclient.type = ClientMessage;
  ev.xclient.window = std::stoul(window);
  ev.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
  ev.xclient.data.l[1] = CurrentTime;
  XSendEvent(x, ev.xclient.window, False, NoEventMask, &ev);
  XFlush(x);
  expect_exit_0();
}

// Needs no X server: it must work where there is none.
TEST(Explorer, WithoutADisplayItSaysSoAndExits1) {
  const fs::path dir = fs::temp_directory_path() / ("zdnodisplay-" + std::to_string(getpid()));
  fs::create_directories(dir);
  Process app({"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", ZD_EXPLORER_BIN}, dir / "out",
              dir / "err");
  int status = -1;
  ASSERT_TRUE(app.wait(20s, status));
  EXPECT_EQ(status, 1);
  const std::string err = slurp(dir / "err");
  EXPECT_EQ(err, "zoomdive: cannot open a window: no display (DISPLAY is not set)\n");
  EXPECT_EQ(slurp(dir / "out"), "");

  // And arguments it cannot use are refused before any window is looked for.
  Process bad({"env", "-u", "DISPLAY", ZD_EXPLORER_BIN, "1", "1", "-1", "1", "50"}, dir / "out",
              dir / "err");
  ASSERT_TRUE(bad.wait(20s, status));
  EXPECT_EQ(status, 2);
  EXPECT_EQ(slurp(dir / "err"), "zoomdive: x1 and x2 are equal: the view has no width\n");
  fs::remove_all(dir);
}

}  // namespace
