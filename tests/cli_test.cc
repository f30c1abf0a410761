// Runs the built program as a separate process and checks its whole
// contract: standard output, standard error and exit status.

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/temp_file.h"
#include "tests/test_bitmap.h"

namespace quillmark {
namespace {

using testing::readFile;
using testing::TempFile;

const std::string kProgram = QUILLMARK_DETECT_PATH;
const std::string kSamples = std::string(QUILLMARK_SOURCE_DIR) + "/samples/";
const std::string kTitle = "Quillmark Detector " QUILLMARK_VERSION " \n";

struct Outcome {
  std::string out, err;
  int status = -1;
};

// Runs the program with exactly `argv` (no invocation name is added), its
// standard output going to `stdoutPath` or to a file that is read back.
Outcome run(const std::vector<std::string>& argv, const std::string& stdoutPath = "",
            const std::string& stdinBytes = "") {
  const TempFile out(""), err("");
  const std::string outPath = stdoutPath.empty() ? out.path() : stdoutPath;
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  char locale[] = "LC_ALL=de_DE.UTF-8";  // the output must not follow the user's locale
  char* env[] = {locale, nullptr};

  int input[2];  // a pipe that holds stdinBytes and is then closed
  if (pipe(input) != 0) return {};
  const auto written = write(input[1], stdinBytes.data(), stdinBytes.size());
  close(input[1]);
  if (written != static_cast<ssize_t>(stdinBytes.size())) return {};

  const pid_t child = fork();
  if (child == 0) {
    if (dup2(input[0], 0) < 0) _exit(127);
    const int outFd = open(outPath.c_str(), O_WRONLY | O_TRUNC);
    const int errFd = open(err.path().c_str(), O_WRONLY | O_TRUNC);
    if (outFd < 0 || errFd < 0 || dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0) _exit(127);
    execve(kProgram.c_str(), args.data(), env);
    _exit(127);
  }
  close(input[0]);
  Outcome outcome;
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status))
    outcome.status = WEXITSTATUS(status);
  outcome.out = stdoutPath.empty() ? readFile(out.path()) : "";
  outcome.err = readFile(err.path());
  return outcome;
}

// Runs the program with standard output and standard error both on one
// pseudo-terminal in raw mode (no line-feed translation), as an analyst's
// shell would, and returns everything the terminal received.
Outcome runOnTerminal(const std::vector<std::string>& argv) {
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return {};
  termios mode{};
  tcgetattr(slave, &mode);
  cfmakeraw(&mode);
  tcsetattr(slave, TCSANOW, &mode);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    close(master);
    if (dup2(slave, 1) < 0 || dup2(slave, 2) < 0) _exit(127);
    execv(kProgram.c_str(), args.data());
    _exit(127);
  }
  close(slave);
  Outcome outcome;
  char chunk[4096];
  ssize_t got = 0;
  while ((got = read(master, chunk, sizeof chunk)) > 0)
    outcome.out.append(chunk, static_cast<std::size_t>(got));
  close(master);
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status))
    outcome.status = WEXITSTATUS(status);
  return outcome;
}

// A hostile image under a hostile name: on a terminal both arrive escaped,
// into a file both arrive exactly as stored.
TEST(CliTest, TerminalGetsEscapedTextAndPipesGetTheStoredBytes) {
  const std::string dir = ::testing::TempDir();
  const std::string hostileName = "\x1b]52;c;ZXZpbA==\x07\rnotes.txt\xc2\x9b\xff";
  const std::string escapedName = "\\x1b]52;c;ZXZpbA==\\x07\\x0dnotes.txt\\xc2\\x9b\\xff";
  const std::string file = dir + "quillmark-\x1b[31mred\n.bmp";
  const std::string escapedFile = dir + "quillmark-\\x1b[31mred\\x0a.bmp";
  std::ofstream(file, std::ios_base::binary)
      << testing::makeBitmapWith(testing::picture(20, 20), testing::makeRecord(hostileName, 9));
  const auto expected = [](const std::string& shownPath, const std::string& shownName) {
    return kTitle + "Analysing file " + shownPath +
           "\nSteganographic message detected.\nembedded file name: " + shownName +
           "\nlength of embedded data: 9\n";
  };

  const Outcome terminal = runOnTerminal({"qd", file});
  EXPECT_EQ(terminal.out, expected(escapedFile, escapedName));
  EXPECT_EQ(terminal.status, 0);
  const Outcome piped = run({"qd", file});
  EXPECT_EQ(piped.out, expected(file, hostileName));
  EXPECT_EQ(piped.status, 0);

  const std::string missing = dir + "gone-\x1b[8m.bmp";
  EXPECT_EQ(runOnTerminal({"qd", missing}).out,
            kTitle + "cannot open file " + dir + "gone-\\x1b[8m.bmp\n");
  EXPECT_EQ(run({"qd", missing}).err, "cannot open file " + missing + "\n");
  (void)std::remove(file.c_str());
}

