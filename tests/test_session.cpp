// test_session.cpp — what a session keeps and how it is cut short: view keys through the loop,
// scripts as the recorder writes them, and pictures abandoned for a press or a quit.
#include <future>
#include <set>

#include "deep_oracle.h"
#include "navigation/loop.h"
#include "navigation/whole.h"
#include "platform/script.h"
#include "program.h"

namespace zd::test {
namespace {

class Session : public Program {
 protected:
  static inline std::vector<int> copies;  // the periods N told of in the last play
  // Start-up at the view, then the script through the navigation loop, with pictures or their
  // views only; shown, if given, gets the view of every window write.
  void play(std::vector<const char*> view, const char* text, bool views_only = false,
            std::vector<std::string>* shown = nullptr) {
    start(std::move(view));
    prog.views_only = views_only;
    copies.clear();
    prog.on_copy = [](int p) { copies.push_back(p); };
    std::vector<ScriptLine> lines;
    int bad = 0;
    std::string what;
    ASSERT_TRUE(parse_script(text, lines, bad, what)) << bad << ": " << what;
    if (shown) headless().on_write = [shown](const HeadlessState&) { shown->push_back(prog.view.numbers()); };
    ScriptedInput in(lines);
    in.attach(headless());
    paint_mandel();
  }
};

TEST_F(Session, ViewKeysActThroughTheLoopBetweenSteps) {
  struct Case {
    const char* script;
    double xmit, xstep, maxit;  // ymit and ystep follow the same steps
    long long writes;
  };
  // Start: centre (-0.5, 0), half-extents 1.5 x 1, limit 100.
  const Case cases[] = {
      // Two dives (coarse pictures), the full picture at rest, then the limit doubled: a key
      // is a step of its own with a picture of its own.
      {"L 0 0\nL 0 0\n- 0 0\nlimit*2\n", -0.5, 1.5 * 0.9 * 0.9, 100 * 1.02 * 1.02 * 2, 4},
      // Home undoes dives, pans and limit keys alike.
      {"L 0 0\nL 40 0\n- 0 0\n- 16 -8\nlimit/2\nhome\n", -0.5, 1.5, 100, 7},
      // A key while diving keeps the button held: the dive goes on from the changed view.
      {"L 0 0\nlimit/2\nL 0 0\n- 0 0\n", -0.5, 1.5 * 0.9 * 0.9 * 0.9,
       100 * 1.02 / 2 * 1.02 * 1.02, 5},
      // The limit stays at least 1 however often it is halved.
      {"limit/2\nlimit/2\nlimit/2\nlimit/2\nlimit/2\nlimit/2\nlimit/2\nlimit/2\n", -0.5, 1.5, 1,
       9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    reset_state();
    play({"-2", "1", "-1", "1", "100"}, c.script);
    const View& v = prog.view;
    EXPECT_EQ(v.xmit, c.xmit);
    EXPECT_EQ(v.xstep, c.xstep);
    EXPECT_EQ(v.ystep, c.xstep / 1.5);
    EXPECT_EQ(v.maxit, c.maxit);
    EXPECT_EQ(v.ymit, 0.0);
    EXPECT_EQ(headless().writes, c.writes);
  }
}

// Undo goes back a gesture at a time to exactly the view before it, redo forward again: a dive
// steered from press to release, a pan between rests, a drag, a key, a back-out, wheel notches
// (a click each). A new gesture ends what could be redone. Shallow and deep, views only (the
// views do not depend on the pictures).
TEST_F(Session, UndoAndRedoGoBackAndForthAGestureAtATime) {
  const std::string gestures[] = {"L 0 0\nL 10 5\nL 0 0\n- 0 0\n",
                                  "- 16 8\n- 9 0\n- 0 0\n",
                                  "- -5 3\n- 0 0\n",
                                  "LM 0 0\nLM 12 9\nLM -4 0\n- 0 0\n",
                                  "limit*2\n",
                                  "M 0 0\nM 0 0\nM 0 0\n- 0 0\n",
                                  "L 0 0\n- 0 0\n",
                                  "L 0 0\n- 0 0\n"};
  constexpr int G = static_cast<int>(std::size(gestures));
  const std::vector<const char*> views[] = {
      FAR_VIEW, {"--view", "0.743643887037158704752191506114774", "-0.131825904205311970493132056385139",
                 "-1.3e-25", "-1e-25", "300"}};
  for (const auto& view : views) {
    SCOPED_TRACE(view.back());
    // The view after each number of gestures.
    std::vector<std::string> after;
    std::string text;
    for (int g = 0; g <= G; ++g) {
      play(view, text.c_str(), true);
      after.push_back(prog.view.numbers());
      if (g < G) text += gestures[g];
    }
    ASSERT_EQ(std::set<std::string>(after.begin(), after.end()).size(), after.size()) << testing::PrintToString(after);
    // Undone one by one (one more than there is), then redone; each shows its view.
    std::vector<std::string> want;
    for (int g = G - 1; g >= 0; --g) text += "undo\n", want.push_back(after[g]);
    for (int g = 1; g <= G + 1; ++g) text += g == 1 ? "undo\nredo\n" : "redo\n";
    for (int g = 1; g <= G; ++g) want.push_back(after[g]);
    std::vector<std::string> shown;
    play(view, text.c_str(), true, &shown);
    ASSERT_GE(shown.size(), want.size());
    EXPECT_EQ(std::vector<std::string>(shown.end() - 2 * G, shown.end()), want);
    // A gesture after undoing: nothing left to redo.
    play(view, (text + "undo\nundo\n- 8 0\n- 0 0\nredo\n").c_str(), true);
    const std::string moved = prog.view.numbers();
    play(view, (text + "undo\nundo\n- 8 0\n- 0 0\n").c_str(), true);
    EXPECT_EQ(moved, prog.view.numbers());
    EXPECT_NE(moved, after[G - 2]);
  }
  // At least 1000 gestures back.
  std::string text;
  for (int g = 0; g < 1003; ++g) text += "L 0 0\n- 0 0\n";
  for (int g = 0; g < 1003; ++g) text += "undo\n";
  play(FAR_VIEW, text.c_str(), true);
  const double xstep = prog.view.xstep;
  play(FAR_VIEW, "L 0 0\n- 0 0\nL 0 0\n- 0 0\nL 0 0\n- 0 0\n", true);
  EXPECT_EQ(xstep, prog.view.xstep) << "the 1000 gestures after the first three undone";
}

TEST_F(Session, RecordedLinesReadBackAsTheyWereWritten) {
  const ScriptLine lines[] = {{0, 0, 0}, {1, -5, 7}, {3, 2147483647, -2147483647 - 1},
                              {7, 0, 0}, {0, 0, 0, CMD_HOME}, {3, 0, 0, CMD_MORE_ITERATIONS},
                              {0, 0, 0, CMD_FEWER_ITERATIONS}, {0, 0, 0, CMD_RESIZE, 641, 48},
                              {0, 0, 0, CMD_UNDO}, {0, 0, 0, CMD_REDO}};
  std::string text;
  for (const ScriptLine& l : lines) text += format_line(l) + "\n";
  std::vector<ScriptLine> back;
  int bad = 0;
  std::string what;
  ASSERT_TRUE(parse_script(text, back, bad, what)) << text;
  ASSERT_EQ(back.size(), std::size(lines));
  for (std::size_t i = 0; i < back.size(); ++i) {
    SCOPED_TRACE(format_line(lines[i]));
    EXPECT_EQ(back[i].command, lines[i].command);
    EXPECT_EQ(back[i].width, lines[i].width);
    EXPECT_EQ(back[i].height, lines[i].height);
    if (lines[i].command == NO_COMMAND) {
      EXPECT_EQ(back[i].buttons, lines[i].buttons);
      EXPECT_EQ(back[i].dx, lines[i].dx);
      EXPECT_EQ(back[i].dy, lines[i].dy);
    }
  }
}

// A film learns its views without computing a picture: after every window write the view is
// the one the replay that computes shows there, shallow and deep, with and without workers.
TEST_F(Session, AReplayWithoutPicturesShowsTheViewsOfTheOneWithPictures) {
  const char* text = "L 0 0\nL 30 -20\nM 0 0\n- 0 0\nLM 0 0\nLM 12 9\n- 0 0\n- -25 14\n"
                     "- 0 0\nlimit*2\nL 4 0\n- 0 0\nhome\nL 0 0\n- 0 0\n";
  const std::vector<const char*> views[] = {
      {"--workers", "2", "--", "-1", "0.5", "-0.8", "0.6", "100"},
      {"--view", "0.74364388703715870475219", "-0.13182590420531197049312", "-1.3e-18", "-1e-18",
       "120"},
  };
  std::vector<ScriptLine> lines;
  int bad = 0;
  std::string what;
  ASSERT_TRUE(parse_script(text, lines, bad, what)) << what;
  for (const auto& view : views) {
    SCOPED_TRACE(view.back());
    std::vector<std::string> shown[2];
    for (const bool pictures : {true, false}) {
      start(view);
      prog.views_only = !pictures;
      headless().on_write = [&](const HeadlessState&) {
        shown[pictures].push_back(prog.view.numbers());
      };
      ScriptedInput in(lines);
      in.attach(headless());
      paint_mandel();
      EXPECT_EQ(prog.tally.points > 0, pictures);
      EXPECT_EQ(prog.kernel != nullptr, pictures) << "no kernel prepared, no reference orbit";
    }
    EXPECT_EQ(shown[0], shown[1]);
    EXPECT_NE(shown[0].front(), shown[0].back());
  }
}

// A picture that would take hours (limit 2e9, every point inside) must end at once when the
// user leaves; a press keeps the coarse pass and drops the refinement.
// Meanwhile a picture that takes more than a second shows in the window's title how far its pass
// is, and gets its title back when shown. Its bottom rows lie beyond the escape radius, its top
// rows in the set: their points are quickly done, these never.
TEST_F(Session, PicturesAreAbandonedForAQuitOrAPress) {
  for (const int workers : {0, 3}) {
    SCOPED_TRACE(testing::Message() << workers << " workers");
    reset_state();
    start({"0.1", "-0.1", "0.1", "-10", "2000000000"});
    prog.anz = workers;
    // The user leaves once the picture is well under way.
    std::thread([workers] {
      std::this_thread::sleep_for(std::chrono::milliseconds(workers == 0 ? 1600 : 200));
      headless().interrupt = INTERRUPT_QUIT;
    }).detach();
    // On a thread of its own, the program's main thread for the while, so that a picture that
    // is not abandoned fails the test instead of holding it up for hours.
    std::promise<void> finished;
    std::thread([&] {
      whole_picture();
      finished.set_value();
    }).detach();
    if (finished.get_future().wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
      std::fprintf(stderr, "the picture was not abandoned within 60 s\n");
      std::_Exit(1);
    }
    EXPECT_EQ(headless().writes, 1) << "the window is still written once";
    if (workers > 0) continue;
    const std::vector<std::string>& titles = headless().retitled;
    ASSERT_GE(titles.size(), 2u);
    int share = -1;
    EXPECT_EQ(std::sscanf(titles.front().c_str(), "zoomdive — coarse pass %d %%", &share), 1)
        << titles.front();
    EXPECT_GT(share, 0);
    EXPECT_LT(share, 100);
    EXPECT_EQ(titles.back(), "zoomdive");
  }

  // A press: the coarse pass is whole, no refinement point was computed.
  reset_state();
  start({"-2", "1", "-1", "1", "100"});
  headless().buttons[LEFTMOUSE - RIGHTMOUSE] = 1;
  whole_picture();
  const auto coarse = picture();
  headless().buttons[LEFTMOUSE - RIGHTMOUSE] = 0;
  headless().interrupt = INTERRUPT_PRESS;
  const long long before = prog.tally.points;
  whole_picture();
  EXPECT_EQ(picture(), coarse);
  EXPECT_EQ(prog.tally.points - before, 120 * 90);
  // And without the press the same picture is refined.
  headless().interrupt = NO_INTERRUPT;
  prog.stop = STOP_NONE;
  whole_picture();
  EXPECT_NE(picture(), coarse);
}

// N (a script's "minibrot"): the copies of period p nearest the tip c = -2 of the set (the
// program's x = 2), whose nuclei plain Newton's method finds from the tip itself, are found from
// a view around each, past 1e-300 too: the view centred on the nucleus, 3 times its size high,
// 4:3 in the default orientation, the limit 50 p; a dive held at its centre stays on it; it is
// one gesture that undo takes back, and a view with no copy is left as it was.
TEST_F(Session, TheCopyKeyGoesToTheNucleusOfKnownPeriodAsOneGesture) {
  const auto off = [](const View& v, const BigFloat& nx) {  // the centre from the nucleus, in sizes
    return std::max(abs((v.cx - nx).to_floatexp()), abs(v.cy.to_floatexp())) / abs(v.ys) * FloatExp(3.0);
  };
  for (const int period : {12, 500}) {
    SCOPED_TRACE(period);
    const long bits = 4 * period + 128;  // its size is about the square of its distance to the tip
    MpComplex n(bits);
    mpfr_set_ui(n.x, 2, MPFR_RNDN);
    newton_root(n, 0, period, bits, 60);
    BigFloat nx(bits);
    mpfr_set(nx.get(), n.x, MPFR_RNDN);
    // The nucleus lies some 4^-p inside the tip: a view around it, off its centre, a third of
    // that high.
    const FloatExp gap = (BigFloat(2.0, 64) - nx).to_floatexp();
    ASSERT_LT(gap, FloatExp(16.0 * std::pow(4.0, -period))) << to_string(gap, 5);
    const std::string view[] = {(nx + BigFloat(gap / 11.0, 64)).to_string(bits / 3),
                                to_string(gap / 17.0, 17), to_string(-(gap / 3.0 * 4.0 / 3.0), 17),
                                to_string(-(gap / 3.0), 17), "100"};
    const std::vector<const char*> args = {"--view", view[0].c_str(), view[1].c_str(), view[2].c_str(),
                                           view[3].c_str(), view[4].c_str()};
    play(args, "minibrot\n", true);
    const std::string start = prog.home.numbers();
    ASSERT_EQ(copies, std::vector<int>{period});
    const View found = prog.view;
    EXPECT_LT(off(found, nx), FloatExp(1e-6));
    EXPECT_TRUE(found.ys < FloatExp(0.0) && found.xs == found.ys * FloatExp(4.0) / FloatExp(3.0));
    EXPECT_EQ(found.maxit, 50.0 * period);
    // Its main body spans a tenth to a half of the picture's height: the points a twentieth of
    // the half-height above and below the nucleus are in the set, those half of it away are not.
    for (const double at : {0.05, -0.05, 0.5, -0.5}) {
      const BigFloat y = found.cy + BigFloat(found.ys * FloatExp(at), 64);
      const int limit = 50 * period;
      EXPECT_EQ(oracle_count(found.cx.get(), y.get(), limit, bits) == limit, std::fabs(at) < 0.1) << at;
    }
    std::string dive = "minibrot\n";
    for (int i = 0; i < 40; ++i) dive += "L 0 0\n";
    play(args, (dive + "- 0 0\n").c_str(), true);
    EXPECT_LT(off(prog.view, nx), FloatExp(1e-6) * abs(prog.view.ys) / abs(found.ys));
    play(args, (dive + "- 0 0\nundo\n").c_str(), true);
    EXPECT_EQ(prog.view.numbers(), found.numbers());
    play(args, (dive + "- 0 0\nundo\nundo\n").c_str(), true);
    EXPECT_EQ(prog.view.numbers(), start);
    // A search the user leaves ends at once (a short one may end before it asks).
    if (period < 100) continue;
    headless().interrupt = INTERRUPT_QUIT;
    View v = prog.view;
    EXPECT_EQ(find_copy(v), -1);
    EXPECT_EQ(v.numbers(), start);
  }
  // On N's view nudged off the nucleus, N passes over the copy the view shows large for a small
  // one near the centre.
  const std::vector<const char*> valley = {"--", "0.80", "0.70", "-0.10", "-0.025", "200"};
  play(valley, "minibrot\n", true);
  ASSERT_EQ(copies.size(), 1u);
  const View first = prog.view;
  const int p = copies[0];
  play(valley, "minibrot\n- 0 40\n- 0 0\nminibrot\n", true);
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_GT(copies[1], p);
  EXPECT_LT(abs(prog.view.ys), abs(first.ys) * FloatExp(3.0 / 16.0));
  // Outside the set, far from it: nothing found, nothing changed.
  play({"--view", "-3", "3", "-0.01", "-0.01", "100"}, "minibrot\nundo\n", true);
  EXPECT_EQ(copies, std::vector<int>{0});
  EXPECT_EQ(prog.view.numbers(), prog.home.numbers());
}

}  // namespace
}  // namespace zd::test
