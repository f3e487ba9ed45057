#pragma once

#include "base/main_loop.h"
#include "export/session_exporter.h"

#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

namespace vidorel {

// Records every export asked for and keeps it running until a test
// finishes it, so tests see what happens while an export is under way.
class FakeSessionExporter final : public SessionExporter {
public:
  struct Call {
    std::vector<Take> takes;
    std::filesystem::path takesDirectory;
    std::filesystem::path destination;
    ExportOptions options;
  };
  using Result = std::optional<ExportFailure>;

  explicit FakeSessionExporter(MainLoop& loop) : loop_(loop) {}

  std::vector<Call> calls;

  Task<Result> exportTakes(std::vector<Take> takes, std::filesystem::path takesDirectory,
                           std::filesystem::path destination, ExportOptions options) override {
    calls.push_back(
        {std::move(takes), std::move(takesDirectory), std::move(destination), std::move(options)});
    Result result = co_await awaitCallback<Result>(
        loop_, [this](std::function<void(Result)> done) { running_.push_back(std::move(done)); });
    co_return result;
  }

  size_t runningCount() const { return running_.size(); }

  // Ends the oldest running export with result.
  void finish(Result result) {
    if (running_.empty())
      throw std::logic_error("no export is running");
    std::function<void(Result)> done = std::move(running_.front());
    running_.erase(running_.begin());
    done(std::move(result));
  }

private:
  MainLoop& loop_;
  std::vector<std::function<void(Result)>> running_;
};

} // namespace vidorel
