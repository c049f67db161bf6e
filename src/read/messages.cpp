// Messages of the reader.
#include "read/messages.hpp"

#include <cerrno>
#include <cstring>

#include "base/memory_budget.hpp"
#include "read/text_fields.hpp"

namespace spmv {

namespace {

// Longest part of a field that a message quotes.
constexpr std::ptrdiff_t max_field_text_bytes = 40;

// Appends a byte as \xNN.
void append_escaped(std::string& text, unsigned char byte) {
  static constexpr char hex[] = "0123456789abcdef";
  text.append("\\x").append(1, hex[byte >> 4]).append(1, hex[byte & 15]);
}

}  // namespace

std::string printable_path(const std::string& path) {
  std::string text;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) {
      text += c;
    } else {
      append_escaped(text, byte);
    }
  }
  return text;
}

Failure file_failure(const std::string& path, std::int64_t line, const std::string& reason) {
  std::string message = printable_path(path);
  if (line > 0) message.append(":").append(std::to_string(line));
  message.append(": ").append(reason);
  return Failure{Failure::Kind::matrix_file, std::move(message)};
}

Failure read_failure(const std::string& path) {
  return file_failure(path, 0, std::string("read error: ") + std::strerror(errno));
}

Failure buffer_failure(std::uint64_t bytes) {
  return Failure{Failure::Kind::memory, "not enough memory for a read buffer of " +
                                            std::to_string(bytes) + " bytes; " +
                                            usable_memory().description};
}

std::string field_text(const char* p) {
  std::string text;
  const char* end = p;
  for (; !ends_field(*end) && end - p < max_field_text_bytes; ++end) {
    const auto byte = static_cast<unsigned char>(*end);
    if (byte >= 0x20 && byte < 0x7f) {
      text += *end;
    } else {
      append_escaped(text, byte);
    }
  }
  return ends_field(*end) ? text : text.append("...");
}

std::string quote_field(const char* p) {
  std::string text(1, '"');
  return text.append(field_text(p)).append(1, '"');
}

std::string count_of(std::int64_t count, const char* one, const char* many) {
  return std::to_string(count).append(" ").append(count == 1 ? one : many);
}

}  // namespace spmv
