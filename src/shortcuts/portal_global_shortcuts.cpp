#include "shortcuts/portal_global_shortcuts.h"

#include "base/format.h"
#include "shortcuts/shortcut_binding.h"

#include <QSocketNotifier>

#include <systemd/sd-bus.h>

#include <cstring>
#include <ctime>
#include <functional>
#include <unistd.h>

namespace vidorel {

namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kShortcutsInterface = "org.freedesktop.portal.GlobalShortcuts";
constexpr int kAnswerTimeoutSeconds = 120;

std::string keysymName(const std::string& keyEquivalent) {
  if (keyEquivalent == "\r")
    return "Return";
  if (keyEquivalent == " ")
    return "space";
  if (keyEquivalent == "\t")
    return "Tab";
  if (keyEquivalent.size() != 1)
    return {};
  char key = keyEquivalent[0];
  if (key >= 'A' && key <= 'Z')
    return std::string(1, static_cast<char>(key - 'A' + 'a'));
  if ((key >= 'a' && key <= 'z') || (key >= '0' && key <= '9'))
    return std::string(1, key);
  return {};
}

std::int64_t nowMicroseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

// The Response of one request: its code, and the keys this client reads.
struct Answer {
  bool arrived = false;
  std::uint32_t code = 2;
  std::string sessionHandle;
  std::map<std::string, std::string> triggers;
};

int readShortcuts(sd_bus_message* m, Answer& answer) {
  int r = sd_bus_message_enter_container(m, 'v', "a(sa{sv})");
  if (r < 0)
    return r;
  if ((r = sd_bus_message_enter_container(m, 'a', "(sa{sv})")) < 0)
    return r;
  while ((r = sd_bus_message_enter_container(m, 'r', "sa{sv}")) > 0) {
    const char* id = nullptr;
    if ((r = sd_bus_message_read(m, "s", &id)) < 0)
      return r;
    std::string shortcut = id;
    if ((r = sd_bus_message_enter_container(m, 'a', "{sv}")) < 0)
      return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
      const char* key = nullptr;
      if ((r = sd_bus_message_read(m, "s", &key)) < 0)
        return r;
      const char* text = nullptr;
      if (std::strcmp(key, "trigger_description") == 0) {
        if ((r = sd_bus_message_read(m, "v", "s", &text)) < 0)
          return r;
        answer.triggers[shortcut] = text;
      } else if ((r = sd_bus_message_skip(m, "v")) < 0) {
        return r;
      }
      if ((r = sd_bus_message_exit_container(m)) < 0)
        return r;
    }
    if ((r = sd_bus_message_exit_container(m)) < 0 || (r = sd_bus_message_exit_container(m)) < 0)
      return r;
  }
  if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0)
    return r;
  return sd_bus_message_exit_container(m);
}

int onAnswer(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* answer = static_cast<Answer*>(userdata);
  answer->arrived = true;
  if (sd_bus_message_read(m, "u", &answer->code) < 0 ||
      sd_bus_message_enter_container(m, 'a', "{sv}") < 0)
    return 0;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    if (sd_bus_message_read(m, "s", &key) < 0)
      return 0;
    const char* text = nullptr;
    if (std::strcmp(key, "session_handle") == 0) {
      if (sd_bus_message_read(m, "v", "s", &text) < 0)
        return 0;
      answer->sessionHandle = text;
    } else if (std::strcmp(key, "shortcuts") == 0) {
      if (readShortcuts(m, *answer) < 0)
        return 0;
    } else if (sd_bus_message_skip(m, "v") < 0) {
      return 0;
    }
    if (sd_bus_message_exit_container(m) < 0)
      return 0;
  }
  return 0;
}

int appendStringOption(sd_bus_message* m, const char* key, const std::string& value) {
  return sd_bus_message_append(m, "{sv}", key, "s", value.c_str());
}

