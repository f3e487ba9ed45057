// `make install` and `make uninstall`, staged into a temporary folder with
// DESTDIR: what lands where, that the desktop entry, the AppStream metadata
// and the manual page pass their checkers, that the manual page and the
// shell completion know every command. The same tree is what the Debian
// package holds.

#include "fakes/shell_command.h"

#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

using vidorel::testing::CommandResult;

CommandResult run(const std::string& command) {
  return vidorel::testing::runShellCommand(command);
}

// The value of `key` in the [Desktop Entry] group.
std::string desktopValue(const std::string& entry, const std::string& key) {
  std::istringstream lines(entry);
  std::string line;
  bool inMainGroup = false;
  while (std::getline(lines, line)) {
    if (!line.empty() && line[0] == '[')
      inMainGroup = line == "[Desktop Entry]";
    else if (inMainGroup && line.rfind(key + "=", 0) == 0)
      return line.substr(key.size() + 1);
  }
  return {};
}

// The build folder's install manifest is the user's record of a real
// install: it is put back after the staged one.
class ManifestGuard {
public:
  explicit ManifestGuard(fs::path manifest) : manifest_(std::move(manifest)) {
    saved_ = fs::exists(manifest_);
    if (saved_)
      fs::copy_file(manifest_, backup(), fs::copy_options::overwrite_existing);
  }
  ~ManifestGuard() {
    std::error_code ignored;
    if (saved_)
      fs::rename(backup(), manifest_, ignored);
    else
      fs::remove(manifest_, ignored);
  }

private:
  fs::path backup() const { return manifest_.string() + ".saved-by-test"; }
  fs::path manifest_;
  bool saved_ = false;
};

