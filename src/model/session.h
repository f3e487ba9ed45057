#pragma once

#include "base/iso8601.h"
#include "base/uuid.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace vidorel {

// One recorded movie file of a scene, with the range of it that is kept.
struct Take {
  Uuid id;
  std::string filename; // bare name inside the session's "takes" folder
  double duration = 0;  // seconds
  Timestamp recordedAt;
  std::optional<std::string> name;
  double trimStart = 0;
  double trimEnd = 0;

  // A take of the whole file: trimStart 0, trimEnd duration.
  static Take make(Uuid id, std::string filename, double duration, Timestamp recordedAt);

  double effectiveDuration() const { return trimEnd - trimStart; }

  bool operator==(const Take&) const = default;
};

struct RecordingScene {
  Uuid id;
  std::optional<std::string> name;
  std::vector<Take> takes;
  std::optional<Uuid> selectedTakeID;

  // An empty, unnamed scene with a new id.
  static RecordingScene make();

  void removeTake(const Uuid& id);
  int nextTakeNumber() const;

  // A copy with new ids for the scene and its takes; filenameMap maps old
  // take file names to the names of their copies.
  RecordingScene duplicated(int sceneIndex,
                            const std::map<std::string, std::string>& filenameMap) const;

  const Take* take(const Uuid& id) const;
  const Take* selectedTake() const;

  bool operator==(const RecordingScene&) const = default;
};

// "Scene 3" for the unnamed scene at index 2; the name otherwise.
std::string sceneLabel(const RecordingScene& scene, int sceneIndex);
// "Take 2" for the unnamed take at index 1 of its scene; the name otherwise.
std::string takeLabel(const Take& take, int takeIndex);

struct Session {
  Uuid id;
  Timestamp createdAt;
  std::vector<RecordingScene> scenes;
  std::filesystem::path scratchURL;
  std::optional<std::filesystem::path> bundleURL;
  int currentSceneIndex = 0;
  bool isDirty = false;

  // A new session with one empty scene, living in scratchURL.
  explicit Session(std::filesystem::path scratchURL);
  Session() = default;

  const std::filesystem::path& activeFolder() const { return bundleURL ? *bundleURL : scratchURL; }
  std::filesystem::path takesFolder() const { return activeFolder() / "takes"; }
  std::filesystem::path takeFile(const Take& take) const { return takesFolder() / take.filename; }

  std::vector<Take> selectedTakes() const;
  double totalSelectedDuration() const;

  // Creates scratchRoot()/<new UUID>/takes and returns the session folder.
  static std::filesystem::path makeScratchDirectory(std::error_code& error);
  std::error_code removeSessionFolder() const;

  bool operator==(const Session&) const = default;
};

// True only for an existing file larger than 1024 bytes: a take with less
// than that holds no recording.
bool isUsableTakeFile(const std::filesystem::path& file);

} // namespace vidorel
