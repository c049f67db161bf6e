// The JSON report and the repeated multiplies: every field present and
// consistent with the performance line, the file and the product, standard
// streams unchanged by the options, and the refusals of unusable reports.
#include "report/run_report.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "multiply/parallel_multiply.hpp"
#include "multiply/repeated_multiply.hpp"
#include "stdio_reference.hpp"
#include "test_support.hpp"

using nlohmann::json;

namespace {

// A run with a report: the run's streams and the parsed report.
struct ReportedRun {
  RunResult run;
  json report;
};

// The report is asked for last, as "--report FILE", where an option may stand too.
ReportedRun run_with_report(std::vector<std::string> args, const std::string& setup = "") {
  const std::string path = write_temp_file("report.json", "");
  args.insert(args.end(), {"--report", path});
  ReportedRun reported{run_spmv(args, setup), {}};
  reported.report = json::parse(read_text(path));
  return reported;
}

// 64-bit FNV-1a over the ten value bytes of each element, written out here
// apart from the program's own.
std::string fnv1a_digest(const std::vector<spmv::Extended>& values) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (const spmv::Extended& v : values) {
    unsigned char bytes[sizeof v];
    std::memcpy(bytes, &v, sizeof v);
    for (int b = 0; b < 10; ++b) hash = (hash ^ bytes[b]) * 1099511628211ULL;
  }
  char text[32];
  std::snprintf(text, sizeof text, "fnv1a64:%016llx", static_cast<unsigned long long>(hash));
  return text;
}

// Processors in this process's affinity mask.
int affinity_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 0;
}

// The fields of a complete report that do not depend on the file.
void expect_context(const json& report, int threads, int repeats) {
  EXPECT_EQ(report["status"], "complete");
  EXPECT_FALSE(report.contains("error"));
  EXPECT_EQ(report["program"]["name"], "spmv");
  EXPECT_FALSE(report["program"]["version"].get<std::string>().empty());
  EXPECT_FALSE(report["program"]["compiler"].get<std::string>().empty());
  EXPECT_NE(report["program"]["flags"].get<std::string>().find("-ffp-contract=off"),
            std::string::npos);
  EXPECT_EQ(report["options"]["repeat"], repeats);
  EXPECT_EQ(report["run"]["threads"], threads);
  const std::string started = report["started_utc"];
  EXPECT_EQ(started.size(), 20u);
  EXPECT_EQ(started.back(), 'Z');
  const json& machine = report["machine"];
  EXPECT_FALSE(machine["host"].get<std::string>().empty());
  EXPECT_EQ(machine["logical_cpus"], sysconf(_SC_NPROCESSORS_ONLN));
  EXPECT_EQ(machine["affinity_cpus"], affinity_cpus());
  EXPECT_GE(machine["numa_nodes"], 0);
  EXPECT_EQ(report["openmp"]["team_size"], threads);
  EXPECT_EQ(report["openmp"]["oversubscribed"], threads > affinity_cpus());
}

