#include "capture/portal_screen_cast.h"

#include "base/portal_request.h"

#include "base/format.h"
#include "workflow/preferences.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <time.h>
#include <unistd.h>

namespace vidorel {

namespace {

constexpr const char* kScreenCastInterface = "org.freedesktop.portal.ScreenCast";

// SelectSources: a monitor, the cursor drawn into the frames, the choice
// kept until the user revokes it.
constexpr std::uint32_t kSourceMonitor = 1;
constexpr std::uint32_t kCursorEmbedded = 2;
constexpr std::uint32_t kPersistUntilRevoked = 2;

// The Response signal's answer codes.
constexpr std::uint32_t kResponseSuccess = 0;
constexpr std::uint32_t kResponseCancelled = 1;

std::string errorText(int negativeErrno) {
  return std::strerror(-negativeErrno);
}

// What a Response signal carried that this client reads.
struct Response {
  bool arrived = false;
  std::uint32_t code = 2;
  std::string sessionHandle;
  std::string restoreToken;
  std::optional<std::uint32_t> node;
  int width = 0;
  int height = 0;
};

// streams: a(ua{sv}); the first stream's node and size.
int readStreams(sd_bus_message* message, Response& response) {
  int r = sd_bus_message_enter_container(message, 'a', "(ua{sv})");
  if (r < 0)
    return r;
  while ((r = sd_bus_message_enter_container(message, 'r', "ua{sv}")) > 0) {
    std::uint32_t node = 0;
    if ((r = sd_bus_message_read(message, "u", &node)) < 0)
      return r;
    if ((r = sd_bus_message_enter_container(message, 'a', "{sv}")) < 0)
      return r;
    while ((r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
      const char* key = nullptr;
      if ((r = sd_bus_message_read(message, "s", &key)) < 0)
        return r;
      if (std::strcmp(key, "size") == 0 && !response.node) {
        int width = 0;
        int height = 0;
        if ((r = sd_bus_message_read(message, "v", "(ii)", &width, &height)) < 0)
          return r;
        response.width = width;
        response.height = height;
      } else if ((r = sd_bus_message_skip(message, "v")) < 0) {
        return r;
      }
      if ((r = sd_bus_message_exit_container(message)) < 0)
        return r;
    }
    if (r < 0)
      return r;
    if ((r = sd_bus_message_exit_container(message)) < 0)
      return r;
    if ((r = sd_bus_message_exit_container(message)) < 0)
      return r;
    if (!response.node)
      response.node = node;
  }
  if (r < 0)
    return r;
  return sd_bus_message_exit_container(message);
}

int onResponse(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* response = static_cast<Response*>(userdata);
  response->arrived = true;
  int r = sd_bus_message_read(message, "u", &response->code);
  if (r < 0)
    return 0;
  if (sd_bus_message_enter_container(message, 'a', "{sv}") < 0)
    return 0;
  while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
    const char* key = nullptr;
    if (sd_bus_message_read(message, "s", &key) < 0)
      return 0;
    const char* text = nullptr;
    if (std::strcmp(key, "session_handle") == 0) {
      if (sd_bus_message_read(message, "v", "s", &text) < 0)
        return 0;
      response->sessionHandle = text;
    } else if (std::strcmp(key, "restore_token") == 0) {
      if (sd_bus_message_read(message, "v", "s", &text) < 0)
        return 0;
      response->restoreToken = text;
    } else if (std::strcmp(key, "streams") == 0) {
      if (sd_bus_message_enter_container(message, 'v', "a(ua{sv})") < 0)
        return 0;
      if (readStreams(message, *response) < 0)
        return 0;
      if (sd_bus_message_exit_container(message) < 0)
        return 0;
    } else if (sd_bus_message_skip(message, "v") < 0) {
      return 0;
    }
    if (sd_bus_message_exit_container(message) < 0)
      return 0;
  }
  return 0;
}

std::int64_t monotonicMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

} // namespace

PortalScreenCast::PortalScreenCast(Logger& logger) : logger_(logger) {}

PortalScreenCast::~PortalScreenCast() {
  close();
  if (bus_)
    sd_bus_flush_close_unref(bus_);
}

bool PortalScreenCast::connect() {
  if (bus_)
    return true;
  int r = sd_bus_open_user(&bus_);
  if (r < 0) {
    logger_.error(LogCategory::recorder,
                  formatString("portal: no session bus: %s", errorText(r).c_str()));
    bus_ = nullptr;
    return false;
  }
  senderName_ = portalSenderName(bus_);
  if (senderName_.empty()) {
    sd_bus_flush_close_unref(bus_);
    bus_ = nullptr;
    return false;
  }
  return true;
}

bool PortalScreenCast::available() {
  if (!connect())
    return false;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  std::uint32_t version = 0;
  int r = sd_bus_get_property_trivial(bus_, kPortalName, kPortalPath, kScreenCastInterface,
                                      "version", &error, 'u', &version);
  sd_bus_error_free(&error);
  return r >= 0 && version > 0;
}

std::string PortalScreenCast::newToken() {
  return formatString("vidorel%d_%d", static_cast<int>(getpid()), ++serial_);
}

std::string PortalScreenCast::requestPath(const std::string& token) const {
  return portalRequestPath(senderName_, token);
}

namespace {

// Calls one portal method that answers through a request object and waits
// for its Response. The match is made before the call, so an answer that
// comes at once is not missed.
struct PortalCall {
  sd_bus* bus;
  std::string requestPath;
  std::string error;
  Response response;

