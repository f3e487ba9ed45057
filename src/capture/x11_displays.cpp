#include "capture/x11_display_stream.h"
#include "capture/x11_screen_source.h"

#include <xcb/randr.h>

namespace vidorel {

namespace {

std::string atomName(xcb_connection_t* connection, xcb_atom_t atom) {
  Reply<xcb_get_atom_name_reply_t> name(
      xcb_get_atom_name_reply(connection, xcb_get_atom_name(connection, atom), nullptr));
  if (!name)
    return {};
  return std::string(xcb_get_atom_name_name(name.get()), xcb_get_atom_name_name_length(name.get()));
}

// The monitors as the desktop arranges them (RandR 1.5): a monitor may
// span several outputs, or be a part of one that the user set up.
std::vector<DisplayInfo> randrMonitors(xcb_connection_t* connection, xcb_screen_t* screen) {
  std::vector<DisplayInfo> displays;
  Reply<xcb_randr_get_monitors_reply_t> monitors(xcb_randr_get_monitors_reply(
      connection, xcb_randr_get_monitors(connection, screen->root, 1), nullptr));
  if (!monitors)
    return displays;
  for (xcb_randr_monitor_info_iterator_t it =
           xcb_randr_get_monitors_monitors_iterator(monitors.get());
       it.rem > 0; xcb_randr_monitor_info_next(&it)) {
    const xcb_randr_monitor_info_t& monitor = *it.data;
    if (monitor.width == 0 || monitor.height == 0)
      continue;
    std::string name = atomName(connection, monitor.name);
    if (name.empty())
      name = "monitor-" + std::to_string(displays.size() + 1);
    displays.push_back({name, monitor.x, monitor.y, monitor.width, monitor.height});
  }
  return displays;
}

// The active outputs (RandR 1.3).
std::vector<DisplayInfo> randrOutputs(xcb_connection_t* connection, xcb_screen_t* screen) {
  std::vector<DisplayInfo> displays;
  Reply<xcb_randr_get_screen_resources_current_reply_t> resources(
      xcb_randr_get_screen_resources_current_reply(
          connection, xcb_randr_get_screen_resources_current(connection, screen->root), nullptr));
  if (!resources)
    return displays;
  xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(resources.get());
  int count = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
  for (int i = 0; i < count; ++i) {
    Reply<xcb_randr_get_output_info_reply_t> output(xcb_randr_get_output_info_reply(
        connection, xcb_randr_get_output_info(connection, outputs[i], resources->config_timestamp),
        nullptr));
    if (!output || output->connection != XCB_RANDR_CONNECTION_CONNECTED || output->crtc == 0)
      continue;
    Reply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(
        connection, xcb_randr_get_crtc_info(connection, output->crtc, resources->config_timestamp),
        nullptr));
    if (!crtc || crtc->width == 0 || crtc->height == 0)
      continue;
    std::string name(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(output.get())),
                     xcb_randr_get_output_info_name_length(output.get()));
    displays.push_back({name, crtc->x, crtc->y, crtc->width, crtc->height});
  }
  return displays;
}

} // namespace

xcb_screen_t* screenOf(xcb_connection_t* connection, int number) {
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; it.rem > 0; ++i, xcb_screen_next(&it))
    if (i == number)
      return it.data;
  return nullptr;
}

std::vector<DisplayInfo> x11Displays(xcb_connection_t* connection, xcb_screen_t* screen) {
  std::vector<DisplayInfo> whole{
      {"screen", 0, 0, screen->width_in_pixels, screen->height_in_pixels}};
  const xcb_query_extension_reply_t* randr = xcb_get_extension_data(connection, &xcb_randr_id);
  if (!randr || !randr->present)
    return whole;
  Reply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
      connection, xcb_randr_query_version(connection, 1, 5), nullptr));
  if (!version || (version->major_version == 1 && version->minor_version < 3))
    return whole;
  std::vector<DisplayInfo> displays;
  if (version->major_version > 1 || version->minor_version >= 5)
    displays = randrMonitors(connection, screen);
  if (displays.empty())
    displays = randrOutputs(connection, screen);
  return displays.empty() ? whole : displays;
}

ShareableContent x11ShareableContent() {
  ShareableContent content;
  int screenNumber = 0;
  xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return content;
  }
  if (xcb_screen_t* screen = screenOf(connection, screenNumber))
    content.displays = x11Displays(connection, screen);
  xcb_disconnect(connection);
  return content;
}

} // namespace vidorel
