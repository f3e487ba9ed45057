#include "model/manifest.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

SessionManifest fixedManifest() {
  SessionManifest manifest;
  manifest.sessionID = uuid(kSessionID);
  manifest.createdAt = date("2026-03-01T09:30:00Z");
  manifest.currentSceneIndex = 1;
  SceneManifest first;
  first.id = uuid(kSceneID);
  first.name = "Intro";
  TakeManifest take;
  take.id = uuid(kTakeID);
  take.filename = "scene-1-take-1.mov";
  take.duration = 10.08;
  take.recordedAt = date("2026-03-01T09:31:05Z");
  take.trimStart = 0;
  take.trimEnd = 3;
  first.takes.push_back(take);
  first.selectedTakeID = take.id;
  SceneManifest second;
  second.id = uuid("22222222-3333-4444-8555-666666666666");
  manifest.scenes = {first, second};
  return manifest;
}

TEST(ManifestEncoding, SortedKeysPrettyPrintedOptionalsLeftOut) {
  Expected<std::string, std::error_code> bytes = encodeManifest(fixedManifest());
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, R"({
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
)");
}

TEST(ManifestEncoding, TakeNameSitsBetweenIdAndRecordedAt) {
  SessionManifest manifest = fixedManifest();
  manifest.scenes[0].takes[0].name = "Best";
  std::string bytes = *encodeManifest(manifest);
  size_t id = bytes.find("\"id\": \"AAAAAAAA");
  size_t name = bytes.find("\"name\": \"Best\"");
  size_t recorded = bytes.find("\"recordedAt\"");
  ASSERT_NE(name, std::string::npos);
  EXPECT_LT(id, name);
  EXPECT_LT(name, recorded);
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

TEST(ManifestEncoding, TextIsEscapedAndKeptAsUtf8) {
  SessionManifest manifest = fixedManifest();
  manifest.scenes[0].name = "Quote \" back\\slash\nnew line \x01 and \xC3\xA9t\xC3\xA9";
  std::string bytes = *encodeManifest(manifest);
  EXPECT_NE(bytes.find(R"("name": "Quote \" back\\slash\nnew line \u0001 and )"
                       "\xC3\xA9t\xC3\xA9\""),
            std::string::npos);
  EXPECT_EQ(decodeManifest(bytes)->scenes[0].name, manifest.scenes[0].name);
  EXPECT_NE(static_cast<unsigned char>(bytes[0]), 0xEF); // no byte-order mark
}

TEST(ManifestEncoding, WhatJsonCannotCarryFails) {
  SessionManifest manifest = fixedManifest();
  manifest.scenes[0].takes[0].duration = std::numeric_limits<double>::quiet_NaN();
  Expected<std::string, std::error_code> bytes = encodeManifest(manifest);
  ASSERT_FALSE(bytes);
  EXPECT_EQ(bytes.error(), ManifestEncodingError::numberNotFinite);

  manifest = fixedManifest();
  manifest.scenes[1].name = "broken \xC3";
  bytes = encodeManifest(manifest);
  ASSERT_FALSE(bytes);
  EXPECT_EQ(bytes.error(), ManifestEncodingError::textNotUtf8);
  EXPECT_EQ(bytes.error().message(), "The session holds a text that is not valid UTF-8.");
}

TEST(ManifestConversion, AllTakeFieldsAndBothTrimsAreStored) {
  Session session("/tmp/scratch");
  session.bundleURL = fs::path("/tmp/Recording.vidorel");
  session.isDirty = true;
  Take take = Take::make(Uuid::random(), "scene-1-take-1.mov", 8, date("2026-03-01T10:00:00Z"));
  take.trimStart = 2;
  take.trimEnd = 6;
  take.name = "Keeper";
  session.scenes[0].takes.push_back(take);
  session.scenes[0].name = "Intro";
  session.scenes[0].selectedTakeID = take.id;

  SessionManifest manifest(session);
  EXPECT_EQ(manifest.schemaVersion, 1);
  EXPECT_EQ(manifest.sessionID, session.id);
  EXPECT_EQ(manifest.createdAt, session.createdAt);
  ASSERT_EQ(manifest.scenes.size(), 1u);
  EXPECT_EQ(manifest.scenes[0].id, session.scenes[0].id);
  EXPECT_EQ(manifest.scenes[0].name, "Intro");
  EXPECT_EQ(manifest.scenes[0].selectedTakeID, take.id);
  const TakeManifest& stored = manifest.scenes[0].takes.at(0);
  EXPECT_EQ(stored.id, take.id);
  EXPECT_EQ(stored.filename, take.filename);
  EXPECT_EQ(stored.duration, 8);
  EXPECT_EQ(stored.recordedAt, take.recordedAt);
  EXPECT_EQ(stored.name, "Keeper");
  EXPECT_EQ(stored.trimStart, 2);
  EXPECT_EQ(stored.trimEnd, 6);
}

TEST(ManifestConversion, SessionReadBackIsEqualWithTheReadersFolders) {
  Session session("/tmp/old-scratch");
  session.isDirty = true;
  session.bundleURL = fs::path("/tmp/old.vidorel");
  session.scenes.push_back(RecordingScene::make());
  session.scenes[1].name = "Second";
  Take take = Take::make(Uuid::random(), "scene-2-take-1.mov", 4.2, date("2026-03-01T10:00:00Z"));
  take.trimStart = 0.4;
  session.scenes[1].takes.push_back(take);
  session.scenes[1].selectedTakeID = take.id;
  session.currentSceneIndex = 1;

  std::string bytes = *encodeManifest(SessionManifest(session));
  Expected<Session, ValidationError> back =
      decodeManifest(bytes)->makeSession("/tmp/Package.vidorel", fs::path("/tmp/Package.vidorel"));
  ASSERT_TRUE(back) << back.error().message;
  EXPECT_FALSE(back->isDirty);
  EXPECT_EQ(back->scratchURL, fs::path("/tmp/Package.vidorel"));
  EXPECT_EQ(back->bundleURL, fs::path("/tmp/Package.vidorel"));
  Session expected = session;
  expected.isDirty = false;
  expected.scratchURL = back->scratchURL;
  expected.bundleURL = back->bundleURL;
  EXPECT_EQ(*back, expected);
  EXPECT_EQ(*encodeManifest(SessionManifest(*back)), bytes);
}

// ---------------------------------------------------------------------------
// Decoding

std::string takeJson(const std::string& members) {
  return R"({"id": ")" + std::string(kTakeID) +
         R"(", "filename": "a.mov", "duration": 5, "recordedAt": "2026-03-01T09:30:00Z")" +
         members + "}";
}

