#include "crash/crash_checks.h"

#include "fakes/shell_command.h"
#include "support/temporary_folder.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vidorel::crash {
namespace {

using testing::CommandResult;
using testing::runCommand;
using testing::shellQuoted;

} // namespace

CheckResult checkSession(const fs::path& folder, bool fix) {
  char pattern[] = "/tmp/vidorel-check-err.XXXXXX";
  int fd = mkstemp(pattern);
  if (fd >= 0)
    close(fd);
  CommandResult output = runCommand("timeout 30 '" VIDOREL_BINARY "' check " + shellQuoted(folder) +
                                    (fix ? " --fix" : "") + " 2>" + shellQuoted(pattern));
  CheckResult result;
  result.status = output.status;
  result.out = output.output;
  result.err = testing::readFile(pattern);
  std::remove(pattern);
  return result;
}

std::vector<std::string> reportSections(const std::string& report) {
  std::vector<std::string> headers;
  bool atStart = true;
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) {
      atStart = true;
      continue;
    }
    if (atStart)
      headers.push_back(line);
    atStart = false;
  }
  return headers;
}

std::vector<std::string> unreviewedTakes(const std::string& report) {
  std::vector<std::string> names;
  bool inSection = false;
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) {
      inSection = false;
      continue;
    }
    if (line == "Unreviewed takes:") {
      inSection = true;
      continue;
    }
    if (inSection)
      names.push_back(line);
  }
  return names;
}

bool loads(const CheckResult& result) {
  return result.status == 0 || result.status == 1;
}

bool loadsWithOnlyUnreviewedTakes(const CheckResult& result) {
  if (result.status == 0)
    return true;
  if (result.status != 1)
    return false;
  std::vector<std::string> sections = reportSections(result.out);
  return !sections.empty() && std::all_of(sections.begin(), sections.end(),
                                          [](const auto& s) { return s == "Unreviewed takes:"; });
}

TreeSnapshot snapshotTree(const fs::path& root,
                          const std::function<bool(const fs::path& relative)>& skip) {
  TreeSnapshot snapshot;
  std::error_code error;
  fs::recursive_directory_iterator entries(root, fs::directory_options::skip_permission_denied,
                                           error);
  for (; !error && entries != fs::recursive_directory_iterator(); entries.increment(error)) {
    fs::path relative = entries->path().lexically_relative(root);
    if (skip(relative)) {
      if (entries->is_directory(error) && !entries->is_symlink(error))
        entries.disable_recursion_pending();
      continue;
    }
    struct stat info {};
    if (lstat(entries->path().c_str(), &info) != 0)
      continue;
    std::string description;
    if (S_ISLNK(info.st_mode)) {
      description = "link to " + fs::read_symlink(entries->path(), error).string();
    } else if (S_ISDIR(info.st_mode)) {
      description = "folder";
    } else {
      description = "file of " + std::to_string(info.st_size) + " bytes, modified " +
                    std::to_string(info.st_mtim.tv_sec) + "." +
                    std::to_string(info.st_mtim.tv_nsec);
    }
    snapshot[relative.string()] = description;
  }
  return snapshot;
}

std::string treeDifference(const TreeSnapshot& before, const TreeSnapshot& after) {
  std::string difference;
  for (const auto& [path, description] : before) {
    auto now = after.find(path);
    if (now == after.end())
      difference += "removed: " + path + "\n";
    else if (now->second != description)
      difference += "changed: " + path + " (" + description + " -> " + now->second + ")\n";
  }
  for (const auto& [path, description] : after) {
    if (!before.count(path))
      difference += "added: " + path + " (" + description + ")\n";
  }
  return difference;
}

std::string fileDigest(const fs::path& file) {
  CommandResult sum = runCommand("md5sum " + shellQuoted(file) + " 2>/dev/null");
  if (sum.status != 0)
    return "";
  return sum.output.substr(0, sum.output.find(' '));
}

double median(std::vector<double> values) {
  if (values.empty())
    return 0;
  std::sort(values.begin(), values.end());
  size_t middle = values.size() / 2;
  if (values.size() % 2 == 1)
    return values[middle];
  return (values[middle - 1] + values[middle]) / 2;
}

RecorderProcess::RecorderProcess(const fs::path& output, double seconds,
                                 std::optional<rlim_t> fileSizeLimit) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0)
    return;
  std::string duration = std::to_string(seconds);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(ends[1], STDERR_FILENO);
    dup2(ends[1], STDOUT_FILENO);
    if (fileSizeLimit) {
      // The write fails with EFBIG instead of the signal ending the process.
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{*fileSizeLimit, *fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    execl(VIDOREL_BINARY, VIDOREL_BINARY, "record", output.c_str(), "--seconds", duration.c_str(),
          nullptr);
    _exit(127);
  }
  close(ends[1]);
  readEnd_ = ends[0];
  reader_ = std::thread([this] {
    char buffer[4096];
    while (true) {
      ssize_t got = read(readEnd_, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR)
        continue;
      if (got <= 0)
        break;
      Clock::time_point now = Clock::now();
      std::lock_guard lock(mutex_);
      partial_.append(buffer, static_cast<size_t>(got));
      size_t end;
      while ((end = partial_.find('\n')) != std::string::npos) {
        lines_.push_back({now, partial_.substr(0, end)});
        partial_.erase(0, end + 1);
      }
    }
  });
}

RecorderProcess::~RecorderProcess() {
  if (pid_ > 0 && !waitForExit(0))
    killNow();
  if (reader_.joinable())
    reader_.join();
  if (readEnd_ >= 0)
    close(readEnd_);
}

std::optional<Clock::time_point> RecorderProcess::waitForLine(const std::string& text,
                                                              double seconds) {
  auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (true) {
    {
      std::lock_guard lock(mutex_);
      for (const Line& line : lines_) {
        if (line.text.find(text) != std::string::npos)
          return line.at;
      }
    }
    if (Clock::now() > deadline)
      return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void RecorderProcess::killNow() {
  if (pid_ <= 0)
    return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::optional<int> RecorderProcess::waitForExit(double seconds) {
  if (pid_ <= 0)
    return std::nullopt;
  auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (true) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (Clock::now() > deadline)
      return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string RecorderProcess::output() const {
  std::lock_guard lock(mutex_);
  std::string text;
  for (const Line& line : lines_)
    text += line.text + "\n";
  return text + partial_;
}

MovingPicture::MovingPicture() {
  pid_ = fork();
  if (pid_ == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execlp("ffplay", "ffplay", "-loglevel", "quiet", "-an", "-noborder", "-left", "0", "-top",
           "360", "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=15", nullptr);
    _exit(127);
  }
}

MovingPicture::~MovingPicture() {
  if (pid_ <= 0)
    return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

std::optional<Clock::time_point> waitForLogLines(const fs::path& log, const std::string& text,
                                                 int count, double seconds) {
  auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (true) {
    std::string contents = testing::readFile(log);
    int found = 0;
    for (size_t at = contents.find(text); at != std::string::npos;
         at = contents.find(text, at + text.size()))
      ++found;
    if (found >= count)
      return Clock::now();
    if (Clock::now() > deadline)
      return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

} // namespace vidorel::crash
