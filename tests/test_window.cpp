// test_window.cpp — the explorer in a real window, on an X server of the test's own.
#include <gtest/gtest.h>

#include "xdisplay.h"

namespace {

using namespace xd;

// Start view of the dive: centred on the cusp of the set's main body, where the boundary keeps
// its detail at every depth. Points inside cost the whole (high) limit, so a second's dive takes
// few steps on any machine and stays far from where double precision runs out.
const char* const CUSP_VIEW = "-0.3 -0.2 0.0375 -0.0375 20000";
const char* const SEAHORSE_VIEW = "0.7 0.8 -0.15 -0.075 300";
// Every point escapes at once: steps as fast as the explorer can take them.
const char* const FAR_VIEW = "4 6 -1 1 50";

class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir);
    xs.emplace(dir);
    if (!xs->x()) GTEST_SKIP() << "no X server for window tests: " << slurp(dir / "xvfb.log");
  }
  void TearDown() override {
    app.reset();
    xs.reset();
    if (!HasFailure()) fs::remove_all(dir);
  }

  // What zoomdive-render shows for the view (the explorer's arguments), after a recorded
  // session; options go before the view (a window's size, a poster's).
  Picture render(const std::string& view, const std::string& session = "",
                 const std::string& options = "") {
    std::string cmd = std::string(ZD_RENDER_BIN) + " " + options + " -o " + (dir / "want.png").string();
    if (!session.empty()) {
      std::ofstream(dir / "session") << session;
      cmd += " --replay " + (dir / "session").string();
    }
    cmd += (view.rfind("--view", 0) == 0 ? " " : " -- ") + view;
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return read_png(dir / "want.png");
  }
  // Starts the explorer in dir with these options and the view, after the shell's commands.
  void launch(const std::string& options, const std::string& view, const std::string& shell = "") {
    // The window system's libraries leave blocks nobody can free; its OpenGL driver is not
    // instrumented.
    app.emplace("cd " + dir.string() + " && " + shell + "DISPLAY=" + xs->name() +
                " ASAN_OPTIONS=detect_leaks=0 TSAN_OPTIONS=suppressions=" + ZD_TSAN_SUPP +
                " exec " + ZD_EXPLORER_BIN + " " + options + " " + view + " >" +
                (dir / "out").string() + " 2>" + (dir / "err").string());
  }
  // Starts the explorer and waits until its window shows the renderer's first picture.
  Picture start(const std::string& view, const std::string& options = "",
                const std::string& shell = "") {
    // The renderer takes the window's size, if given, as the explorer does.
    const std::size_t at = options.find("--window ");
    const Picture want = render(view, "", at == std::string::npos ? "" : options.substr(at, options.find(' ', at + 9) - at));
    launch(options, view, shell);
    // SDL may replace its first window by another: look again until one shows the picture.
    Picture got;
    eventually(60s, [&] {
      win = xs->window("zoomdive");
      return (got = shot()) == want || app->wait(0ms);
    });
    EXPECT_EQ(got.differing(want), 0) << "pixels unlike the renderer's; " << slurp(dir / "err");
    return want;
  }
  // The line P prints, once the explorer has printed it.
  std::string press_p() {
    const std::size_t before = slurp(dir / "out").size();
    std::string out;
    xdotool("key p");
    EXPECT_TRUE(eventually(30s, [&] {
      out = slurp(dir / "out");
      return out.size() > before && out.back() == '\n';
    }));
    return out.substr(before, out.size() - before - 1);
  }
  // The explorer's user and system time, in clock ticks.
  long ticks() const {
    long user = 0, system = 0;
    const std::string stat = slurp("/proc/" + std::to_string(app->pid()) + "/stat");
    std::sscanf(stat.c_str(), "%*d %*s %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &user,
                &system);
    return user + system;
  }
  // Waits until the explorer rests: no CPU time over half a second.
  bool resting() {
    return eventually(120s, [&] {
      const long t0 = ticks();
      std::this_thread::sleep_for(500ms);
      return ticks() == t0;
    });
  }
  Picture shot() { return xs->shot(win); }
  void xdotool(const std::string& args) { EXPECT_TRUE(xs->xdotool(args)) << args; }
  void expect_exit_0() {
    const std::optional<int> status = app->wait(30s);
    ASSERT_TRUE(status) << "still running";
    EXPECT_EQ(*status, 0) << slurp(dir / "err");
  }

  const fs::path dir = fs::temp_directory_path() / ("zdwindow-" + std::to_string(getpid()));
  std::optional<XServer> xs;
  std::optional<Process> app;
  ::Window win = 0;
};

