// The framework's exception.
#pragma once

#include <stdexcept>
#include <string>

namespace tavik {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
  explicit Error(const char* message) : std::runtime_error(message) {}
  ~Error() override;
  virtual std::string get_message() const { return what(); }
};

}  // namespace tavik
