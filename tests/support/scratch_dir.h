// A private working directory for one test, holding its own gateway file (named to the library
// by CANBUS_ESD_PLUGIN), so that tests never touch /etc or the directory they were started in.
// The former working directory comes back, and the directory is removed, when it goes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace canbus_test {

class ScratchDir {
 public:
  explicit ScratchDir(const std::string& prefix) {
    std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
    gateway_file_ = path_ + "/esd-plugin";
    write_file(gateway_file_, "# no gateways\n");
    setenv("CANBUS_ESD_PLUGIN", gateway_file_.c_str(), 1);
  }
  ~ScratchDir() {
    unsetenv("CANBUS_ESD_PLUGIN");
    std::error_code ec;
    std::filesystem::current_path(old_cwd_, ec);
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  const std::string& gateway_file() const { return gateway_file_; }

  static void write_file(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
  }

 private:
  std::string path_;
  std::string gateway_file_;
  std::filesystem::path old_cwd_;
};

}  // namespace canbus_test