std::string sessionJson(const std::string& take, const std::string& extra = "") {
  return R"({"schemaVersion": 1, "sessionID": ")" + std::string(kSessionID) +
         R"(", "createdAt": "2026-03-01T09:30:00Z", "currentSceneIndex": 0,
            "scenes": [{"id": ")" +
         std::string(kSceneID) + R"(", "takes": [)" + take + "]}]" + extra + "}";
}

TEST(ManifestDecoding, MissingTrimsDefaultToTheWholeFile) {
  Expected<SessionManifest, DecodingError> manifest = decodeManifest(sessionJson(takeJson("")));
  ASSERT_TRUE(manifest) << manifest.error().message;
  EXPECT_FALSE(manifest->scenes[0].takes[0].trimStart);
  EXPECT_FALSE(manifest->scenes[0].takes[0].trimEnd);
  Expected<Session, ValidationError> session = manifest->makeSession("/tmp/f", std::nullopt);
  ASSERT_TRUE(session);
  EXPECT_EQ(session->scenes[0].takes[0].trimStart, 0);
  EXPECT_EQ(session->scenes[0].takes[0].trimEnd, 5);
  EXPECT_EQ(session->scratchURL, fs::path("/tmp/f"));
  EXPECT_FALSE(session->bundleURL);
}

