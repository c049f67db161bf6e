// Block division, the multiply and the order of its additions.
#include "multiply/parallel_multiply.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "distributed/pieces.hpp"
#include "stdio_reference.hpp"
#include "test_support.hpp"

using namespace spmv;

namespace {

CooMatrix make_matrix(std::int32_t n, const std::vector<std::int32_t>& rows,
                      const std::vector<std::int32_t>& cols, const std::vector<Extended>& values) {
  CooMatrix m;
  m.shape.columns = n;
  m.shape.result_length = n;
  m.nnz = static_cast<std::int32_t>(rows.size());
  m.row_index = std::make_unique<std::int32_t[]>(rows.size());
  m.col_index = std::make_unique<std::int32_t[]>(rows.size());
  m.value = std::make_unique<Extended[]>(rows.size());
  for (std::size_t k = 0; k < rows.size(); ++k) {
    m.row_index[k] = rows[k];
    m.col_index[k] = cols[k];
    m.value[k] = values[k];
  }
  return m;
}

// The whole multiply as the program runs it: vectors, team, reduction.
RunVectors multiply(const CooMatrix& m, std::int32_t threads) {
  Outcome<RunVectors> prepared = prepare_vectors(vector_lengths(m), threads);
  EXPECT_FALSE(prepared.failure);
  RunClock clock;
  multiply_partials(m, prepared.value.input, prepared.value.partials, clock);
  reduce_partials(prepared.value.partials, prepared.value.result);
  EXPECT_LE(clock.t_mult_begin, clock.t_mult_end);
  return std::move(prepared.value);
}

TEST(BlockDivision, MatchesTheWorkedExamples) {
  const struct {
    std::int64_t nnz, workers;
    std::vector<SlotBlock> blocks;
  } cases[] = {
      {10, 4, {{0, 3}, {3, 3}, {6, 2}, {8, 2}}},
      {4, 3, {{0, 2}, {2, 1}, {3, 1}}},
      {2, 4, {{0, 1}, {1, 1}, {2, 0}, {2, 0}}},
      {0, 2, {{0, 0}, {0, 0}}},
      {7, 1, {{0, 7}}},
      // Past 2^31 and 2^32 slots: every begin and count is 64-bit.
      {4294967299, 3, {{0, 1431655767}, {1431655767, 1431655766}, {2863311533, 1431655766}}},
      {2147483649, 2, {{0, 1073741825}, {1073741825, 1073741824}}},
      {4294967297, 1, {{0, 4294967297}}},
      {6442450947, 2, {{0, 3221225474}, {3221225474, 3221225473}}},
  };
  for (const auto& c : cases) {
    for (std::int64_t w = 0; w < c.workers; ++w) {
      const SlotBlock b = block_of_worker(c.nnz, c.workers, w);
      EXPECT_EQ(b.begin, c.blocks[w].begin) << c.nnz << " over " << c.workers << ", worker " << w;
      EXPECT_EQ(b.count, c.blocks[w].count) << c.nnz << " over " << c.workers << ", worker " << w;
    }
  }
}

// Slots travel between ranks in messages of at most the limit each, in
// order, covering every slot once; an int counts each message.
TEST(MessagePieces, CoverEverySlotOnceWithinTheLimit) {
  const struct {
    std::int64_t count, limit;
    std::vector<Piece> pieces;
  } cases[] = {
      {0, 5, {}},
      {1, 5, {{0, 1}}},
      {5, 5, {{0, 5}}},
      {6, 5, {{0, 5}, {5, 1}}},
      {10, 5, {{0, 5}, {5, 5}}},
      {3, 1, {{0, 1}, {1, 1}, {2, 1}}},
      {4294967296, max_piece_slots, {{0, 2147483647}, {2147483647, 2147483647}, {4294967294, 2}}},
  };
  for (const auto& c : cases) {
    const std::vector<Piece> pieces = pieces_of(c.count, c.limit);
    ASSERT_EQ(pieces.size(), c.pieces.size()) << c.count << " in pieces of " << c.limit;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      EXPECT_EQ(pieces[i].offset, c.pieces[i].offset) << c.count << ", piece " << i;
      EXPECT_EQ(pieces[i].length, c.pieces[i].length) << c.count << ", piece " << i;
    }
  }
  // The setting lowers both limits, and only a whole number from 1 does.
  const struct {
    const char* setting;
    std::int64_t exchange, dump;
  } settings[] = {{nullptr, max_piece_slots, 65536},
                  {"", max_piece_slots, 65536},
                  {"3", 3, 3},
                  {"100000", 100000, 65536},
                  {"0", max_piece_slots, 65536},
                  {"-2", max_piece_slots, 65536},
                  {"4x", max_piece_slots, 65536}};
  for (const auto& s : settings) {
    const MessagePieces pieces = message_pieces(s.setting);
    EXPECT_EQ(pieces.exchange, s.exchange) << (s.setting ? s.setting : "(none)");
    EXPECT_EQ(pieces.dump, s.dump) << (s.setting ? s.setting : "(none)");
  }
}

