#include "shortcuts/portal_global_shortcuts.h"

#include "base/format.h"
#include "base/portal_request.h"
#include "shortcuts/shortcut_binding.h"

#include <QSocketNotifier>
#include <QTimer>

#include <systemd/sd-bus.h>

#include <cstring>
#include <ctime>
#include <functional>
#include <unistd.h>

namespace vidorel {

namespace {

constexpr const char* kShortcutsInterface = "org.freedesktop.portal.GlobalShortcuts";
// The same token at every start: KDE's desktop files a program outside a
// sandbox under its session token, so the user's triggers come back after a
// restart, and a new token each start would leave the keys with the
// previous start's entry (the desktop then names a trigger that never
// fires).
constexpr const char* kSessionToken = "vidorel";

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

// The Response of one request: its code, and the keys this client reads.
struct Answer {
  std::uint32_t code = 2;
  std::string sessionHandle;
  std::map<std::string, std::string> triggers;
};

// An a(sa{sv}) list of shortcuts: each one's trigger_description (empty
// when it has none).
int readShortcutList(sd_bus_message* m, std::map<std::string, std::string>& triggers) {
  int r = sd_bus_message_enter_container(m, 'a', "(sa{sv})");
  if (r < 0)
    return r;
  while ((r = sd_bus_message_enter_container(m, 'r', "sa{sv}")) > 0) {
    const char* id = nullptr;
    if ((r = sd_bus_message_read(m, "s", &id)) < 0)
      return r;
    std::string shortcut = id;
    // Listed is bound, whether or not the desktop gave it a trigger.
    triggers.emplace(shortcut, std::string());
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
        triggers[shortcut] = text;
      } else if ((r = sd_bus_message_skip(m, "v")) < 0) {
        return r;
      }
      if ((r = sd_bus_message_exit_container(m)) < 0)
        return r;
    }
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0 ||
        (r = sd_bus_message_exit_container(m)) < 0)
      return r;
  }
  if (r < 0)
    return r;
  return sd_bus_message_exit_container(m);
}

bool readAnswer(sd_bus_message* m, Answer& answer) {
  if (sd_bus_message_read(m, "u", &answer.code) < 0 ||
      sd_bus_message_enter_container(m, 'a', "{sv}") < 0)
    return false;
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    if (sd_bus_message_read(m, "s", &key) < 0)
      return false;
    const char* text = nullptr;
    if (std::strcmp(key, "session_handle") == 0) {
      if (sd_bus_message_read(m, "v", "s", &text) < 0)
        return false;
      answer.sessionHandle = text;
    } else if (std::strcmp(key, "shortcuts") == 0) {
      if (sd_bus_message_enter_container(m, 'v', "a(sa{sv})") < 0 ||
          readShortcutList(m, answer.triggers) < 0 || sd_bus_message_exit_container(m) < 0)
        return false;
    } else if (sd_bus_message_skip(m, "v") < 0) {
      return false;
    }
    if (sd_bus_message_exit_container(m) < 0)
      return false;
  }
  return true;
}

// The bindings as an a(sa{sv}) list of shortcuts: id, description and
// preferred trigger.
int appendShortcutList(sd_bus_message* m, const ShortcutBindings& bindings) {
  int r = sd_bus_message_open_container(m, 'a', "(sa{sv})");
  for (const auto& [action, binding] : bindings) {
    if (r < 0)
      break;
    r = sd_bus_message_open_container(m, 'r', "sa{sv}");
    if (r >= 0)
      r = sd_bus_message_append(m, "s", std::string(rawValue(action)).c_str());
    if (r >= 0)
      r = sd_bus_message_open_container(m, 'a', "{sv}");
    if (r >= 0)
      r = appendPortalOption(m, PortalOption::text("description", std::string(title(action))));
    std::string trigger = portalTriggerText(binding);
    if (r >= 0 && !trigger.empty())
      r = appendPortalOption(m, PortalOption::text("preferred_trigger", trigger));
    if (r >= 0)
      r = sd_bus_message_close_container(m);
    if (r >= 0)
      r = sd_bus_message_close_container(m);
  }
  return r < 0 ? r : sd_bus_message_close_container(m);
}