// Phase times and figures: Tp as printed is the multiply over the threads
// plus the serial time, rounded to six places; rates follow from the slots.
void expect_figures(const json& report, const RunResult& run, int threads, int repeats) {
  const json& seconds = report["seconds"];
  for (const char* phase :
       {"first_pass", "second_pass", "vectors", "serial", "multiply", "reduction"}) {
    ASSERT_TRUE(seconds.contains(phase)) << phase;
    EXPECT_GE(seconds[phase].get<double>(), 0) << phase;
  }
  EXPECT_LE(seconds["first_pass"].get<double>() + seconds["second_pass"].get<double>() +
                seconds["vectors"].get<double>(),
            seconds["serial"].get<double>());
  const json& performance = report["performance"];
  EXPECT_EQ(performance["line"], run.out);
  char line[256];
  std::snprintf(line, sizeof line,
                "Work took Tp: %f seconds with S: %f , E: %f in %d number  of threads\n",
                performance["Tp"].get<double>(), performance["S"].get<double>(),
                performance["E"].get<double>(), threads);
  EXPECT_EQ(run.out, line);
  double printed[3] = {};
  ASSERT_EQ(std::sscanf(run.out.c_str(), "Work took Tp: %lf seconds with S: %lf , E: %lf",
                        &printed[0], &printed[1], &printed[2]),
            3);
  EXPECT_EQ(performance["Tp"], printed[0]);
  EXPECT_EQ(performance["S"], printed[1]);
  EXPECT_EQ(performance["E"], printed[2]);
  const double modelled =
      seconds["multiply"].get<double>() / threads + seconds["serial"].get<double>();
  EXPECT_NEAR(performance["Tp"].get<double>(), modelled, 5.1e-7);
  const json& multiply = report["multiply"];
  EXPECT_EQ(multiply["seconds"], seconds["multiply"]);
  const double slots = report["matrix"]["slots"];
  EXPECT_EQ(multiply["flops"], 2 * slots);
  if (multiply["seconds"].get<double>() > 0) {
    EXPECT_DOUBLE_EQ(multiply["gflop_per_second"].get<double>(),
                     2 * slots / multiply["seconds"].get<double>() / 1e9);
  }
  // A pattern matrix holds no values, unless skew-symmetric (its mirrors hold -1).
  const bool unit_values =
      report["matrix"]["field"] == "pattern" && report["matrix"]["symmetry"] != "skew-symmetric";
  EXPECT_EQ(multiply["bytes"], (unit_values ? 8 : 24) * slots +
                                   4 * report["matrix"]["n"].get<double>() +
                                   32 * report["matrix"]["rows"].get<double>());
  EXPECT_FALSE(multiply["byte_model"].get<std::string>().empty());
  const std::vector<double> times = multiply["repeat_seconds"];
  ASSERT_EQ(times.size(), static_cast<std::size_t>(repeats));
  if (repeats == 0) {
    EXPECT_TRUE(multiply["repeat_min_seconds"].is_null());
    EXPECT_FALSE(seconds.contains("repeats"));
  } else {
    EXPECT_EQ(multiply["repeat_min_seconds"], *std::min_element(times.begin(), times.end()));
    EXPECT_EQ(multiply["repeat_median_seconds"], spmv::median_of(times));
    EXPECT_TRUE(seconds.contains("repeats"));
  }
}

TEST(RunReport, HoldsEveryFieldConsistentWithTheRunAndTheFile) {
  const struct {
    const char* file;
    const char* form;
    json field;
    json symmetry;
    int first;
    int n;
    int stored;
    int slots;
  } cases[] = {
      {"good/small.txt", "plain", nullptr, nullptr, 3, 3, 4, 4},
      {"good/rows_first_number_differs.txt", "plain", nullptr, nullptr, -1, -1, -1, -1},
      {"good/repeated_pairs.txt", "plain", nullptr, nullptr, -1, -1, -1, -1},
      {"mtx/symmetric.mtx", "matrix market", "real", "symmetric", 3, 3, 3, 5},
      {"mtx/pattern_symmetric.mtx", "matrix market", "pattern", "symmetric", 3, 3, 2, 3},
      {"mtx/skew_symmetric.mtx", "matrix market", "real", "skew-symmetric", 3, 3, 2, 4},
      {"mtx/integer_fewer_rows.mtx", "matrix market", "integer", "general", 2, 3, 2, 2},
      {"mtx/tall_real.mtx", "matrix market", "real", "general", 5, 3, 6, 6},
      {"mtx/hermitian_real.mtx", "matrix market", "real", "symmetric", 3, 3, 3, 5},
  };
  for (const auto& c : cases) {
    const std::string path = test_data + "/" + c.file;
    const bool plain = std::string(c.form) == "plain";
    const ReferenceMatrix reference = plain ? stdio_read(path) : ReferenceMatrix{};
    for (const auto& [threads, repeats] : {std::pair{1, 0}, {2, 3}, {3, 1}}) {
      SCOPED_TRACE(std::string(c.file) + " on " + std::to_string(threads) + " threads");
      const std::vector<std::string> args = {std::to_string(threads), "0", "1", path};
      const ReportedRun reported =
          run_with_report({"--repeat=" + std::to_string(repeats), args[0], "0", "1", path});
      const RunResult plain_run = run_spmv(args);
      // The options change nothing on the standard streams but the times.
      ASSERT_EQ(reported.run.status, 0) << reported.run.err;
      EXPECT_EQ(reported.run.err, plain_run.err);
      const json& report = reported.report;
      expect_context(report, threads, repeats);
      expect_figures(report, reported.run, threads, repeats);
      const json& matrix = report["matrix"];
      EXPECT_EQ(matrix["path"], path);
      struct stat status {};
      ASSERT_EQ(stat(path.c_str(), &status), 0);
      EXPECT_EQ(matrix["bytes"], status.st_size);
      EXPECT_EQ(matrix["form"], c.form);
      EXPECT_EQ(matrix["field"], c.field);
      EXPECT_EQ(matrix["symmetry"], c.symmetry);
      if (plain) {
        EXPECT_EQ(matrix["n"], reference.n);
        EXPECT_EQ(matrix["rows"], reference.n);
        EXPECT_EQ(matrix["stored_entries"], reference.nnz);
        EXPECT_EQ(matrix["slots"], reference.nnz);
        EXPECT_EQ(report["result"]["digest"], fnv1a_digest(reference_product(reference, threads)));
      } else {
        EXPECT_EQ(matrix["first"], c.first);
        EXPECT_EQ(matrix["n"], c.n);
        EXPECT_EQ(matrix["rows"], std::max(c.first, c.n));
        EXPECT_EQ(matrix["stored_entries"], c.stored);
        EXPECT_EQ(matrix["slots"], c.slots);
      }
      if (c.first >= 0) {
        EXPECT_EQ(matrix["first"], c.first);
      }
      EXPECT_EQ(report["result"]["elements"], matrix["rows"]);
    }
  }
}

