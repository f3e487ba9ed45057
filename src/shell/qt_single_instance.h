#pragma once

#include <QLocalServer>
#include <QLockFile>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vidorel {

// One running app per user: the first start holds a lock beside the
// control socket and listens on it; later starts send it a line and exit.
// Each line is answered with one line.
class SingleInstance final {
public:
  using Handler = std::function<std::string(const std::string& line)>;
  // Answers later: `reply` may be called once, on the main loop, after the
  // handler returned (it does nothing once the sender hung up).
  using Reply = std::function<void(const std::string& answer)>;
  using AsyncHandler = std::function<void(const std::string& line, Reply reply)>;

  explicit SingleInstance(std::filesystem::path socketPath);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // True when this process is now the one instance and serves `handler`;
  // false when another holds the lock (or the socket could not be made).
  bool becomePrimary(Handler handler);
  bool becomePrimary(AsyncHandler handler);

  // The running instance's answer to one line; nothing when none answered
  // within the timeout.
  static std::optional<std::string> send(const std::filesystem::path& socketPath,
                                         const std::string& line, int timeoutMs = 3000);

private:
  std::filesystem::path socketPath_;
  std::unique_ptr<QLockFile> lock_;
  std::unique_ptr<QLocalServer> server_;
  AsyncHandler handler_;
};

} // namespace vidorel
