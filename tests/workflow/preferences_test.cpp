#include "workflow/json_defaults_store.h"
#include "workflow/preferences.h"

#include "fakes/fake_defaults_store.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace vidorel {
namespace {
namespace fs = std::filesystem;

ShortcutBindings factoryBindings() {
  ShortcutBindings bindings;
  for (ShortcutAction action : allShortcutActions)
    bindings.emplace(action, defaultBinding(action));
  return bindings;
}

const ShortcutBinding kCmdK{40, 0x100, "k", 16};
const ShortcutBinding kCtrlShiftCmdE{14, 0x1300, "e", 22};

class PreferencesTest : public ::testing::Test {
protected:
  FakeDefaultsStore store;
  Preferences preferences{store};
};

TEST_F(PreferencesTest, DefaultsStoredValuesAndStrangeOnes) {
  EXPECT_EQ(preferences.lastExportDirectory(), std::nullopt);
  EXPECT_TRUE(preferences.autoCheckForUpdates());
  EXPECT_TRUE(preferences.customShortcuts().empty());
  EXPECT_EQ(preferences.shortcutBindings(), factoryBindings());
  EXPECT_TRUE(preferences.evenLoudness());
  EXPECT_EQ(preferences.recordingScreen(), "");
  EXPECT_EQ(preferences.recordingSize(), RecordingSize::full);
  EXPECT_TRUE(store.values.empty()) << "reads must not write";

  // What is set reads back; a value of another type or an unknown one reads
  // as the default, and an empty screen is no stored value.
  preferences.setEvenLoudness(false);
  preferences.setRecordingScreen("HDMI-1");
  preferences.setRecordingSize(RecordingSize::hd1080);
  EXPECT_FALSE(preferences.evenLoudness());
  EXPECT_EQ(preferences.recordingScreen(), "HDMI-1");
  EXPECT_EQ(preferences.recordingSize(), RecordingSize::hd1080);
  store.values["evenOutLoudness"] = std::string("false");
  store.values[kRecordingSizeKey] = std::string("720p");
  EXPECT_TRUE(preferences.evenLoudness());
  EXPECT_EQ(preferences.recordingSize(), RecordingSize::full);
  preferences.setRecordingScreen("");
  EXPECT_EQ(store.values.count(kRecordingScreenKey), 0u);
}

// A set keeps the other stored members, unknown ones included. Undecodable
// or foreign-typed stored shortcuts mean factory bindings; the next set
// replaces them, and one that cannot be encoded changes nothing.
TEST_F(PreferencesTest, StoredShortcutsKeepWhatTheyDoNotKnowAndBadOnesMeanFactoryBindings) {
  preferences.saveCustomShortcuts({{"retake", kCmdK}, {"fromANewerVersion", kCtrlShiftCmdE}});
  preferences.setBinding(kCtrlShiftCmdE, ShortcutAction::nextScene);
  preferences.setBinding(kCtrlShiftCmdE, ShortcutAction::retake);

  EXPECT_EQ(preferences.customShortcuts(),
            (std::map<std::string, ShortcutBinding>{{"retake", kCtrlShiftCmdE},
                                                    {"nextScene", kCtrlShiftCmdE},
                                                    {"fromANewerVersion", kCtrlShiftCmdE}}));
  EXPECT_EQ(preferences.shortcutBindings().at(ShortcutAction::nextScene), kCtrlShiftCmdE);

  for (FakeDefaultsStore::Value bad :
       {FakeDefaultsStore::Value("{\"retake\": {\"carbonKeyCode\": "),
        FakeDefaultsStore::Value(true)}) {
    store.values["customShortcuts"] = bad;
    EXPECT_EQ(preferences.shortcutBindings(), factoryBindings());
  }
  preferences.setBinding(kCmdK, ShortcutAction::export_);
  EXPECT_EQ(preferences.customShortcuts(),
            (std::map<std::string, ShortcutBinding>{{"export", kCmdK}}));
  FakeDefaultsStore::Value before = store.values.at("customShortcuts");
  preferences.setBinding(ShortcutBinding{40, 0x300, "\xfe", 18}, ShortcutAction::retake);
  EXPECT_EQ(store.values.at("customShortcuts"), before);
  preferences.removeCustomShortcuts();
  EXPECT_EQ(store.values.count("customShortcuts"), 0u);
  EXPECT_EQ(preferences.shortcutBindings(), factoryBindings());
}

class JsonDefaultsStoreTest : public ::testing::Test {
protected:
  std::string read() const { return testing::readFile(file_); }
  void write(const std::string& text) const {
    fs::create_directories(file_.parent_path());
    testing::writeFile(file_, text);
  }

  testing::TemporaryFolder root_{"defaults"};
  fs::path file_ = root_.path() / "config" / "Vidorel" / "defaults.json";
};

// Malformed reads as empty and is replaced; unknown members are kept; a
// failed write is silent and leaves the old value.
TEST_F(JsonDefaultsStoreTest, MalformedUnknownAndFailedWrites) {
  for (const char* text : {"{\"autoCheckForUpdates\": fal", "[true]", "", "\xff\xfe"}) {
    write(text);
    JsonDefaultsStore store(file_);
    EXPECT_EQ(store.boolean("autoCheckForUpdates"), std::nullopt) << text;
    store.setString("lastExportDirectory", "/x");
    EXPECT_EQ(nlohmann::json::parse(read()), (nlohmann::json{{"lastExportDirectory", "/x"}}));
  }
  write(R"({"windowGeometry": [1, 2, 3], "autoCheckForUpdates": false})");
  JsonDefaultsStore store(file_);
  EXPECT_EQ(store.boolean("autoCheckForUpdates"), false);
  store.setString("lastExportDirectory", "/old");
  EXPECT_EQ(nlohmann::json::parse(read())["windowGeometry"], (nlohmann::json{1, 2, 3}));
  EXPECT_EQ(JsonDefaultsStore(file_).string("lastExportDirectory"), "/old");
  // A folder where the temporary file must go fails even for root.
  fs::create_directories(file_.string() + ".tmp");
  store.setString("lastExportDirectory", "/new");
  EXPECT_EQ(store.string("lastExportDirectory"), "/old");
}

} // namespace
} // namespace vidorel