TEST(RunReport, RecordsTheOpenMpSettingsAndOversubscription) {
  const std::string path = test_data + "/good/small.txt";
  // Bound threads narrow the process's mask; the report counts the CPUs it
  // started with.
  for (const int threads : {affinity_cpus(), affinity_cpus() + 1}) {
    const ReportedRun reported = run_with_report({std::to_string(threads), "0", "0", path},
                                                 "export OMP_PROC_BIND=close OMP_PLACES=cores "
                                                 "OMP_WAIT_POLICY=passive; unset OMP_NUM_THREADS;");
    ASSERT_EQ(reported.run.status, 0) << reported.run.err;
    const json& openmp = reported.report["openmp"];
    EXPECT_EQ(openmp["environment"], json({{"OMP_PROC_BIND", "close"},
                                           {"OMP_PLACES", "cores"},
                                           {"OMP_WAIT_POLICY", "passive"}}));
    EXPECT_EQ(openmp["team_size"], threads);
    EXPECT_EQ(openmp["oversubscribed"], threads > affinity_cpus());
    EXPECT_EQ(reported.report["machine"]["affinity_cpus"], affinity_cpus());
  }
}

TEST(RunReport, RepeatsGiveTheSameDigestAsOneRun) {
  const std::string path =
      write_temp_file("cancel.txt", "1 2 4\n1 1 1e20\n1 2 1\n1 1 -1e20\n2 2 3\n");
  const ReportedRun once = run_with_report({"2", "0", "0", path});
  // The option after the arguments, its value apart.
  const ReportedRun repeated = run_with_report({"2", "0", "0", path, "--repeat", "50"});
  ASSERT_EQ(repeated.run.status, 0) << repeated.run.err;
  EXPECT_EQ(once.report["result"]["digest"], repeated.report["result"]["digest"]);
  EXPECT_EQ(repeated.report["multiply"]["repeat_seconds"].size(), 50u);
}

TEST(RunReport, AFailedRunReportsItsError) {
  const std::string bad = test_data + "/bad/row_outside_n.txt";
  const ReportedRun reported = run_with_report({"2", "0", "0", bad});
  EXPECT_EQ(reported.run.status, 1);
  EXPECT_EQ(reported.run.out, "Error Reading File\n");
  EXPECT_EQ(reported.report["status"], "failed");
  EXPECT_EQ(reported.report["error"].get<std::string>() + "\n", reported.run.err);
  EXPECT_FALSE(reported.report.contains("performance"));
  EXPECT_TRUE(reported.report["seconds"].contains("first_pass"));
}