TEST(ManifestDecoding, NullOptionalsAreAbsentAndUnknownKeysIgnored) {
  Expected<SessionManifest, DecodingError> manifest = decodeManifest(
      sessionJson(takeJson(R"(, "name": null, "trimStart": null, "trimEnd": 4, "colour": "red")"),
                  R"(, "comment": {"nested": [1, 2]})"));
  ASSERT_TRUE(manifest) << manifest.error().message;
  const TakeManifest& take = manifest->scenes[0].takes[0];
  EXPECT_FALSE(take.name);
  EXPECT_FALSE(take.trimStart);
  EXPECT_EQ(take.trimEnd, 4);
  EXPECT_FALSE(manifest->scenes[0].selectedTakeID);
}

TEST(ManifestDecoding, LowerCaseUuidsAndOffsetDatesAreAccepted) {
  std::string json = sessionJson(takeJson(""));
  std::string lower = "0a1b2c3d-4e5f-4061-8293-a4b5c6d7e8f9";
  json.replace(json.find(kSessionID), lower.size(), lower);
  json.replace(json.find("2026-03-01T09:30:00Z"), 20, "2026-03-01T11:30:00+02:00");
  Expected<SessionManifest, DecodingError> manifest = decodeManifest(json);
  ASSERT_TRUE(manifest) << manifest.error().message;
  EXPECT_EQ(manifest->sessionID, uuid(kSessionID));
  EXPECT_EQ(manifest->createdAt, date("2026-03-01T09:30:00Z"));
}

TEST(ManifestDecoding, EveryRequiredKeyIsRequired) {
  const char* sessionKeys[] = {"schemaVersion", "sessionID", "createdAt", "currentSceneIndex",
                               "scenes"};
  std::string valid = sessionJson(takeJson(""));
  ASSERT_TRUE(decodeManifest(valid));
  for (const char* key : sessionKeys) {
    nlohmann::json document = nlohmann::json::parse(valid);
    document.erase(key);
    Expected<SessionManifest, DecodingError> manifest = decodeManifest(document.dump());
    ASSERT_FALSE(manifest) << key;
    EXPECT_EQ(manifest.error().message, "Missing key \"" + std::string(key) + "\".");
  }
  for (const char* key : {"id", "takes"}) {
    nlohmann::json document = nlohmann::json::parse(valid);
    document["scenes"][0].erase(key);
    Expected<SessionManifest, DecodingError> manifest = decodeManifest(document.dump());
    ASSERT_FALSE(manifest) << key;
    EXPECT_EQ(manifest.error().message, "Missing key \"" + std::string(key) + "\" in scenes[0].");
  }
  for (const char* key : {"id", "filename", "duration", "recordedAt"}) {
    nlohmann::json document = nlohmann::json::parse(valid);
    document["scenes"][0]["takes"][0].erase(key);
    Expected<SessionManifest, DecodingError> manifest = decodeManifest(document.dump());
    ASSERT_FALSE(manifest) << key;
    EXPECT_EQ(manifest.error().message,
              "Missing key \"" + std::string(key) + "\" in scenes[0].takes[0].");
  }
}

