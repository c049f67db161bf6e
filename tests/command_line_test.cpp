// The command line, and whole runs of the executable: exit statuses, standard
// output, standard error, and output identical to the stdio reference.
#include "cli/command_line.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <numeric>

#include "stdio_reference.hpp"
#include "test_support.hpp"

using namespace spmv;

namespace {

const std::string usage_line =
    "usage: spmv [--report=FILE] [--repeat=N] [--min-time=SECONDS] THREADS IGNORED VERBOSE "
    "MATRIX_FILE\n";

CommandLine read(std::vector<const char*> args) {
  args.insert(args.begin(), "spmv");
  return read_command_line(static_cast<int>(args.size()), args.data());
}

// The run that the arguments ask for; nothing for a query or misuse.
std::optional<RunConfig> parse(std::vector<const char*> args) {
  CommandLine line = read(std::move(args));
  if (line.query != Query::none || !line.misuse.empty()) return std::nullopt;
  return std::move(line.config);
}

TEST(CommandLine, ConvertsNumbersTheWayAtoiDoes) {
  const struct {
    const char* threads;
    const char* verbose;
    std::int32_t expected_threads;
    std::int32_t expected_verbose;
  } cases[] = {
      {"4", "1", 4, 1},  {"4abc", "01", 4, 1}, {" 3", "+1", 3, 1},
      {"+2", "0", 2, 0}, {"1", "2", 1, 2},     {"1", "-1", 1, -1},
      {"1", "x1", 1, 0}, {"8", "1.9", 8, 1},   {"4096", "4294967297", 4096, 2147483647},
  };
  for (const auto& c : cases) {
    const auto config = parse({c.threads, "junk", c.verbose, "m.txt", "extra"});
    ASSERT_TRUE(config) << c.threads;
    EXPECT_EQ(config->thread_count, c.expected_threads) << c.threads;
    EXPECT_EQ(config->verbose, c.expected_verbose) << c.verbose;
    EXPECT_EQ(config->matrix_path, "m.txt");
  }
}

// Options before, between and after the four arguments, in both spellings.
TEST(CommandLine, OptionsStandAnywhere) {
  const struct {
    std::vector<const char*> args;
    std::string report;
    std::int32_t repeats;
    double min_time;
    std::string matrix;
    Query query = Query::none;
  } cases[] = {
      {{"3", "0", "1", "m.txt"}, "", 0, 0, "m.txt"},
      {{"--report=r.json", "--repeat=5", "3", "0", "1", "m.txt"}, "r.json", 5, 0, "m.txt"},
      {{"3", "0", "1", "m.txt", "--report=r.json"}, "r.json", 0, 0, "m.txt"},
      {{"3", "--repeat", "7", "0", "--report", "r.json", "1", "m.txt"}, "r.json", 7, 0, "m.txt"},
      {{"3", "0", "--min-time=0.5", "1", "m.txt", "extra"}, "", 0, 0.5, "m.txt"},
      {{"3", "0", "1", "m.txt", "--min-time", "2"}, "", 0, 2, "m.txt"},
      {{"--min-time=.25", "3", "0", "1", "m.txt"}, "", 0, 0.25, "m.txt"},
      {{"--min-time=10.", "3", "0", "1", "m.txt"}, "", 0, 10, "m.txt"},
      {{"--min-time=3600", "3", "0", "1", "m.txt"}, "", 0, 3600, "m.txt"},
      {{"--min-time=0003600.000", "3", "0", "1", "m.txt"}, "", 0, 3600, "m.txt"},
      {{"--min-time=0", "3", "0", "1", "m.txt"}, "", 0, 0, "m.txt"},
      // The next argument is the value, whatever it is.
      {{"--report", "--repeat=2", "3", "0", "1", "m.txt"}, "--repeat=2", 0, 0, "m.txt"},
      {{"--report", "-", "3", "0", "1", "m.txt"}, "-", 0, 0, "m.txt"},
      {{"--report==", "3", "0", "1", "m.txt"}, "=", 0, 0, "m.txt"},
      // "--" ends the options; a single "-" starts an argument.
      {{"3", "0", "1", "--", "--m.txt"}, "", 0, 0, "--m.txt"},
      {{"--repeat=1", "--", "3", "0", "1", "--help"}, "", 1, 0, "--help"},
      {{"3", "0", "-1", "-", "-h"}, "", 0, 0, "-"},
      {{"--", "3", "0", "1", "--", "--repeat=9"}, "", 0, 0, "--"},
      // --help and --version anywhere before "--"; -h only first.
      {{"-h", "--repat"}, "", 0, 0, "", Query::help},
      {{"3", "0", "1", "m.txt", "--help"}, "", 0, 0, "", Query::help},
      {{"--report=r.json", "--version", "0"}, "", 0, 0, "", Query::version},
      {{"--help", "--version"}, "", 0, 0, "", Query::help},
  };
  for (const auto& c : cases) {
    const std::string shown = std::accumulate(
        c.args.begin(), c.args.end(), std::string(),
        [](std::string all, const char* arg) { return std::move(all) + " " + arg; });
    const CommandLine line = read(c.args);
    EXPECT_EQ(line.misuse, "") << shown;
    EXPECT_EQ(line.query, c.query) << shown;
    EXPECT_EQ(parse(c.args).has_value(), c.query == Query::none) << shown;
    if (c.query != Query::none) continue;
    EXPECT_EQ(line.config.thread_count, 3) << shown;
    EXPECT_EQ(line.config.verbose, c.matrix == "-" ? -1 : 1) << shown;
    EXPECT_EQ(line.config.matrix_path, c.matrix) << shown;
    EXPECT_EQ(line.config.report_path, c.report) << shown;
    EXPECT_EQ(line.config.repeat_count, c.repeats) << shown;
    EXPECT_EQ(line.config.min_time, c.min_time) << shown;
  }
}

// Each unusable command line is refused with a line that names what is wrong.
TEST(CommandLine, RefusesUnusableCommandLinesNamingTheArgument) {
  const std::string four = "THREADS, IGNORED, VERBOSE and MATRIX_FILE are needed, and ";
  const std::string threads = "THREADS must be a whole number from 1 to 4096, not ";
  const std::string min_time =
      "--min-time must be a decimal number of seconds from 0 to 3600, not ";
  const struct {
    std::vector<const char*> args;
    std::string misuse;
  } cases[] = {
      {{}, four + "no argument is given"},
      {{"2"}, four + "1 argument is given"},
      {{"2", "0", "1"}, four + "3 arguments are given"},
      {{"2", "0", "--", "1"}, four + "3 arguments are given"},
      {{"--report", "r.json", "2", "0", "1"}, four + "3 arguments are given"},
      {{"0", "0", "0", "m.txt"}, threads + "'0'"},
      {{"-2", "0", "0", "m.txt"}, threads + "'-2'"},
      {{"abc", "0", "0", "m.txt"}, threads + "'abc'"},
      {{"", "0", "0", "m.txt"}, threads + "''"},
      {{"4097", "0", "0", "m.txt"}, threads + "'4097'"},
      {{"65536", "0", "0", "m.txt"}, threads + "'65536'"},
      {{"2147483648", "0", "0", "m.txt"}, threads + "'2147483648'"},
      {{"99999999999999999999999", "0", "0", "m.txt"}, threads + "'99999999999999999999999'"},
      {{"--repeat=1", "-h", "0", "0", "m.txt"}, threads + "'-h'"},
      {{"--repat=5", "2", "0", "0", "m.txt"}, "unknown option '--repat=5'"},
      {{"2", "0", "0", "m.txt", "--threads"}, "unknown option '--threads'"},
      {{"--help=me", "2", "0", "0", "m.txt"}, "unknown option '--help=me'"},
      {{"---", "2", "0", "0", "m.txt"}, "unknown option '---'"},
      {{"--bogus", "--help"}, "unknown option '--bogus'"},
      {{"2", "0", "0", "m.txt", "--repeat"}, "option '--repeat' needs a value"},
      {{"2", "0", "0", "m.txt", "--report"}, "option '--report' needs a value"},
      {{"2", "0", "0", "m.txt", "--min-time"}, "option '--min-time' needs a value"},
      {{"--repeat=2", "2", "0", "0", "m.txt", "--repeat", "2"},
       "option '--repeat' is given more than once"},
      {{"--report=a", "--report=b", "2", "0", "0", "m.txt"},
       "option '--report' is given more than once"},
      {{"--min-time=1", "2", "0", "0", "m.txt", "--min-time=1"},
       "option '--min-time' is given more than once"},
      {{"--report=", "2", "0", "0", "m.txt"}, "--report needs a file name, not ''"},
      {{"--report", "", "2", "0", "0", "m.txt"}, "--report needs a file name, not ''"},
      {{"--repeat=x", "2", "0", "0", "m.txt"},
       "--repeat must be a whole number from 0 to 1000000, not 'x'"},
      {{"2", "0", "0", "m.txt", "--repeat", "-1"},
       "--repeat must be a whole number from 0 to 1000000, not '-1'"},
      {{"--repeat=1000001", "2", "0", "0", "m.txt"},
       "--repeat must be a whole number from 0 to 1000000, not '1000001'"},
      {{"--repeat=", "2", "0", "0", "m.txt"},
       "--repeat must be a whole number from 0 to 1000000, not ''"},
      {{"--min-time=-1", "2", "0", "0", "m.txt"}, min_time + "'-1'"},
      {{"--min-time=+1", "2", "0", "0", "m.txt"}, min_time + "'+1'"},
      {{"--min-time=", "2", "0", "0", "m.txt"}, min_time + "''"},
      {{"--min-time", "", "2", "0", "0", "m.txt"}, min_time + "''"},
      {{"--min-time=.", "2", "0", "0", "m.txt"}, min_time + "'.'"},
      {{"--min-time=nan", "2", "0", "0", "m.txt"}, min_time + "'nan'"},
      {{"--min-time=inf", "2", "0", "0", "m.txt"}, min_time + "'inf'"},
      {{"--min-time=1e-1", "2", "0", "0", "m.txt"}, min_time + "'1e-1'"},
      {{"--min-time=0x1p3", "2", "0", "0", "m.txt"}, min_time + "'0x1p3'"},
      {{"--min-time= 1", "2", "0", "0", "m.txt"}, min_time + "' 1'"},
      {{"--min-time=1 ", "2", "0", "0", "m.txt"}, min_time + "'1 '"},
      {{"--min-time=1.2.3", "2", "0", "0", "m.txt"}, min_time + "'1.2.3'"},
      {{"--min-time=1,5", "2", "0", "0", "m.txt"}, min_time + "'1,5'"},
      {{"--min-time=3600.001", "2", "0", "0", "m.txt"}, min_time + "'3600.001'"},
      {{"--min-time=99999999999999999999999", "2", "0", "0", "m.txt"},
       min_time + "'99999999999999999999999'"},
  };
  for (const auto& c : cases) {
    const std::string shown = std::accumulate(
        c.args.begin(), c.args.end(), std::string(),
        [](std::string all, const char* arg) { return std::move(all) + " " + arg; });
    const CommandLine line = read(c.args);
    EXPECT_EQ(line.misuse, c.misuse) << shown;
    EXPECT_EQ(line.query, Query::none) << shown;
    EXPECT_FALSE(parse(c.args)) << shown;
  }
  // The run's workers, RANKS x THREADS, are held to the limit of one process.
  EXPECT_EQ(worker_count_misuse(1, 4096), "");
  EXPECT_EQ(worker_count_misuse(2, 2048), "");
  EXPECT_EQ(worker_count_misuse(2, 2049), "RANKS x THREADS must be from 1 to 4096, not 2 x 2049");
}

// The thread count of a performance line, or -1 when the text is not exactly
// one such line: it must read back and print again to the same bytes.
int threads_in_performance_line(const std::string& text) {
  double tp = 0, s = 0, e = 0;
  int threads = -1;
  const char* format = "Work took Tp: %lf seconds with S: %lf , E: %lf in %d number  of threads\n";
  if (std::sscanf(text.c_str(), format, &tp, &s, &e, &threads) != 4) return -1;
  char again[256];
  std::snprintf(again, sizeof again,
                "Work took Tp: %f seconds with S: %f , E: %f in %d number  of threads\n", tp, s, e,
                threads);
  return text == again ? threads : -1;
}

TEST(WholeRun, OutputMatchesTheStdioReferenceForOneToEightThreads) {
  for (const char* file : {"small.txt", "value_spellings.txt", "spacing_and_crlf.txt",
                           "repeated_pairs.txt", "no_entries.txt"}) {
    const std::string path = test_data + "/good/" + file;
    const ReferenceMatrix matrix = stdio_read(path);
    for (int threads = 1; threads <= 8; ++threads) {
      SCOPED_TRACE(path + " with " + std::to_string(threads) + " threads");
      const RunResult run = run_spmv({std::to_string(threads), "0", "1", path});
      EXPECT_EQ(run.status, 0);
      EXPECT_EQ(run.err, reference_dump(path, matrix, reference_product(matrix, threads)));
      EXPECT_EQ(threads_in_performance_line(run.out), threads) << run.out;
    }
  }
}

// Matrix Market files of every shape: the dump lists one 1 per column of the
// size line and one sum per row, or per column where there are more columns,
// each the row's sum as computed apart from the program.
TEST(WholeRun, MatrixMarketDumpsHaveAnInputPerColumnAndAResultPerRow) {
  for (const char* file :
       {"tall_real.mtx", "tall_pattern_one_column.mtx", "more_rows_than_columns.mtx",
        "wide_real.mtx", "integer_fewer_rows.mtx", "rows_without_columns.mtx",
        "columns_without_rows.mtx", "hermitian_after_blanks.mtx", "hermitian_real.mtx"}) {
    const std::string path = test_data + "/mtx/" + file;
    const MarketProduct product = market_row_sums(path);
    std::string vectors = "Vector to be Multiplied\n\n";
    for (int i = 0; i < product.columns; ++i) vectors += "1\n";
    vectors += "Resulting Vector\n\n";
    char line[64];
    for (const Extended sum : product.sums) {
      std::snprintf(line, sizeof line, "%Le\n", sum);
      vectors += line;
    }
    for (int threads = 1; threads <= 4; ++threads) {
      SCOPED_TRACE(path + " with " + std::to_string(threads) + " threads");
      const RunResult run = run_spmv({std::to_string(threads), "0", "1", path});
      EXPECT_EQ(run.status, 0);
      EXPECT_EQ(threads_in_performance_line(run.out), threads) << run.out;
      const std::size_t at = run.err.find("Vector to be Multiplied");
      ASSERT_NE(at, std::string::npos) << run.err;
      EXPECT_EQ(run.err.substr(at), vectors);
    }
  }
}

TEST(WholeRun, DumpOnlyWhenTheSwitchConvertsToOne) {
  const std::string path = test_data + "/good/small.txt";
  for (const char* verbose : {"1", "01", "+1"}) {
    EXPECT_NE(run_spmv({"2", "anything", verbose, path}).err, "") << verbose;
  }
  for (const char* verbose : {"0", "2", "-1", "yes"}) {
    const RunResult run = run_spmv({"2", "anything", verbose, path});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "") << verbose;
    EXPECT_EQ(threads_in_performance_line(run.out), 2) << run.out;
  }
}

