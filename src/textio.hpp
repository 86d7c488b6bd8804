// Plain-file text input and output shared by every line-oriented reader and table writer:
// UTF-8 checks, a line reader, a buffered writer and directory creation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "fd.hpp"

namespace voskel::textio {

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates, <= U+10FFFF).
bool utf8_valid(std::string_view bytes);

// Decodes bytes as UTF-8, replacing each maximal invalid subsequence with U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// Byte length of the white-space character (Unicode White_Space) that starts at s[i], or 0.
// The text must be valid UTF-8.
size_t ws_at(std::string_view s, size_t i);

// The text without its leading and trailing white space: every character of Unicode's
// White_Space set, not only ASCII blanks. The text must be valid UTF-8.
std::string_view trim(std::string_view s);

// The first character of valid UTF-8 text, or `if_empty` for the empty text.
char32_t first_char(std::string_view s, char32_t if_empty);

// The UTF-8 bytes of one character.
std::string utf8_encode(char32_t c);

// An unsigned 64-bit decimal as the line-oriented inputs write it: one optional '+', then
// digits only; nothing else, no overflow.
std::optional<uint64_t> parse_u64(std::string_view s);

// Reads a file as UTF-8 lines. A line ends at '\n'; one '\r' right before it is removed;
// the last line needs no '\n'. Failures name the path as given and the line being read:
// "{path} line {n}: stream did not contain valid UTF-8" for invalid UTF-8, and
// "{path} line {n}: line longer than {cap} bytes" for a line beyond the cap, so that a file
// without line feeds (a device, a binary file) never makes the reader hold all of it.
class LineReader {
public:
  // Far above any real line of a table or annotation, far below the memory of a machine.
  static constexpr size_t kMaxLine = size_t{256} << 20;

  // Opens the file; the error is the operating-system failure.
  static Result<LineReader> open(const std::string &path, size_t max_line = kMaxLine);

  // The next line without its terminator, or false at the end.
  // The view stays valid until the next call.
  Result<bool> next(std::string_view &line);
  // 1-based number of the line last returned.
  uint64_t line_number() const { return line_no_; }
  // "{path} line {n}: out of memory" for the line last returned: what a reader whose model
  // grows with the file returns when it outgrows memory.
  CoreError out_of_memory() const {
    return CoreError::message(fmt::format("{} line {}: out of memory", path_, line_no_));
  }

private:
  LineReader(fd::File file, std::string path, size_t max_line);
  Result<bool> fill();
  // Appends bytes of an unfinished line, within the cap.
  Status carry(const char *bytes, size_t n);
  // The failure of the line being read, "{path} line {n}: {what}".
  CoreError line_error(std::string_view what) const;
  CoreError too_long() const;

  fd::File file_;
  std::string path_; // as given, for messages
  size_t max_line_;
  std::vector<char> buf_;
  size_t begin_ = 0; // first unread byte
  size_t end_ = 0;   // one past the last valid byte
  bool eof_ = false;
  uint64_t line_no_ = 0;
  std::string carry_; // a line that straddles two buffer fills
};

// Calls f(line, line_number) for every line of the reader, blank lines included, until f
// returns an error or the lines end. A read failure is returned as is; what f keeps growing
// beyond memory fails as the reader's out_of_memory().
template <class F> Status for_each_line(LineReader &reader, F &&f) {
  std::string_view line;
  try {
    for (;;) {
      auto more = reader.next(line);
      if (!more)
        return fail(std::move(more.error()));
      if (!*more)
        return {};
      if (Status st = f(line, reader.line_number()); !st)
        return st;
    }
  } catch (const std::bad_alloc &) {
    return fail(reader.out_of_memory());
  }
}

// Splits the first out.size() tab-separated fields of a line into `out` (each field ends at
// the next tab; the rest of the line is ignored) and returns how many the line has, at most
// out.size().
size_t split_fields(std::string_view line, std::span<std::string_view> out);

// Creates a directory and every missing parent (0777 before the file-creation mask).
// An existing directory is fine. The error is the operating-system failure.
Status create_dirs(std::string_view path);

// The directory part of a path ("" when there is none).
std::string_view parent_dir(std::string_view path);

// Buffered writer on a created-or-truncated file (0666 before the mask).
class FileWriter {
public:
  static Result<FileWriter> create(const std::string &path);

  FileWriter(FileWriter &&other) noexcept = default;
  FileWriter &operator=(FileWriter &&other) noexcept = default;
  ~FileWriter();

  Status write(std::string_view bytes);
  Status put(char c) { return write(std::string_view(&c, 1)); }
  // Flushes and closes; an error here is the write failure.
  Status close();

private:
  explicit FileWriter(fd::File file) : file_(std::move(file)) { buf_.reserve(kBufSize); }
  Status flush();
  static constexpr size_t kBufSize = 1 << 16;
  fd::File file_;
  std::string buf_;
};

} // namespace voskel::textio
