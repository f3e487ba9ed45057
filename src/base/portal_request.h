#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vidorel {

// The desktop portal's well-known name and object, and the interface of the
// request objects through which its methods answer.
inline constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
inline constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
inline constexpr const char* kPortalRequestInterface = "org.freedesktop.portal.Request";

// The caller's part of a request object's path: the bus's unique name
// ":1.42" becomes "1_42". Empty when the bus has no unique name.
std::string portalSenderName(sd_bus* bus);

// The request object the portal answers a call made with handle_token on.
std::string portalRequestPath(const std::string& senderName, const std::string& token);

// One entry of an a{sv} options dictionary: a string, a uint32 or a bool.
struct PortalOption {
  static PortalOption text(std::string key, std::string value);
  static PortalOption number(std::string key, std::uint32_t value);
  static PortalOption flag(std::string key, bool value);

  std::string key;
  char type = 's';
  std::string textValue;
  std::uint32_t numberValue = 0;
  bool flagValue = false;
};

// Appends one {sv} entry to an a{sv} container that is open.
int appendPortalOption(sd_bus_message* message, const PortalOption& option);
// Appends a whole a{sv} dictionary.
int appendPortalOptions(sd_bus_message* message, const std::vector<PortalOption>& options);

} // namespace vidorel
