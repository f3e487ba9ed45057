#include "model/manifest.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <tuple>

namespace vidorel {
namespace {
namespace fs = std::filesystem;

const char* const kSessionID = "0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9";
const char* const kSceneID = "11111111-2222-4333-8444-555555555555";
const char* const kTakeID = "AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE";

Uuid uuid(const char* text) {
  return *Uuid::parse(text);
}

Timestamp date(const char* text) {
  return *parseIso8601(text);
}

// ---------------------------------------------------------------------------
// Encoding

// Sorted keys, pretty printed, absent optionals left out.
const char* const kFixedManifest = R"({
  "createdAt": "2026-03-01T09:30:00Z",
  "currentSceneIndex": 1,
  "scenes": [
    {
      "id": "11111111-2222-4333-8444-555555555555",
      "name": "Intro",
      "selectedTakeID": "AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE",
      "takes": [
        {
          "duration": 10.08,
          "filename": "scene-1-take-1.mov",
          "id": "AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE",
          "name": "Best",
          "recordedAt": "2026-03-01T09:31:05Z",
          "trimEnd": 3,
          "trimStart": 0
        }
      ]
    },
    {
      "id": "22222222-3333-4444-8555-666666666666",
      "takes": []
    }
  ],
  "schemaVersion": 1,
  "sessionID": "0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9"
}
)";

SessionManifest fixedManifest() {
  return *decodeManifest(kFixedManifest);
}

TEST(ManifestEncoding, ReadAndWrittenBackByteForByte) {
  EXPECT_EQ(*encodeManifest(fixedManifest()), kFixedManifest);
}

TEST(ManifestEncoding, NumbersInShortestExactForm) {
  SessionManifest manifest = fixedManifest();
  TakeManifest& take = manifest.scenes[0].takes[0];
  const std::pair<double, const char*> cases[] = {
      {0.1, "0.1"},    {1.0 / 3.0, "0.3333333333333333"}, {12.5, "12.5"},   {3.0, "3"},
      {1e-7, "1e-07"}, {123456.789, "123456.789"},        {1e300, "1e+300"}};
  for (auto [value, text] : cases) {
    take.duration = value;
    take.trimEnd = value;
    std::string bytes = *encodeManifest(manifest);
    EXPECT_NE(bytes.find(std::string("\"duration\": ") + text + ",\n"), std::string::npos) << text;
    // And it reads back to exactly the same double.
    EXPECT_EQ(decodeManifest(bytes)->scenes[0].takes[0].duration, value) << text;
  }
}

TEST(ManifestEncoding, TextIsEscapedAndWhatJsonCannotCarryFails) {
  SessionManifest manifest = fixedManifest();
  manifest.scenes[0].name = "Quote \" back\\slash\nnew line \x01 and \xC3\xA9t\xC3\xA9";
  std::string bytes = *encodeManifest(manifest);
  EXPECT_NE(bytes.find(R"("name": "Quote \" back\\slash\nnew line \u0001 and )"
                       "\xC3\xA9t\xC3\xA9\""),
            std::string::npos);
  EXPECT_EQ(decodeManifest(bytes)->scenes[0].name, manifest.scenes[0].name);

  manifest.scenes[0].takes[0].duration = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(encodeManifest(manifest).error(), ManifestEncodingError::numberNotFinite);
  manifest = fixedManifest();
  manifest.scenes[1].name = "broken \xC3";
  EXPECT_EQ(encodeManifest(manifest).error(), ManifestEncodingError::textNotUtf8);
}

TEST(ManifestConversion, SessionReadBackIsEqualWithTheReadersFolders) {
  Session session("/tmp/old-scratch");
  session.isDirty = true;
  session.bundleURL = fs::path("/tmp/old.vidorel");
  session.scenes.push_back(RecordingScene::make());
  session.scenes[1].name = "Second";
  Take take = Take::make(Uuid::random(), "scene-2-take-1.mov", 4.2, date("2026-03-01T10:00:00Z"));
  take.trimStart = 0.4;
  take.trimEnd = 3.5;
  take.name = "Keeper";
  session.scenes[1].takes.push_back(take);
  session.scenes[1].selectedTakeID = take.id;
  session.currentSceneIndex = 1;

  std::string bytes = *encodeManifest(SessionManifest(session));
  fs::path package = "/tmp/Package.vidorel";
  Expected<Session, ValidationError> back = decodeManifest(bytes)->makeSession(package, package);
  ASSERT_TRUE(back) << back.error().message;
  Session expected = session;
  expected.isDirty = false;
  expected.scratchURL = package;
  expected.bundleURL = package;
  EXPECT_EQ(*back, expected);
}

