// The matrix file, read in its two passes, after unpacking when it is a
// compressed file or an archive.
#include "read/coo_matrix.hpp"

#include <omp.h>

#include "read/line_count.hpp"
#include "read/second_pass.hpp"
#include "unpack/compressed_input.hpp"

namespace spmv {

Outcome<CooMatrix> read_coo_matrix(const std::string& path, std::int32_t thread_count,
                                   const ReadOptions& options, ReadReport* report) {
  ReadReport local_report;
  ReadReport& how = report != nullptr ? *report : local_report;
  how = ReadReport{};
  const double start = omp_get_wtime();
  // A compressed file or an archive is unpacked into memory once, and both
  // passes read that text; a plain file is read where it is.
  MatrixSource source{path, path};
  UnpackedText unpacked;
  {
    FileDescriptor file;
    FileStamp stamp;
    const char* packing = open_matrix_file(path, file, stamp) ? nullptr : packed_name(file.fd);
    if (packing != nullptr) {
      Outcome<UnpackedText> unpacking =
          unpack_matrix(path, file.fd, stamp, packing, options.progress);
      how.unpack_seconds = omp_get_wtime() - start;
      how.packing = unpacking.value.format.empty() ? packing : unpacking.value.format;
      how.packed_bytes = unpacking.value.packed_bytes;
      how.unpacked_bytes = unpacking.value.bytes;
      if (unpacking.failure) return Outcome<CooMatrix>{CooMatrix{}, unpacking.failure};
      unpacked = std::move(unpacking.value);
      source = MatrixSource{"/proc/self/fd/" + std::to_string(unpacked.text.fd), unpacked.name};
    }
  }
  const double unpacked_at = omp_get_wtime();
  ReadOptions reading = options;
  reading.kept_bytes = unpacked.bytes;
  const Outcome<LineCount> lines = count_lines(source, thread_count, reading);
  const double counted = omp_get_wtime();
  Outcome<CooMatrix> outcome{CooMatrix{}, lines.failure};
  if (!lines.failure) {
    outcome = read_entries(source, lines.value, thread_count, reading, &how);
  }
  how.first_pass_seconds = counted - unpacked_at;
  how.second_pass_seconds = lines.failure ? 0 : omp_get_wtime() - counted;
  if (unpacked.text.fd >= 0) {
    how.unpack_seconds = unpacked_at - start;
    how.packing = unpacked.format;
    how.packed_bytes = unpacked.packed_bytes;
    how.unpacked_bytes = unpacked.bytes;
    how.member = unpacked.member;
  }
  return outcome;
}

}  // namespace spmv
