#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vidorel {

inline constexpr const char* kAppIdentifier = "org.vidorel.Vidorel";

enum class LogCategory { state, recorder, writer, review, export_, persistence, shortcuts };
enum class LogLevel { info, error };

// "state", "recorder", ..., "export".
std::string_view categoryName(LogCategory category);

class LogSink {
public:
  virtual ~LogSink() = default;
  // Called from whichever thread logs (the sample queue logs too).
  virtual void write(LogLevel level, LogCategory category, std::string_view message) = 0;
};

// The one log facade: every diagnostic line goes through it with its
// category. Components hold a reference to the process's Logger.
class Logger {
public:
  void addSink(std::shared_ptr<LogSink> sink);
  void info(LogCategory category, std::string_view message);
  void error(LogCategory category, std::string_view message);
  void write(LogLevel level, LogCategory category, std::string_view message);

private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<LogSink>> sinks_;
};

// Mirrors every line to stderr as "category: message".
class StderrLogSink final : public LogSink {
public:
  void write(LogLevel level, LogCategory category, std::string_view message) override;
};

// Keeps every line so tests can check what was logged.
class RecordingLogSink final : public LogSink {
public:
  struct Line {
    LogLevel level;
    LogCategory category;
    std::string message;
    bool operator==(const Line&) const = default;
  };

  void write(LogLevel level, LogCategory category, std::string_view message) override;
  std::vector<Line> lines() const;
  // Messages of one category, in order.
  std::vector<std::string> messages(LogCategory category) const;
  bool contains(LogCategory category, std::string_view message) const;
  void clear();

private:
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
};

// journald with the application identifier and a CATEGORY field. Lives in
// the media library (it needs libsystemd); make() returns null when the
// journal is not reachable.
std::shared_ptr<LogSink> makeJournalLogSink();

} // namespace vidorel