TEST(ManifestDecoding, WrongTypesBadUuidsAndBadDatesAreUndecodable) {
  const std::pair<const char*, const char*> takeCases[] = {
      {R"(, "name": 3)", "Key \"name\" in scenes[0].takes[0] is not a string."},
      {R"(, "trimStart": "0")", "Key \"trimStart\" in scenes[0].takes[0] is not a number."},
      {R"(, "trimEnd": true)", "Key \"trimEnd\" in scenes[0].takes[0] is not a number."},
  };
  for (auto [members, message] : takeCases) {
    Expected<SessionManifest, DecodingError> manifest =
        decodeManifest(sessionJson(takeJson(members)));
    ASSERT_FALSE(manifest) << members;
    EXPECT_EQ(manifest.error().message, message);
  }
  // A number no double can hold is refused rather than read as infinity.
  Expected<SessionManifest, DecodingError> huge =
      decodeManifest(sessionJson(takeJson(R"(, "trimEnd": 1e400)")));
  ASSERT_FALSE(huge);
  EXPECT_EQ(huge.error().message, "The data is not valid JSON: number overflow parsing '1e400'");

  std::string valid = sessionJson(takeJson(""));
  auto decodeWith = [&](const std::string& from, const std::string& to) {
    std::string json = valid;
    size_t at = json.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    json.replace(at, from.size(), to);
    return decodeManifest(json);
  };
  struct Case {
    std::string from, to, message;
  };
  const Case cases[] = {
      {R"("schemaVersion": 1)", R"("schemaVersion": "1")",
       "Key \"schemaVersion\" is not an integer."},
      {R"("schemaVersion": 1)", R"("schemaVersion": 1.5)",
       "Key \"schemaVersion\" is not an integer."},
      {R"("currentSceneIndex": 0)", R"("currentSceneIndex": 18446744073709551615)",
       "Key \"currentSceneIndex\" is not a 64-bit integer."},
      {kSessionID, "not-a-uuid", "Key \"sessionID\" is not a valid UUID."},
      {kSceneID, "11111111-2222-4333-8444-55555555555G",
       "Key \"id\" in scenes[0] is not a valid UUID."},
      {"\"createdAt\": \"2026-03-01T09:30:00Z\"", "\"createdAt\": \"2026-03-01T09:30:00.5Z\"",
       "Key \"createdAt\" is not an ISO 8601 date-time."},
      {"\"recordedAt\": \"2026-03-01T09:30:00Z\"", "\"recordedAt\": \"2026-03-01 09:30:00\"",
       "Key \"recordedAt\" in scenes[0].takes[0] is not an ISO 8601 date-time."},
      {R"("takes": [)", R"("takes": {"x": [)", ""},
  };
  for (const Case& c : cases) {
    std::string to = c.to;
    if (c.message.empty()) {
      // An object where the takes array belongs.
      std::string json = valid;
      json.replace(json.find(c.from), c.from.size(), R"("takes": {"x": 1}, "ignored": [)");
      Expected<SessionManifest, DecodingError> manifest = decodeManifest(json);
      ASSERT_FALSE(manifest);
      EXPECT_EQ(manifest.error().message, "Key \"takes\" in scenes[0] is not an array.");
      continue;
    }
    Expected<SessionManifest, DecodingError> manifest = decodeWith(c.from, to);
    ASSERT_FALSE(manifest) << c.to;
    EXPECT_EQ(manifest.error().message, c.message);
  }
}

TEST(ManifestDecoding, NotJsonOrNotAnObject) {
  Expected<SessionManifest, DecodingError> manifest = decodeManifest("{\"schemaVersion\": 1,");
  ASSERT_FALSE(manifest);
  EXPECT_TRUE(manifest.error().message.starts_with("The data is not valid JSON: parse error"))
      << manifest.error().message;
  EXPECT_FALSE(decodeManifest(""));
  EXPECT_FALSE(decodeManifest("\xFF\xFE{}"));
  manifest = decodeManifest("[1, 2]");
  ASSERT_FALSE(manifest);
  EXPECT_EQ(manifest.error().message, "The manifest is not a JSON object.");
  manifest = decodeManifest(R"({"schemaVersion": 1, "sessionID": ")" + std::string(kSessionID) +
                            R"(", "createdAt": "2026-03-01T09:30:00Z", "currentSceneIndex": 0,
                               "scenes": [7]})");
  ASSERT_FALSE(manifest);
  EXPECT_EQ(manifest.error().message, "The value at scenes[0] is not an object.");
}

// ---------------------------------------------------------------------------
// Validation

TakeManifest storedTake(const std::string& filename, double duration = 10) {
  TakeManifest take;
  take.id = Uuid::random();
  take.filename = filename;
  take.duration = duration;
  take.recordedAt = date("2026-03-01T09:30:00Z");
  take.trimStart = 0;
  take.trimEnd = duration;
  return take;
}

SceneManifest storedScene(std::vector<TakeManifest> takes = {}) {
  SceneManifest scene;
  scene.id = Uuid::random();
  scene.takes = std::move(takes);
  return scene;
}

