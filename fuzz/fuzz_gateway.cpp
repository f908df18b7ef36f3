// The gateway file and the gateway reset: fuzzer-made file contents are written to a file of
// our own (named by CANBUS_ESD_PLUGIN), read with canline::getlineip for a line number and a
// previous address the input chooses, and checked against the file's rules; the address found
// is then given to canline::reset_line, whose command line must be exactly the reset request for
// a dotted IPv4 address, or nothing at all.
//
// No command ever runs: this program defines system() itself, so the library's call lands here
// and is only recorded (checked once at start). A wget that does nothing stands first in PATH as
// well, in case a shell is ever started all the same.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "D_esdcan.h"
#include "fuzz_input.h"

namespace {

std::vector<std::string> g_commands;
std::string g_dir;
std::string g_file;

// Dotted IPv4: four numbers 0..255 of one to three digits.
bool dotted_ipv4(const std::string& a) {
  int parts = 0;
  size_t i = 0;
  for (;;) {
    size_t start = i;
    int value = 0;
    while (i < a.size() && a[i] >= '0' && a[i] <= '9') {
      if (i - start < 3) value = value * 10 + (a[i] - '0');
      ++i;
    }
    const size_t digits = i - start;
    if (digits == 0 || digits > 3 || value > 255) return false;
    ++parts;
    if (i == a.size()) return parts == 4;
    if (a[i] != '.' || parts == 4) return false;
    ++i;
  }
}

// The file's rules: lines with their line end; "PeerName" lines whose character at position 9
// (a digit, else 0) names net lineno - 1; the 15 characters after the first double quote.
int expected_lookup(const std::string& file, int lineno, std::string& ip) {
  size_t pos = 0;
  while (pos < file.size()) {
    const size_t nl = file.find('\n', pos);
    const size_t end = nl == std::string::npos ? file.size() : nl + 1;
    const std::string line = file.substr(pos, end - pos);
    pos = end;
    if (line.size() < 8 || line.compare(0, 8, "PeerName") != 0) continue;
    const int net = line.size() > 9 && line[9] >= '0' && line[9] <= '9' ? line[9] - '0' : 0;
    if (net != lineno - 1) continue;
    const size_t quote = line.find('"');
    if (quote == std::string::npos) continue;
    ip = line.substr(quote + 1, 15);
    break;
  }
  return ip.size() == 15 ? 0 : -1;
}

void cleanup() {
  std::remove(g_file.c_str());
  std::remove((g_dir + "/wget").c_str());
  rmdir(g_dir.c_str());
}

}  // namespace

// Replaces the C library's system() for this program and the libraries it loads.
extern "C" int system(const char* command) {
  g_commands.emplace_back(command != nullptr ? command : "");
  return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char tmpl[] = "/tmp/canbus-fuzz-gateway-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) std::abort();
  g_dir = tmpl;
  g_file = g_dir + "/esd-plugin";
  setenv("CANBUS_ESD_PLUGIN", g_file.c_str(), 1);
  {
    std::ofstream wget(g_dir + "/wget");
    wget << "#!/bin/sh\nexit 0\n";
  }
  chmod((g_dir + "/wget").c_str(), 0700);
  const char* path = std::getenv("PATH");
  setenv("PATH", (g_dir + ":" + (path != nullptr ? path : "")).c_str(), 1);
  std::atexit(cleanup);

  // The library's call must reach the system() above.
  tavik::LogCapture quiet;
  canline probe;
  probe.line_ip_ = "192.168.100.200";
  probe.reset_line();
  if (g_commands.size() != 1) {
    std::fprintf(stderr, "system() of the library is not the fuzz target's own: stopping\n");
    std::abort();
  }
  g_commands.clear();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const int lineno = static_cast<int>(in.u8() % 24) - 1;
  std::string before = in.text(20);
  const bool deny = (in.u8() & 0x80) != 0;
  const std::string file = in.rest();
  {
    std::ofstream out(g_file, std::ios::binary | std::ios::trunc);
    out.write(file.data(), static_cast<std::streamsize>(file.size()));
  }

  tavik::LogCapture log;
  canline line;
  std::string ip = before;
  const int r = line.getlineip(lineno, ip);
  std::string expect_ip = before;
  const int expect = expected_lookup(file, lineno, expect_ip);
  FUZZ_CHECK(r == expect);
  FUZZ_CHECK(ip == expect_ip);

  line.setlineip(ip);
  line.deny_wget_reset_ = deny;
  line.reset_first_ = false;
  g_commands.clear();
  line.reset_line();

  const std::string address = ip.substr(0, ip.find_first_of("\" \r\n"));
  if (!deny && ip.size() == 15 && dotted_ipv4(address)) {
    const std::string command = "wget --post-data=\"FWUpdReset=1\" http://tavikadm:kq7wzrbn4@" +
                                address + "/Forms/Firmware";
    FUZZ_CHECK(g_commands.size() == 1);
    FUZZ_CHECK(g_commands[0] == command);
    FUZZ_CHECK(log.count("system called with : ") == 1);
  } else {
    FUZZ_CHECK(g_commands.empty());
    FUZZ_CHECK(log.count("system called with : ") == 0);
  }
  return 0;
}