int onActivated(sd_bus_message* message, void* userdata, sd_bus_error*) {
  const char* session = nullptr;
  const char* id = nullptr;
  if (sd_bus_message_read(message, "os", &session, &id) >= 0)
    static_cast<PortalGlobalShortcuts*>(userdata)->activated(session, id);
  return 0;
}

int onShortcutsChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
  const char* session = nullptr;
  std::map<std::string, std::string> triggers;
  if (sd_bus_message_read(message, "o", &session) >= 0 && readShortcutList(message, triggers) >= 0)
    static_cast<PortalGlobalShortcuts*>(userdata)->shortcutsChanged(session, triggers);
  return 0;
}

int onMethodReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  static_cast<PortalGlobalShortcuts*>(userdata)->methodReplied(reply);
  return 0;
}

int onResponse(sd_bus_message* response, void* userdata, sd_bus_error*) {
  static_cast<PortalGlobalShortcuts*>(userdata)->responded(response);
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
  senderName_ = available_ ? portalSenderName(bus_) : std::string();
  if (senderName_.empty()) {
    available_ = false;
    return;
  }
  state_ = DesktopShortcutsState::waiting;
  sd_bus_match_signal(bus_, &activatedSlot_, nullptr, kPortalPath, kShortcutsInterface, "Activated",
                      onActivated, this);
  sd_bus_match_signal(bus_, &changedSlot_, nullptr, kPortalPath, kShortcutsInterface,
                      "ShortcutsChanged", onShortcutsChanged, this);
  notifier_ = std::make_unique<QSocketNotifier>(sd_bus_get_fd(bus_), QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readBus(); });
}

PortalGlobalShortcuts::~PortalGlobalShortcuts() {
  notifier_.reset();
  for (sd_bus_slot* slot : {activatedSlot_, changedSlot_, responseSlot_, callSlot_}) {
    if (slot)
      sd_bus_slot_unref(slot);
  }
  if (bus_)
    sd_bus_flush_close_unref(bus_);
}

void PortalGlobalShortcuts::readBus() {
  while (bus_ && sd_bus_process(bus_, nullptr) > 0) {
  }
}

// A message the bus read along with an earlier one waits in its queue with
// nothing left on the socket to wake the loop.
void PortalGlobalShortcuts::readBusSoon() {
  if (notifier_)
    QTimer::singleShot(0, notifier_.get(), [this] { readBus(); });
}

void PortalGlobalShortcuts::activated(const std::string& session, const std::string& shortcutId) {
  if (session != sessionHandle_)
    return;
  std::optional<ShortcutAction> action = shortcutActionFromRawValue(shortcutId);
  // Only what the desktop bound and the program still wants (nothing while
  // a settings row listens for keys); an earlier binding works on while the
  // desktop considers a new one.
  if (!action || !bound_.count(*action) || !wanted_.count(*action))
    return;
  auto handler = handlers_.find(*action);
  if (handler != handlers_.end() && handler->second)
    handler->second();
}

void PortalGlobalShortcuts::shortcutsChanged(const std::string& session,
                                             const std::map<std::string, std::string>& triggers) {
  if (session != sessionHandle_)
    return;
  bool changed = false;
  for (const auto& [id, trigger] : triggers) {
    std::optional<ShortcutAction> action = shortcutActionFromRawValue(id);
    if (!action || assigned_[*action] == trigger)
      continue;
    assigned_[*action] = trigger;
    changed = true;
    logger_.info(LogCategory::shortcuts,
                 formatString("portal: the desktop now triggers %s by %s",
                              std::string(rawValue(*action)).c_str(), trigger.c_str()));
  }
  if (changed)
    setState(state_);
}

void PortalGlobalShortcuts::setHandler(ShortcutAction action, std::function<void()> handler) {
  handlers_[action] = std::move(handler);
}

void PortalGlobalShortcuts::registerBindings(const ShortcutBindings& bindings) {
  wanted_ = bindings;
  if (!available_ || request_ != Request::none)
    return;
  sendNext();
}

void PortalGlobalShortcuts::unregisterAll() {
  // The portal has no unbinding: activations of what is no longer wanted
  // are ignored, and the next binding replaces the set.
  wanted_.clear();
}

