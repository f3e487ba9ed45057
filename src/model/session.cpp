#include "model/session.h"

#include "base/xdg_paths.h"

#include <charconv>
#include <limits>

namespace vidorel {
namespace fs = std::filesystem;

Take Take::make(Uuid id, std::string filename, double duration, Timestamp recordedAt) {
  Take take;
  take.id = id;
  take.filename = std::move(filename);
  take.duration = duration;
  take.recordedAt = recordedAt;
  take.trimStart = 0;
  take.trimEnd = duration;
  return take;
}

RecordingScene RecordingScene::make() {
  RecordingScene scene;
  scene.id = Uuid::random();
  return scene;
}

void RecordingScene::removeTake(const Uuid& id) {
  std::erase_if(takes, [&](const Take& take) { return take.id == id; });
  if (selectedTakeID == id)
    selectedTakeID.reset();
}

namespace {

// The take number in a file name: the last non-empty "-" piece with every
// ".mov" removed, read as a decimal integer with an optional sign.
std::optional<long long> takeNumberIn(const std::string& filename) {
  std::string last;
  size_t start = 0;
  while (start <= filename.size()) {
    size_t end = filename.find('-', start);
    if (end == std::string::npos)
      end = filename.size();
    if (end > start)
      last = filename.substr(start, end - start);
    start = end + 1;
  }
  // One left-to-right pass: the pieces around a removed ".mov" are not
  // searched again.
  std::string stripped;
  for (size_t pos = 0; pos < last.size();) {
    if (last.compare(pos, 4, ".mov") == 0) {
      pos += 4;
    } else {
      stripped += last[pos];
      ++pos;
    }
  }
  last = std::move(stripped);
  std::string_view digits = last;
  bool negative = false;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty())
    return std::nullopt;
  long long value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size())
    return std::nullopt;
  return negative ? -value : value;
}

} // namespace

int RecordingScene::nextTakeNumber() const {
  std::optional<long long> largest;
  for (const Take& take : takes) {
    std::optional<long long> number = takeNumberIn(take.filename);
    // A number with no successor in an int (a crafted file name) cannot
    // lead to a next take; it is passed over like an unreadable one.
    if (number && *number >= std::numeric_limits<int>::max())
      continue;
    if (number && (!largest || *number > *largest))
      largest = number;
  }
  if (!largest)
    return 1;
  return static_cast<int>(*largest + 1);
}

RecordingScene
RecordingScene::duplicated(int sceneIndex,
                           const std::map<std::string, std::string>& filenameMap) const {
  RecordingScene copy;
  copy.id = Uuid::random();
  copy.name = (name ? *name : "Scene " + std::to_string(sceneIndex + 1)) + " (copy)";
  for (size_t i = 0; i < takes.size(); ++i) {
    Take take = takes[i];
    take.id = Uuid::random();
    if (auto mapped = filenameMap.find(take.filename); mapped != filenameMap.end())
      take.filename = mapped->second;
    if (selectedTakeID && takes[i].id == *selectedTakeID && !copy.selectedTakeID)
      copy.selectedTakeID = take.id;
    copy.takes.push_back(std::move(take));
  }
  return copy;
}

const Take* RecordingScene::take(const Uuid& id) const {
  for (const Take& take : takes)
    if (take.id == id)
      return &take;
  return nullptr;
}

const Take* RecordingScene::selectedTake() const {
  return selectedTakeID ? take(*selectedTakeID) : nullptr;
}

std::string sceneLabel(const RecordingScene& scene, int sceneIndex) {
  return scene.name ? *scene.name : "Scene " + std::to_string(sceneIndex + 1);
}

std::string takeLabel(const Take& take, int takeIndex) {
  return take.name ? *take.name : "Take " + std::to_string(takeIndex + 1);
}

Session::Session(fs::path scratch)
    : id(Uuid::random()), createdAt(currentTimestamp()), scenes{RecordingScene::make()},
      scratchURL(std::move(scratch)) {}

std::vector<Take> Session::selectedTakes() const {
  std::vector<Take> result;
  for (const RecordingScene& scene : scenes)
    if (const Take* take = scene.selectedTake())
      result.push_back(*take);
  return result;
}

double Session::totalSelectedDuration() const {
  double total = 0;
  for (const Take& take : selectedTakes())
    total += take.effectiveDuration();
  return total;
}

fs::path Session::makeScratchDirectory(std::error_code& error) {
  fs::path root = scratchRoot();
  fs::create_directories(root, error);
  if (error)
    return {};
  fs::path folder = root / Uuid::random().string();
  fs::create_directories(folder / "takes", error);
  if (error)
    return {};
  return folder;
}

std::error_code Session::removeSessionFolder() const {
  std::error_code error;
  fs::remove_all(activeFolder(), error);
  return error;
}

bool isUsableTakeFile(const fs::path& file) {
  std::error_code error;
  if (!fs::is_regular_file(file, error))
    return false;
  std::uintmax_t size = fs::file_size(file, error);
  return !error && size > 1024;
}

} // namespace vidorel