// ---------------------------------------------------------------------------
// Decoding

// The fixed manifest with each (from, to) replaced once.
std::string edited(std::initializer_list<std::pair<std::string, std::string>> edits) {
  std::string json = kFixedManifest;
  for (const auto& [from, to] : edits) {
    size_t at = json.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    json.replace(at, from.size(), to);
  }
  return json;
}

TEST(ManifestDecoding, AbsentOrNullOptionalsLowerCaseUuidsOffsetsAndUnknownKeys) {
  Expected<SessionManifest, DecodingError> manifest = decodeManifest(
      edited({{"\"name\": \"Best\"", "\"name\": null"},
              {"\"trimStart\": 0", "\"trimStart\": null, \"colour\": {\"nested\": [1]}"},
              {"\"trimEnd\": 3,", ""},
              {kSessionID, "0a1b2c3d-4e5f-4061-8293-a4b5c6d7e8f9"},
              {"2026-03-01T09:30:00Z", "2026-03-01T11:30:00+02:00"}}));
  ASSERT_TRUE(manifest) << manifest.error().message;
  EXPECT_EQ(manifest->sessionID, uuid(kSessionID));
  EXPECT_EQ(manifest->createdAt, date("2026-03-01T09:30:00Z"));
  const TakeManifest& take = manifest->scenes[0].takes[0];
  EXPECT_FALSE(take.name || take.trimStart || take.trimEnd);
  // A missing range is the whole file.
  Expected<Session, ValidationError> session = manifest->makeSession("/tmp/f", std::nullopt);
  ASSERT_TRUE(session);
  EXPECT_EQ(session->scenes[0].takes[0].trimStart, 0);
  EXPECT_EQ(session->scenes[0].takes[0].trimEnd, 10.08);
  EXPECT_EQ(session->scratchURL, fs::path("/tmp/f"));
  EXPECT_FALSE(session->bundleURL);
}

TEST(ManifestDecoding, EveryRequiredKeyIsRequired) {
  const std::tuple<const char*, const char*, std::string> keys[] = {
      {"", "schemaVersion", ""},
      {"", "sessionID", ""},
      {"", "createdAt", ""},
      {"", "currentSceneIndex", ""},
      {"", "scenes", ""},
      {"/scenes/0", "id", " in scenes[0]"},
      {"/scenes/0", "takes", " in scenes[0]"},
      {"/scenes/0/takes/0", "id", " in scenes[0].takes[0]"},
      {"/scenes/0/takes/0", "filename", " in scenes[0].takes[0]"},
      {"/scenes/0/takes/0", "duration", " in scenes[0].takes[0]"},
      {"/scenes/0/takes/0", "recordedAt", " in scenes[0].takes[0]"}};
  for (const auto& [at, key, where] : keys) {
    nlohmann::json document = nlohmann::json::parse(kFixedManifest);
    document[nlohmann::json::json_pointer(at)].erase(key);
    Expected<SessionManifest, DecodingError> manifest = decodeManifest(document.dump());
    ASSERT_FALSE(manifest) << key;
    EXPECT_EQ(manifest.error().message, "Missing key \"" + std::string(key) + "\"" + where + ".");
  }
}