TEST(CliTest, OutputErrorsAndExitStatus) {
  struct Case {
    const char* what;
    std::vector<std::string> argv;
    std::string stdoutPath;  // empty: captured
    std::string out, err;
    int status;
  };
  const std::string notes = kSamples + "notes.bmp";
  const std::string clean = kSamples + "clean.bmp";
  const auto analysing = [](const std::string& path) {
    return kTitle + "Analysing file " + path + "\n";
  };
  const std::string noData = "File does not contain any Quillmark hidden data. \n";
  const std::string detectedNotes =
      "Steganographic message detected.\n"
      "embedded file name: notes.txt\n"
      "length of embedded data: 1234\n";
  const Case cases[] = {
      {"payload", {"qd", notes}, "", analysing(notes) + detectedNotes, "", 0},
      {"no payload", {"qd", clean}, "", analysing(clean) + noData, "", 0},
      {"only the first file is analysed",
       {"qd", clean, notes},
       "",
       analysing(clean) + noData,
       "",
       0},
      {"no argument", {"./qd"}, "", kTitle, "no file name given\nusage: ./qd <bmpfile>\n", 1},
      {"no invocation name either",
       {},
       "",
       kTitle,
       "no file name given\nusage: quillmark-detect <bmpfile>\n",
       1},
      {"missing file",
       {"qd", "/nonexistent/x.bmp"},
       "",
       kTitle,
       "cannot open file /nonexistent/x.bmp\n",
       1},
      {"directory", {"qd", kSamples}, "", kTitle, "cannot open file " + kSamples + "\n", 1},
      {"standard output full",
       {"qd", notes},
       "/dev/full",
       "",
       "error writing standard output\n",
       1},
      {"standard output full and no argument",
       {"qd"},
       "/dev/full",
       "",
       "no file name given\nusage: qd <bmpfile>\nerror writing standard output\n",
       1},
  };
  for (const Case& c : cases) {
    const Outcome got = run(c.argv, c.stdoutPath);
    EXPECT_EQ(got.out, c.out) << c.what;
    EXPECT_EQ(got.err, c.err) << c.what;
    EXPECT_EQ(got.status, c.status) << c.what;
  }
}

TEST(CliTest, EmptyFileIsReportedWithBothWarnings) {
  const TempFile empty("");
  const Outcome got = run({"qd", empty.path()});
  EXPECT_EQ(got.out, kTitle + "Analysing file " + empty.path() +
                         "\nNot a BMP file\nColour depth should be 24 bits\n"
                         "File does not contain any Quillmark hidden data. \n");
  EXPECT_EQ(got.err, "");
  EXPECT_EQ(got.status, 0);
}

// A FIFO without a writer would block the open for ever; it is refused at
// once, as a pipe is.
TEST(CliTest, FifoIsRefusedWithoutWaitingForAWriter) {
  const std::string fifo = ::testing::TempDir() + "quillmark-fifo";
  (void)std::remove(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const Outcome got = run({"qd", fifo});
  EXPECT_EQ(got.out, kTitle);
  EXPECT_EQ(got.err, "cannot open file " + fifo + "\n");
  EXPECT_EQ(got.status, 1);
  (void)std::remove(fifo.c_str());
}

// The walk needs seeks, so a pipe cannot be analysed; it must not be
// reported clean.
TEST(CliTest, PipeIsRefusedLikeAFileThatCannotBeOpened) {
  const Outcome got = run({"qd", "/dev/stdin"}, "", readFile(kSamples + "notes.bmp"));
  EXPECT_EQ(got.out, kTitle);
  EXPECT_EQ(got.err, "cannot open file /dev/stdin\n");
  EXPECT_EQ(got.status, 1);
}

}  // namespace
}  // namespace quillmark
