// Collects the library's log lines through the simple memory-log callback.
#ifndef TESSEL_TESTS_SUPPORT_LOG_CAPTURE_HPP_
#define TESSEL_TESTS_SUPPORT_LOG_CAPTURE_HPP_

#include <string>
#include <vector>

namespace tessel::test {

// While alive, every log line of every level (all levels switched on for the memory
// destination) is recorded. Create it after the library is initialised.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const;
  // Number of recorded lines containing `text`.
  int count(const std::string& text) const;
  bool contains(const std::string& text) const { return count(text) > 0; }
  void clear();
};

}  // namespace tessel::test

#endif  // TESSEL_TESTS_SUPPORT_LOG_CAPTURE_HPP_
