// One entry line "row col value" (or "row col" in a pattern file) into the
// next slot of a reader's run, with its mirror in a symmetric file. Inline:
// this is the reader's inner loop.
#pragma once

#include <string>

#include "read/messages.hpp"
#include "read/read_state.hpp"
#include "read/text_fields.hpp"

namespace spmv {

// Refuses the row (which = 0) or column (1) field at `field`.
[[gnu::cold]] bool refuse_index(ReadState& state, const char* field, int which);

// Refuses an entry that has only `found` of its three fields.
[[gnu::cold]] bool refuse_missing(ReadState& state, int found);

// Where a reader places its entries: the arrays of its matrix (no values for
// a matrix of unit values) and the symmetry that mirrors them. Plain
// pointers, held apart from the matrix so that the compiler knows that a
// store into the arrays changes none of them.
struct EntryArrays {
  std::int32_t* rows;  // row indices
  std::int32_t* cols;  // column indices
  Extended* values;    // values, or null for a matrix of unit values
  Symmetry symmetry;   // general, or how the mirror of an entry is made

  explicit EntryArrays(CooMatrix& m, Symmetry how)
      : rows(m.row_index.get()),
        cols(m.col_index.get()),
        values(m.unit_values ? nullptr : m.value.get()),
        symmetry(how) {}
};

// Places an entry whose value is already in slot k, and its mirror in a
// symmetric file, and counts it in `run`.
[[gnu::always_inline]] inline void place_entry(const EntryArrays& to, SlotRun& run, std::size_t k,
                                               std::int32_t row, std::int32_t col) {
  to.rows[k] = row;
  to.cols[k] = col;
  ++run.slots;
  if (to.symmetry != Symmetry::general && row != col) {
    const auto mirror = static_cast<std::size_t>(run.slot_base + run.slots++);
    to.rows[mirror] = col;
    to.cols[mirror] = row;
    if (to.values != nullptr) {
      const Extended value = to.values[k];
      to.values[mirror] = to.symmetry == Symmetry::skew_symmetric ? -value : value;
    }
  }
  ++run.entries;
}

// Parses the entry at p into the next slot, checking each field; leaves p at
// the newline.
[[gnu::always_inline]] inline bool parse_entry(ReadState& state, const char*& p) {
  CooMatrix& m = state.matrix;
  if (state.run.entries >= state.run.entry_limit) {
    return refuse(state, "more entries than the " + std::to_string(state.format.declared) +
                             " that the header declares");
  }
  const auto k = static_cast<std::size_t>(state.run.slot_base + state.run.slots);
  std::int32_t row = 0;
  std::int32_t col = 0;
  const char* field = p;
  if (const int pair_length = read_index_pair(p, row, col)) {
    if (row < 1 || row > state.format.row_limit) return refuse_index(state, field, 0);
    if (col < 1 || col > m.shape.columns) {
      const char* col_field = field;
      while (is_digit(*col_field)) ++col_field;
      return refuse_index(state, col_field + 1, 1);  // past the one space
    }
    p += pair_length;
  } else {
    if (parse_int32(p, row) != IntStatus::ok || row < 1 || row > state.format.row_limit) {
      return refuse_index(state, field, 0);
    }
    p = skip_blanks(p);
    if (*p == '\n') return refuse_missing(state, 1);
    field = p;
    if (parse_int32(p, col) != IntStatus::ok || col < 1 || col > m.shape.columns) {
      return refuse_index(state, field, 1);
    }
  }
  p = skip_blanks(p);
  if (state.format.form.field == Field::pattern) {
    if (*p != '\n') {
      return refuse(state, "unexpected text after the column: " + quote_field(p) +
                               " (a pattern matrix has no values)");
    }
    // A matrix of unit values holds none; a skew-symmetric one holds 1 here
    // and -1 in the mirror.
    if (!m.unit_values) store_integer(1, false, m.value[k]);
  } else {
    if (*p == '\n') return refuse_missing(state, 2);
    field = p;
    // The value is converted straight into its slot, which is the reader's
    // own until the entry counts: an 80-bit value copied through the stack
    // costs a store and a load that the processor cannot forward.
    if (!convert_value(p, m.value[k], state.setting.fast_values)) {
      return refuse(state, "value " + quote_field(field) + " is not a number");
    }
    p = skip_blanks(p);
    if (*p != '\n') {
      return refuse(state,
                    "unexpected text after the value: " + quote_field(p) + " (one entry per line)");
    }
  }
  if (state.format.form.symmetry == Symmetry::skew_symmetric && row == col) {
    return refuse(state, "a skew-symmetric matrix has no diagonal entries, but this is (" +
                             std::to_string(row) + ", " + std::to_string(col) + ")");
  }
  place_entry(EntryArrays(m, state.format.form.symmetry), state.run, k, row, col);
  return true;
}

}  // namespace spmv