  bool run(const char* method, const std::function<int(sd_bus_message*)>& appendArguments,
           std::chrono::milliseconds timeout) {
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_match_signal(bus, &slot, nullptr, requestPath.c_str(), kPortalRequestInterface,
                                "Response", onResponse, &response);
    if (r < 0) {
      error = formatString("%s: cannot watch the answer: %s", method, errorText(r).c_str());
      return false;
    }
    bool ok = callAndWait(method, appendArguments, timeout);
    sd_bus_slot_unref(slot);
    return ok;
  }

private:
  bool callAndWait(const char* method, const std::function<int(sd_bus_message*)>& appendArguments,
                   std::chrono::milliseconds timeout) {
    sd_bus_message* call = nullptr;
    int r = sd_bus_message_new_method_call(bus, &call, kPortalName, kPortalPath,
                                           kScreenCastInterface, method);
    if (r >= 0)
      r = appendArguments(call);
    if (r < 0) {
      sd_bus_message_unref(call);
      error = formatString("%s: %s", method, errorText(r).c_str());
      return false;
    }
    sd_bus_error callError = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    r = sd_bus_call(bus, call, 0, &callError, &reply);
    sd_bus_message_unref(call);
    if (r < 0) {
      error = formatString("%s: %s", method,
                           callError.message ? callError.message : errorText(r).c_str());
      sd_bus_error_free(&callError);
      return false;
    }
    sd_bus_message_unref(reply);
    std::int64_t deadline = monotonicMicroseconds() + timeout.count() * 1000;
    while (!response.arrived) {
      r = sd_bus_process(bus, nullptr);
      if (r < 0) {
        error = formatString("%s: %s", method, errorText(r).c_str());
        return false;
      }
      if (r > 0)
        continue;
      std::int64_t left = deadline - monotonicMicroseconds();
      if (left <= 0) {
        error = formatString("%s: no answer from the portal", method);
        return false;
      }
      sd_bus_wait(bus, static_cast<std::uint64_t>(left));
    }
    return true;
  }
};

} // namespace

ScreenCastStart PortalScreenCast::start(const std::optional<std::string>& restoreToken,
                                        std::chrono::milliseconds timeout) {
  ScreenCastStart result;
  close();
  if (!connect()) {
    result.error = "no session bus";
    return result;
  }

  // CreateSession
  std::string token = newToken();
  PortalCall create{bus_, requestPath(token), {}, {}};
  std::string sessionToken = newToken();
  bool ok = create.run(
      "CreateSession",
      [&](sd_bus_message* m) {
        return appendPortalOptions(m, {PortalOption::text("handle_token", token),
                                       PortalOption::text("session_handle_token", sessionToken)});
      },
      timeout);
  if (!ok || create.response.code != kResponseSuccess || create.response.sessionHandle.empty()) {
    result.error = ok ? "CreateSession was refused" : create.error;
    return result;
  }
  sessionHandle_ = create.response.sessionHandle;

  // SelectSources
  token = newToken();
  PortalCall select{bus_, requestPath(token), {}, {}};
  std::vector<PortalOption> options = {
      PortalOption::text("handle_token", token),
      PortalOption::number("types", kSourceMonitor),
      PortalOption::flag("multiple", false),
      PortalOption::number("cursor_mode", kCursorEmbedded),
      PortalOption::number("persist_mode", kPersistUntilRevoked),
  };
  if (restoreToken && !restoreToken->empty())
    options.push_back(PortalOption::text("restore_token", *restoreToken));
  ok = select.run(
      "SelectSources",
      [&](sd_bus_message* m) {
        int r = sd_bus_message_append(m, "o", sessionHandle_.c_str());
        return r < 0 ? r : appendPortalOptions(m, options);
      },
      timeout);
  if (!ok || select.response.code != kResponseSuccess) {
    result.outcome = ok && select.response.code == kResponseCancelled ? ScreenCastOutcome::refused
                                                                      : ScreenCastOutcome::failed;
    result.error = ok ? "SelectSources was refused" : select.error;
    close();
    return result;
  }

  // Start: the desktop's dialog, unless the token lets it skip it.
  token = newToken();
  PortalCall startCall{bus_, requestPath(token), {}, {}};
  ok = startCall.run(
      "Start",
      [&](sd_bus_message* m) {
        int r = sd_bus_message_append(m, "os", sessionHandle_.c_str(), "");
        return r < 0 ? r : appendPortalOptions(m, {PortalOption::text("handle_token", token)});
      },
      timeout);
  if (!ok) {
    result.error = startCall.error;
    close();
    return result;
  }
  if (startCall.response.code == kResponseCancelled) {
    result.outcome = ScreenCastOutcome::refused;
    result.error = "the user refused to share the screen";
    close();
    return result;
  }
  if (startCall.response.code != kResponseSuccess || !startCall.response.node) {
    result.error = startCall.response.code != kResponseSuccess
                       ? formatString("Start failed (response %u)", startCall.response.code)
                       : std::string("Start gave no stream");
    close();
    return result;
  }
  started_ = true;
  result.outcome = ScreenCastOutcome::started;
  result.node = *startCall.response.node;
  result.width = startCall.response.width;
  result.height = startCall.response.height;
  result.restoreToken = startCall.response.restoreToken;
  logger_.info(LogCategory::recorder, formatString("portal: screen cast started, node %u, %dx%d",
                                                   result.node, result.width, result.height));
  return result;
}

ScreenCastStart PortalScreenCast::start(DefaultsStore& defaults,
                                        std::chrono::milliseconds timeout) {
  std::optional<std::string> token = defaults.string(kScreenCastRestoreTokenKey);
  ScreenCastStart result = start(token, timeout);
  if (result.outcome != ScreenCastOutcome::started && token) {
    // The desktop no longer knows the token (or the user withdrew it): it
    // is dropped, and a failure is tried once more with the dialog.
    logger_.info(LogCategory::recorder, "portal: restore token not accepted, dropped");
    defaults.remove(kScreenCastRestoreTokenKey);
    if (result.outcome == ScreenCastOutcome::failed)
      result = start(std::nullopt, timeout);
  }
  if (result.outcome == ScreenCastOutcome::started && !result.restoreToken.empty())
    defaults.setString(kScreenCastRestoreTokenKey, result.restoreToken);
  return result;
}

int PortalScreenCast::openPipeWireRemote() {
  if (!bus_ || !started_)
    return -1;
  sd_bus_message* call = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &call, kPortalName, kPortalPath,
                                         kScreenCastInterface, "OpenPipeWireRemote");
  if (r >= 0)
    r = sd_bus_message_append(call, "o", sessionHandle_.c_str());
  if (r >= 0)
    r = appendPortalOptions(call, {});
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  if (r >= 0)
    r = sd_bus_call(bus_, call, 0, &error, &reply);
  sd_bus_message_unref(call);
  int fd = -1;
  if (r >= 0 && sd_bus_message_read(reply, "h", &fd) >= 0 && fd >= 0)
    fd = fcntl(fd, F_DUPFD_CLOEXEC, 3); // the message owns the one it carries
  else
    fd = -1;
  if (fd < 0)
    logger_.error(
        LogCategory::recorder,
        formatString("portal: OpenPipeWireRemote failed: %s",
                     error.message ? error.message : errorText(r < 0 ? r : -EIO).c_str()));
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  return fd;
}

void PortalScreenCast::close() {
  if (bus_ && !sessionHandle_.empty()) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_call_method(bus_, kPortalName, sessionHandle_.c_str(), "org.freedesktop.portal.Session",
                       "Close", &error, nullptr, "");
    sd_bus_error_free(&error);
  }
  sessionHandle_.clear();
  started_ = false;
}

} // namespace vidorel
