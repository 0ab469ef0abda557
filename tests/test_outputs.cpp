// test_outputs.cpp — zoomdive-render's outputs: what it writes to each kind of path, what a
// failed run leaves behind, and the arguments it refuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "control/location.h"
#include "display/image_out.h"
#include "navigation/loop.h"
#include "platform/script.h"
#include "program.h"
#include "render_run.h"

extern char** environ;

namespace zd::test {
namespace {

bool is_png(const std::string& bytes) { return bytes.rfind("\x89PNG\r\n\x1a\n", 0) == 0; }

// What a folder holds, names sorted.
std::vector<std::string> listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    names.push_back(e.path().lexically_relative(dir).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class Outputs : public InFolder {
 protected:
  const bool root = geteuid() == 0;
};

// A 2 x 2 grey PNG with the text chunk "zoomdive" (none if text is null), before or after its
// image data.
void png_with_chunk(const fs::path& file, const char* text, bool after_image) {
  std::FILE* f = std::fopen(file.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_init_io(png, f);
  png_set_IHDR(png, info, 2, 2, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_text chunk{};
  chunk.compression = PNG_TEXT_COMPRESSION_NONE;
  chunk.key = const_cast<char*>("zoomdive");
  chunk.text = const_cast<char*>(text);
  if (text && !after_image) png_set_text(png, info, &chunk, 1);
  png_write_info(png, info);
  png_byte row[2] = {0, 255};
  png_write_row(png, row);
  png_write_row(png, row);
  if (text && after_image) png_set_text(png, info, &chunk, 1);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

// --location: a location file, and a picture zoomdive wrote (the command line in its text
// chunk, before or after the image), start the view of the numbers they stand for, in both
// programs (what cannot be used is in UnusableArgumentsExit2...).
TEST_F(Outputs, ALocationStartsTheViewOfItsNumbers) {
  const std::string deep = "Re: -1.74995\nIm: 1e-3\nZoom: 4.5e40\nIterations: 300\n";
  std::ofstream(dir / "deep.txt") << deep;
  std::string err;
  const auto n = location_numbers(deep, "deep.txt", err);
  ASSERT_TRUE(n) << err;
  const std::vector<std::string> numbers(n->begin(), n->end());
  const std::string line = "zoomdive-render --window 640x480 --view " + (*n)[0] + " " + (*n)[1] + " " +
                           (*n)[2] + " " + (*n)[3] + " " + (*n)[4] + " -o x.png";
  png_with_chunk(dir / "before.png", line.c_str(), false);
  png_with_chunk(dir / "after.png", line.c_str(), true);
  std::vector<std::string> args = {"--summary", "--view"};
  args.insert(args.end(), numbers.begin(), numbers.end());
  const Result want = render(dir, args);
  ASSERT_EQ(want.status, 0) << want.err;
  for (const char* file : {"deep.txt", "before.png", "after.png"}) {
    const Result r = render(dir, {"--summary", "--location", file});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, want.out) << file;
    Cmdline cmd;
    const std::string path = (dir / file).string();
    const char* explorer[] = {"zoomdive", "--location", path.c_str()};
    ASSERT_EQ(parse_explorer_args(3, explorer, cmd, err), Parsed::Run) << err;
    EXPECT_EQ("view " + start_view(cmd).numbers(), want.out.substr(0, want.out.find('\n')));
  }

  // --find-minibrot comes after --replay: as a script's minibrot line at its end, the same view
  // and picture, and its period; where there is no copy, nothing is written.
  std::ofstream(dir / "dive.txt") << "L 0 0\n- 0 0\n";
  std::ofstream(dir / "key.txt") << "L 0 0\n- 0 0\nminibrot\n";
  const Result flag = render(dir, {"--summary", "--find-minibrot", "--replay", "dive.txt", "--", "0.8", "0.7", "-0.1", "-0.025", "200"});
  const Result key = render(dir, {"--summary", "--replay", "key.txt", "--", "0.8", "0.7", "-0.1", "-0.025", "200"});
  ASSERT_EQ(flag.status, 0) << flag.err;
  EXPECT_EQ(flag.out.substr(0, key.out.size()), key.out);
  EXPECT_EQ(flag.out.substr(key.out.size(), 9), "minibrot ");
  const Result none = render(dir, {"--find-minibrot", "-o", "out.png", "--", "-3.1", "-2.9", "3.1", "2.9", "50"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "zoomdive-render: no small copy of the set in the view\n");
  EXPECT_FALSE(fs::exists(dir / "out.png"));
}

TEST_F(Outputs, EachKindOfPathKeepsWhatItIs) {
  struct Case {
    const char* what;
    std::function<void()> make;  // the path "out" (or its target) before the run
    std::vector<std::string> args;
    int status;
    std::function<void()> check;
  };
  std::string fifo_bytes;
  std::thread reader;
  int fifo_writer = -1;
  dev_t nulldev = makedev(1, 3), fulldev = makedev(1, 7);
  const Case cases[] = {
      {"a new file gets the usual mode", [] {}, {"-o", "out.png"}, 0,
       [&] {
         EXPECT_TRUE(is_png(slurp(dir / "out.png")));
         const mode_t mask = umask(0);
         umask(mask);
         EXPECT_EQ(fs::status(dir / "out.png").permissions(), fs::perms(0666 & ~mask));
       }},
      {"an existing file is replaced whole and keeps its mode",
       [&] {
         std::ofstream(dir / "out.png") << "old contents, longer than nothing";
         chmod((dir / "out.png").c_str(), 0640);
       },
       {"-o", "out.png"}, 0,
       [&] {
         EXPECT_TRUE(is_png(slurp(dir / "out.png")));
         EXPECT_EQ(fs::status(dir / "out.png").permissions(), fs::perms(0640));
       }},
      {"a read-only file: written only by whoever may write it, mode kept",
       [&] {
         std::ofstream(dir / "out.png") << "old";
         chmod((dir / "out.png").c_str(), 0444);
       },
       {"-o", "out.png"}, root ? 0 : 1,
       [&] {
         EXPECT_EQ(is_png(slurp(dir / "out.png")), root);
         EXPECT_EQ(fs::status(dir / "out.png").permissions(), fs::perms(0444));
       }},
      {"a symlink is followed and stays a link",
       [&] { fs::create_symlink("target.png", dir / "out.png"); }, {"-o", "out.png"}, 0,
       [&] {
         EXPECT_TRUE(fs::is_symlink(dir / "out.png"));
         EXPECT_TRUE(is_png(slurp(dir / "target.png")));
       }},
      {"a FIFO is written into and stays a FIFO",
       [&] {
         // Read from before the run, and held open for writing meanwhile, so that the reader
         // sees the end whether or not the run writes.
         mkfifo((dir / "out").c_str(), 0600);
         const int rfd = open((dir / "out").c_str(), O_RDONLY | O_NONBLOCK);
         fifo_writer = open((dir / "out").c_str(), O_WRONLY | O_NONBLOCK);
         fcntl(rfd, F_SETFL, 0);
         reader = std::thread([&, rfd] {
           char buf[4096];
           for (ssize_t n; (n = read(rfd, buf, sizeof buf)) > 0;) fifo_bytes.append(buf, n);
           close(rfd);
         });
       },
       {"-o", "out"}, 0,
       [&] {
         close(fifo_writer);
         reader.join();
         EXPECT_TRUE(is_png(fifo_bytes));
         EXPECT_TRUE(fs::is_fifo(dir / "out"));
       }},
      {"a null device takes the bytes and stays a device",
       [&] {
         if (mknod((dir / "out").c_str(), S_IFCHR | 0666, nulldev) != 0) {
           fs::create_symlink("/dev/null", dir / "out");
         }
       },
       {"--screen", "out"}, 0,
       [&] {
         struct stat st;
         ASSERT_EQ(stat((dir / "out").c_str(), &st), 0);
         EXPECT_TRUE(S_ISCHR(st.st_mode));
         EXPECT_EQ(st.st_rdev, nulldev);
       }},
      {"a name as long as a name may be: its hidden temporary name is cut to fit", [] {},
       {"-o", std::string(251, 'n') + ".png"}, 0,
       [&] { EXPECT_TRUE(is_png(slurp(dir / (std::string(251, 'n') + ".png")))); }},
      {"a full device fails the run, stays a device, and the other output is not kept",
       [&] {
         if (mknod((dir / "out").c_str(), S_IFCHR | 0666, fulldev) != 0) {
           fs::create_symlink("/dev/full", dir / "out");
         }
       },
       {"-o", "first.png", "--screen", "out"}, 1,
       [&] {
         struct stat st;
         ASSERT_EQ(stat((dir / "out").c_str(), &st), 0);
         EXPECT_TRUE(S_ISCHR(st.st_mode));
         EXPECT_FALSE(fs::exists(dir / "first.png"));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.make();
    const Result r = render(dir, c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, "");
    if (c.status != 0) {
      EXPECT_NE(r.err.find("zoomdive-render: cannot write "), std::string::npos);
    }
    c.check();
    for (const auto& e : fs::directory_iterator(dir)) fs::remove_all(e.path());
  }
}

// A run that fails, or is ended by SIGINT, SIGTERM or SIGHUP, removes what it made (its frames,
// every level of folders it made for them, the hidden temporaries of its files) and changes
// nothing that was there.
TEST_F(Outputs, AFailedRunLeavesNothingOfItsOwnAndChangesNothing) {
  // A dive of coarse frames, then a rest: the last frame, at full quality, is the largest.
  std::ofstream(dir / "s.txt") << "L 0 0\nL 0 0\nL 0 0\n- 0 0\n";
  std::string session;
  for (int i = 0; i < 2000; ++i) session += "L 0 0\n";
  std::ofstream(dir / "long.txt") << session;
  std::ofstream(dir / "keep.png") << "kept";
  fs::create_directories(dir / "old");
  std::ofstream(dir / "old" / "frame-000001.png") << "an older film";
  fs::create_directories(dir / "odd" / "frame-000003.png");
  const std::vector<std::string> before = listing(dir);
  std::string deep = "d1";
  for (int i = 2; i <= 10; ++i) deep += "/d" + std::to_string(i);
  const std::vector<std::string> interrupted = {"--replay", "long.txt", "--frames", deep, "-o",
                                                "last.png", "--", "4", "6", "-1", "1", "50"};
  struct Case {
    const char* what;
    std::vector<std::string> args;
    long fsize;
    const char* message;
    int signal = 0;  // sent once the second frame is written
  };
  const Case cases[] = {
      {"the first output's folder is missing",
       {"--screen", "no/x.bin", "-o", "keep.png", "--frames", "new/f"}, 0, "cannot write no/x.bin"},
      {"the last output's folder is missing",
       {"-o", "keep.png", "--frames", "new/f", "--screen", "no/x.bin"}, 0, "cannot write no/x.bin"},
      {"a frame write fails in the middle of a replay",
       {"--replay", "s.txt", "--frames", "new/f"}, 12000, "frame-000004.png"},
      {"the frame folder is a file", {"--replay", "s.txt", "--frames", "keep.png"}, 0,
       "keep.png: Not a directory"},
      {"a folder stands where a frame goes", {"--replay", "s.txt", "--frames", "odd"}, 0,
       "odd/frame-000003.png: Is a directory"},
      {"older frames stay when the film fails",
       {"--replay", "s.txt", "--frames", "old", "--screen", "new.bin"}, 12000, "cannot write "},
      // ffmpeg says so, though it exits with status 0.
      {"a video meets the file size limit",
       {"--size", "64x48", "--replay", "s.txt", "--video", "new.mp4"}, 1024,
       "cannot write new.mp4: ffmpeg: "},
      {"SIGINT", interrupted, 0, "", SIGINT},
      {"SIGTERM", interrupted, 0, "", SIGTERM},
      {"SIGHUP", interrupted, 0, "", SIGHUP},
  };
  const bool ffmpeg = std::system("ffmpeg -version </dev/null >/dev/null 2>&1") == 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!ffmpeg && c.args[0] == "--size") continue;
    RunWith with;
    with.fsize = c.fsize;
    if (c.signal) {
      with.meanwhile = [&](pid_t child) {
        for (int waited = 0; waited < 60000; waited += 5) {
          std::error_code ec;
          for (const auto& e : fs::directory_iterator(dir / deep, ec)) {
            if (fs::exists(e.path() / "frame-000002.png", ec)) {
              kill(child, c.signal);
              return;
            }
          }
          usleep(5000);
        }
      };
    }
    const Result r = render(dir, c.args, with);
    EXPECT_EQ(r.status, c.signal ? 128 + c.signal : 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), c.signal ? 0 : 1) << r.err;
    EXPECT_EQ(listing(dir), before);
    EXPECT_EQ(slurp(dir / "keep.png"), "kept");
    EXPECT_EQ(slurp(dir / "old" / "frame-000001.png"), "an older film");
  }
  // And the same film with room enough is whole.
  const Result ok = render(dir, {"--replay", "s.txt", "--frames", "new/f"});
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(listing(dir / "new" / "f"),
            (std::vector<std::string>{"frame-000001.png", "frame-000002.png", "frame-000003.png",
                                      "frame-000004.png"}));
}

TEST_F(Outputs, UnusableArgumentsExit2AndPrintNothingOnStandardOutput) {
  std::ofstream(dir / "big.txt") << "L 0 0\n- 99999999999999999999 0\n";
  std::ofstream(dir / "s.txt") << "L 0 0\nL 0 0\nL 0 0\n- 0 0\n";  // a film of 4 frames
  fs::create_directory_symlink(".", dir / "here");
  std::ofstream(dir / "deep.txt") << "Re: 0\nIm: 0\nZoom: 1e10\n";
  std::ofstream(dir / "far.txt") << "Re: 0\nIm: 0\nZoom: 1e-300\n";
  std::ofstream(dir / "pal.txt") << "#102030\nzz\n";
  std::ofstream(dir / "red.txt") << "colour red\n";
  png_with_chunk(dir / "none.png", nullptr, false);
  png_with_chunk(dir / "noview.png", "zoomdive-render --view 1 2 -o x.png", false);
  std::ofstream(dir / "cut.png") << slurp(dir / "none.png").substr(0, 60);
  const std::vector<std::string> files = listing(dir);
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"-o", ""}, "-o needs a file name"},
      {{"--screen", ""}, "--screen needs a file name"},
      {{"--frames", ""}, "--frames needs a file name"},
      {{"-o", "out.jpg"}, "only PNG is written"},
      {{"-o", "no/such/out.jpg"}, "only PNG is written"},
      {{"--workers", "-1"}, "--workers -1 is negative"},
      {{"--workers", "two"}, "--workers \"two\" is not a whole number"},
      {{"--replay", "big.txt"}, "big.txt:2: DX \"99999999999999999999\" does not fit an int"},
      {{"--replay", "/dev/zero"}, "/dev/zero:1: a line longer than 1 MiB"},
      {{"-o", "-", "--screen", "-"}, "cannot both go to standard output"},
      {{"--summary", "--screen", "-"}, "--summary goes to standard output"},
      {{"-o", "a.png", "--screen", "a.png"}, "-o and --screen name the same file"},
      {{"-o", "a.png", "--screen", "./here//./a.png"}, "-o and --screen name the same file"},
      {{"--frames", "f/g", "-o", "here/f/g/frame-000002.png"}, "is one of the frames of --frames"},
      {{"--frames", "f.png", "-o", "f.png"}, "-o names the --frames folder"},
      {{"--bogus"}, "unknown option --bogus"},
      {{"-2", "1", "-1"}, "give all five view numbers or none (got 3)"},
      {{"-2", "1", "-1", "1", "1e12"}, "limit \"1e12\" does not fit an int"},
      {{"1", "1", "-1", "1", "50"}, "x1 and x2 are equal: the view has no width"},
      {{"--window", "63x48"}, "--window \"63x48\" is not WxH with W from 64 to 65536"},
      {{"--window", "640x"}, "--window \"640x\" is not WxH"},
      // Colourings and palettes.
      {{"--colour", "smooth", "--palette", "pal.txt"}, "pal.txt:2: not a colour as #rrggbb: \"zz\""},
      {{"--colour", "red"}, "--colour \"red\" is not one of design, smooth, distance"},
      {{"--replay", "red.txt"}, "red.txt:1: expected colour NAME, NAME one of design, smooth, distance"},
      // Locations: anything but a location file or a picture zoomdive wrote, a view given twice.
      {{"-o", "o.png", "--location", "none.png"}, "none.png: a PNG without zoomdive's text chunk"},
      {{"-o", "o.png", "--location", "noview.png"}, "noview.png: its zoomdive chunk has no --view"},
      {{"-o", "o.png", "--location", "cut.png"}, "cut.png: not a whole PNG"},
      {{"-o", "o.png", "--location", "missing.txt"}, "missing.txt: cannot read: No such file"},
      {{"-o", "o.png", "--location", "/dev/zero"}, "/dev/zero: longer than 1 MiB"},
      {{"-o", "o.png", "--location", "far.txt"}, "far.txt: the view is too wide"},
      {{"-o", "o.png", "--location", "deep.txt", "--view", "0", "0", "1", "1", "50"}, "give the view once"},
      {{"-o", "o.png", "--location", "deep.txt", "--", "0", "1", "0", "1", "50"}, "give the view once"},
      // Posters and films.
      {{"--size", "0x5"}, "--size \"0x5\" is not WxH"},
      {{"--size", "99999999x2"}, "--size \"99999999x2\" is not WxH"},
      {{"--size", "640"}, "--size \"640\" is not WxH"},
      {{"--size", "64x48", "--supersample", "0"}, "--supersample \"0\" is not a whole number"},
      {{"--size", "65536x48", "--supersample", "8"}, "at most 262144 points a side"},
      {{"--supersample", "2"}, "--supersample needs --size"},
      {{"--size", "64x48", "--threads", "0"}, "--threads \"0\" is not"},
      {{"--size", "64x48", "--replay", "s.txt", "--frames", "f", "--frame-range", "3:2"},
       "--frame-range \"3:2\""},
      {{"--size", "64x48", "--replay", "s.txt", "--frames", "f", "--frame-range", "0:2"},
       "--frame-range \"0:2\""},
      {{"--size", "64x48", "--replay", "s.txt", "--frame-range", "1:2"},
       "--frame-range picks frames of a film"},
      {{"--size", "64x48", "--video", "f.mp4"}, "--video makes a film of a session"},
      {{"--size", "64x48", "--replay", "s.txt", "--video", "f.avi"}, "only MP4 is written"},
      {{"--size", "63x48", "--replay", "s.txt", "--video", "f.mp4"}, "even width and height"},
      {{"--size", "64x48", "--replay", "s.txt", "--video", "f.mp4", "--frames", "f"},
       "--video and --frames"},
      {{"--size", "64x48", "--screen", "w.bin"}, "--screen writes the window's words"},
      {{"--size", "64x48", "--zoom-film", "2"}, "--zoom-film needs --frames DIR or --video"},
      {{"--size", "64x48", "--zoom-film", "0.01", "--frames", "f"}, "makes no frame"},
      {{"--size", "64x48", "--exact-frames", "--frames", "f"}, "--exact-frames needs --zoom-film"},
      {{"--size", "64x48", "--replay", "s.txt", "--frames", "f", "--frame-range", "5:6"},
       "the film has 4 frames"},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
    const Result r = render(dir, args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("zoomdive-render: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_EQ(listing(dir), files);
  }
  RunWith no_ffmpeg;
  no_ffmpeg.env = "PATH=/nonexistent";
  const Result r = render_line(dir, "--size 64x48 --replay s.txt --video f.mp4", no_ffmpeg);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("--video needs ffmpeg"), std::string::npos) << r.err;
  EXPECT_EQ(listing(dir), files);
}

// A reader that quits (a closed pipe, a FIFO whose reader went away) fails the run with one
// line: no death by SIGPIPE, no success.
TEST_F(Outputs, AReaderThatQuitsFailsTheRun) {
  std::ofstream(dir / "s.txt") << "L 0 0\nL 0 0\n- 0 0\n";
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  const bool ffmpeg = std::system("ffmpeg -version </dev/null >/dev/null 2>&1") == 0;
  const struct {
    const char* args;
    const char* message;
  } cases[] = {
      {"--screen -", "cannot write standard output: Broken pipe"},
      {"--summary", "cannot write standard output: Broken pipe"},
      // Read for 100 bytes of the 691200; the writer waits for room until the reader quits.
      {"--screen fifo", "cannot write fifo: Broken pipe"},
      {"--size 64x48 --replay s.txt --video -", "cannot write standard output: ffmpeg: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    if (!ffmpeg && std::strstr(c.args, "--video")) continue;
    const bool fifo = std::strstr(c.args, "fifo") != nullptr;
    pid_t head = -1;
    if (fifo) {
      const std::string path = (dir / "fifo").string();
      const char* argv[] = {"head", "-c", "100", path.c_str(), nullptr};
      posix_spawn_file_actions_t quiet;
      posix_spawn_file_actions_init(&quiet);
      posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
      ASSERT_EQ(posix_spawnp(&head, "head", &quiet, nullptr, const_cast<char**>(argv), environ), 0);
      posix_spawn_file_actions_destroy(&quiet);
    }
    RunWith unread;
    unread.stdout_unread = !fifo;
    const Result r = render_line(dir, c.args, unread);
    if (head > 0) {
      kill(head, SIGKILL);  // if the run never opened the FIFO
      waitpid(head, nullptr, 0);
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind(std::string("zoomdive-render: ") + c.message, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

// A session replayed: the summary, the raw words, the PNG and every frame are what the same
// session computes in this process; with workers only pixels near band borders may differ.
TEST_F(Outputs, WhatARunComputesIsWhatItWrites) {
  const char* text = "L 0 0\nL 30 -20\nM 0 0\n- 0 0\nLM 0 0\nLM 12 9\n- 0 0\n- -25 14\n- 0 0\n";
  std::ofstream(dir / "s.txt") << text;
  const std::vector<std::string> view = {"--", "-1", "0.5", "-0.8", "0.6", "100"};
  std::vector<std::string> args = {"--replay", "s.txt", "--frames", "f/g", "--summary", "-o",
                                   "last.png", "--screen", "last.bin"};
  args.insert(args.end(), view.begin(), view.end());
  const Result r = render(dir, args);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");  // no progress when stderr is not a terminal

  use_backend(headless_backend());
  reset_state();
  Cmdline cmd;
  const char* n[5] = {"-1", "0.5", "-0.8", "0.6", "100"};
  std::string err;
  ASSERT_TRUE(read_view(n, cmd, err));
  ASSERT_TRUE(startup(cmd));
  std::vector<ScriptLine> lines;
  int bad;
  ASSERT_TRUE(parse_script(text, lines, bad, err));
  ScriptedInput in(lines);
  in.attach(headless());
  paint_mandel();
  char want[512];
  const std::vector<std::uint32_t> screen = prog.screen.shown();
  std::snprintf(want, sizeof want, "view %s\nframes %lld\nscreen %016" PRIx64 "\nlocation %s\n",
                prog.view.numbers().c_str(), headless().writes, fnv1a_words(screen.data(), screen.size()),
                location_line(prog.view).c_str());
  EXPECT_EQ(r.out, want);
  const std::string words = slurp(dir / "last.bin");
  ASSERT_EQ(words.size(), screen.size() * 4u);
  EXPECT_EQ(std::memcmp(words.data(), screen.data(), words.size()), 0);  // little-endian machines
  const Picture last = read_png(dir / "last.png");
  ASSERT_EQ(last.width * last.height, 480 * 360);
  for (int i = 0; i < 480 * 360; ++i) {  // the PNG is top row first
    ASSERT_EQ(last.px(i % 480, i / 480), headless().pixels[(359 - i / 480) * 480 + i % 480] & 0xffffff) << i;
  }
  const auto frames = listing(dir / "f" / "g");
  ASSERT_EQ(static_cast<long long>(frames.size()), headless().writes);
  EXPECT_EQ(frames.front(), "frame-000001.png");
  EXPECT_EQ(slurp(dir / "f" / "g" / frames.back()), slurp(dir / "last.png"));

  args = {"--workers", "2", "--replay", "s.txt", "--summary"};
  args.insert(args.end(), view.begin(), view.end());
  const Result w = render(dir, args);
  EXPECT_EQ(w.out.substr(0, w.out.find("screen")), r.out.substr(0, r.out.find("screen")));
}

// Every picture but the design's shallow 480 x 360 window (whose bands are the design's) is
// the same for any number of workers: their bands start on the 4 x 4 grid.
TEST_F(Outputs, PicturesButTheDesignsAreTheSameForAnyWorkers) {
  const std::vector<std::vector<std::string>> views = {
      {"--window", "640x480", "--", "0.7436938870", "0.7435938870", "-0.1317884043", "-0.1318634043", "2000"},
      {"--window", "160x120", "--view", "0.743643887037158704752191506114774",
       "-0.131825904205311970493132056385139", "-1.3333333333333333e-21", "-1e-21", "12000"}};
  for (const auto& view : views) {
    std::string first;
    for (const char* workers : {"0", "7"}) {
      std::vector<std::string> args = {"--summary", "--workers", workers};
      args.insert(args.end(), view.begin(), view.end());
      const Result r = render(dir, args);
      ASSERT_EQ(r.status, 0) << r.err;
      const std::string screen = r.out.substr(r.out.find("\nscreen "));
      if (first.empty()) first = screen;
      EXPECT_EQ(screen, first) << view[1] << " with " << workers << " workers";
    }
  }
}

}  // namespace
}  // namespace zd::test

