#include "shortcuts/shortcut_action.h"
#include "shortcuts/shortcut_json.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace vidorel {
namespace {

using Shortcuts = std::map<std::string, ShortcutBinding>;

const char* kTwoBindings = R"({
  "nextScene": {"carbonKeyCode": 40, "carbonModifiers": 256, "keyEquivalent": "k",
                "eventModifiers": 16},
  "somethingNewer": {"carbonKeyCode": 1, "carbonModifiers": 4096, "keyEquivalent": "s",
                     "eventModifiers": 4}
})";

TEST(ShortcutJsonTest, DecodesEveryMemberKeepingUnknownNames) {
  Shortcuts decoded = decodeCustomShortcuts(kTwoBindings);
  EXPECT_EQ(decoded,
            (Shortcuts{{"nextScene", {40, 256, "k", 16}}, {"somethingNewer", {1, 4096, "s", 4}}}));
  // Extra members inside a binding are ignored; whole numbers written as
  // floats still count.
  decoded = decodeCustomShortcuts(
      R"({"save": {"carbonKeyCode": 1.0, "carbonModifiers": 768, "keyEquivalent": "s",
                   "eventModifiers": 18.0, "comment": "mine"}})");
  EXPECT_EQ(decoded, (Shortcuts{{"save", {1, 768, "s", 18}}}));
}

TEST(ShortcutJsonTest, EncodingRoundTripsAndWritesExactlyFourMembersPerBinding) {
  Shortcuts shortcuts{{"endTake", {36, 0x300, "\r", 18}},
                      {"retake", {15, 0x1000, "r", 4}},
                      {"futureAction", {0, 0, "?", 0}},
                      {"largest", {4294967295u, 4294967295u, "s", 18446744073709551615ull}}};
  std::optional<std::string> text = encodeCustomShortcuts(shortcuts);
  ASSERT_TRUE(text);
  EXPECT_EQ(decodeCustomShortcuts(*text), shortcuts);
  auto document = nlohmann::json::parse(*text);
  ASSERT_EQ(document.size(), 4u);
  for (const auto& [name, value] : document.items()) {
    EXPECT_EQ(value.size(), 4u) << name;
    EXPECT_TRUE(value.at("carbonKeyCode").is_number()) << name;
    EXPECT_TRUE(value.at("keyEquivalent").is_string()) << name;
  }
  EXPECT_EQ(document["endTake"]["keyEquivalent"], "\r");
  EXPECT_EQ(encodeCustomShortcuts({}), "{}");
  // A key equivalent that is not UTF-8 cannot be encoded.
  EXPECT_EQ(encodeCustomShortcuts({{"save", {1, 768, "\xff", 18}}}), std::nullopt);
}

// Each of these has one good member and one bad one: the whole object must
// read as empty, never as the good half.
TEST(ShortcutJsonTest, OneMalformedBindingEmptiesTheWholeObject) {
  const std::string good =
      R"("save": {"carbonKeyCode": 1, "carbonModifiers": 768, "keyEquivalent": "s", "eventModifiers": 18})";
  const std::vector<std::string> bad = {
      R"("retake": {"carbonModifiers": 768, "keyEquivalent": "r", "eventModifiers": 18})",
      R"("retake": {"carbonKeyCode": 15, "carbonModifiers": 768, "eventModifiers": 18})",
      R"("retake": {"carbonKeyCode": "15", "carbonModifiers": 768, "keyEquivalent": "r", "eventModifiers": 18})",
      R"("retake": {"carbonKeyCode": 15, "carbonModifiers": 768, "keyEquivalent": 7, "eventModifiers": 18})",
      R"("retake": {"carbonKeyCode": -1, "carbonModifiers": 768, "keyEquivalent": "r", "eventModifiers": 18})",
      R"("retake": {"carbonKeyCode": 4294967296, "carbonModifiers": 768, "keyEquivalent": "r", "eventModifiers": 18})",
      R"("retake": {"carbonKeyCode": 15.5, "carbonModifiers": 768, "keyEquivalent": "r", "eventModifiers": 18})",
      R"("retake": {"carbonKeyCode": 15, "carbonModifiers": true, "keyEquivalent": "r", "eventModifiers": 18})",
      R"("retake": {"carbonKeyCode": 15, "carbonModifiers": 768, "keyEquivalent": "r", "eventModifiers": null})",
      R"("retake": [15, 768, "r", 18])",
      R"("retake": "⇧⌘R")",
  };
  ASSERT_EQ(decodeCustomShortcuts("{" + good + "}").size(), 1u);
  for (const std::string& member : bad) {
    EXPECT_TRUE(decodeCustomShortcuts("{" + good + ", " + member + "}").empty()) << member;
    EXPECT_TRUE(decodeCustomShortcuts("{" + member + ", " + good + "}").empty()) << member;
  }
}

TEST(ShortcutJsonTest, TextThatIsNotAnObjectReadsAsEmpty) {
  for (const char* text : {"", "not json", "[]", "null", "42", "{\"save\": ", "\"{}\""})
    EXPECT_TRUE(decodeCustomShortcuts(text).empty()) << text;
}

} // namespace
} // namespace vidorel