TEST(BlockDivision, CoversEverySlotOnceInWorkerOrder) {
  for (std::int64_t nnz = 0; nnz < 40; ++nnz) {
    for (std::int64_t workers = 1; workers <= 9; ++workers) {
      std::int64_t next = 0;
      for (std::int64_t w = 0; w < workers; ++w) {
        const SlotBlock b = block_of_worker(nnz, workers, w);
        ASSERT_EQ(b.begin, next);
        ASSERT_LE(b.count, nnz / workers + 1);
        ASSERT_GE(b.count, nnz / workers);
        next += b.count;
      }
      ASSERT_EQ(next, nnz);
    }
  }
}

TEST(ParallelMultiply, ThreeByThreeExampleGivesOneResultForEveryTeamSize) {
  const CooMatrix m = make_matrix(3, {1, 1, 2, 3}, {1, 3, 2, 1}, {2, 1.5L, -1, 4});
  for (std::int32_t threads = 1; threads <= 6; ++threads) {
    const RunVectors v = multiply(m, threads);
    EXPECT_EQ(v.result.element[0], 3.5L) << threads;
    EXPECT_EQ(v.result.element[1], -1.0L) << threads;
    EXPECT_EQ(v.result.element[2], 4.0L) << threads;
    for (std::int32_t i = 0; i < 3; ++i) EXPECT_EQ(v.input.element[i], 1);
  }
  const RunVectors two = multiply(m, 2);
  const Extended worker0[] = {3.5L, 0, 0};
  const Extended worker1[] = {0, -1, 4};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(two.partials.table[0][i], worker0[i]);
    EXPECT_EQ(two.partials.table[1][i], worker1[i]);
  }
}

// One row whose slots are 1 followed by four copies of 2^-64, half an ulp of
// 1: each addition of a lone 2^-64 to 1 rounds back to 1, so the result shows
// exactly how the slots fell into blocks and in which order the partial
// vectors were added.
TEST(ParallelMultiply, RowSplitBetweenWorkersIsSummedInSlotThenWorkerOrder) {
  const Extended tiny = std::ldexp(1.0L, -64);
  const CooMatrix m = make_matrix(2, {2, 2, 2, 2, 2}, {1, 2, 1, 2, 1}, {1, tiny, tiny, tiny, tiny});
  const struct {
    std::int32_t threads;
    Extended expected;
  } cases[] = {
      {1, 1.0L},                          // 1 + tiny + tiny + tiny + tiny, each rounding to 1
      {2, 1.0L + std::ldexp(1.0L, -63)},  // (1) + (2 tiny)
      {3, 1.0L + std::ldexp(1.0L, -62)},  // ((1) + (2 tiny)) + (tiny): a tie, to even
      {4, 1.0L},                          // (((1) + tiny) + tiny) + tiny
      {8, 1.0L},                          // as 4, with three empty workers after
  };
  for (const auto& c : cases) {
    const RunVectors v = multiply(m, c.threads);
    EXPECT_TRUE(same_bits(v.result.element[1], c.expected))
        << c.threads << " threads: " << v.result.element[1] - 1;
    EXPECT_TRUE(same_bits(v.result.element[0], 0.0L));
  }
}

TEST(ParallelMultiply, RepeatedPairsAddAndEmptyMatricesGiveZeros) {
  const RunVectors repeated = multiply(make_matrix(1, {1, 1}, {1, 1}, {0.25L, 0.5L}), 2);
  EXPECT_EQ(repeated.result.element[0], 0.75L);
  const RunVectors empty = multiply(make_matrix(4, {}, {}, {}), 3);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(same_bits(empty.result.element[i], 0.0L));
}

// Rows in runs of random length, values of random magnitude: the result must
// be, bit for bit, that of one addition per slot into the worker's partial
// vector, partial vectors added in worker order.
TEST(ParallelMultiply, MatchesOneAdditionPerSlotOnRandomMatrices) {
  std::mt19937_64 random(11);
  ReferenceMatrix reference;
  reference.n = 50;
  std::vector<std::int32_t> rows, cols;
  while (rows.size() < 3000) {
    const auto row = static_cast<std::int32_t>(1 + random() % 50);
    for (std::uint64_t run = random() % 6; run-- > 0;) {
      rows.push_back(row);
      cols.push_back(static_cast<std::int32_t>(1 + random() % 50));
      reference.value.push_back(std::ldexp(static_cast<Extended>(random() % 1000) - 500,
                                           static_cast<int>(random() % 140) - 70));
    }
  }
  reference.row.assign(rows.begin(), rows.end());
  reference.col.assign(cols.begin(), cols.end());
  reference.nnz = static_cast<int>(rows.size());
  const CooMatrix m = make_matrix(50, rows, cols, reference.value);
  for (std::int32_t threads = 1; threads <= 6; ++threads) {
    const RunVectors v = multiply(m, threads);
    const std::vector<Extended> expected = reference_product(reference, threads);
    for (int i = 0; i < 50; ++i) {
      ASSERT_TRUE(same_bits(v.result.element[i], expected[i])) << threads << " threads, row " << i;
    }
  }
}

}  // namespace