TEST(ManifestDecoding, BadJsonWrongTypesBadUuidsAndBadDatesAreUndecodable) {
  const std::string take = " in scenes[0].takes[0]";
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {R"("name": "Best")", R"("name": 3)", "Key \"name\"" + take + " is not a string."},
      {R"("trimStart": 0)", R"("trimStart": "0")",
       "Key \"trimStart\"" + take + " is not a number."},
      {R"("trimEnd": 3)", R"("trimEnd": true)", "Key \"trimEnd\"" + take + " is not a number."},
      // A number no double can hold is refused rather than read as infinity.
      {R"("trimEnd": 3)", R"("trimEnd": 1e400)",
       "The data is not valid JSON: number overflow parsing '1e400'"},
      {R"("schemaVersion": 1)", R"("schemaVersion": "1")",
       "Key \"schemaVersion\" is not an integer."},
      {R"("schemaVersion": 1)", R"("schemaVersion": 1.5)",
       "Key \"schemaVersion\" is not an integer."},
      {R"("currentSceneIndex": 1)", R"("currentSceneIndex": 18446744073709551615)",
       "Key \"currentSceneIndex\" is not a 64-bit integer."},
      {kSessionID, "not-a-uuid", "Key \"sessionID\" is not a valid UUID."},
      {kSceneID, "11111111-2222-4333-8444-55555555555G",
       "Key \"id\" in scenes[0] is not a valid UUID."},
      {"2026-03-01T09:30:00Z", "2026-03-01T09:30:00.5Z",
       "Key \"createdAt\" is not an ISO 8601 date-time."},
      {"2026-03-01T09:31:05Z", "2026-03-01 09:31:05",
       "Key \"recordedAt\"" + take + " is not an ISO 8601 date-time."},
      {R"("takes": [)", R"("takes": {"x": 1}, "ignored": [)",
       "Key \"takes\" in scenes[0] is not an array."},
      {R"("scenes": [)", R"("scenes": [7, )", "The value at scenes[0] is not an object."},
      {kFixedManifest, "[1, 2]", "The manifest is not a JSON object."},
  };
  for (const auto& [from, to, message] : cases) {
    Expected<SessionManifest, DecodingError> manifest = decodeManifest(edited({{from, to}}));
    ASSERT_FALSE(manifest) << to;
    EXPECT_EQ(manifest.error().message, message);
  }
  for (const char* bad : {"{\"schemaVersion\": 1,", "", "\xFF\xFE{}"}) {
    Expected<SessionManifest, DecodingError> manifest = decodeManifest(bad);
    ASSERT_FALSE(manifest);
    EXPECT_TRUE(manifest.error().message.starts_with("The data is not valid JSON: "));
  }
}

// ---------------------------------------------------------------------------
// Validation

TakeManifest storedTake(const std::string& filename, double duration = 10,
                        Uuid id = Uuid::random()) {
  TakeManifest take;
  take.id = id;
  take.filename = filename;
  take.duration = duration;
  take.recordedAt = date("2026-03-01T09:30:00Z");
  take.trimStart = 0;
  take.trimEnd = duration;
  return take;
}

TakeManifest trimmedTake(std::optional<double> start, std::optional<double> end,
                         double duration = 10) {
  TakeManifest take = storedTake("a.mov", duration);
  take.trimStart = start;
  take.trimEnd = end;
  return take;
}

SceneManifest storedScene(std::vector<TakeManifest> takes = {}) {
  SceneManifest scene;
  scene.id = Uuid::random();
  scene.takes = std::move(takes);
  return scene;
}

SessionManifest manifestWith(std::vector<SceneManifest> scenes, int currentSceneIndex = 0) {
  SessionManifest manifest;
  manifest.sessionID = Uuid::random();
  manifest.createdAt = date("2026-03-01T09:30:00Z");
  manifest.scenes = std::move(scenes);
  manifest.currentSceneIndex = currentSceneIndex;
  return manifest;
}

SessionManifest oneTake(TakeManifest take) {
  return manifestWith({storedScene({std::move(take)})});
}