TEST(WholeRun, FailuresGiveTheirStreamsAndExitStatus) {
  const std::string bad = test_data + "/bad/row_outside_n.txt";
  const std::string missing = test_data + "/missing.txt";
  const std::string huge = write_temp_file("huge.txt", "1 2147483647 0\n");
  const std::string complex = test_data + "/bad/mtx_complex_hermitian.mtx";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err_start;
    std::string setup = "";  // shell commands before the run
  } cases[] = {
      {{"2", "0", "1", bad}, 1, "Error Reading File\n", bad + ":7: row 12 is outside 1..10\n"},
      {{"2", "0", "0", missing}, 1, "Error Reading File\n", missing + ": No such file"},
      {{"2", "0", "0", test_data}, 1, "Error Reading File\n", test_data + ": is a directory\n"},
      {{"2", "0", "1", complex},
       1,
       "Error Reading File\n",
       complex + ":1: unsupported Matrix Market field \"complex\""},
      {{"1000", "0", "0", huge}, 1, "", "not enough memory: the run needs "},
      {{"2", "0", "1"},
       2,
       "",
       "spmv: THREADS, IGNORED, VERBOSE and MATRIX_FILE are needed, and 3 arguments are given\n" +
           usage_line},
      {{"0", "0", "1", bad},
       2,
       "",
       "spmv: THREADS must be a whole number from 1 to 4096, not '0'\n" + usage_line},
      {{"abc", "0", "1", bad},
       2,
       "",
       "spmv: THREADS must be a whole number from 1 to 4096, not 'abc'\n" + usage_line},
      {{"65536", "0", "1", bad},
       2,
       "",
       "spmv: THREADS must be a whole number from 1 to 4096, not '65536'\n" + usage_line},
      {{"2", "0", "1", bad, "--repat=5"}, 2, "", "spmv: unknown option '--repat=5'\n" + usage_line},
      // A bare OMP_STACKSIZE is in KiB: 2^40 KiB is more than any machine has.
      {{"2", "0", "0", test_data + "/good/small.txt"},
       1,
       "",
       "spmv: cannot run 2 threads: each thread's stack (OMP_STACKSIZE, or else ulimit -s) takes "
       "1073741824.0 MiB, more than the machine's memory and swap space\n",
       "export OMP_STACKSIZE=1099511627776;"},
  };
  for (const auto& c : cases) {
    const RunResult run = run_spmv(c.args, c.setup);
    EXPECT_EQ(run.status, c.status) << c.args[0] << " " << c.args.back();
    EXPECT_EQ(run.out, c.out) << c.args.back();
    EXPECT_EQ(run.err.rfind(c.err_start, 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n') == 1, c.status == 1) << run.err;
  }
}

TEST(WholeRun, HelpAndVersionGoToStandardOutput) {
  for (const char* flag : {"--help", "-h"}) {
    const RunResult run = run_spmv({flag});
    EXPECT_EQ(run.status, 0) << flag;
    EXPECT_EQ(run.out.rfind(usage_line, 0), 0u) << flag;
    EXPECT_EQ(run.err, "") << flag;
  }
  const RunResult version = run_spmv({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("spmv ", 0), 0u) << version.out;
  EXPECT_EQ(std::count(version.out.begin(), version.out.end(), '\n'), 1) << version.out;
  // Any other first argument is a thread count, as before.
  EXPECT_EQ(run_spmv({"--threads", "0", "0", test_data + "/good/small.txt"}).status, 2);
  // --help and --version stand anywhere, -h only first.
  const std::string path = test_data + "/good/small.txt";
  const RunResult later_help = run_spmv({"2", "0", "0", path, "--help"});
  EXPECT_EQ(later_help.status, 0);
  EXPECT_EQ(later_help.out.rfind(usage_line, 0), 0u) << later_help.out;
  EXPECT_EQ(run_spmv({"2", "0", "0", path, "--version"}).out, version.out);
  const RunResult later_h = run_spmv({"2", "0", "-h", path});
  EXPECT_EQ(later_h.status, 0);
  EXPECT_EQ(threads_in_performance_line(later_h.out), 2) << later_h.out;
}

TEST(WholeRun, UnwritableOutputIsAFailure) {
  const std::string err_path = write_temp_file("full-err.txt", "");
  for (const char* args : {" 2 0 0 ", " --help ", " --version ", " -h "}) {
    const std::string command = std::string(SPMV_EXECUTABLE) + args + test_data +
                                "/good/small.txt >/dev/full 2>" + err_path;
    const int raw = std::system(command.c_str());
    EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, 1) << args;
    EXPECT_EQ(read_text(err_path), "spmv: could not write the results: No space left on device\n")
        << args;
  }
  // A dump that cannot be written fails the run as well.
  const std::string command = std::string(SPMV_EXECUTABLE) + " 2 0 1 " + test_data +
                              "/good/small.txt >/dev/null 2>/dev/full";
  const int raw = std::system(command.c_str());
  EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, 1);
}

