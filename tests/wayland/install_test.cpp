// `make install`/`uninstall` staged with DESTDIR (the Debian package's tree):
// files pass their checkers, the manual and completion know every command.

#include "fakes/shell_command.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

namespace fs = std::filesystem;
using vidorel::testing::CommandResult;

CommandResult run(const std::string& command) {
  return vidorel::testing::runShellCommand(command);
}

// A help section's entries: the first word of each line two spaces in.
std::vector<std::string> helpEntries(const std::string& help, const std::string& heading) {
  std::vector<std::string> words;
  std::istringstream lines(help.substr(help.find(heading)));
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line) && line.starts_with("  "))
    if (line[2] != ' ')
      words.push_back(line.substr(2, line.find(' ', 2) - 2));
  return words;
}

TEST(Install, StagesTheProgramDesktopEntryAndIconAndUninstallRemovesThem) {
  vidorel::testing::TemporaryFolder stage("install");
  // The build's install manifest records a real install: put back after.
  fs::path manifest = fs::path(VIDOREL_BUILD_DIR) / "install_manifest.txt";
  std::string saved = fs::exists(manifest) ? vidorel::testing::readFile(manifest) : "";
  struct PutBack {
    std::function<void()> action;
    ~PutBack() { action(); }
  } putBack{[&] {
    if (saved.empty())
      fs::remove(manifest);
    else
      vidorel::testing::writeFile(manifest, saved);
  }};

  // What `make install` runs once the build is done, with the default prefix.
  CommandResult install = run("env DESTDIR='" + stage.path().string() + "' cmake --install '" +
                              VIDOREL_BUILD_DIR + "' --prefix /usr/local");
  ASSERT_EQ(install.status, 0) << install.output;
  fs::path prefix = stage.path() / "usr/local";
  fs::path program = prefix / "bin/vidorel";
  fs::path entry = prefix / "share/applications/org.vidorel.Vidorel.desktop";
  fs::path metainfo = prefix / "share/metainfo/org.vidorel.Vidorel.metainfo.xml";
  fs::path manual = prefix / "share/man/man1/vidorel.1";
  fs::path completion = prefix / "share/bash-completion/completions/vidorel";
  ASSERT_TRUE(fs::exists(prefix / "share/icons/hicolor/scalable/apps/org.vidorel.Vidorel.svg"));
  ASSERT_EQ(access(program.c_str(), X_OK), 0);
  EXPECT_EQ(run("'" + program.string() + "' --version").output, "vidorel " VIDOREL_VERSION);

  CommandResult validate = run("desktop-file-validate '" + entry.string() + "'");
  EXPECT_EQ(validate.status, 0) << validate.output;
  EXPECT_EQ(validate.output, "");
  std::string text = vidorel::testing::readFile(entry);
  for (const char* line :
       {"\nExec=vidorel\n", "\nIcon=org.vidorel.Vidorel\n", "\nType=Application\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
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

  // The manual renders cleanly; it and the completion know every command.
  EXPECT_EQ(run("man --warnings -l '" + manual.string() + "' 2>&1 >/dev/null").output, "");
  std::string page = run("MANWIDTH=200 man -l '" + manual.string() + "' | col -b").output;
  auto offered = [&](const std::string& words, int last) {
    return run("bash -c 'source \"" + completion.string() + "\"; COMP_WORDS=(" + words +
               "); COMP_CWORD=" + std::to_string(last) + "; _vidorel; echo \" ${COMPREPLY[*]} \"'")
        .output;
  };
  std::string commands = offered("vidorel \"\"", 1);
  std::string actions = offered("vidorel ctl \"\"", 2);
  std::vector<std::string> helpCommands =
      helpEntries(run("'" + program.string() + "' --help").output, "Commands:");
  std::vector<std::string> helpActions =
      helpEntries(run("'" + program.string() + "' ctl --help").output, "Actions:");
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

  // Uninstall removes what the manifest lists; a second one fails.
  std::string uninstall = "make -s -C '" VIDOREL_SOURCE_DIR "' uninstall BUILD='" VIDOREL_BUILD_DIR
                          "' DESTDIR='" +
                          stage.path().string() + "'";
  CommandResult removed = run(uninstall);
  EXPECT_EQ(removed.status, 0) << removed.output;
  for (const fs::directory_entry& left : fs::recursive_directory_iterator(stage.path()))
    EXPECT_TRUE(left.is_directory()) << left.path();
  EXPECT_NE(run(uninstall).status, 0);
}

} // namespace