// Pixels of a and b that differ, outside the logo's corner (124 x 18 at the bottom right).
int differing_outside_logo(const Picture& a, const Picture& b) {
  if (a.width != b.width || a.height != b.height || a.width == 0) return -1;
  int n = 0;
  for (int y = 0; y < a.height; ++y) {
    for (int x = 0; x < a.width; ++x) {
      n += (y < a.height - 18 || x < a.width - 124) && a.px(x, y) != b.px(x, y);
    }
  }
  return n;
}

// The smallest shift s > 0 for which the picture shows the old one moved left by s columns
// (above the logo; at least half of it kept); 0 if there is none.
int shift_of(const Picture& after, const Picture& before) {
  const int w = after.width;
  for (int s = 1; s <= w / 2 && w == before.width; ++s) {
    bool kept = true;
    for (int i = 0; i < (after.height - 18) * w && kept; ++i) {
      kept = i % w + s >= w || after.px(i % w, i / w) == before.px(i % w + s, i / w);
    }
    if (kept) return s;
  }
  return 0;
}

// The window at any size, 4:3 or not, odd or even, from the command line, the window manager or
// F11, shows at rest what zoomdive-render --size writes for its P line's view (the logo aside);
// pans move it by whole blocks of its own pixels, and the session replays to the last view.
TEST_F(Window, AtAnySizeItShowsThePosterOfItsPView) {
  start(SEAHORSE_VIEW, "--window 800x450 --record s.txt");
  const std::string id = std::to_string(win);
  std::string last;
  // At rest at width x height: P names the size, and the poster of its view is the window.
  auto same_as_poster = [&](int width, int height) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    SCOPED_TRACE(size);
    Picture got;
    ASSERT_TRUE(eventually(60s, [&] { return (got = shot()).width == width && got.height == height; }))
        << got.width << " x " << got.height;
    ASSERT_TRUE(resting());
    last = press_p();
    ASSERT_EQ(last.rfind("zoomdive --window " + size + " --view ", 0), 0u) << last;
    const Picture poster = render(last.substr(last.find("--view")), "", "--size " + size);
    EXPECT_EQ(differing_outside_logo(shot(), poster), 0);
  };
  same_as_poster(800, 450);
  // Resized: an odd size, taller than 4:3; then one dive step and a pan there.
  xdotool("windowmove " + id + " 0 0 windowsize " + id + " 601 501");
  same_as_poster(601, 501);
  xdotool("click 1");
  same_as_poster(601, 501);
  const Picture before = shot();
  xdotool("mousemove_relative 40 0");  // 15 grid columns: 601 / 240 pixels each, cut to 36
  int shift = 0;
  EXPECT_TRUE(eventually(30s, [&] { return (shift = shift_of(shot(), before)) == 36; })) << shift;
  // F11: the whole screen (no window manager here).
  xdotool("key F11");
  same_as_poster(1280, 1024);
  xdotool("key q");
  expect_exit_0();
  const std::string script = slurp(dir / "s.txt");
  EXPECT_NE(script.find("\n# START: --window 800x450 -- " + std::string(SEAHORSE_VIEW) + "\n"),
            std::string::npos) << script;
  const std::string replay = std::string(ZD_RENDER_BIN) + " --summary --window 800x450 --replay " +
                             (dir / "s.txt").string() + " -- " + SEAHORSE_VIEW + " > " +
                             (dir / "summary").string();
  ASSERT_EQ(std::system(replay.c_str()), 0) << replay;
  EXPECT_EQ(slurp(dir / "summary").substr(0, slurp(dir / "summary").find('\n')),
            "view " + last.substr(last.find("--view") + 7));
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