// Runs spmv with its standard output on a pipe whose reading end is already
// closed, as when the reader of a pipeline has gone; gives the exit status
// (-1 when a signal ended it) and standard error.
RunResult run_into_closed_pipe(const std::vector<std::string>& args) {
  const std::string err_path = write_temp_file("pipe-err.txt", "");
  int ends[2];
  if (pipe(ends) != 0) return RunResult{};
  close(ends[0]);
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGPIPE, SIG_DFL);  // as a shell would start it
    dup2(ends[1], 1);
    const int err = open(err_path.c_str(), O_WRONLY | O_TRUNC);
    dup2(err, 2);
    std::vector<char*> argv{const_cast<char*>(SPMV_EXECUTABLE)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(SPMV_EXECUTABLE, argv.data());
    _exit(127);
  }
  close(ends[1]);
  int raw = 0;
  waitpid(child, &raw, 0);
  RunResult result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.err = read_text(err_path);
  return result;
}

TEST(WholeRun, AFileSizeLimitIsAFailureNotASignal) {
#if defined(SPMV_UNDER_SANITIZER)
  GTEST_SKIP() << "the sanitizers' runtimes write before the program can ignore the signal";
#endif
  const RunResult run = run_spmv({"2", "0", "0", test_data + "/good/small.txt"}, "ulimit -f 0;");
  EXPECT_EQ(run.status, 1);
}