TEST(Install, StagesTheProgramDesktopEntryAndIconAndUninstallRemovesThem) {
  fs::path stage = vidorel::testing::makeTemporaryFolder("install");
  ManifestGuard guard(fs::path(VIDOREL_BUILD_DIR) / "install_manifest.txt");

  // What `make install` runs once the build is done, with the default prefix.
  CommandResult install = run("env DESTDIR='" + stage.string() + "' cmake --install '" +
                              VIDOREL_BUILD_DIR + "' --prefix /usr/local");
  ASSERT_EQ(install.status, 0) << install.output;
  fs::path prefix = stage / "usr" / "local";
  fs::path program = prefix / "bin" / "vidorel";
  fs::path entry = prefix / "share" / "applications" / "org.vidorel.Vidorel.desktop";
  fs::path icon =
      prefix / "share" / "icons" / "hicolor" / "scalable" / "apps" / "org.vidorel.Vidorel.svg";
  ASSERT_TRUE(fs::exists(program));
  EXPECT_EQ(access(program.c_str(), X_OK), 0);
  ASSERT_TRUE(fs::exists(entry));
  ASSERT_TRUE(fs::exists(icon));
  EXPECT_EQ(run("'" + program.string() + "' --version").output, "vidorel " VIDOREL_VERSION);
  fs::path metainfo = prefix / "share" / "metainfo" / "org.vidorel.Vidorel.metainfo.xml";
  fs::path manual = prefix / "share" / "man" / "man1" / "vidorel.1";
  fs::path completion = prefix / "share" / "bash-completion" / "completions" / "vidorel";

  CommandResult validate = run("desktop-file-validate '" + entry.string() + "'");
  EXPECT_EQ(validate.status, 0) << validate.output;
  EXPECT_EQ(validate.output, "");
  std::string text = vidorel::testing::readFile(entry);
  EXPECT_EQ(desktopValue(text, "Exec"), "vidorel");
  EXPECT_EQ(desktopValue(text, "Icon"), icon.stem().string());
  EXPECT_EQ(desktopValue(text, "Type"), "Application");
  // Every desktop action is a ctl command the program accepts.
  for (const char* action : {"start-pause", "end-take", "next-scene", "retake"})
    EXPECT_NE(text.find(std::string("Exec=vidorel ctl ") + action), std::string::npos) << action;

  CommandResult appstream = run("appstreamcli validate --no-net '" + metainfo.string() + "'");
  EXPECT_EQ(appstream.status, 0) << appstream.output;
  std::string meta = vidorel::testing::readFile(metainfo);
  EXPECT_NE(meta.find("<release version=\"" VIDOREL_VERSION "\""), std::string::npos) << meta;
  EXPECT_NE(meta.find(">" + entry.filename().string() + "</launchable>"), std::string::npos);
  EXPECT_EQ(
      run("dpkg-parsechangelog -S Version -l '" VIDOREL_SOURCE_DIR "/debian/changelog'").output,
      VIDOREL_VERSION);

  // The manual page renders without a warning, and it and the completion
  // know every command of `vidorel --help` and every action of `ctl --help`.
  EXPECT_EQ(run("man --warnings -l '" + manual.string() + "' 2>&1 >/dev/null").output, "");
  std::string page = run("MANWIDTH=200 man -l '" + manual.string() + "' | col -b").output;
  // What the completion offers for the last of `words`, between spaces.
  fs::path script = stage.string() + ".complete.sh";
  auto offered = [&](const std::string& words, int last) {
    std::ofstream(script) << "source '" << completion.string() << "'\nCOMP_WORDS=(" << words
                          << ")\nCOMP_CWORD=" << last << "\n_vidorel\necho \" ${COMPREPLY[*]} \"\n";
    return run("bash '" + script.string() + "'").output;
  };
  std::string commands = offered("vidorel ''", 1);
  std::string actions = offered("vidorel ctl ''", 2);
  fs::remove(script);
  auto firstWords = [](const std::string& help, const std::string& heading) {
    std::vector<std::string> words;
    std::istringstream lines(help.substr(help.find(heading)));
    std::string line;
    std::getline(lines, line);
    // Entries start two spaces in; their continuations further.
    while (std::getline(lines, line) && line.rfind("  ", 0) == 0)
      if (line[2] != ' ')
        words.push_back(line.substr(2, line.find(' ', 2) - 2));
    return words;
  };
  std::vector<std::string> helpCommands =
      firstWords(run("'" + program.string() + "' --help").output, "Commands:");
  std::vector<std::string> helpActions =
      firstWords(run("'" + program.string() + "' ctl --help").output, "Actions:");
  EXPECT_EQ(helpCommands.size(), 4u);
  EXPECT_EQ(helpActions.size(), 6u);
  for (const std::string& command : helpCommands) {
    EXPECT_NE(page.find("vidorel " + command), std::string::npos) << command;
    EXPECT_NE(commands.find(" " + command + " "), std::string::npos) << command;
  }
  for (const std::string& action : helpActions) {
    EXPECT_TRUE(std::regex_search(page, std::regex("\n {7}" + action + "\\s"))) << action;
    EXPECT_NE(actions.find(" " + action + " "), std::string::npos) << action;
  }
  for (const char* section : {"EXIT STATUS", "FILES", "ENVIRONMENT"})
    EXPECT_NE(page.find(std::string("\n") + section + "\n"), std::string::npos) << section;

  // Uninstall removes what the manifest lists, with the same DESTDIR.
  std::string makeUninstall = "make -s -C '" + std::string(VIDOREL_SOURCE_DIR) +
                              "' uninstall BUILD='" + VIDOREL_BUILD_DIR + "' DESTDIR='" +
                              stage.string() + "'";
  CommandResult uninstall = run(makeUninstall);
  EXPECT_EQ(uninstall.status, 0) << uninstall.output;
  for (const fs::directory_entry& left : fs::recursive_directory_iterator(stage))
    EXPECT_TRUE(left.is_directory()) << left.path();
  // A second uninstall has nothing to go by and says so.
  EXPECT_NE(run(makeUninstall).status, 0);
  fs::remove_all(stage);
}

} // namespace