TEST_F(Window, AShortClickDivesOneStepAndAHeldDiveEndsRefined) {
  const Picture deeper = render(CUSP_VIEW, "L 0 0\n- 0 0\n");
  start(CUSP_VIEW);
  // Stopped, the explorer cannot look between press and release: it finds both at once.
  kill(app->pid(), SIGSTOP);
  xdotool("mousedown 1 mouseup 1");
  kill(app->pid(), SIGCONT);
  Picture got;
  EXPECT_TRUE(eventually(60s, [&] { return (got = shot()) == deeper; }))
      << "pixels unlike one step deeper: " << got.differing(deeper);

  ASSERT_GT(detailed_blocks(deeper), 100);
  xdotool("mousedown 1 sleep 1 mouseup 1");
  // However many steps a build takes in the second, the pictures on the way are coarse; the
  // last one, once refined, has detail again (which may take a while, this deep).
  EXPECT_TRUE(
      eventually(90s, [&] { return (got = shot()) != deeper && detailed_blocks(got) > 100; }))
      << "pixels changed: " << got.differing(deeper)
      << "; blocks with detail inside: " << detailed_blocks(got) << " of " << 120 * 85;
  xdotool("click 3");
  expect_exit_0();
}

// Each notch of the wheel is a step, and a gesture of its own: towards the user a back-out, away
// from the user a dive.
TEST_F(Window, AWheelNotchBacksOutOrDivesOneStep) {
  const Picture out = render(SEAHORSE_VIEW, "M 0 0\n- 0 0\n");
  const Picture back = render(SEAHORSE_VIEW, "M 0 0\n- 0 0\nL 0 0\n- 0 0\n");
  start(SEAHORSE_VIEW);
  Picture got;
  xdotool("click 5");
  EXPECT_TRUE(eventually(60s, [&] { return (got = shot()) == out; }))
      << "pixels unlike one step out: " << got.differing(out);
  xdotool("click 4");
  EXPECT_TRUE(eventually(60s, [&] { return (got = shot()) == back; }))
      << "pixels unlike one step out and one in: " << got.differing(back);
  // Two notches in a row are two gestures: Backspace takes back one of them.
  const Picture again = render(SEAHORSE_VIEW, "M 0 0\n- 0 0\nL 0 0\n- 0 0\nM 0 0\n- 0 0\n");
  xdotool("click --repeat 2 --delay 5 5");
  ASSERT_TRUE(resting());
  xdotool("key BackSpace");
  EXPECT_TRUE(eventually(60s, [&] { return (got = shot()) == again; }))
      << "pixels unlike two notches and one undone: " << got.differing(again);
  xdotool("click 3");
  expect_exit_0();
}

