#include "model/manifest.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {

Session sampleSession() {
  Session session("/tmp/scratch");
  session.createdAt = *parseIso8601("2026-03-01T09:30:00Z");
  Take first = Take::make(Uuid::random(), "scene-1-take-1.mov", 10, session.createdAt);
  first.trimStart = 1.5;
  first.trimEnd = 4;
  first.name = "Opening";
  session.scenes[0].takes.push_back(first);
  session.scenes[0].selectedTakeID = first.id;
  RecordingScene second = RecordingScene::make();
  second.name = "Demo \"live\"";
  second.takes.push_back(Take::make(Uuid::random(), "scene-2-take-1.mov", 9.5, session.createdAt));
  session.scenes.push_back(second);
  session.currentSceneIndex = 1;
  return session;
}

TEST(ManifestRoundTrip, EncodedSessionReadsBackEqual) {
  Session session = sampleSession();
  Expected<std::string, std::error_code> bytes = encodeManifest(SessionManifest(session));
  ASSERT_TRUE(bytes);
  Expected<SessionManifest, DecodingError> decoded = decodeManifest(*bytes);
  ASSERT_TRUE(decoded) << decoded.error().description();
  Expected<Session, ValidationError> back = decoded->makeSession("/tmp/scratch", std::nullopt);
  ASSERT_TRUE(back) << back.error().description();
  EXPECT_EQ(*back, session);
}

} // namespace
} // namespace vidorel
