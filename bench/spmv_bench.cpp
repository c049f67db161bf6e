// Benchmarks of the reader, the value conversion and the multiply, with the
// plain ways of doing the same work measured in the same run as baselines.
//
//   spmv_bench [google benchmark flags]
//
// SPMV_BENCH_ENTRIES (default 2000000) sets the entries of the generated
// files; rows are a fifth of that. Rates: MB/s of file (bytes_per_second),
// entries/s (items_per_second) and ns per entry or value; `vs_stdio` and
// `vs_plain` are how many times faster than the baseline.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <omp.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "base/allocation.hpp"
#include "matrix_generator.hpp"
#include "multiply/parallel_multiply.hpp"
#include "read/coo_matrix.hpp"
#include "read/line_count.hpp"
#include "read/range.hpp"
#include "read/read_state.hpp"
#include "read/scan/scan_path.hpp"
#include "read/second_pass.hpp"
#include "read/text_fields.hpp"
#include "stdio_reference.hpp"

using namespace spmv;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A generated matrix file, removed at the end of the run.
struct BenchFile {
  std::string path;
  std::int64_t bytes = 0;
  std::int64_t entries = 0;
};

BenchFile make_file(const std::string& dir, const char* style_name, bool shuffled,
                    std::int32_t entries) {
  ValueStyle style = ValueStyle::exp17;
  parse_value_style(style_name, style);
  BenchFile file;
  file.path = dir + "/" + style_name + (shuffled ? "_shuffled" : "_sorted") + ".txt";
  file.entries = entries;
  std::FILE* out = std::fopen(file.path.c_str(), "w");
  write_random_matrix(out, std::max(entries / 5, 1), entries, style, MatrixLayout{shuffled, false},
                      1);
  file.bytes = std::ftell(out);
  std::fclose(out);
  return file;
}

void report_file_rates(benchmark::State& state, const BenchFile& file) {
  state.SetBytesProcessed(state.iterations() * file.bytes);
  state.SetItemsProcessed(state.iterations() * file.entries);
}

// Both passes of the stdio way: fgetc newline count, fscanf per entry.
void stdio_read_file(benchmark::State& state, const BenchFile& file) {
  for (auto _ : state) benchmark::DoNotOptimize(stdio_read(file.path).nnz);
  report_file_rates(state, file);
}

void count_lines_file(benchmark::State& state, const BenchFile& file, std::int32_t threads) {
  for (auto _ : state) benchmark::DoNotOptimize(count_lines(file.path, threads).value.lines);
  state.SetBytesProcessed(state.iterations() * file.bytes);
}

// Both passes of the program's reader; vs_stdio compares with the stdio way,
// and `readers` tells how many readers parsed the entries (a parallel read that
// gave way to one reader would be measured as something it is not).
void read_file(benchmark::State& state, const BenchFile& file, std::int32_t threads,
               double stdio_seconds) {
  const Clock::time_point start = Clock::now();
  ReadReport report;
  for (auto _ : state) {
    const Outcome<CooMatrix> matrix = read_coo_matrix(file.path, threads, {}, &report);
    if (matrix.failure) state.SkipWithError(matrix.failure->message.c_str());
    if (!report.fallback.empty()) state.SkipWithError(("fell back: " + report.fallback).c_str());
    benchmark::DoNotOptimize(matrix.value.nnz);
  }
  state.counters["readers"] = report.readers;
  const double per_read = seconds_since(start) / static_cast<double>(state.iterations());
  report_file_rates(state, file);
  state.counters["ns_per_entry"] = per_read * 1e9 / static_cast<double>(file.entries);
  state.counters["vs_stdio"] = stdio_seconds / per_read;
}