SessionManifest manifestWith(std::vector<SceneManifest> scenes) {
  SessionManifest manifest;
  manifest.sessionID = Uuid::random();
  manifest.createdAt = date("2026-03-01T09:30:00Z");
  manifest.scenes = std::move(scenes);
  return manifest;
}

std::string firstFailure(const SessionManifest& manifest) {
  std::optional<ValidationError> error = manifest.validate();
  return error ? error->message : "";
}

TEST(ManifestValidation, WellFormedManifestPasses) {
  SessionManifest manifest = manifestWith(
      {storedScene({storedTake("scene-1-take-1.mov"), storedTake("scene-1-take-2.mov")}),
       storedScene(), storedScene({storedTake("take.mov")})});
  manifest.scenes[0].selectedTakeID = manifest.scenes[0].takes[1].id;
  manifest.currentSceneIndex = 2;
  EXPECT_EQ(manifest.validate(), std::nullopt);
}

TEST(ManifestValidation, SchemaVersionIsCheckedBeforeEverythingElse) {
  SessionManifest manifest = manifestWith({});
  manifest.schemaVersion = 2;
  manifest.currentSceneIndex = -4;
  EXPECT_EQ(firstFailure(manifest), "Unsupported schema version 2 (expected 1).");
  manifest.schemaVersion = 0;
  EXPECT_EQ(firstFailure(manifest), "Unsupported schema version 0 (expected 1).");
}

TEST(ManifestValidation, NoScenes) {
  SessionManifest manifest = manifestWith({});
  manifest.currentSceneIndex = 5;
  EXPECT_EQ(firstFailure(manifest), "Session has no scenes.");
}

TEST(ManifestValidation, CurrentSceneIndexOutOfRange) {
  SessionManifest manifest = manifestWith({storedScene(), storedScene(), storedScene()});
  manifest.currentSceneIndex = 3;
  EXPECT_EQ(firstFailure(manifest), "currentSceneIndex 3 is out of range (0..<3).");
  manifest.currentSceneIndex = -1;
  EXPECT_EQ(firstFailure(manifest), "currentSceneIndex -1 is out of range (0..<3).");
  manifest.currentSceneIndex = 2;
  EXPECT_EQ(firstFailure(manifest), "");
}

TEST(ManifestValidation, DuplicateSceneIdsComeBeforeAnyTakeCheck) {
  SceneManifest scene = storedScene({storedTake("bad", -1)});
  SessionManifest manifest = manifestWith({scene, storedScene(), scene});
  EXPECT_EQ(firstFailure(manifest), "Duplicate scene IDs found.");
}

TEST(ManifestValidation, RepeatedTakeIdInOneSceneIsReportedForThatScene) {
  TakeManifest take = storedTake("scene-2-take-1.mov");
  TakeManifest twin = take;
  twin.filename = "scene-2-take-2.mov";
  SessionManifest manifest =
      manifestWith({storedScene({storedTake("scene-1-take-1.mov")}), storedScene({take, twin})});
  EXPECT_EQ(firstFailure(manifest), "Scene 2 has duplicate take IDs.");
}

TEST(ManifestValidation, SceneChecksRunBeforeItsTakes) {
  // The scene's own duplicate check wins over a bad take before it in the
  // same scene.
  TakeManifest take = storedTake("a.mov", -1);
  SessionManifest manifest = manifestWith({storedScene({take, take})});
  EXPECT_EQ(firstFailure(manifest), "Scene 1 has duplicate take IDs.");

  SceneManifest scene = storedScene({storedTake("a.mov", -1)});
  Uuid stray = uuid(kTakeID);
  scene.selectedTakeID = stray;
  manifest = manifestWith({scene});
  EXPECT_EQ(firstFailure(manifest), "Scene 1 selectedTakeID AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE "
                                    "does not match any take.");
}

TEST(ManifestValidation, SelectionMustNameATakeOfTheSameScene) {
  TakeManifest other = storedTake("scene-1-take-1.mov");
  SceneManifest second = storedScene({storedTake("scene-2-take-1.mov")});
  second.selectedTakeID = other.id;
  SessionManifest manifest = manifestWith({storedScene({other}), second});
  EXPECT_EQ(firstFailure(manifest),
            "Scene 2 selectedTakeID " + other.id.string() + " does not match any take.");
}

