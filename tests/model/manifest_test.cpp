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
  EXPECT_EQ(manifest->createdAt, *parseIso8601("2026-03-01T09:30:00Z"));
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

// A required key missing is named where it is missing; the keys whose
// absence validation would not catch anyway.
TEST(ManifestDecoding, RequiredKeysAreRequired) {
  const std::tuple<const char*, const char*, std::string> keys[] = {
      {"", "sessionID", ""},
      {"", "createdAt", ""},
      {"", "currentSceneIndex", ""},
      {"/scenes/0", "id", " in scenes[0]"},
      {"/scenes/0", "takes", " in scenes[0]"},
      {"/scenes/0/takes/0", "id", " in scenes[0].takes[0]"},
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
      // A number no double can hold is refused rather than read as infinity.
      {R"("trimEnd": 3)", R"("trimEnd": 1e400)",
       "The data is not valid JSON: number overflow parsing '1e400'"},
      {R"("schemaVersion": 1)", R"("schemaVersion": 1.5)",
       "Key \"schemaVersion\" is not an integer."},
      {R"("currentSceneIndex": 1)", R"("currentSceneIndex": 18446744073709551615)",
       "Key \"currentSceneIndex\" is not a 64-bit integer."},
      {kSessionID, "not-a-uuid", "Key \"sessionID\" is not a valid UUID."},
      {kSceneID, "11111111-2222-4333-8444-55555555555G",
       "Key \"id\" in scenes[0] is not a valid UUID."},
      {"2026-03-01T09:30:00Z", "2026-03-01T09:30:00.5Z",
       "Key \"createdAt\" is not an ISO 8601 date-time."},
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

// Each change to the fixed manifest (take 10 s long) and the first failure
// in check order ("" when it passes).
TEST(ManifestValidation, FirstFailureInCheckOrder) {
  using M = SessionManifest;
  const std::string take = "Take \"scene-1-take-1.mov\"";
  const std::pair<std::function<void(M&)>, std::string> cases[] = {
      {[](M&) {}, ""},
      {[](M& m) {
         m.schemaVersion = 2;
         m.scenes.clear();
       },
       "Unsupported schema version 2 (expected 1)."},
      {[](M& m) { m.scenes.clear(); }, "Session has no scenes."},
      {[](M& m) { m.currentSceneIndex = 2; }, "currentSceneIndex 2 is out of range (0..<2)."},
      {[](M& m) {
         m.scenes[1].id = m.scenes[0].id;
         m.scenes[0].takes[0].duration = -1;
       },
       "Duplicate scene IDs found."},
      {[](M& m) {
         m.scenes[0].takes.push_back(m.scenes[0].takes[0]);
         m.scenes[0].takes[1].filename = "b.mov";
       },
       "Scene 1 has duplicate take IDs."},
      {[](M& m) {
         m.scenes[0].selectedTakeID = uuid(kSceneID);
         m.scenes[0].takes[0].duration = -1;
       },
       std::string("Scene 1 selectedTakeID ") + kSceneID + " does not match any take."},
      {[](M& m) {
         m.scenes[1].takes = m.scenes[0].takes;
         m.scenes[1].takes[0].filename = "b.mov";
       },
       std::string("Take ID ") + kTakeID + " appears in multiple scenes."},
      {[](M& m) {
         m.scenes[1].takes = m.scenes[0].takes;
         m.scenes[1].takes[0].id = Uuid::random();
       },
       "Filename \"scene-1-take-1.mov\" is used by multiple takes."},
      {[](M& m) {
         m.scenes[0].takes[0].duration = -1;
         m.scenes[0].takes[0].trimEnd.reset();
       },
       take + " has negative duration -1.0."},
      {[](M& m) { m.scenes[0].takes[0].filename = "Take.MOV"; },
       "Take \"Take.MOV\" does not have a .mov extension."},
      {[](M& m) { m.scenes[0].takes[0].filename = "../x.txt"; },
       "Take \"../x.txt\" does not have a .mov extension."},
      // A name decides which file a later delete touches: no folders, no NUL.
      {[](M& m) { m.scenes[0].takes[0].filename = "../escape.mov"; },
       "Take \"../escape.mov\" is not a plain file name."},
      {[](M& m) { m.scenes[0].takes[0].filename = std::string("a\0.mov", 6); },
       "Take \"" + std::string("a\0.mov", 6) + "\" is not a plain file name."},
      {[](M& m) { m.scenes[0].takes[0].trimStart = -0.5; }, take + " has negative trimStart -0.5."},
      {[](M& m) { m.scenes[0].takes[0].trimEnd = 12.5; },
       take + " trimEnd 12.5 exceeds duration 10.0."},
      {[](M& m) { m.scenes[0].takes[0].trimStart = 3; }, take + " trimStart 3.0 >= trimEnd 3.0."},
      {[](M& m) { m.scenes[0].takes[0].trimStart = m.scenes[0].takes[0].trimEnd = std::nullopt; },
       ""},
      // With a bound absent the range runs to that end of the file.
      {[](M& m) {
         m.scenes[0].takes[0].trimStart = 10;
         m.scenes[0].takes[0].trimEnd.reset();
       },
       take + " trimStart 10.0 >= trimEnd 10.0."},
      // Named for what is wrong, not for the empty range it leads to.
      {[](M& m) {
         TakeManifest& t = m.scenes[0].takes[0];
         t.duration = 0;
         t.trimStart = t.trimEnd = std::nullopt;
       },
       take + " duration 0 is not a positive number of seconds."},
  };
  for (const auto& [change, failure] : cases) {
    SessionManifest manifest = fixedManifest();
    manifest.scenes[0].takes[0].duration = 10;
    change(manifest);
    std::optional<ValidationError> error = manifest.validate();
    EXPECT_EQ(error ? error->message : "", failure);
  }
}

} // namespace
} // namespace vidorel