TEST(WholeRun, AClosedPipeIsAFailureWithAMessage) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"2", "0", "0", test_data + "/good/small.txt"},
        std::vector<std::string>{"--version"}}) {
    const RunResult run = run_into_closed_pipe(args);
    EXPECT_EQ(run.status, 1) << args[0];
    EXPECT_EQ(run.err, "spmv: could not write the results: Broken pipe\n") << args[0];
  }
}

// The runtime may not shrink the team: a run either has every thread it asks
// for or is refused before it reads the file. The file's sum is 1 with one
// worker and 0 with two (1 + 1e30 and -1e30 + 1 each round to +-1e30).
TEST(WholeRun, TheTeamIsNeverSmallerThanAskedFor) {
  const std::string path =
      write_temp_file("cancel.txt", "1 1 4\n1 1 1\n1 1 1e30\n1 1 -1e30\n1 1 1\n");
  const RunResult limited = run_spmv({"2", "0", "1", path}, "export OMP_THREAD_LIMIT=1;");
  EXPECT_EQ(limited.status, 1);
  EXPECT_EQ(limited.out, "");
  EXPECT_EQ(limited.err,
            "spmv: cannot run 2 threads: the OpenMP thread limit (OMP_THREAD_LIMIT) is 1\n");
  const RunResult dynamic = run_spmv({"2", "0", "1", path}, "export OMP_DYNAMIC=true;");
  EXPECT_EQ(dynamic.status, 0);
  EXPECT_TRUE(dynamic.err.ends_with("Resulting Vector\n\n0.000000e+00\n")) << dynamic.err;
  EXPECT_EQ(threads_in_performance_line(dynamic.out), 2) << dynamic.out;
}