TEST(ManifestValidation, TakeIdInTwoScenes) {
  TakeManifest take = storedTake("scene-1-take-1.mov");
  TakeManifest copy = take;
  copy.filename = "scene-2-take-1.mov";
  SessionManifest manifest = manifestWith({storedScene({take}), storedScene({copy})});
  EXPECT_EQ(firstFailure(manifest), "Take ID " + take.id.string() + " appears in multiple scenes.");
}

TEST(ManifestValidation, FileNameUsedTwiceAcrossScenes) {
  SessionManifest manifest = manifestWith({storedScene({storedTake("scene-1-take-1.mov")}),
                                           storedScene({storedTake("scene-1-take-1.mov")})});
  EXPECT_EQ(firstFailure(manifest), "Filename \"scene-1-take-1.mov\" is used by multiple takes.");
}

TEST(ManifestValidation, NegativeDurationIsShownWithAPointDigit) {
  TakeManifest take = storedTake("a.mov", -1);
  take.trimEnd.reset();
  SessionManifest manifest = manifestWith({storedScene({take})});
  EXPECT_EQ(firstFailure(manifest), "Take \"a.mov\" has negative duration -1.0.");
}

TEST(ManifestValidation, FirstEmptyFileNameIsReportedAsEmpty) {
  // Each take runs all its checks before the next one, so of two empty
  // names the first is reported by the empty-name check.
  SessionManifest manifest = manifestWith(
      {storedScene({storedTake("a.mov")}), storedScene({storedTake(""), storedTake("")})});
  EXPECT_EQ(firstFailure(manifest), "A take in scene 2 has an empty filename.");
}

TEST(ManifestValidation, EmptyNameAfterANegativeDurationReportsTheDuration) {
  SessionManifest manifest = manifestWith({storedScene({storedTake("", -2.5)})});
  manifest.scenes[0].takes[0].trimEnd.reset();
  EXPECT_EQ(firstFailure(manifest), "Take \"\" has negative duration -2.5.");
}

TEST(ManifestValidation, MovExtensionIsCaseSensitive) {
  SessionManifest manifest = manifestWith({storedScene({storedTake("Take.MOV")})});
  EXPECT_EQ(firstFailure(manifest), "Take \"Take.MOV\" does not have a .mov extension.");
  manifest = manifestWith({storedScene({storedTake("take.mov")})});
  EXPECT_EQ(firstFailure(manifest), "");
  manifest = manifestWith({storedScene({storedTake("movie.mp4")})});
  EXPECT_EQ(firstFailure(manifest), "Take \"movie.mp4\" does not have a .mov extension.");
}

TEST(ManifestValidation, FileNamesMustStayInsideTheTakesFolder) {
  const std::string names[] = {"../../escape.mov", "/etc/x.mov", "sub/take.mov",
                               std::string("nul\0.mov", 8)};
  for (const std::string& name : names) {
    SessionManifest manifest = manifestWith({storedScene({storedTake(name)})});
    EXPECT_EQ(firstFailure(manifest), "Take \"" + name + "\" is not a plain file name.") << name;
  }
  // Checked after the extension.
  SessionManifest manifest = manifestWith({storedScene({storedTake("../x.txt")})});
  EXPECT_EQ(firstFailure(manifest), "Take \"../x.txt\" does not have a .mov extension.");
  EXPECT_FALSE(isPlainFileName("."));
  EXPECT_FALSE(isPlainFileName(".."));
  EXPECT_FALSE(isPlainFileName(""));
  EXPECT_TRUE(isPlainFileName("..mov"));
  EXPECT_TRUE(isPlainFileName("scene-1-take-1.mov"));
}