// Calls `method` and waits for its request's Response; the match is made
// before the call so an answer that comes at once is not missed.
bool callAndAwait(sd_bus* bus, const std::string& requestPath, const char* method,
                  const std::function<int(sd_bus_message*)>& append, Answer& answer,
                  std::string& error) {
  sd_bus_slot* slot = nullptr;
  int r = sd_bus_match_signal(bus, &slot, nullptr, requestPath.c_str(),
                              "org.freedesktop.portal.Request", "Response", onAnswer, &answer);
  if (r < 0) {
    error = std::strerror(-r);
    return false;
  }
  sd_bus_message* call = nullptr;
  r = sd_bus_message_new_method_call(bus, &call, kPortalName, kPortalPath, kShortcutsInterface,
                                     method);
  if (r >= 0)
    r = append(call);
  sd_bus_error callError = SD_BUS_ERROR_NULL;
  if (r >= 0)
    r = sd_bus_call(bus, call, 0, &callError, nullptr);
  sd_bus_message_unref(call);
  if (r < 0) {
    error = callError.message ? callError.message : std::strerror(-r);
    sd_bus_error_free(&callError);
    sd_bus_slot_unref(slot);
    return false;
  }
  std::int64_t deadline = nowMicroseconds() + kAnswerTimeoutSeconds * 1'000'000ll;
  while (!answer.arrived && nowMicroseconds() < deadline) {
    r = sd_bus_process(bus, nullptr);
    if (r < 0)
      break;
    if (r == 0)
      sd_bus_wait(bus, static_cast<std::uint64_t>(deadline - nowMicroseconds()));
  }
  sd_bus_slot_unref(slot);
  if (!answer.arrived)
    error = "no answer from the portal";
  return answer.arrived;
}

int onActivated(sd_bus_message* message, void* userdata, sd_bus_error*) {
  const char* session = nullptr;
  const char* id = nullptr;
  if (sd_bus_message_read(message, "os", &session, &id) >= 0)
    static_cast<PortalGlobalShortcuts*>(userdata)->activated(session, id);
  return 0;
}

} // namespace

std::string portalTriggerText(const ShortcutBinding& binding) {
  std::string key = keysymName(binding.keyEquivalent);
  if (key.empty())
    return {};
  std::string text;
  std::uint64_t modifiers = binding.eventModifiers;
  if (modifiers & commandEventModifier)
    text += "CTRL+";
  if (modifiers & optionEventModifier)
    text += "ALT+";
  if (modifiers & shiftEventModifier)
    text += "SHIFT+";
  if (modifiers & controlEventModifier)
    text += "LOGO+";
  return text + key;
}

PortalGlobalShortcuts::PortalGlobalShortcuts(Logger& logger) : logger_(logger) {
  if (sd_bus_open_user(&bus_) < 0) {
    bus_ = nullptr;
    return;
  }
  sd_bus_error error = SD_BUS_ERROR_NULL;
  std::uint32_t version = 0;
  available_ = sd_bus_get_property_trivial(bus_, kPortalName, kPortalPath, kShortcutsInterface,
                                           "version", &error, 'u', &version) >= 0 &&
               version > 0;
  sd_bus_error_free(&error);
  const char* unique = nullptr;
  if (!available_ || sd_bus_get_unique_name(bus_, &unique) < 0 || !unique) {
    available_ = false;
    return;
  }
  senderName_ = unique + 1;
  for (char& c : senderName_) {
    if (c == '.')
      c = '_';
  }
  sd_bus_match_signal(bus_, &activatedSlot_, nullptr, kPortalPath, kShortcutsInterface, "Activated",
                      onActivated, this);
  notifier_ = std::make_unique<QSocketNotifier>(sd_bus_get_fd(bus_), QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readBus(); });
}

PortalGlobalShortcuts::~PortalGlobalShortcuts() {
  notifier_.reset();
  if (activatedSlot_)
    sd_bus_slot_unref(activatedSlot_);
  if (bus_)
    sd_bus_flush_close_unref(bus_);
}

void PortalGlobalShortcuts::readBus() {
  while (bus_ && sd_bus_process(bus_, nullptr) > 0) {
  }
}

void PortalGlobalShortcuts::activated(const std::string& session, const std::string& shortcutId) {
  if (session != sessionHandle_)
    return;
  std::optional<ShortcutAction> action = shortcutActionFromRawValue(shortcutId);
  if (!action || !bound_.count(*action))
    return;
  auto handler = handlers_.find(*action);
  if (handler != handlers_.end() && handler->second)
    handler->second();
}