TEST(RunReport, RefusesReportsThatCannotBeWrittenBeforeTheRun) {
  const std::string matrix = write_temp_file("kept.txt", read_text(test_data + "/good/small.txt"));
  const std::string fifo = write_temp_file("fifo_dir_marker", "") + ".fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string report;
    std::string reason;
  } cases[] = {
      {matrix, ": it is the matrix file"},
      {matrix + "/../missing/r.json", ": Not a directory"},
      {"/nonexistent-folder/r.json", ": No such file or directory"},
      {fifo, ": it is a FIFO that nobody reads"},
      {"/", ": Is a directory"},
      {"/dev/stdout", ": it is standard output"},
      {"/dev/stderr", ": it is standard error"},
      {"/proc/self/fd/1", ": it is standard output"},  // the file that run_spmv gives
  };
  for (const auto& c : cases) {
    const RunResult run = run_spmv({"--report=" + c.report, "2", "0", "1", matrix});
    EXPECT_EQ(run.status, 1) << c.report;
    EXPECT_EQ(run.out, "") << c.report;
    EXPECT_EQ(run.err, "spmv: cannot write the report " + c.report + c.reason + "\n");
  }
  EXPECT_EQ(read_text(matrix), read_text(test_data + "/good/small.txt"));
  // With standard output or error closed, the report keeps out of their way
  // and tells that the run's output was lost.
  for (const char* closed : {">&- 2>/dev/null", "2>&- >/dev/null"}) {
    const std::string report = write_temp_file("closed.json", "");
    const std::string command =
        std::string(SPMV_EXECUTABLE) + " --report=" + report + " 2 0 1 " + matrix + " " + closed;
    const int raw = std::system(command.c_str());
    EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, 1) << closed;
    const json parsed = json::parse(read_text(report));
    EXPECT_EQ(parsed["status"], "failed") << closed;
  }
  // Output lost on a full disk: the report's error is the message on standard error.
  const std::string report = write_temp_file("lost_output.json", "");
  const std::string err = write_temp_file("lost_output.err", "");
  const std::string command = std::string(SPMV_EXECUTABLE) + " --report=" + report + " 2 0 1 " +
                              matrix + " >/dev/full 2>" + err;
  const int raw = std::system(command.c_str());
  EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, 1);
  EXPECT_EQ(json::parse(read_text(report))["error"].get<std::string>() + "\n",
            "spmv: could not write the results: No space left on device\n");
  EXPECT_EQ(read_text(err).substr(read_text(err).rfind("spmv: could not")),
            "spmv: could not write the results: No space left on device\n");
  // A report that is lost on the way is a failed run.
  const RunResult full = run_spmv({"--report=/dev/full", "2", "0", "0", matrix});
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "spmv: cannot write the report /dev/full: No space left on device\n");
  // Standard output a pipe: the report may not take it either.
  const std::string piped_err = write_temp_file("piped.err", "");
  const std::string piped = "bash -c '" + std::string(SPMV_EXECUTABLE) +
                            " --report=/dev/stdout 2 0 1 " + matrix + " 2>" + piped_err +
                            " | cat >/dev/null; exit ${PIPESTATUS[0]}'";
  const int piped_raw = std::system(piped.c_str());
  EXPECT_EQ(WIFEXITED(piped_raw) ? WEXITSTATUS(piped_raw) : -1, 1);
  EXPECT_EQ(read_text(piped_err),
            "spmv: cannot write the report /dev/stdout: it is standard output\n");
}

// A report that cannot be written whole (here for the file size limit, as on
// a full disk) leaves the earlier report whole; one that can replaces it,
// through a symbolic link too, which stays a link, and under every hard link.
TEST(RunReport, AnEarlierReportSurvivesAFailedWrite) {
#if defined(SPMV_UNDER_SANITIZER)
  GTEST_SKIP() << "the sanitizers' runtimes write before the program can ignore the signal";
#endif
  const std::string matrix = test_data + "/good/small.txt";
  const std::string report = write_temp_file("earlier.json", "the earlier report\n");
  const RunResult limited = run_spmv({"--report=" + report, "2", "0", "0", matrix}, "ulimit -f 1;");
  EXPECT_EQ(limited.status, 1);
  EXPECT_EQ(limited.err, "spmv: cannot write the report " + report + ": File too large\n");
  EXPECT_EQ(read_text(report), "the earlier report\n");
  const std::string link = report + ".link";
  ASSERT_EQ(symlink(report.c_str(), link.c_str()), 0);
  const RunResult run = run_spmv({"--report=" + link, "2", "0", "0", matrix});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(json::parse(read_text(report))["status"], "complete");
  struct stat link_status {};
  ASSERT_EQ(lstat(link.c_str(), &link_status), 0);
  EXPECT_TRUE(S_ISLNK(link_status.st_mode));
  // Another hard link of the report sees the new report too.
  const std::string other = report + ".other";
  ASSERT_EQ(::link(report.c_str(), other.c_str()), 0);
  ASSERT_EQ(run_spmv({"--report=" + report, "2", "0", "1", matrix}).status, 0);
  EXPECT_EQ(json::parse(read_text(other))["run"]["verbose"], 1);
}

