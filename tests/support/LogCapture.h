#pragma once
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Records every message the logging facade writes while it lives, by attaching
// an appender to the root logger. Safe to use from any thread.
//
//   LogCapture log;
//   conn.Connect();
//   EXPECT_TRUE(log.contains("connect failed, errCode : ")) << log.dump();
class LogCapture {
 public:
  struct Line {
    int level;  // 10000 DEBUG, 20000 INFO, 30000 WARN, 40000 ERROR
    std::string message;
    std::string function;
    std::string file;
    int line = 0;
  };

  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Line> lines() const;
  // Messages containing text (at the given level, when level is non-zero).
  size_t count(std::string_view text, int level = 0) const;
  bool contains(std::string_view text, int level = 0) const { return count(text, level) > 0; }
  // For messages logged by another thread: true as soon as one contains text.
  bool waitFor(std::string_view text, std::chrono::milliseconds timeout) const;
  void clear();
  // Every line, one per row, for a failure message.
  std::string dump() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
  struct Attachment;
  std::unique_ptr<Attachment> attachment_;
};
