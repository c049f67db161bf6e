// The refusals of an entry line, off the inner loop.
#include "read/entries.hpp"

namespace spmv {

namespace {

const char* const entry_names[2] = {"row", "column"};

}  // namespace

bool refuse(ReadState& state, const std::string& reason) {
  state.failure = file_failure(state.setting.path, state.line, reason);
  return false;
}

bool refuse_index(ReadState& state, const char* field, int which) {
  std::int32_t index = 0;
  const char* end = field;
  if (parse_int32(end, index) == IntStatus::not_integer) {
    return refuse(
        state, std::string(entry_names[which]) + " " + quote_field(field) + " is not an integer");
  }
  const MatrixShape& shape = state.matrix.shape;
  const std::int32_t limit = which == 0 ? state.format.row_limit : shape.columns;
  std::string reason = std::string(entry_names[which]) + " " + field_text(field) +
                       " is outside 1.." + std::to_string(limit);
  // A plain file's rows run to n whatever its first number says; a first
  // number above n, likely meant as the row count, is named.
  if (which == 0 && !is_market(state.format) && shape.header_rows > shape.columns) {
    reason.append(": the matrix has ").append(std::to_string(shape.header_rows));
    reason.append(" rows but only ").append(std::to_string(shape.columns));
    reason.append(" columns, and the product with a vector of length n has only n rows");
  }
  return refuse(state, reason);
}

bool refuse_missing(ReadState& state, int found) {
  return refuse(state, "expected an entry of three fields (row, column, value); found " +
                           std::to_string(found));
}

}  // namespace spmv