// The second pass alone (header and entries into their arrays, allocation
// included), after one first pass outside the timing: the reader's parse
// loop, measured in ns per entry.
void second_pass_file(benchmark::State& state, const BenchFile& file, std::int32_t threads) {
  const Outcome<LineCount> lines = count_lines(file.path, threads);
  ReadReport report;
  const Clock::time_point start = Clock::now();
  for (auto _ : state) {
    const Outcome<CooMatrix> matrix = read_entries(file.path, lines.value, threads, {}, &report);
    if (matrix.failure) state.SkipWithError(matrix.failure->message.c_str());
    benchmark::DoNotOptimize(matrix.value.nnz);
  }
  const double per_read = seconds_since(start) / static_cast<double>(state.iterations());
  report_file_rates(state, file);
  state.counters["readers"] = report.readers;
  state.counters["ns_per_entry"] = per_read * 1e9 / static_cast<double>(file.entries);
}

// The parse loop alone: every entry line of the file read into arrays that
// were allocated and touched before the timing, by one reader over the whole
// byte range after the header. No allocation, no first touch of fresh pages.
void parse_entries_file(benchmark::State& state, const BenchFile& file, ScanPath path) {
  const Outcome<LineCount> lines = count_lines(file.path, 1);
  const Outcome<CooMatrix> read = read_coo_matrix(file.path, 1);  // the arrays, touched
  if (read.failure) {
    state.SkipWithError(read.failure->message.c_str());
    return;
  }
  CooMatrix matrix;
  matrix.shape = read.value.shape;
  matrix.nnz = read.value.nnz;
  matrix.row_index = std::make_unique<std::int32_t[]>(static_cast<std::size_t>(matrix.nnz));
  matrix.col_index = std::make_unique<std::int32_t[]>(static_cast<std::size_t>(matrix.nnz));
  matrix.value = std::make_unique<Extended[]>(static_cast<std::size_t>(matrix.nnz));
  const int fd = open(file.path.c_str(), O_RDONLY);
  const ReadSetting setting{.path = file.path,
                            .line_count = lines.value.lines,
                            .long_line = 0,
                            .thread_count = 1,
                            .fast_values = fast_values_exact(),
                            .scan_path = path};
  std::string first_line;
  std::FILE* in = std::fopen(file.path.c_str(), "r");
  for (int c = std::fgetc(in); c != EOF && c != '\n'; c = std::fgetc(in))
    first_line += static_cast<char>(c);
  std::fclose(in);
  const auto header_end = static_cast<std::int64_t>(first_line.size() + 1);
  std::int64_t scanned = 0;  // entry lines of the last read that the scanner took
  const Clock::time_point start = Clock::now();
  for (auto _ : state) {
    ReadState reader{.setting = setting,
                     .matrix = matrix,
                     .format = {.form = FileForm{},
                                .header_seen = true,
                                .row_limit = matrix.shape.columns,
                                .declared = matrix.nnz,
                                .slot_capacity = matrix.nnz},
                     .run = {.entry_limit = matrix.nnz},
                     .line = 1,
                     .stop_after_header = false,
                     .failure = std::nullopt};
    if (!read_range(fd, header_end, file.bytes, reader, std::size_t{1} << 20)) {
      state.SkipWithError(reader.failure->message.c_str());
    }
    scanned = reader.run.scanned;
    benchmark::DoNotOptimize(matrix.value[0]);
  }
  const double per_read = seconds_since(start) / static_cast<double>(state.iterations());
  close(fd);
  report_file_rates(state, file);
  state.counters["ns_per_entry"] = per_read * 1e9 / static_cast<double>(file.entries);
  state.counters["scanned_share"] =
      static_cast<double>(scanned) / static_cast<double>(file.entries);
}