// Each manifest with the first failure validation must report ("" when it
// passes). Where several things are wrong, the order of the checks decides.
TEST(ManifestValidation, FirstFailureInCheckOrder) {
  const std::string stray = " does not match any take.";
  struct Case {
    const char* what;
    std::function<SessionManifest()> make;
    std::string failure;
  };
  const Case cases[] = {
      {"well formed",
       [] {
         SessionManifest m = manifestWith(
             {storedScene({storedTake("scene-1-take-1.mov"), storedTake("scene-1-take-2.mov")}),
              storedScene(), storedScene({storedTake("take.mov")})},
             2);
         m.scenes[0].selectedTakeID = m.scenes[0].takes[1].id;
         return m;
       },
       ""},
      {"schema version before everything",
       [] {
         SessionManifest m = manifestWith({}, -4);
         m.schemaVersion = 2;
         return m;
       },
       "Unsupported schema version 2 (expected 1)."},
      {"no scenes", [] { return manifestWith({}, 5); }, "Session has no scenes."},
      {"current scene past the end",
       [] {
         return manifestWith({storedScene(), storedScene(), storedScene()}, 3);
       },
       "currentSceneIndex 3 is out of range (0..<3)."},
      {"duplicate scene ids before any take check",
       [] {
         SceneManifest scene = storedScene({storedTake("bad", -1)});
         return manifestWith({scene, storedScene(), scene});
       },
       "Duplicate scene IDs found."},
      {"take id repeated in the second scene",
       [] {
         TakeManifest take = storedTake("scene-2-take-1.mov");
         TakeManifest twin = take;
         twin.filename = "scene-2-take-2.mov";
         return manifestWith(
             {storedScene({storedTake("scene-1-take-1.mov")}), storedScene({take, twin})});
       },
       "Scene 2 has duplicate take IDs."},
      {"a scene's selection before its bad take",
       [] {
         SessionManifest m = manifestWith({storedScene({storedTake("a.mov", -1)})});
         m.scenes[0].selectedTakeID = uuid(kTakeID);
         return m;
       },
       std::string("Scene 1 selectedTakeID ") + kTakeID + stray},
      {"take id in two scenes",
       [] {
         return manifestWith({storedScene({storedTake("scene-1-take-1.mov", 10, uuid(kTakeID))}),
                              storedScene({storedTake("scene-2-take-1.mov", 10, uuid(kTakeID))})});
       },
       std::string("Take ID ") + kTakeID + " appears in multiple scenes."},
      {"file name used twice across scenes",
       [] {
         return manifestWith({storedScene({storedTake("scene-1-take-1.mov")}),
                              storedScene({storedTake("scene-1-take-1.mov")})});
       },
       "Filename \"scene-1-take-1.mov\" is used by multiple takes."},
      {"negative duration with a point digit",
       [] { return oneTake(trimmedTake(0, std::nullopt, -1)); },
       "Take \"a.mov\" has negative duration -1.0."},
      {"upper-case extension", [] { return oneTake(storedTake("Take.MOV")); },
       "Take \"Take.MOV\" does not have a .mov extension."},
      {"extension before the plain name", [] { return oneTake(storedTake("../x.txt")); },
       "Take \"../x.txt\" does not have a .mov extension."},
      {"negative trimStart", [] { return oneTake(trimmedTake(-0.5, 10)); },
       "Take \"a.mov\" has negative trimStart -0.5."},
      {"trimEnd past the duration", [] { return oneTake(trimmedTake(0, 12.5)); },
       "Take \"a.mov\" trimEnd 12.5 exceeds duration 10.0."},
      {"empty range", [] { return oneTake(trimmedTake(2, 2)); },
       "Take \"a.mov\" trimStart 2.0 >= trimEnd 2.0."},
      {"absent trims", [] { return oneTake(trimmedTake(std::nullopt, std::nullopt, 3)); }, ""},
      // With a bound absent the range runs to that end of the file.
      {"lone start at the end", [] { return oneTake(trimmedTake(3, std::nullopt, 3)); },
       "Take \"a.mov\" trimStart 3.0 >= trimEnd 3.0."},
      // Named for what is wrong, not for the empty range it leads to.
      {"zero-length file without trims",
       [] { return oneTake(trimmedTake(std::nullopt, std::nullopt, 0)); },
       "Take \"a.mov\" duration 0 is not a positive number of seconds."},
  };
  for (const Case& c : cases) {
    std::optional<ValidationError> error = c.make().validate();
    EXPECT_EQ(error ? error->message : "", c.failure) << c.what;
  }
}

TEST(ManifestValidation, FileNamesMustStayInsideTheTakesFolder) {
  const std::string names[] = {"../../escape.mov", "/etc/x.mov", "sub/take.mov",
                               std::string("nul\0.mov", 8)};
  for (const std::string& name : names) {
    std::optional<ValidationError> error = oneTake(storedTake(name)).validate();
    ASSERT_TRUE(error) << name;
    EXPECT_EQ(error->message, "Take \"" + name + "\" is not a plain file name.");
  }
}

} // namespace
} // namespace vidorel
