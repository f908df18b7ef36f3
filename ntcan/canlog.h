// The text log format of the Linux CAN tools (candump -l writes it, canplayer plays it), one
// frame a line:
//
//   (1701955200.123456) can0 705#05 R
//   (1701955200.123789) can0 705#R T
//
// time stamp in seconds with 6 (or 9) fraction digits, interface name, frame (3 hex digits of
// identifier, '#', data bytes as unseparated hex pairs; a remote request is "#R", with its
// length "#R5" when it is not 0), and an optional direction mark: R received, T transmitted by
// the process that wrote the log.
//
// Reading is strict: a line that does not start with '(' (comment, blank, "DROPCOUNT:" notes)
// is passed over; a line that starts with '(' is either a frame the driver can carry, or a
// well-formed frame it cannot (29-bit identifier, error frame, CAN FD), which is skipped and
// counted, or malformed, which is reported with its line number and skipped. Nothing in the
// input can make the reader fail otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "ntcan.h"

namespace canlog {

enum class Dir : char { kNone = 0, kRx = 'R', kTx = 'T' };

struct Record {
  int64_t time_ns = 0;  // since the epoch
  std::string iface;
  CMSG frame{};  // normalised: len holds the data length and the remote bit only
  Dir dir = Dir::kNone;
};

enum class LineKind {
  kFrame,       // *out holds the frame
  kOther,       // not a frame line (does not start with '(')
  kExtended,    // well-formed frame with a 29-bit identifier
  kErrorFrame,  // well-formed error frame (identifier with 0x20000000)
  kFd,          // well-formed CAN FD frame ("##")
  kMalformed,   // *why says what is wrong
};

// Parses one line (without its line feed; a trailing carriage return is allowed).
LineKind parse_line(std::string_view line, Record* out, std::string* why = nullptr);

struct Problem {
  size_t line;  // 1-based
  std::string what;
};

struct Log {
  std::vector<Record> records;
  // The first kMaxProblems malformed lines; `malformed` counts them all.
  std::vector<Problem> problems;
  size_t malformed = 0;
  size_t extended = 0;
  size_t error_frames = 0;
  size_t fd = 0;
  size_t other = 0;
  size_t lines = 0;
};
constexpr size_t kMaxProblems = 100;

Log read_log(std::istream& in);
// false (and *error) if the file cannot be opened or is not a regular file (a FIFO or a device
// is refused, never waited on); problems of its lines are in *log.
bool read_log_file(const std::string& path, Log* log, std::string* error = nullptr);

// The frame as a bus carries it (ntcan::normalised_frame), a data length above 8 taken as 8.
CMSG normalised(const CMSG& frame);

// Longest line format_line writes, line feed included.
constexpr size_t kMaxLine = 64;
// Writes the line of one frame with its line feed into buf (at least kMaxLine bytes) and returns
// its length: micro-second time stamp with 10 second digits, the interface name right-aligned to
// `width` characters, the frame (normalised first) and the direction mark, if any. The name is
// cut at 15 characters, a negative time written as 0.
size_t format_line(char* buf, int64_t time_ns, std::string_view iface, int width, const CMSG& frame,
                   Dir dir);
std::string format_line(const Record& r);

}  // namespace canlog