// Allocation and first touch of the arrays of `slots` slots of rows, columns
// and values, by `threads` threads each writing one byte per 4 KiB page of
// its static block, as the readers' first writes do; then the arrays are
// freed. The first run of a process meets memory that the machine may not yet
// back, later runs mostly the memory just freed: the two are registered apart.
void first_touch(benchmark::State& state, std::int64_t slots, std::int32_t threads) {
  const std::int64_t bytes = slots * static_cast<std::int64_t>(slot_bytes(false));
  const Clock::time_point start = Clock::now();
  for (auto _ : state) {
    CooMatrix m;
    if (!allocate_slots(m, slots)) {
      state.SkipWithError("not enough memory");
      return;
    }
    char* const arrays[3] = {reinterpret_cast<char*>(m.row_index.get()),
                             reinterpret_cast<char*>(m.col_index.get()),
                             reinterpret_cast<char*>(m.value.get())};
    const std::int64_t sizes[3] = {slots * 4, slots * 4, slots * 16};
#pragma omp parallel num_threads(threads)
    for (int a = 0; a < 3; ++a) {
      const SlotBlock block =
          block_of_worker(sizes[a], omp_get_num_threads(), omp_get_thread_num());
      for (std::int64_t at = block.begin; at < block.begin + block.count; at += 4096) {
        arrays[a][at] = 1;
      }
    }
    benchmark::DoNotOptimize(arrays[2][0]);
  }
  const double per_run = seconds_since(start) / static_cast<double>(state.iterations());
  state.SetBytesProcessed(state.iterations() * bytes);
  state.counters["ns_per_entry"] = per_run * 1e9 / static_cast<double>(slots);
}

// The value fields of a file, each followed by a newline.
std::vector<std::string> value_fields(const BenchFile& file, std::size_t count) {
  std::vector<std::string> fields;
  std::FILE* in = std::fopen(file.path.c_str(), "r");
  char line[256];
  std::fgets(line, sizeof line, in);  // the header
  while (fields.size() < count && std::fgets(line, sizeof line, in)) {
    const char* value = std::strrchr(line, ' ') + 1;
    fields.emplace_back(value);
    fields.back().append(field_padding_bytes, '\0');
  }
  std::fclose(in);
  return fields;
}

void convert_values(benchmark::State& state, const std::vector<std::string>& fields, bool fast) {
  const Clock::time_point start = Clock::now();
  for (auto _ : state) {
    for (const std::string& field : fields) {
      const char* p = field.c_str();
      Extended value = 0;
      convert_value(p, value, fast);
      benchmark::DoNotOptimize(value);
    }
  }
  const auto values = state.iterations() * static_cast<std::int64_t>(fields.size());
  state.SetItemsProcessed(values);
  state.counters["ns_per_value"] = seconds_since(start) * 1e9 / static_cast<double>(values);
}

// The multiply written the plain way: one read-modify-write of the partial
// vector per slot, same blocks.
void plain_multiply(const CooMatrix& m, const InputVector& x, PartialSums& partials) {
#pragma omp parallel num_threads(partials.thread_count)
  {
    const int worker = omp_get_thread_num();
    const SlotBlock block = block_of_worker(m.nnz, omp_get_num_threads(), worker);
    Extended* y = partials.table[static_cast<std::size_t>(worker)].get();
    for (std::int64_t k = block.begin; k < block.begin + block.count; ++k) {
      y[m.row_index[k] - 1] += static_cast<Extended>(x.element[m.col_index[k] - 1]) * m.value[k];
    }
  }
}