TEST(RunReport, UnusableOptionsAreMisuse) {
  const std::string path = test_data + "/good/small.txt";
  for (const std::vector<std::string>& options :
       std::vector<std::vector<std::string>>{{"--report="},
                                             {"--report"},
                                             {"--repeat=-1"},
                                             {"--repeat=1e3"},
                                             {"--repeat="},
                                             {"--repeat=1000001"},
                                             {"--repeat=2", "--repeat=3"},
                                             {"--report=a.json", "--report=b.json"},
                                             {"--threads=2"},
                                             {"--min-time=-1"}}) {
    std::vector<std::string> args = options;
    for (const char* arg : {"2", "0", "0"}) args.push_back(arg);
    args.push_back(path);
    const RunResult run = run_spmv(args);
    EXPECT_EQ(run.status, 2) << options[0];
    EXPECT_EQ(run.out, "") << options[0];
    // One line that names what is wrong, then the usage.
    EXPECT_EQ(run.err.rfind("spmv: ", 0), 0u) << options[0];
    EXPECT_EQ(run.err.find("\nusage: spmv"), run.err.find('\n')) << options[0];
  }
}

TEST(RepeatedMultiply, FindsTheFirstElementThatDiffersInAnyBit) {
  spmv::PartialSums partials;
  partials.thread_count = 3;
  partials.n = 3;
  const spmv::Extended columns[3][3] = {{1e20L, 0.0L, 1}, {-1e20L, -0.0L, 2}, {1, -0.0L, 0}};
  for (const auto& column : columns) {
    partials.table.push_back(std::make_unique<spmv::Extended[]>(3));
    std::copy_n(column, 3, partials.table.back().get());
  }
  spmv::ResultVector result{3, std::make_unique<spmv::Extended[]>(3)};
  // The partials' sum, as a repeated multiply across ranks receives it.
  spmv::ResultVector again{3, std::make_unique<spmv::Extended[]>(3)};
  const spmv::Extended summed[3] = {1, 0.0L, 3};
  std::copy_n(summed, 3, again.element.get());
  const struct {
    spmv::Extended sums[3];
    std::int64_t expected;
  } cases[] = {
      {{1, 0.0L, 3}, -1},                          // ((0 + p0) + p1) + p2, bit for bit
      {{0, 0.0L, 3}, 0},                           // the sum in the other order
      {{1, -0.0L, 3}, 1},                          // 0 + 0 - 0 - 0 is +0: the sign bit differs
      {{1, 0.0L, std::nextafter(3.0L, 4.0L)}, 2},  // one unit in the last place
  };
  for (const auto& c : cases) {
    std::copy_n(c.sums, 3, result.element.get());
    EXPECT_EQ(spmv::first_difference(partials, result), c.expected);
    EXPECT_EQ(spmv::first_difference(again, result), c.expected);
  }
  // Elements are numbered from 1, as the dump's rows are.
  EXPECT_EQ(spmv::repeat_failure(2, 5, 0).message,
            "spmv: repeated multiply 2 of 5 gave another result than the first: element 1 differs");
}

TEST(RunReport, MedianOfEvenAndOddCounts) {
  EXPECT_EQ(spmv::median_of({3, 1, 2}), 2);
  EXPECT_EQ(spmv::median_of({4, 1, 3, 2}), 2.5);
  EXPECT_EQ(spmv::median_of({5}), 5);
}

}  // namespace