// The next step towards binding what is wanted: a session first, then the
// bindings unless the desktop already bound exactly these.
void PortalGlobalShortcuts::sendNext() {
  // A refusal is not asked again: each new question may be a dialog.
  if (wanted_.empty() || sessionRefused_)
    return;
  if (sessionHandle_.empty()) {
    // KDE Plasma 5.27 binds only the shortcuts its session starts with (its
    // BindShortcuts opens the desktop's settings page and binds nothing);
    // later portals leave the option out and bind on BindShortcuts.
    sent_ = wanted_;
    answered_ = false;
    send(Request::createSession, "CreateSession",
         [this](sd_bus_message* m, const std::string& token) {
           int r = sd_bus_message_open_container(m, 'a', "{sv}");
           if (r >= 0)
             r = appendPortalOption(m, PortalOption::text("handle_token", token));
           if (r >= 0)
             r = appendPortalOption(m, PortalOption::text("session_handle_token", kSessionToken));
           if (r >= 0)
             r = sd_bus_message_open_container(m, 'e', "sv");
           if (r >= 0)
             r = sd_bus_message_append(m, "s", "shortcuts");
           if (r >= 0)
             r = sd_bus_message_open_container(m, 'v', "a(sa{sv})");
           if (r >= 0)
             r = appendShortcutList(m, sent_);
           if (r >= 0)
             r = sd_bus_message_close_container(m);
           if (r >= 0)
             r = sd_bus_message_close_container(m);
           return r < 0 ? r : sd_bus_message_close_container(m);
         });
    return;
  }
  if (answered_ && wanted_ == sent_)
    return;
  sent_ = wanted_;
  answered_ = false;
  send(Request::bind, "BindShortcuts", [this](sd_bus_message* m, const std::string& token) {
    int r = sd_bus_message_append(m, "o", sessionHandle_.c_str());
    if (r >= 0)
      r = appendShortcutList(m, sent_);
    if (r >= 0)
      r = sd_bus_message_append(m, "s", "");
    if (r >= 0)
      r = sd_bus_message_open_container(m, 'a', "{sv}");
    if (r >= 0)
      r = appendPortalOption(m, PortalOption::text("handle_token", token));
    return r < 0 ? r : sd_bus_message_close_container(m);
  });
}

// Sends one request without waiting: its Response is matched before the
// call goes out, so an answer that comes at once is not missed.
bool PortalGlobalShortcuts::send(
    Request request, const std::string& method,
    const std::function<int(sd_bus_message*, const std::string&)>& append) {
  std::string token = formatString("vidorelkeys%d_%d", static_cast<int>(getpid()), ++serial_);
  std::string path = portalRequestPath(senderName_, token);
  int r = sd_bus_match_signal(bus_, &responseSlot_, nullptr, path.c_str(), kPortalRequestInterface,
                              "Response", onResponse, this);
  sd_bus_message* call = nullptr;
  if (r >= 0)
    r = sd_bus_message_new_method_call(bus_, &call, kPortalName, kPortalPath, kShortcutsInterface,
                                       method.c_str());
  if (r >= 0)
    r = append(call, token);
  if (r >= 0)
    r = sd_bus_call_async(bus_, &callSlot_, call, onMethodReply, this, 0);
  sd_bus_message_unref(call);
  if (r >= 0)
    r = sd_bus_flush(bus_);
  request_ = request;
  if (r < 0) {
    logger_.error(LogCategory::shortcuts,
                  "portal: " + method + " could not be sent: " + std::strerror(-r));
    if (request == Request::createSession)
      sessionRefused_ = true;
    else
      answered_ = true;
    finishRequest();
    setState(DesktopShortcutsState::refused);
    return false;
  }
  if (state_ != DesktopShortcutsState::waiting)
    setState(DesktopShortcutsState::waiting);
  readBusSoon();
  return true;
}

void PortalGlobalShortcuts::finishRequest() {
  request_ = Request::none;
  if (responseSlot_)
    responseSlot_ = sd_bus_slot_unref(responseSlot_);
  if (callSlot_)
    callSlot_ = sd_bus_slot_unref(callSlot_);
}

void PortalGlobalShortcuts::methodReplied(sd_bus_message* reply) {
  if (callSlot_)
    callSlot_ = sd_bus_slot_unref(callSlot_);
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  if (!error)
    return;
  // The portal refused the call itself: no Response will come.
  std::string what = request_ == Request::createSession ? "no global shortcuts session: "
                                                        : "BindShortcuts failed: ";
  logger_.error(LogCategory::shortcuts,
                "portal: " + what + (error->message ? error->message : error->name));
  if (request_ == Request::createSession)
    sessionRefused_ = true;
  else
    answered_ = true;
  finishRequest();
  setState(DesktopShortcutsState::refused);
}

