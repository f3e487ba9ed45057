#pragma once

#include "model/session.h"

#include <fstream>
#include <initializer_list>
#include <optional>
#include <string>

namespace vidorel::testing {

// A take of the given length, kept from trimStart to trimEnd.
inline Take takeOf(const std::string& filename, double duration, double trimStart, double trimEnd) {
  Take take = Take::make(Uuid::random(), filename, duration, Timestamp{});
  take.trimStart = trimStart;
  take.trimEnd = trimEnd;
  return take;
}

// Writes a file for every take of the session, holding "movie <name>".
inline void writeTakeFiles(const Session& session) {
  for (const RecordingScene& scene : session.scenes)
    for (const Take& take : scene.takes)
      std::ofstream(session.takeFile(take), std::ios::binary) << "movie " << take.filename;
}

// Builds sessions for the window tests: scenes of takes with given trims,
// names and selections.
class SessionBuilder {
public:
  SessionBuilder() : session_("/tmp/vidorel-test-session") { session_.scenes.clear(); }

  // Adds a scene and returns its index.
  int scene(std::optional<std::string> name = std::nullopt) {
    RecordingScene scene = RecordingScene::make();
    scene.name = std::move(name);
    session_.scenes.push_back(std::move(scene));
    return static_cast<int>(session_.scenes.size()) - 1;
  }

  // Adds a take to scene `sceneIndex`, kept from trimStart to trimEnd.
  Uuid take(int sceneIndex, double trimStart, double trimEnd,
            std::optional<std::string> name = std::nullopt, double duration = -1) {
    RecordingScene& scene = session_.scenes.at(static_cast<size_t>(sceneIndex));
    int number = static_cast<int>(scene.takes.size()) + 1;
    std::string filename =
        "scene-" + std::to_string(sceneIndex + 1) + "-take-" + std::to_string(number) + ".mov";
    Take take = takeOf(filename, duration < 0 ? trimEnd : duration, trimStart, trimEnd);
    take.name = std::move(name);
    scene.takes.push_back(take);
    return take.id;
  }

  SessionBuilder& select(int sceneIndex, const std::optional<Uuid>& takeID) {
    session_.scenes.at(static_cast<size_t>(sceneIndex)).selectedTakeID = takeID;
    return *this;
  }

  SessionBuilder& current(int sceneIndex) {
    session_.currentSceneIndex = sceneIndex;
    return *this;
  }

  Session build() const { return session_; }

private:
  Session session_;
};

} // namespace vidorel::testing