// Limits that make the team impossible are found before the file is read, with
// a message that names them, instead of the OpenMP runtime's own.
TEST(WholeRun, ThreadLimitsOfTheSystemAreRefusedWithTheirNames) {
  const std::string path = test_data + "/good/small.txt";
  // Root is not held to the process limit, so the run is made as nobody, where
  // nobody can reach the program and the file.
  const std::string as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups -- ";
  const std::string reachable = as_nobody + "test -r " + path + " -a -x " + SPMV_EXECUTABLE;
  if (geteuid() == 0 && std::system((reachable + " 2>/dev/null").c_str()) == 0) {
    const RunResult run = run_spmv({"64", "0", "0", path},
                                   "exec prlimit --nproc=16 " + as_nobody + "sh -c '\"$@\"' sh");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("the limit on processes and threads of this user (ulimit -u) is 16"),
              std::string::npos)
        << run.err;
  }
#if !defined(SPMV_UNDER_SANITIZER)
  const RunResult space = run_spmv({"4096", "0", "0", path}, "ulimit -v 4000000;");
  EXPECT_EQ(space.status, 1);
  EXPECT_EQ(space.out, "");
  EXPECT_EQ(space.err.rfind("spmv: cannot run 4096 threads: ", 0), 0u) << space.err;
  EXPECT_NE(space.err.find("address-space limit (ulimit -v)"), std::string::npos) << space.err;
#endif
}

TEST(WholeRun, AllocationFailureIsReportedNotFatal) {
#if defined(SPMV_UNDER_SANITIZER)
  GTEST_SKIP() << "sanitizers reserve more address space than the limit allows";
#endif
  // 50 million rows need 1.8 GB of vectors: within the machine, beyond the limit.
  const std::string path = write_temp_file("wide.txt", "1 50000000 0\n");
  const RunResult run = run_spmv({"1", "0", "0", path}, "ulimit -v 400000;");
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("not enough memory: the run needs 1800000008 bytes", 0), 0u) << run.err;
  EXPECT_NE(run.err.find("; the address-space limit (ulimit -v) of 390.6 MiB leaves "),
            std::string::npos)
      << run.err;
}

}  // namespace