void PortalGlobalShortcuts::responded(sd_bus_message* response) {
  Request request = request_;
  finishRequest();
  Answer answer;
  bool read = readAnswer(response, answer);
  if (request == Request::createSession) {
    if (!read || answer.code != 0 || answer.sessionHandle.empty()) {
      logger_.error(LogCategory::shortcuts, "portal: no global shortcuts session: refused");
      sessionRefused_ = true;
      setState(DesktopShortcutsState::refused);
      return;
    }
    sessionHandle_ = answer.sessionHandle;
    // A desktop that bound the shortcuts the session started with is not
    // asked again (KDE's BindShortcuts would open its settings page).
    if (bindsEverySent(answer.triggers)) {
      answered_ = true;
      acceptBound(answer.triggers);
    }
    sendNext();
    return;
  }
  answered_ = true;
  if (!read || answer.code != 0) {
    logger_.error(LogCategory::shortcuts,
                  formatString("portal: BindShortcuts failed: response %u", answer.code));
    setState(DesktopShortcutsState::refused);
    // Bindings that changed meanwhile are worth another try.
    sendNext();
    return;
  }
  // Success that names none of the shortcuts bound nothing (KDE Plasma 5.27
  // when the session could not start with them): no key would ever fire.
  if (!bindsAnySent(answer.triggers)) {
    logger_.error(LogCategory::shortcuts,
                  "portal: BindShortcuts bound none of the global shortcuts");
    bound_.clear();
    assigned_.clear();
    setState(DesktopShortcutsState::refused);
    sendNext();
    return;
  }
  acceptBound(answer.triggers);
  sendNext();
}

bool PortalGlobalShortcuts::bindsEverySent(
    const std::map<std::string, std::string>& triggers) const {
  if (sent_.empty())
    return false;
  for (const auto& [action, binding] : sent_) {
    if (!triggers.count(std::string(rawValue(action))))
      return false;
  }
  return true;
}

bool PortalGlobalShortcuts::bindsAnySent(const std::map<std::string, std::string>& triggers) const {
  for (const auto& [action, binding] : sent_) {
    if (triggers.count(std::string(rawValue(action))))
      return true;
  }
  return false;
}

// The desktop's list is what it bound: an action it left out is not bound.
void PortalGlobalShortcuts::acceptBound(const std::map<std::string, std::string>& triggers) {
  bound_.clear();
  assigned_.clear();
  for (const auto& [action, binding] : sent_) {
    auto listed = triggers.find(std::string(rawValue(action)));
    if (listed == triggers.end())
      continue;
    bound_.emplace(action, binding);
    assigned_[action] = listed->second;
  }
  logger_.info(LogCategory::shortcuts,
               formatString("portal: %zu global shortcuts bound", bound_.size()));
  setState(DesktopShortcutsState::bound);
}

std::string PortalGlobalShortcuts::assignedTrigger(ShortcutAction action) const {
  auto found = assigned_.find(action);
  return found == assigned_.end() ? std::string() : found->second;
}

DesktopShortcutsStatus PortalGlobalShortcuts::desktopStatus() const {
  DesktopShortcutsStatus status;
  status.state = state_;
  if (state_ == DesktopShortcutsState::bound) {
    for (const auto& [action, trigger] : assigned_) {
      if (!trigger.empty())
        status.triggers[action] = trigger;
    }
  }
  return status;
}

DesktopShortcuts::ObserverID
PortalGlobalShortcuts::addStatusObserver(std::function<void()> changed) {
  ObserverID id = nextObserver_++;
  observers_[id] = std::move(changed);
  return id;
}

void PortalGlobalShortcuts::removeStatusObserver(ObserverID id) {
  observers_.erase(id);
}

void PortalGlobalShortcuts::setState(DesktopShortcutsState state) {
  state_ = state;
  // An observer may remove itself (its window closes).
  std::map<ObserverID, std::function<void()>> observers = observers_;
  for (const auto& [id, changed] : observers) {
    if (observers_.count(id) && changed)
      changed();
  }
}

} // namespace vidorel
