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
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <tuple>

#include "multiply/parallel_multiply.hpp"
#include "multiply/repeated_multiply.hpp"
#include "report/run_warnings.hpp"
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

// The kinds of warning a report may hold.
const std::set<std::string> kinds = {"load", "oversubscribed", "spread", "governor",
                                     "smt",  "shared_cpu",     "short"};

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
  EXPECT_EQ(report["options"]["min_time"], 0.0);
  for (const json& warning : report["warnings"]) {
    EXPECT_TRUE(kinds.count(warning["kind"].get<std::string>())) << warning;
    EXPECT_FALSE(warning["message"].get<std::string>().empty());
  }
  const json& context = report["context"];
  EXPECT_EQ(context["cpu_model"], machine["cpu_model"]);
  EXPECT_EQ(context["logical_cpus"], sysconf(_SC_NPROCESSORS_ONLN));
  EXPECT_GE(context["physical_cores"].get<int>(), 0);
  EXPECT_LE(context["physical_cores"].get<int>(), context["logical_cpus"].get<int>());
  EXPECT_TRUE(context["threads_per_core"].is_number_integer());
  EXPECT_GT(context["memory_bytes"].get<double>(), 0);
  for (const json& cache : context["caches"]) {
    EXPECT_TRUE(cache["level"].is_number_integer() && cache["type"].is_string() &&
                cache["size_bytes"].is_number_integer() &&
                cache["shared_by_cpus"].is_number_integer())
        << cache;
  }
  for (const char* rate : {"min", "max", "current"}) {
    const json& mhz = context["frequency_mhz"][rate];
    EXPECT_TRUE(mhz.is_null() || mhz.get<double>() > 0) << rate;
  }
  EXPECT_TRUE(context["governor"].is_null() || context["governor"].is_string());
  EXPECT_FALSE(context["kernel"].get<std::string>().empty());
  EXPECT_TRUE(context["os"].is_string());
  EXPECT_EQ(context["openmp"]["version"], _OPENMP);
  EXPECT_FALSE(context["openmp"]["runtime"].get<std::string>().empty());
  EXPECT_TRUE(context["mpi"].is_null());
  // Built from this git tree: its commit, and whether it had changes.
  EXPECT_EQ(context["commit"].get<std::string>().size(), 40u);
  EXPECT_TRUE(context["tree_modified"].is_boolean());
  const std::vector<int> cpus = context["worker_cpus"];
  EXPECT_EQ(cpus.size(), static_cast<std::size_t>(threads));
  for (const int cpu : cpus) EXPECT_TRUE(cpu >= 0 && cpu < CPU_SETSIZE) << cpu;
  for (const char* when : {"start", "end"}) {
    EXPECT_EQ(context["load_average"][when].size(), 3u) << when;
    EXPECT_GE(context["load_average"][when][0].get<double>(), 0) << when;
  }
  EXPECT_GT(context["peak_memory_bytes"].get<double>(), 0);
  EXPECT_GE(context["date"].get<std::string>(), started);
  EXPECT_EQ(context["date"].get<std::string>().size(), 20u);
  const json& benchmarks = report["benchmarks"];
  ASSERT_EQ(benchmarks.size(), static_cast<std::size_t>(1 + repeats));
  for (std::size_t k = 0; k < benchmarks.size(); ++k) {
    const json& run = benchmarks[k];
    EXPECT_EQ(run["name"], k == 0 ? "multiply/first" : "multiply/repeat");
    EXPECT_EQ(run["iteration"], k);
    const double seconds =
        k == 0 ? report["multiply"]["seconds"] : report["multiply"]["repeat_seconds"][k - 1];
    EXPECT_EQ(run["real_time"], seconds);
    EXPECT_EQ(run["time_unit"], "s");
    const double slots = report["matrix"]["slots"];
    EXPECT_DOUBLE_EQ(run["items_per_second"].get<double>(), slots / seconds);
    EXPECT_DOUBLE_EQ(run["flops_per_second"].get<double>(), 2 * slots / seconds);
    EXPECT_DOUBLE_EQ(run["bytes_per_second"].get<double>(),
                     report["multiply"]["bytes"].get<double>() / seconds);
  }
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
  // Over the repeats, or the first multiply alone without them.
  const std::vector<double> summarised =
      repeats > 0 ? times : std::vector<double>{multiply["seconds"]};
  const json& statistics = multiply["statistics"];
  EXPECT_EQ(statistics["count"], summarised.size());
  EXPECT_EQ(statistics["min"], *std::min_element(summarised.begin(), summarised.end()));
  EXPECT_EQ(statistics["median"], spmv::median_of(summarised));
  double sum = 0;
  for (const double time : summarised) sum += time;
  EXPECT_DOUBLE_EQ(statistics["mean"].get<double>(), sum / static_cast<double>(summarised.size()));
  EXPECT_GE(statistics["stddev"].get<double>(), 0);
  if (repeats <= 1) {
    EXPECT_EQ(statistics["stddev"], 0.0);
  }
  EXPECT_TRUE(statistics["cv"].is_number());
  EXPECT_EQ(statistics["unit"], "s");
  const json& rates = multiply["rates"];
  const std::pair<const char*, json> rated[] = {{"first", multiply["seconds"]},
                                                {"fastest", statistics["min"]},
                                                {"median", statistics["median"]}};
  for (const auto& [name, rate_seconds] : rated) {
    EXPECT_EQ(rates[name]["seconds"], rate_seconds) << name;
    EXPECT_DOUBLE_EQ(rates[name]["gflop_per_second"].get<double>(),
                     2 * slots / rate_seconds.get<double>() / 1e9)
        << name;
    EXPECT_DOUBLE_EQ(rates[name]["gbyte_per_second"].get<double>(),
                     multiply["bytes"].get<double>() / rate_seconds.get<double>() / 1e9)
        << name;
  }
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
    int scanned;  // entry lines of the common shape, which a vector scan path reads
  } cases[] = {
      {"good/small.txt", "plain", nullptr, nullptr, 3, 3, 4, 4, 4},
      {"good/rows_first_number_differs.txt", "plain", nullptr, nullptr, -1, -1, -1, -1, 2},
      {"good/repeated_pairs.txt", "plain", nullptr, nullptr, -1, -1, -1, -1, 5},
      {"good/spacing_and_crlf.txt", "plain", nullptr, nullptr, -1, -1, -1, -1, 0},
      {"mtx/symmetric.mtx", "matrix market", "real", "symmetric", 3, 3, 3, 5, 3},
      {"mtx/pattern_symmetric.mtx", "matrix market", "pattern", "symmetric", 3, 3, 2, 3, 2},
      {"mtx/skew_symmetric.mtx", "matrix market", "real", "skew-symmetric", 3, 3, 2, 4, 2},
      {"mtx/integer_fewer_rows.mtx", "matrix market", "integer", "general", 2, 3, 2, 2, 2},
      {"mtx/tall_real.mtx", "matrix market", "real", "general", 5, 3, 6, 6, 6},
      {"mtx/hermitian_real.mtx", "matrix market", "real", "symmetric", 3, 3, 3, 5, 3},
  };
  for (const auto& c : cases) {
    const std::string path = test_data + "/" + c.file;
    const bool plain = std::string(c.form) == "plain";
    const ReferenceMatrix reference = plain ? stdio_read(path) : ReferenceMatrix{};
    // Each run under another scan path: SPMV_SCAN_PATH as given, or none.
    for (const auto& [threads, repeats, wanted] :
         {std::tuple{1, 0, "baseline"}, {2, 3, "sse4.1"}, {3, 1, ""}}) {
      SCOPED_TRACE(std::string(c.file) + " on " + std::to_string(threads) + " threads");
      const std::vector<std::string> args = {std::to_string(threads), "0", "1", path};
      const ReportedRun reported =
          run_with_report({"--repeat=" + std::to_string(repeats), args[0], "0", "1", path},
                          *wanted ? std::string("export SPMV_SCAN_PATH=") + wanted + ";" : "");
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
      const spmv::ScanPath scan = *wanted ? spmv::scan_path_for(wanted) : spmv::chosen_scan_path();
      EXPECT_EQ(report["reader"]["scan_path"], spmv::scan_path_name(scan));
      EXPECT_EQ(report["reader"]["scanned_lines"],
                scan == spmv::ScanPath::baseline ? 0 : c.scanned);
      EXPECT_EQ(report["reader"]["readers"], 1);
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
    std::set<std::string> warned;
    for (const json& warning : reported.report["warnings"]) warned.insert(warning["kind"]);
    EXPECT_EQ(warned.count("oversubscribed"), threads > affinity_cpus() ? 1u : 0u);
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
  // --min-time goes on past --repeat until the repeats have taken that long,
  // each still held to the first result.
  const ReportedRun timed =
      run_with_report({"--min-time", "0.02", "2", "0", "0", path, "--repeat=3"});
  ASSERT_EQ(timed.run.status, 0) << timed.run.err;
  EXPECT_EQ(once.report["result"]["digest"], timed.report["result"]["digest"]);
  const std::vector<double> times = timed.report["multiply"]["repeat_seconds"];
  EXPECT_GT(times.size(), 3u);
  double total = 0;
  for (const double t : times) total += t;
  EXPECT_GE(total, 0.02);
  EXPECT_LT(total - times.back(), 0.02);
  EXPECT_EQ(timed.report["options"]["min_time"], 0.02);
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
  // Nothing was measured, yet the warnings and the context are there.
  EXPECT_TRUE(reported.report["warnings"].is_array());
  EXPECT_TRUE(reported.report["context"]["worker_cpus"].empty());
  EXPECT_EQ(reported.report["benchmarks"], json::array());
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
  // A report that did not exist is left absent by a failed write, and by a
  // run killed during its repeats.
  const std::string fresh = report + ".new";
  for (const auto& [setup, repeats] : {std::pair{"ulimit -f 1;", "--repeat=0"},
                                       std::pair{"(sleep 0.5; kill $$) &", "--min-time=30"}}) {
    const RunResult failed = run_spmv({"--report=" + fresh, repeats, "2", "0", "0", matrix}, setup);
    EXPECT_NE(failed.status, 0) << setup;
    EXPECT_NE(access(fresh.c_str(), F_OK), 0) << setup << ": " << fresh << " is there";
  }
  // A run that ends well makes it, with the mode that creating a file gives.
  ASSERT_EQ(run_spmv({"--report=" + fresh, "2", "0", "0", matrix}, "umask 027;").status, 0);
  struct stat made {};
  ASSERT_EQ(stat(fresh.c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 07777, 0640u);
  EXPECT_EQ(json::parse(read_text(fresh))["status"], "complete");
  // A report replaced through a symbolic link keeps its own mode.
  ASSERT_EQ(chmod(report.c_str(), 0600), 0);
  const std::string link = report + ".link";
  ASSERT_EQ(symlink(report.c_str(), link.c_str()), 0);
  const RunResult run = run_spmv({"--report=" + link, "2", "0", "0", matrix});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(json::parse(read_text(report))["status"], "complete");
  struct stat replaced {};
  ASSERT_EQ(stat(report.c_str(), &replaced), 0);
  EXPECT_EQ(replaced.st_mode & 07777, 0600u);
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

// Figures worked out by hand (n - 1 in the standard deviation).
TEST(RunStatistics, MatchFiguresComputedByHand) {
  const struct {
    std::vector<double> times;
    std::int64_t count;
    double min, median, mean, stddev, cv;
  } cases[] = {
      {{1, 2, 3, 4}, 4, 1, 2.5, 2.5, 1.2909944487358056, 0.5163977794943222},
      {{4, 1, 3, 2}, 4, 1, 2.5, 2.5, 1.2909944487358056, 0.5163977794943222},
      {{3, 1, 2}, 3, 1, 2, 2, 1, 0.5},
      {{5}, 1, 5, 5, 5, 0, 0},
      {{2, 2, 2}, 3, 2, 2, 2, 0, 0},
      {{0, 0}, 2, 0, 0, 0, 0, 0},
      {{0.001, 0.003, 0.002, 0.002, 0.012},
       5,
       0.001,
       0.002,
       0.004,
       0.004527692569068709,
       1.1319231422671772},
      {{}, 0, 0, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.times));
    const spmv::TimeStatistics statistics = spmv::time_statistics(c.times);
    EXPECT_EQ(statistics.count, c.count);
    EXPECT_EQ(statistics.min, c.min);
    EXPECT_EQ(statistics.median, c.median);
    EXPECT_DOUBLE_EQ(statistics.mean, c.mean);
    EXPECT_DOUBLE_EQ(statistics.stddev, c.stddev);
    EXPECT_DOUBLE_EQ(statistics.cv, c.cv);
  }
}

// Each warning against a quiet run: at its threshold it stays silent, past it
// it fires.
TEST(RunWarnings, FireOnlyPastTheirThresholds) {
  spmv::WarningInputs quiet;
  quiet.load_start = 0.5;
  quiet.load_end = 0.5;
  quiet.logical_cpus = 4;
  quiet.affinity_cpus = 4;
  quiet.threads = 2;
  quiet.cv = 0.01;
  quiet.repeats = 5;
  quiet.governors = {"performance"};
  quiet.worker_cpus = {0, 2};
  quiet.core_of_cpu = {0, 0, 1, 1};  // CPUs 0 and 1 share core 0, CPUs 2 and 3 core 1
  quiet.shortest = 0.01;
  quiet.tick = 1e-9;
  quiet.scan_taken = "sse4.1";
  using Change = std::function<void(spmv::WarningInputs&)>;
  const struct {
    const char* what;
    Change change;
    std::vector<std::string> kinds;
    const char* says;  // in the first warning's message
  } cases[] = {
      {"quiet", [](auto&) {}, {}, ""},
      {"load at the CPUs", [](auto& in) { in.load_start = 4.0; }, {}, ""},
      {"load above at the start",
       [](auto& in) { in.load_start = 4.01; },
       {"load"},
       "4.01 at the start"},
      {"load above at the end", [](auto& in) { in.load_end = 7.5; }, {"load"}, "7.50 at the end"},
      {"no load averages", [](auto& in) { in.load_start = in.load_end = std::nullopt; }, {}, ""},
      {"threads as many as CPUs",
       [](auto& in) {
         in.threads = 4;
         in.worker_cpus = {0, 2};
       },
       {},
       ""},
      {"threads above the CPUs",
       [](auto& in) { in.threads = 5; },
       {"oversubscribed"},
       "5 threads ran on the 4 CPUs"},
      {"two threads on one CPU",
       [](auto& in) {
         in.threads = 2;
         in.affinity_cpus = 1;
         in.worker_cpus = {0, 0};
       },
       {"oversubscribed", "shared_cpu"},
       "2 threads ran on the 1 CPU of"},
      {"cv at the limit", [](auto& in) { in.cv = 0.05; }, {}, ""},
      {"cv above the limit", [](auto& in) { in.cv = 0.0501; }, {"spread"}, "5.0%"},
      {"spread of 2 repeats",
       [](auto& in) {
         in.cv = 0.5;
         in.repeats = 2;
       },
       {},
       ""},
      {"spread of 3 repeats",
       [](auto& in) {
         in.cv = 0.5;
         in.repeats = 3;
       },
       {"spread"},
       "3 repeats vary by 50.0%"},
      {"no governor", [](auto& in) { in.governors = {}; }, {}, ""},
      {"one CPU saving power",
       [](auto& in) {
         in.governors = {"performance", "powersave"};
       },
       {"governor"},
       "powersave"},
      {"two threads of one core",
       [](auto& in) {
         in.worker_cpus = {2, 0, 1};
       },
       {"smt"},
       "workers 1 and 2 ran on CPUs 0 and 1"},
      {"two workers on one CPU",
       [](auto& in) {
         in.worker_cpus = {3, 3};
       },
       {"shared_cpu"},
       "workers 0 and 1 both ran on CPU 3"},
      {"two workers on one CPU whose core is not shown",
       [](auto& in) {
         in.worker_cpus = {1, 1};
         in.core_of_cpu = {-1, -1};
       },
       {"shared_cpu"},
       "workers 0 and 1 both ran on CPU 1"},
      {"cores not shown",
       [](auto& in) {
         in.worker_cpus = {0, 1};
         in.core_of_cpu = {-1, -1};
       },
       {},
       ""},
      {"CPUs not known",
       [](auto& in) {
         in.worker_cpus = {-1, -1, 9, 10};
       },
       {},
       ""},
      {"1 ms exactly", [](auto& in) { in.shortest = 0.001; }, {}, ""},
      {"under 1 ms", [](auto& in) { in.shortest = 0.000999; }, {"short"}, "0.000999 s"},
      {"100 ticks exactly",
       [](auto& in) {
         in.tick = 2e-5;
         in.shortest = 0.002;
       },
       {},
       ""},
      {"under 100 ticks",
       [](auto& in) {
         in.tick = 2e-5;
         in.shortest = 0.0019;
       },
       {"short"},
       "0.0019 s"},
      {"nothing timed", [](auto& in) { in.shortest = std::nullopt; }, {}, ""},
      {"min time reached at the repeat limit",
       [](auto& in) {
         in.min_time = 2;
         in.repeat_seconds = 2;
         in.repeats = in.max_repeats = 10;
       },
       {},
       ""},
      {"min time not asked for", [](auto& in) { in.repeats = in.max_repeats = 10; }, {}, ""},
      {"min time not reached before the limit",
       [](auto& in) {
         in.min_time = 2;
         in.repeat_seconds = 1.5;
         in.repeats = in.max_repeats = 10;
       },
       {"min_time"},
       "limit of 10 after 1.5 s, short of the 2 s"},
      {"min time not reached, the limit not met",
       [](auto& in) {
         in.min_time = 2;
         in.repeat_seconds = 1.5;
         in.max_repeats = 10;
         in.repeats = 9;
       },
       {},
       ""},
      {"scan path as set", [](auto& in) { in.scan_setting = "sse4.1"; }, {}, ""},
      {"scan path named wrongly",
       [](auto& in) { in.scan_setting = "AVX2"; },
       {"scan_path"},
       "\"AVX2\" names no scan path"},
      {"scan path empty", [](auto& in) { in.scan_setting = ""; }, {"scan_path"}, "\"\" names no"},
      {"scan path the processor lacks",
       [](auto& in) {
         in.scan_setting = "avx2";
         in.scan_taken = "sse4.1";
       },
       {"scan_path"},
       "cannot run: sse4.1 was taken"},
      {"every kind at once",
       [](auto& in) {
         in.load_end = 9;
         in.threads = 6;
         in.cv = 0.1;
         in.governors = {"ondemand"};
         in.worker_cpus = {0, 1};
         in.shortest = 1e-6;
       },
       {"load", "oversubscribed", "spread", "governor", "smt", "short"},
       "9.00 at the end"},
  };
  for (const auto& c : cases) {
    spmv::WarningInputs inputs = quiet;
    c.change(inputs);
    const std::vector<spmv::Warning> warnings = spmv::run_warnings(inputs);
    std::vector<std::string> kinds;
    for (const auto& warning : warnings) kinds.push_back(warning.kind);
    EXPECT_EQ(kinds, c.kinds) << c.what;
    if (!warnings.empty()) {
      EXPECT_NE(warnings[0].message.find(c.says), std::string::npos)
          << c.what << ": " << warnings[0].message;
    }
  }
}

// The repeats run to the count of --repeat and to the time of --min-time,
// whichever comes later, and never past a million.
TEST(RepeatedMultiply, RepeatsToTheCountAndTheLeastTime) {
  const struct {
    std::int64_t done;
    std::int32_t count;
    double min_time, seconds;
    bool suffice;
  } cases[] = {
      {0, 0, 0, 0, true},          {0, 3, 0, 0, false},         {3, 3, 0, 0, true},
      {2, 3, 0, 10, false},        {3, 3, 1.5, 1.4, false},     {3, 3, 1.5, 1.5, true},
      {50, 3, 1.5, 1.6, true},     {0, 0, 0.5, 0, false},       {1, 0, 0.5, 0.5, true},
      {999999, 0, 3600, 1, false}, {1000000, 0, 3600, 1, true}, {1000000, 1000000, 0, 0, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(spmv::repeats_suffice(c.done, c.count, c.min_time, c.seconds), c.suffice)
        << c.done << " done of " << c.count << ", " << c.seconds << " s of " << c.min_time;
  }
  // Repeats of 0.25 s each, as the driver's loop counts them: --min-time=1
  // takes 4, more than --repeat=2 alone, fewer than --repeat=6.
  for (const auto& [count, expected] : {std::pair{2, 4}, {6, 6}, {0, 4}}) {
    std::int64_t done = 0;
    double total = 0;
    while (!spmv::repeats_suffice(done, count, 1.0, total)) {
      ++done;
      total += 0.25;
    }
    EXPECT_EQ(done, expected) << count;
  }
}

// The context read from a fake /sys and /proc: two cores of two hardware
// threads each, one cache, cpufreq on CPU 0 alone.
TEST(MachineContext, ReadsTheTopologyCachesAndClocksBeneathARoot) {
  const std::string cpu = "/sys/devices/system/cpu/cpu";
  Files files = {
      {"/proc/cpuinfo", "processor\t: 0\nmodel name\t:  Example CPU @ 2.0GHz\n"},
      {"/proc/meminfo", "MemTotal:       16384 kB\nMemFree:        1024 kB\n"},
      {"/proc/loadavg", "1.50 0.75 0.25 2/300 12345\n"},
      {"/etc/os-release", "NAME=Example\nPRETTY_NAME=\"Example Linux 1\"\n"},
      {cpu + "0/cache/index0/level", "1\n"},
      {cpu + "0/cache/index0/type", "Data\n"},
      {cpu + "0/cache/index0/size", "48K\n"},
      {cpu + "0/cache/index0/shared_cpu_list", "0,2\n"},
      {cpu + "0/cache/index3/level", "3\n"},
      {cpu + "0/cache/index3/type", "Unified\n"},
      {cpu + "0/cache/index3/size", "32M\n"},
      {cpu + "0/cache/index3/shared_cpu_list", "0-3\n"},
      {cpu + "0/cpufreq/cpuinfo_min_freq", "800000\n"},
      {cpu + "0/cpufreq/cpuinfo_max_freq", "3500000\n"},
      {cpu + "0/cpufreq/scaling_governor", "powersave\n"},
      {cpu + "1/cpufreq/scaling_governor", "performance\n"},
      {cpu + "2/cpufreq/scaling_governor", "powersave\n"},
  };
  // CPUs 0 and 2 on core 7 of package 0, CPU 1 on core 7 of package 1, CPU 3 without topology.
  for (const auto& [number, package] : {std::pair{"0", "0"}, {"1", "1"}, {"2", "0"}}) {
    files.push_back({cpu + number + "/topology/core_id", "7\n"});
    files.push_back({cpu + number + "/topology/physical_package_id", std::string(package) + "\n"});
  }
  files.push_back({cpu + "3/online", "1\n"});
  const FakeRoot root(files);
  const spmv::MachineContext context = spmv::describe_machine_under(root.path());
  EXPECT_EQ(context.cpu_model, "Example CPU @ 2.0GHz");
  EXPECT_EQ(context.memory_bytes, 16384 * 1024);
  ASSERT_TRUE(context.load_average.has_value());
  EXPECT_EQ(*context.load_average, (spmv::LoadAverage{1.5, 0.75, 0.25}));
  EXPECT_EQ(context.os, "Example Linux 1");
  EXPECT_EQ(context.physical_cores, 2);
  EXPECT_EQ(context.threads_per_core, 2);
  EXPECT_EQ(context.core_of_cpu, (std::vector<std::int64_t>{0, 1, 0}));
  ASSERT_EQ(context.caches.size(), 2u);
  EXPECT_EQ(context.caches[0].level, 1);
  EXPECT_EQ(context.caches[0].type, "Data");
  EXPECT_EQ(context.caches[0].size_bytes, 48 * 1024);
  EXPECT_EQ(context.caches[0].shared_by_cpus, 2);
  EXPECT_EQ(context.caches[1].size_bytes, 32 * 1024 * 1024);
  EXPECT_EQ(context.caches[1].shared_by_cpus, 4);
  EXPECT_EQ(context.frequency_mhz.min, 800);
  EXPECT_EQ(context.frequency_mhz.max, 3500);
  EXPECT_FALSE(context.frequency_mhz.current.has_value());
  EXPECT_EQ(context.governor, "powersave");
  EXPECT_EQ(context.governors, (std::vector<std::string>{"powersave", "performance"}));
  // An empty tree: nothing shown, nothing invented.
  const FakeRoot empty({});
  const spmv::MachineContext bare = spmv::describe_machine_under(empty.path());
  EXPECT_EQ(bare.physical_cores, 0);
  EXPECT_TRUE(bare.caches.empty());
  EXPECT_FALSE(bare.governor.has_value());
  EXPECT_FALSE(bare.load_average.has_value());
  EXPECT_EQ(bare.memory_bytes, 0);
  EXPECT_EQ(bare.os, "");
  const struct {
    const char* list;
    std::int32_t count;
  } lists[] = {{"0", 1}, {"0-3", 4}, {"0-1,8-9", 4}, {"0,2,4-7\n", 6}, {"", 0}};
  for (const auto& l : lists) EXPECT_EQ(spmv::cpu_list_count(l.list), l.count) << l.list;
}

}  // namespace