TEST(ManifestValidation, TrimChecks) {
  TakeManifest take = storedTake("a.mov");
  take.trimStart = -0.5;
  EXPECT_EQ(firstFailure(manifestWith({storedScene({take})})),
            "Take \"a.mov\" has negative trimStart -0.5.");

  take = storedTake("a.mov");
  take.trimEnd = 12.5;
  EXPECT_EQ(firstFailure(manifestWith({storedScene({take})})),
            "Take \"a.mov\" trimEnd 12.5 exceeds duration 10.0.");

  take = storedTake("a.mov");
  take.trimStart = 2;
  take.trimEnd = 2;
  EXPECT_EQ(firstFailure(manifestWith({storedScene({take})})),
            "Take \"a.mov\" trimStart 2.0 >= trimEnd 2.0.");
  take.trimStart = 3;
  EXPECT_EQ(firstFailure(manifestWith({storedScene({take})})),
            "Take \"a.mov\" trimStart 3.0 >= trimEnd 2.0.");
}

TEST(ManifestValidation, AbsentTrimsAreNotTested) {
  TakeManifest take = storedTake("a.mov", 3);
  take.trimStart.reset();
  take.trimEnd.reset();
  EXPECT_EQ(firstFailure(manifestWith({storedScene({take})})), "");
  // trimStart alone only has its sign tested while it lies inside the file.
  take.trimStart = 2.5;
  EXPECT_EQ(firstFailure(manifestWith({storedScene({take})})), "");
  take.trimStart = -1;
  EXPECT_EQ(firstFailure(manifestWith({storedScene({take})})),
            "Take \"a.mov\" has negative trimStart -1.0.");
}

TEST(ManifestValidation, LoneBoundThatLeavesAnEmptyRangeFails) {
  // With trimEnd absent the session would run from trimStart to the end of
  // the file; a start at or past that end gives no range at all.
  TakeManifest take = storedTake("a.mov", 3);
  take.trimEnd.reset();
  take.trimStart = 3;
  EXPECT_EQ(firstFailure(manifestWith({storedScene({take})})),
            "Take \"a.mov\" trimStart 3.0 >= trimEnd 3.0.");
  take.trimStart.reset();
  take.trimEnd = 0;
  EXPECT_EQ(firstFailure(manifestWith({storedScene({take})})),
            "Take \"a.mov\" trimStart 0.0 >= trimEnd 0.0.");
  // A zero-length file without trims would be written back with both and
  // then refused.
  take = storedTake("a.mov", 0);
  take.trimStart.reset();
  take.trimEnd.reset();
  EXPECT_EQ(firstFailure(manifestWith({storedScene({take})})),
            "Take \"a.mov\" trimStart 0.0 >= trimEnd 0.0.");
}

TEST(ManifestValidation, TakesAreCheckedInSceneThenTakeOrder) {
  TakeManifest late = storedTake("scene-2-take-1.mov");
  late.trimEnd = 11;
  TakeManifest early = storedTake("Early.MOV");
  SessionManifest manifest =
      manifestWith({storedScene({storedTake("ok.mov"), early}), storedScene({late})});
  EXPECT_EQ(firstFailure(manifest), "Take \"Early.MOV\" does not have a .mov extension.");
}

TEST(ManifestValidation, MakeSessionPassesTheFailureOnUnchanged) {
  SessionManifest manifest = manifestWith({storedScene()});
  manifest.schemaVersion = 2;
  Expected<Session, ValidationError> session = manifest.makeSession("/tmp/x", std::nullopt);
  ASSERT_FALSE(session);
  EXPECT_EQ(session.error().description(), "Unsupported schema version 2 (expected 1).");
}

TEST(FormatSeconds, ShortestFormWithAPointDigit) {
  EXPECT_EQ(formatSeconds(-1), "-1.0");
  EXPECT_EQ(formatSeconds(12.5), "12.5");
  EXPECT_EQ(formatSeconds(3), "3.0");
  EXPECT_EQ(formatSeconds(0), "0.0");
  EXPECT_EQ(formatSeconds(0.1), "0.1");
  EXPECT_EQ(formatSeconds(10.08), "10.08");
  EXPECT_EQ(formatSeconds(1e20), "1e+20");
}

} // namespace
} // namespace vidorel
