#include "base/log.h"

#include <string>
#include <sys/stat.h>
#include <systemd/sd-journal.h>

namespace vidorel {
namespace {

class JournalLogSink final : public LogSink {
public:
  void write(LogLevel level, LogCategory category, std::string_view message) override {
    std::string text(message);
    std::string_view name = categoryName(category);
    sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", level == LogLevel::error ? 3 : 6,
                    "SYSLOG_IDENTIFIER=%s", kAppIdentifier, "CATEGORY=%.*s",
                    static_cast<int>(name.size()), name.data(), nullptr);
  }
};

} // namespace

std::shared_ptr<LogSink> makeJournalLogSink() {
  struct stat info;
  if (stat("/run/systemd/journal/socket", &info) != 0)
    return nullptr;
  return std::make_shared<JournalLogSink>();
}

} // namespace vidorel