// Seconds per multiply, the program's or the plain one.
void multiply_file(benchmark::State& state, const CooMatrix& m, std::int32_t threads, bool plain,
                   std::map<std::string, double>& seconds, const std::string& key) {
  Outcome<RunVectors> vectors = prepare_vectors(vector_lengths(m), threads);
  RunClock clock;
  double total = 0;
  for (auto _ : state) {
    if (plain) {
      const Clock::time_point start = Clock::now();
      plain_multiply(m, vectors.value.input, vectors.value.partials);
      total += seconds_since(start);
    } else {
      multiply_partials(m, vectors.value.input, vectors.value.partials, clock);
      total += clock.t_mult_end - clock.t_mult_begin;
    }
  }
  const double per_run = total / static_cast<double>(state.iterations());
  seconds[key + (plain ? "/plain" : "/program")] = per_run;
  state.SetItemsProcessed(state.iterations() * m.nnz);
  state.counters["ns_per_entry"] = per_run * 1e9 / m.nnz;
  if (!plain && seconds.count(key + "/plain")) {
    state.counters["vs_plain"] = seconds[key + "/plain"] / per_run;
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const char* configured = std::getenv("SPMV_BENCH_ENTRIES");
  const auto entries = static_cast<std::int32_t>(configured ? std::atol(configured) : 2000000);
  std::string dir = "/tmp/spmv-bench-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) return 1;

  std::vector<BenchFile> files;
  for (const char* style : {"exp17", "short", "int"})
    files.push_back(make_file(dir, style, false, entries));
  const BenchFile shuffled = make_file(dir, "exp17", true, entries);
  std::map<std::string, double> seconds;  // filled as the benchmarks run
  // Kept alive for the multiply benchmarks, whose registrations hold references
  // to the elements; a deque keeps them in place as more are appended.
  std::deque<CooMatrix> matrices;

  for (const BenchFile& file : files) {
    const std::string name = file.path.substr(dir.size() + 1);
    // The stdio baseline, once, before the runs that compare with it.
    const Clock::time_point start = Clock::now();
    benchmark::DoNotOptimize(stdio_read(file.path).nnz);
    const double stdio_seconds = seconds_since(start);
    benchmark::RegisterBenchmark(("StdioRead/" + name).c_str(), stdio_read_file, file)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    for (std::int32_t threads : {1, 2}) {
      benchmark::RegisterBenchmark(("Read/" + name + "/threads:" + std::to_string(threads)).c_str(),
                                   read_file, file, threads, stdio_seconds)
          ->MinTime(1.0)
          ->Unit(benchmark::kMillisecond);
      for (const ScanPath path : all_scan_paths) {
        if (threads != 1 || !scan_path_supported(path)) continue;
        benchmark::RegisterBenchmark(("ParseEntries/" + name + "/" + scan_path_name(path)).c_str(),
                                     parse_entries_file, file, path)
            ->MinTime(1.0)
            ->Unit(benchmark::kMillisecond);
      }
      benchmark::RegisterBenchmark(
          ("SecondPass/" + name + "/threads:" + std::to_string(threads)).c_str(), second_pass_file,
          file, threads)
          ->MinTime(1.0)
          ->Unit(benchmark::kMillisecond);
    }
  }
  for (std::int32_t threads : {1, 2}) {
    const std::string key = "/threads:" + std::to_string(threads);
    benchmark::RegisterBenchmark(("FirstTouch/first" + key).c_str(), first_touch, entries, threads)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("FirstTouch/again" + key).c_str(), first_touch, entries, threads)
        ->Unit(benchmark::kMillisecond);
  }
  for (std::int32_t threads : {1, 2}) {
    benchmark::RegisterBenchmark(("CountLines/threads:" + std::to_string(threads)).c_str(),
                                 count_lines_file, files[0], threads)
        ->Unit(benchmark::kMillisecond);
  }
  for (const BenchFile& file : files) {
    const std::vector<std::string> fields = value_fields(file, 100000);
    const std::string name = file.path.substr(dir.size() + 1);
    benchmark::RegisterBenchmark(("ConvertValue/strtold/" + name).c_str(), convert_values, fields,
                                 false);
    benchmark::RegisterBenchmark(("ConvertValue/program/" + name).c_str(), convert_values, fields,
                                 true);
  }
  for (const BenchFile* file : {static_cast<const BenchFile*>(&files[0]), &shuffled}) {
    matrices.push_back(std::move(read_coo_matrix(file->path, 2).value));
    const std::string name = file->path.substr(dir.size() + 1);
    for (std::int32_t threads : {1, 2}) {
      const std::string key = name + "/threads:" + std::to_string(threads);
      for (bool plain : {true, false}) {
        benchmark::RegisterBenchmark(
            ("Multiply/" + std::string(plain ? "plain/" : "program/") + key).c_str(), multiply_file,
            std::cref(matrices.back()), threads, plain, std::ref(seconds), key)
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const BenchFile& file : files) std::remove(file.path.c_str());
  std::remove(shuffled.path.c_str());
  rmdir(dir.c_str());
  return 0;
}
