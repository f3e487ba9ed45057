#include "base/log.h"

#include <algorithm>
#include <cstdio>

namespace vidorel {

std::string_view categoryName(LogCategory category) {
  switch (category) {
  case LogCategory::state:
    return "state";
  case LogCategory::recorder:
    return "recorder";
  case LogCategory::writer:
    return "writer";
  case LogCategory::review:
    return "review";
  case LogCategory::export_:
    return "export";
  case LogCategory::persistence:
    return "persistence";
  case LogCategory::shortcuts:
    return "shortcuts";
  }
  return "state";
}

void Logger::addSink(std::shared_ptr<LogSink> sink) {
  if (!sink)
    return;
  std::lock_guard lock(mutex_);
  sinks_.push_back(std::move(sink));
}

void Logger::info(LogCategory category, std::string_view message) {
  write(LogLevel::info, category, message);
}

void Logger::error(LogCategory category, std::string_view message) {
  write(LogLevel::error, category, message);
}

void Logger::write(LogLevel level, LogCategory category, std::string_view message) {
  std::lock_guard lock(mutex_);
  for (auto& sink : sinks_)
    sink->write(level, category, message);
}

void StderrLogSink::write(LogLevel, LogCategory category, std::string_view message) {
  std::string_view name = categoryName(category);
  std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(name.size()), name.data(),
               static_cast<int>(message.size()), message.data());
}

void RecordingLogSink::write(LogLevel level, LogCategory category, std::string_view message) {
  std::lock_guard lock(mutex_);
  lines_.push_back({level, category, std::string(message)});
}

std::vector<RecordingLogSink::Line> RecordingLogSink::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<std::string> RecordingLogSink::messages(LogCategory category) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> result;
  for (const Line& line : lines_)
    if (line.category == category)
      result.push_back(line.message);
  return result;
}

bool RecordingLogSink::contains(LogCategory category, std::string_view message) const {
  std::lock_guard lock(mutex_);
  return std::any_of(lines_.begin(), lines_.end(), [&](const Line& line) {
    return line.category == category && line.message == message;
  });
}

void RecordingLogSink::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

} // namespace vidorel