// A recording that cannot be written ends the explorer, its window closed, with status 1 and
// one line naming the file: at start-up (a full device) or later (past the file size limit,
// 512 bytes here), where the lines written whole still replay.
TEST_F(Window, ARecordingThatFailsEndsTheExplorerWithStatus1) {
  const struct { const char* shell; const char* file; const char* message; } cases[] = {
      {"", "/dev/full", "zoomdive: cannot write /dev/full: No space left on device\n"},
      {"ulimit -f 1; ", "r.txt", "zoomdive: cannot write r.txt: File too large\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string options = std::string("--rate 200 --record ") + c.file;
    if (*c.shell) {
      start(FAR_VIEW, options, c.shell);
      xdotool("mousedown 1");  // held until the recording fails
    } else {
      launch(options, FAR_VIEW);
    }
    const std::optional<int> status = app->wait(60s);
    xdotool("mouseup 1");
    ASSERT_TRUE(status) << "still running";
    EXPECT_EQ(*status, 1);
    EXPECT_EQ(slurp(dir / "err"), c.message);
    EXPECT_EQ(xs->window("zoomdive"), 0u);
  }
  const std::string replay = std::string(ZD_RENDER_BIN) + " --summary --replay " +
                             (dir / "r.txt").string() + " -- " + FAR_VIEW + " >/dev/null";
  EXPECT_EQ(std::system(replay.c_str()), 0) << slurp(dir / "r.txt");
}

TEST_F(Window, AtRestItSleepsAndTheNextMotionShiftsThePictureByWholeBlocks) {
  const Picture before = start(SEAHORSE_VIEW);
  // Waiting for the user takes a small part of a core; polling without a pause, all it can
  // get. The two seconds are the time measured, not a wait for something to happen.
  const long t0 = ticks();
  std::this_thread::sleep_for(2s);
  EXPECT_LT(ticks() - t0, 0.3 * 2 * sysconf(_SC_CLK_TCK)) << "clock ticks in 2 s at rest";

  xdotool("mousemove_relative 40 0");  // to the right: the content slides left
  // 40 screen pixels are 15 grid columns, which the pan turns into 28 picture columns.
  int shift = 0;
  EXPECT_TRUE(eventually(30s, [&] { return (shift = shift_of(shot(), before)) == 28; }))
      << "shift " << shift;
  xdotool("click 3");
  expect_exit_0();
}

TEST_F(Window, TheQKeyAndClosingTheWindowEndTheProgram) {
  for (const bool key : {true, false}) {
    SCOPED_TRACE(key ? "Q key" : "WM_DELETE_WINDOW");
    start("");
    key ? xdotool("key q") : xs->close(win);
    expect_exit_0();
  }
}

// A dive at the default pace: each step zooms by a tenth, so a second's dive keeps the border
// in view. An upper bound only: a busy machine may take fewer steps, never more.
TEST_F(Window, HeldButtonsStepNoFasterThanTheRate) {
  for (const int rate : {15, 5}) {
    SCOPED_TRACE(testing::Message() << rate << " steps a second");
    start("0.80 0.70 -0.10 -0.025 200", (rate == 15 ? "" : "--rate 5 ") + std::string("--record r.txt"));
    const auto t0 = std::chrono::steady_clock::now();
    xdotool("mousedown 1 sleep 1 mouseup 1");
    const double held = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_TRUE(resting());
    xdotool("key q");
    expect_exit_0();
    std::istringstream lines(slurp(dir / "r.txt"));
    int steps = 0;
    for (std::string l; std::getline(lines, l);) steps += l[0] == 'L';
    EXPECT_GE(steps, 1);
    EXPECT_LE(steps, rate * held + 2) << "in " << held << " s";
  }
}

// While a picture that would take hours is computed, its title tells how far its pass is, P
// and S answer at once (the view being computed; what the window shows, black so far), and Esc
// ends the explorer.
TEST_F(Window, EscEndsAPictureThatWouldTakeHours) {
  launch("", "3 -2 1.875 -1.874 2000000000");
  // Shown (a key sent before the window is mapped goes elsewhere), and computing.
  ASSERT_TRUE(eventually(60s, [&] {
    win = xs->window("zoomdive");
    return (win != 0 && shot().width == 480) || app->wait(0ms);
  }));
  ASSERT_TRUE(eventually(20s, [&] { return ticks() > 0; }));
  std::string title;
  EXPECT_TRUE(eventually(30s, [&] {
    return (title = xs->title(win)).rfind("zoomdive — coarse pass ", 0) == 0 && title.back() == '%';
  })) << title;
  EXPECT_EQ(press_p(), "zoomdive --view 0.5 0.00049999999999994493 -2.5 -1.8745000000000001 2000000000");
  xdotool("key s");
  EXPECT_TRUE(eventually(30s, [&] { return slurp(dir / "out").find("zoomdive-0001.png\n") != std::string::npos; }));
  EXPECT_EQ(read_png(dir / "zoomdive-0001.png"), (Picture{480, 360, std::vector<unsigned char>(480 * 360 * 3)}));
  // A key that comes in the moment the window is first shown may never reach it; so Esc until
  // the explorer ends (a picture that goes on computing never does).
  EXPECT_TRUE(eventually(60s, [&] { return xs->xdotool("key Escape") && app->wait(500ms); }));
  expect_exit_0();
}

// The same at a deep view (the README's, at a limit no picture reaches): SIGTERM ends the
// explorer while its deep kernel counts, not after the picture.
TEST_F(Window, SigtermEndsADeepPictureThatWouldTakeHours) {
  launch("", "--view 0.743643887037158704752191506114774 -0.131825904205311970493132056385139 "
             "-1.3333333333333333e-21 -1e-21 2147483647");
  ASSERT_TRUE(eventually(60s, [&] {
    win = xs->window("zoomdive");
    return (win != 0 && shot().width == 480) || app->wait(0ms);
  }));
  // Past the reference orbit (a nucleus's, found in a fraction of a second): counting points.
  ASSERT_TRUE(eventually(60s, [&] { return ticks() > 300; }));
  kill(app->pid(), SIGTERM);
  EXPECT_EQ(app->wait(60s), std::optional<int>(0)) << slurp(dir / "err");
}

// A session with dives, a drag, pans, the wheel, Home and limit keys, undo and redo and N, as
// --record writes it, replays to the last P position and the last picture; P's command shows the
// S picture; undo and redo come back to exactly the P positions; L's file starts the same view.
TEST_F(Window, ARecordedSessionReplaysToItsLastPositionAndSavedPicture) {
  const std::string view = "0.80 0.70 -0.10 -0.025 200";
  start(view, "--record s.txt");
  // P and S at rest, with the last line printed: the position and the picture's file.
  auto keep = [&](const char* file) {
    ASSERT_TRUE(resting());
    xdotool("key p key s");
    ASSERT_TRUE(eventually(30s, [&] { return slurp(dir / "out").find(file) != std::string::npos; }));
  };
  for (const char* act : {"mousedown 1 sleep 0.4 mouseup 1", "mousemove_relative 20 -10",
                          "key bracketright", "mousedown 1 mousedown 2 sleep 0.2",
                          "mousemove_relative 12 8 sleep 0.2 mouseup 1 mouseup 2", "key Home",
                          "click 4", "click 4"}) {
    xdotool(act);
  }
  keep("zoomdive-0001.png");
  // C: the next colouring, smooth, which P, S, the recording and the replay keep.
  for (const char* act : {"mousedown 2 sleep 0.3 mouseup 2", "key bracketleft", "key c",
                          "mousemove_relative -- -9 14"}) {
    xdotool(act);
  }
  keep("zoomdive-0002.png");
  // Undone by either key: the pan, the limit key, the back-out; then redone by either pair.
  xdotool("key BackSpace key ctrl+z key ctrl+z");
  ASSERT_TRUE(resting());
  const std::string back = press_p();
  xdotool("key ctrl+shift+z key ctrl+y key ctrl+y");
  ASSERT_TRUE(resting());
  const std::string forth = press_p();
  // N from the start view: to the copy in it, its P line printed after its period; L: that view
  // as a location file, which --location reads back to the same view.
  const std::size_t before_n = slurp(dir / "out").size();
  xdotool("key Home key n");
  std::string copy;
  ASSERT_TRUE(eventually(30s, [&] {
    copy = slurp(dir / "out").substr(before_n);
    return std::count(copy.begin(), copy.end(), '\n') == 2;
  })) << copy << slurp(dir / "err");
  ASSERT_EQ(copy.rfind("# a copy of period ", 0), 0u) << copy << slurp(dir / "err");
  const std::string found = copy.substr(copy.find("\nzoomdive --view ") + 17);
  xdotool("key l");
  ASSERT_TRUE(eventually(30s, [&] { return slurp(dir / "out").find("zoomdive-0001.txt\n") != std::string::npos; }));
  ASSERT_TRUE(resting());
  const Picture last = shot();
  xdotool("key q");
  expect_exit_0();

  // Lines: position, file, position, file.
  std::istringstream out(slurp(dir / "out"));
  std::string line[4];
  for (std::string& l : line) std::getline(out, l);
  for (int i : {0, 2}) ASSERT_EQ(line[i].rfind("zoomdive --view ", 0), 0u) << line[i];
  EXPECT_EQ(back, line[0] + " --colour smooth") << slurp(dir / "s.txt");  // undo: views, not colourings
  EXPECT_EQ(forth, line[2]);
  // After a dive the position gives the picture exactly; after a pan all but the few pixels
  // at the computed strips' edges, which a fresh picture computes from their own points.
  EXPECT_EQ(render(line[0].substr(9)).differing(read_png(dir / line[1])), 0);
  const std::string position = line[2].substr(16);
  const std::size_t colour = position.find(" --colour smooth");
  ASSERT_NE(colour, std::string::npos) << line[2];
  const Picture saved = read_png(dir / line[3]);
  ASSERT_EQ(saved.width, 480);
  EXPECT_LE(render("--view " + position).differing(saved), 480 * 360 / 1000);
  EXPECT_EQ(zd::test::png_words(dir / line[3]), "zoomdive-render --view " + position);
  EXPECT_EQ(zd::test::png_words(dir / line[1]), "zoomdive-render" + line[0].substr(8));
  // The script's head gives the start view's arguments.
  const std::string script = slurp(dir / "s.txt");
  const std::size_t at = script.find("\n# START: ") + 10;
  ASSERT_GT(at, 10u) << script;
  const std::string start_view = script.substr(at, script.find('\n', at) - at);
  EXPECT_EQ(start_view, "-- " + view);
  EXPECT_NE(script.find("\ncolour smooth\n"), std::string::npos) << script;
  const std::string replay = std::string(ZD_RENDER_BIN) + " --summary -o " +
                             (dir / "replay.png").string() + " --replay " +
                             (dir / "s.txt").string() + " " + start_view + " > " +
                             (dir / "summary").string();
  ASSERT_EQ(std::system(replay.c_str()), 0) << replay;
  const std::string found_view = found.substr(0, found.find(" --colour"));  // the view alone
  EXPECT_EQ(slurp(dir / "summary").substr(0, 5 + found_view.size() + 1), "view " + found_view + "\n");
  EXPECT_EQ(read_png(dir / "replay.png").differing(last), 0);
  const std::string location = std::string(ZD_RENDER_BIN) + " --summary --location " +
                               (dir / "zoomdive-0001.txt").string() + " > " + (dir / "summary").string();
  ASSERT_EQ(std::system(location.c_str()), 0) << location;
  EXPECT_EQ(slurp(dir / "summary").substr(0, 5 + found_view.size() + 1), "view " + found_view + "\n");
}

// Needs no X server: it must work where there is none.
TEST(NoWindow, WithoutADisplayTheExplorerSaysSoAndExits1) {
  const std::string out = fs::temp_directory_path() / ("zdnodisplay-" + std::to_string(getpid()));
  const std::string redirect = " >" + out + " 2>" + out + ".err";
  Process app("unset DISPLAY WAYLAND_DISPLAY; exec " + std::string(ZD_EXPLORER_BIN) + redirect);
  EXPECT_EQ(app.wait(20s), 1);
  EXPECT_EQ(slurp(out + ".err"),
            "zoomdive: cannot open a window: no display (DISPLAY is not set)\n");
  EXPECT_EQ(slurp(out), "");

  // And arguments it cannot use are refused before any window is looked for.
  Process bad("unset DISPLAY; exec " + std::string(ZD_EXPLORER_BIN) + " 1 1 -1 1 50" + redirect);
  EXPECT_EQ(bad.wait(20s), 2);
  EXPECT_EQ(slurp(out + ".err"), "zoomdive: x1 and x2 are equal: the view has no width\n");
  fs::remove(out), fs::remove(out + ".err");
}

}  // namespace
