// The network gateway of a line: its address from the gateway file, and its reset through the
// gateway's web interface.
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <string>

#include "D_esdcan.h"

namespace {

constexpr const char* kDefaultGatewayFile = "/etc/esd-plugin";
constexpr const char* kGatewayFileEnv = "CANBUS_ESD_PLUGIN";
constexpr size_t kAddressLength = 15;

// Read at every call, so that a server (or a test) may point it elsewhere at any time.
std::string gateway_file() {
  const char* path = std::getenv(kGatewayFileEnv);
  return (path != nullptr && *path != '\0') ? std::string(path) : std::string(kDefaultGatewayFile);
}

// The address proper: the stored text up to the closing quote, a blank or the line end that an
// address shorter than 15 characters carries along.
std::string address_proper(const std::string& stored) {
  return stored.substr(0, stored.find_first_of("\" \r\n"));
}

// Dotted IPv4: four numbers 0..255 of one to three digits, nothing but digits and dots. Only
// such a text may reach the shell.
bool is_dotted_ipv4(const std::string& a) {
  int numbers = 0;
  size_t i = 0;
  while (true) {
    size_t digits = 0;
    int value = 0;
    while (i < a.size() && std::isdigit(static_cast<unsigned char>(a[i])) != 0 && digits < 4) {
      value = value * 10 + (a[i] - '0');
      ++digits;
      ++i;
    }
    if (digits == 0 || digits > 3 || value > 255) return false;
    ++numbers;
    if (i == a.size()) return numbers == 4;
    if (a[i] != '.' || numbers == 4) return false;
    ++i;
  }
}

}  // namespace

int canline::getlineip(int lineno, std::string& ip) {
  const std::string path = gateway_file();
  std::ifstream file(path);
  if (!file.is_open()) {
    if (!can_quiet()) tavik::printtostderr("canline::getlineip cannot open  ", path, DF_LOG);
    return -1;
  }
  std::string line;
  while (std::getline(file, line)) {
    if (!file.eof()) line += '\n';  // lines are taken with their line end
    if (line.compare(0, 8, "PeerName") != 0) continue;
    // The file numbers nets from 0 by the single character at position 9.
    int net = 0;
    if (line.size() > 9 && std::isdigit(static_cast<unsigned char>(line[9])) != 0) {
      net = line[9] - '0';
    }
    if (net != lineno - 1) continue;
    const size_t quote = line.find('"');
    if (quote == std::string::npos) continue;
    ip = line.substr(quote + 1, kAddressLength);
    break;
  }
  return ip.size() == kAddressLength ? 0 : -1;
}

void canline::reset_line() {
  if (deny_wget_reset_.load() || line_ip_.size() != kAddressLength) return;
  const std::string address = address_proper(line_ip_);
  if (!is_dotted_ipv4(address)) return;
  const std::string command =
      "wget --post-data=\"FWUpdReset=1\" http://tavikadm:kq7wzrbn4@" + address + "/Forms/Firmware";
  // Runs in the supervision thread and waits for wget; the gateway's answer is not used.
  const int status = std::system(command.c_str());
  (void)status;
  if (!reset_first_.exchange(true)) {
    tavik::printtostderr("system called with : ", command, DF_LOG);
  }
}
