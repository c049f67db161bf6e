// Messages of bounded length: MPI counts are int, and a run may move more
// slots than an int can count, so every transfer of slots goes in pieces.
#pragma once

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace spmv {

// Most elements of one message.
inline constexpr std::int64_t max_piece_slots = INT32_MAX;

// How many slots travel in one message.
struct MessagePieces {
  std::int64_t exchange = max_piece_slots;    // slots of one array in one exchange message
  std::int64_t dump = std::int64_t{1} << 16;  // slots in one message of the gathered dump,
                                              // which rank 0 receives into buffers this long
};

// The usual pieces, both lowered to `setting` when it holds a whole number
// from 1 up (a testing aid: small pieces cross every piece boundary on small
// files); null or anything else leaves them as they are. Every rank must use
// the same pieces: spmv-mpi takes rank 0's.
inline MessagePieces message_pieces(const char* setting) {
  MessagePieces pieces;
  if (setting == nullptr || *setting == '\0') return pieces;
  char* end = nullptr;
  errno = 0;
  const long long slots = std::strtoll(setting, &end, 10);
  if (*end == '\0' && errno == 0 && slots >= 1) {
    pieces.exchange = std::min<std::int64_t>(pieces.exchange, slots);
    pieces.dump = std::min<std::int64_t>(pieces.dump, slots);
  }
  return pieces;
}

// message_pieces() of the environment's SPMV_PIECE_SLOTS.
inline MessagePieces message_pieces_from_environment() {
  return message_pieces(std::getenv("SPMV_PIECE_SLOTS"));
}

// One message: `length` elements from `offset` on.
struct Piece {
  std::int64_t offset = 0;  // first element
  int length = 0;           // elements, 1 to the limit
};

// The pieces that carry `count` elements, at most `limit` (1 to
// max_piece_slots) in each, in order; none for no elements.
inline std::vector<Piece> pieces_of(std::int64_t count, std::int64_t limit) {
  std::vector<Piece> pieces;
  for (std::int64_t offset = 0; offset < count; offset += limit) {
    pieces.push_back({offset, static_cast<int>(std::min(limit, count - offset))});
  }
  return pieces;
}

}  // namespace spmv
