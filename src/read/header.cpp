// Banner and header: what the entries hold, how many there are, and the
// arrays for them.
#include "read/header.hpp"

#include <algorithm>
#include <climits>

#include "base/allocation.hpp"
#include "base/memory_budget.hpp"
#include "read/messages.hpp"
#include "read/text_fields.hpp"

namespace spmv {

namespace {

const char* const header_names[3] = {"first number", "n", "nnz"};

}  // namespace

bool take_banner(ReadState& state, const char* p) {
  MatrixBanner banner = parse_banner(p);
  if (banner.refusal) return refuse(state, *banner.refusal);
  state.format.form = banner.form;
  return true;
}

bool parse_header(ReadState& state, const char*& p, bool spare_slots) {
  // The first number and n are 32-bit, as every row and column index is;
  // nnz counts slots, which may pass 2^31.
  std::int64_t numbers[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    p = skip_blanks(p);
    if (*p == '\n') {
      return refuse(state, "the header must be three integers (first number, n, nnz); found " +
                               std::to_string(i));
    }
    const char* field = p;
    const bool count = (i == 2);
    const IntStatus status = count ? parse_int64(p, numbers[i])
                                   : parse_integer(p, max_int32_digits, INT32_MAX, numbers[i]);
    if (status == IntStatus::not_integer) {
      return refuse(state, std::string("header: ") + header_names[i] + " " + quote_field(field) +
                               " is not an integer");
    }
    if (status == IntStatus::out_of_range) {
      return refuse(state, std::string("header: ") + header_names[i] + " " + quote_field(field) +
                               (count ? " is outside the 64-bit integer range"
                                      : " is outside the 32-bit integer range"));
    }
  }
  p = skip_blanks(p);
  if (*p != '\n') return refuse(state, "header: unexpected text after nnz: " + quote_field(p));
  // In a Matrix Market file the first number is the row count, which must be
  // a count too; in a plain file it is unused.
  for (int i = is_market(state.format) ? 0 : 1; i < 3; ++i) {
    if (numbers[i] < 0) {
      return refuse(state, std::string("header: ") + header_names[i] + " is " +
                               std::to_string(numbers[i]) + "; it must be 0 or more");
    }
  }
  CooMatrix& m = state.matrix;
  MatrixShape& shape = m.shape;
  shape.header_rows = static_cast<std::int32_t>(numbers[0]);
  shape.columns = static_cast<std::int32_t>(numbers[1]);
  m.nnz = numbers[2];
  m.unit_values = holds_unit_values(state.format.form);
  // A Matrix Market matrix has rows 1..first and columns 1..n; its product
  // with n ones has one element per row, and every vector of the run has at
  // least n elements. A plain file's rows run to n.
  shape.result_length =
      is_market(state.format) ? std::max(shape.header_rows, shape.columns) : shape.columns;
  if (state.format.form.symmetry != Symmetry::general && shape.header_rows != shape.columns) {
    return refuse(state,
                  "a symmetric or skew-symmetric matrix is square, but the size line gives " +
                      count_of(shape.header_rows, "row", "rows") + " and " +
                      count_of(shape.columns, "column", "columns"));
  }
  state.format.row_limit = is_market(state.format) ? shape.header_rows : shape.columns;
  // Lines after the header, of which each holds at most one entry. With an
  // overlong line, only those before it can be read: the file is refused there
  // at the latest, so the header's count is not held against them.
  const std::int64_t lines_after = state.setting.line_count - state.line;
  const std::int64_t readable =
      state.setting.long_line > 0 ? std::max<std::int64_t>(lines_after - 1, 0) : lines_after;
  if (state.setting.long_line == 0 && m.nnz > lines_after) {
    return refuse(state, "the header declares " + count_of(m.nnz, "entry", "entries") +
                             ", but the file has only " +
                             count_of(std::max<std::int64_t>(lines_after, 0), "line", "lines") +
                             " after it");
  }
  state.format.declared = m.nnz;
  const std::int64_t per_entry = slots_per_entry(state.format);
  // Room for every entry and its mirror; with `spare_slots`, for every line
  // after the header when the file has only a few more of them than entries,
  // so that parallel readers can place entries by line number before they
  // know how many blank lines precede.
  std::int64_t entries_room = std::min<std::int64_t>(m.nnz, readable);
  if (spare_slots && lines_after - m.nnz <= spare_line_allowance(m.nnz)) {
    entries_room = lines_after;
  }
  state.format.slot_capacity = per_entry * entries_room;
  if (state.setting.defer_arrays) {
    state.format.header_seen = true;
    state.run.entry_limit = std::min<std::int64_t>(m.nnz, entries_room);
    return true;
  }
  if ((state.failure = check_run_memory(
           vector_lengths(m), slot_arrays(m, state.format.slot_capacity),
           state.setting.thread_count, static_cast<std::uint64_t>(state.setting.kept_bytes)))) {
    return false;
  }
  if (!allocate_slots(m, state.format.slot_capacity)) {
    state.failure = memory_failure(vector_lengths(m), slot_arrays(m, state.format.slot_capacity),
                                   state.setting.thread_count);
    return false;
  }
  state.format.header_seen = true;
  state.run.entry_limit = std::min<std::int64_t>(m.nnz, entries_room);
  return true;
}

}  // namespace spmv
