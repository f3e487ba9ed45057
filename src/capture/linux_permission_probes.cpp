#include "capture/linux_permission_probes.h"

#include "capture/x11_screen_source.h"

#include <pulse/context.h>
#include <pulse/mainloop.h>
#include <spawn.h>
#include <sys/wait.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

extern char** environ;

namespace vidorel {

namespace {

// Connects to the audio server and waits (briefly) for its answer.
bool audioServerAnswers() {
  pa_mainloop* loop = pa_mainloop_new();
  if (!loop)
    return false;
  pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "Vidorel access check");
  bool ready = false;
  if (context && pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline) {
      pa_context_state_t state = pa_context_get_state(context);
      if (state == PA_CONTEXT_READY) {
        ready = true;
        break;
      }
      if (!PA_CONTEXT_IS_GOOD(state))
        break;
      if (pa_mainloop_prepare(loop, 50'000) < 0 || pa_mainloop_poll(loop) < 0 ||
          pa_mainloop_dispatch(loop) < 0)
        break;
    }
    pa_context_disconnect(context);
  }
  if (context)
    pa_context_unref(context);
  pa_mainloop_free(loop);
  return ready;
}

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  if (!path)
    return false;
  std::string_view rest(path);
  while (!rest.empty()) {
    std::size_t colon = rest.find(':');
    std::string_view folder = rest.substr(0, colon);
    std::error_code error;
    if (!folder.empty() && std::filesystem::exists(std::filesystem::path(folder) / program, error))
      return true;
    if (colon == std::string_view::npos)
      break;
    rest.remove_prefix(colon + 1);
  }
  return false;
}

} // namespace

bool startFirstAvailable(const std::vector<std::vector<std::string>>& commands) {
  for (const std::vector<std::string>& command : commands) {
    if (command.empty() || !onPath(command.front()))
      continue;
    std::vector<char*> argv;
    for (const std::string& argument : command)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
      continue;
    // The settings program outlives this call; it is reaped off the main
    // thread so that it leaves no zombie behind.
    std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
    return true;
  }
  return false;
}

MicrophoneAuthorization LinuxPermissionProbes::microphoneStatus() {
  return audioServerAnswers() ? MicrophoneAuthorization::authorized
                              : MicrophoneAuthorization::denied;
}

void LinuxPermissionProbes::requestMicrophoneAccess(std::function<void(bool)> answer) {
  answer(audioServerAnswers());
}

bool LinuxPermissionProbes::screenCapturePreflight() {
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  bool readable = connection && !xcb_connection_has_error(connection) &&
                  xcb_setup_roots_iterator(xcb_get_setup(connection)).rem > 0;
  if (connection)
    xcb_disconnect(connection);
  return readable;
}

void LinuxPermissionProbes::fetchShareableContent(
    std::function<void(std::optional<ShareableContent>)> answer) {
  ShareableContent content = x11ShareableContent();
  if (content.displays.empty()) {
    answer(std::nullopt);
    return;
  }
  answer(std::move(content));
}

void LinuxPermissionProbes::openSettings(SettingsPane) {
  // The only pane is the sound settings' input devices.
  startFirstAvailable({{"pavucontrol", "--tab=4"},
                       {"gnome-control-center", "sound"},
                       {"systemsettings", "kcm_pulseaudio"},
                       {"xdg-open", "settings://"}});
}

} // namespace vidorel