void PortalGlobalShortcuts::setHandler(ShortcutAction action, std::function<void()> handler) {
  handlers_[action] = std::move(handler);
}

bool PortalGlobalShortcuts::createSession() {
  if (!sessionHandle_.empty())
    return true;
  std::string token = formatString("vidorelkeys%d_%d", static_cast<int>(getpid()), ++serial_);
  std::string sessionToken = token + "s";
  Answer answer;
  std::string error;
  std::string path = std::string(kPortalPath) + "/request/" + senderName_ + "/" + token;
  bool ok = callAndAwait(
      bus_, path, "CreateSession",
      [&](sd_bus_message* m) {
        int r = sd_bus_message_open_container(m, 'a', "{sv}");
        if (r >= 0)
          r = appendStringOption(m, "handle_token", token);
        if (r >= 0)
          r = appendStringOption(m, "session_handle_token", sessionToken);
        return r < 0 ? r : sd_bus_message_close_container(m);
      },
      answer, error);
  if (!ok || answer.code != 0 || answer.sessionHandle.empty()) {
    logger_.error(LogCategory::shortcuts,
                  "portal: no global shortcuts session: " + (ok ? std::string("refused") : error));
    return false;
  }
  sessionHandle_ = answer.sessionHandle;
  return true;
}

void PortalGlobalShortcuts::registerBindings(const ShortcutBindings& bindings) {
  bound_.clear();
  assigned_.clear();
  if (!available_ || !createSession())
    return;
  std::string token = formatString("vidorelkeys%d_%d", static_cast<int>(getpid()), ++serial_);
  std::string path = std::string(kPortalPath) + "/request/" + senderName_ + "/" + token;
  Answer answer;
  std::string error;
  bool ok = callAndAwait(
      bus_, path, "BindShortcuts",
      [&](sd_bus_message* m) {
        int r = sd_bus_message_append(m, "o", sessionHandle_.c_str());
        if (r >= 0)
          r = sd_bus_message_open_container(m, 'a', "(sa{sv})");
        for (const auto& [action, binding] : bindings) {
          if (r < 0)
            break;
          r = sd_bus_message_open_container(m, 'r', "sa{sv}");
          if (r >= 0)
            r = sd_bus_message_append(m, "s", std::string(rawValue(action)).c_str());
          if (r >= 0)
            r = sd_bus_message_open_container(m, 'a', "{sv}");
          if (r >= 0)
            r = appendStringOption(m, "description", std::string(title(action)));
          std::string trigger = portalTriggerText(binding);
          if (r >= 0 && !trigger.empty())
            r = appendStringOption(m, "preferred_trigger", trigger);
          if (r >= 0)
            r = sd_bus_message_close_container(m);
          if (r >= 0)
            r = sd_bus_message_close_container(m);
        }
        if (r >= 0)
          r = sd_bus_message_close_container(m);
        if (r >= 0)
          r = sd_bus_message_append(m, "s", "");
        if (r >= 0)
          r = sd_bus_message_open_container(m, 'a', "{sv}");
        if (r >= 0)
          r = appendStringOption(m, "handle_token", token);
        return r < 0 ? r : sd_bus_message_close_container(m);
      },
      answer, error);
  if (!ok || answer.code != 0) {
    logger_.error(LogCategory::shortcuts,
                  "portal: BindShortcuts failed: " +
                      (ok ? formatString("response %u", answer.code) : error));
    return;
  }
  bound_ = bindings;
  for (const auto& [id, trigger] : answer.triggers) {
    if (std::optional<ShortcutAction> action = shortcutActionFromRawValue(id))
      assigned_[*action] = trigger;
  }
  logger_.info(LogCategory::shortcuts,
               formatString("portal: %zu global shortcuts bound", bound_.size()));
}

void PortalGlobalShortcuts::unregisterAll() {
  // The portal has no unbinding: activations of what is no longer bound are
  // ignored, and the next binding replaces the set.
  bound_.clear();
  assigned_.clear();
}

std::string PortalGlobalShortcuts::assignedTrigger(ShortcutAction action) const {
  auto found = assigned_.find(action);
  return found == assigned_.end() ? std::string() : found->second;
}

} // namespace vidorel
