#include "base/portal_request.h"

namespace vidorel {

std::string portalSenderName(sd_bus* bus) {
  const char* unique = nullptr;
  if (sd_bus_get_unique_name(bus, &unique) < 0 || !unique || unique[0] != ':')
    return {};
  std::string name = unique + 1;
  for (char& c : name) {
    if (c == '.')
      c = '_';
  }
  return name;
}

std::string portalRequestPath(const std::string& senderName, const std::string& token) {
  return std::string(kPortalPath) + "/request/" + senderName + "/" + token;
}

PortalOption PortalOption::text(std::string key, std::string value) {
  PortalOption option;
  option.key = std::move(key);
  option.type = 's';
  option.textValue = std::move(value);
  return option;
}

PortalOption PortalOption::number(std::string key, std::uint32_t value) {
  PortalOption option;
  option.key = std::move(key);
  option.type = 'u';
  option.numberValue = value;
  return option;
}

PortalOption PortalOption::flag(std::string key, bool value) {
  PortalOption option;
  option.key = std::move(key);
  option.type = 'b';
  option.flagValue = value;
  return option;
}

int appendPortalOption(sd_bus_message* message, const PortalOption& option) {
  switch (option.type) {
  case 's':
    return sd_bus_message_append(message, "{sv}", option.key.c_str(), "s",
                                 option.textValue.c_str());
  case 'u':
    return sd_bus_message_append(message, "{sv}", option.key.c_str(), "u", option.numberValue);
  default:
    return sd_bus_message_append(message, "{sv}", option.key.c_str(), "b",
                                 static_cast<int>(option.flagValue));
  }
}

int appendPortalOptions(sd_bus_message* message, const std::vector<PortalOption>& options) {
  int r = sd_bus_message_open_container(message, 'a', "{sv}");
  for (const PortalOption& option : options) {
    if (r < 0)
      return r;
    r = appendPortalOption(message, option);
  }
  return r < 0 ? r : sd_bus_message_close_container(message);
}

} // namespace vidorel
