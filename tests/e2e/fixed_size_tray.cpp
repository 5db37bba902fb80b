// An XEmbed system tray that gives every icon the same square, whatever size
// the icon asks for, as trays with a set icon size do. For end-to-end tests
// of how an icon follows the size its tray gives it.
//
//   fixed_size_tray <pixels>
//
// Takes the screen's tray selection (over from any tray that holds it, as a
// panel started later does), shows a light grey strip at the bottom right of
// the screen with room for four icons, and prints the strip's window id
// (decimal) once it is the tray. Icons are laid out left to right in the
// order they came. Runs until killed or the display goes away.
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The freedesktop.org system tray protocol and XEmbed.
constexpr std::uint32_t kSystemTrayRequestDock = 0;
constexpr std::uint32_t kXEmbedEmbeddedNotify = 0;
constexpr std::uint32_t kXEmbedVersion = 0;
constexpr std::uint32_t kOrientationHorizontal = 0;
constexpr int kSlots = 4;
constexpr std::uint32_t kStripColour = 0xd6d6d6;

xcb_atom_t Atom(xcb_connection_t* c, const std::string& name) {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr);
    const xcb_atom_t atom = reply != nullptr ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

std::vector<xcb_window_t> Children(xcb_connection_t* c, xcb_window_t window) {
    std::vector<xcb_window_t> children;
    if (xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr)) {
        const xcb_window_t* first = xcb_query_tree_children(tree);
        children.assign(first, first + xcb_query_tree_children_length(tree));
        std::free(tree);
    }
    return children;
}

// Puts the strip's icons side by side, each `side` pixels square.
void LayOut(xcb_connection_t* c, xcb_window_t strip, int side) {
    std::int32_t x = 0;
    for (xcb_window_t icon : Children(c, strip)) {
        const std::uint32_t geometry[] = {static_cast<std::uint32_t>(x), 0, static_cast<std::uint32_t>(side),
                                          static_cast<std::uint32_t>(side)};
        xcb_configure_window(
            c, icon, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT,
            geometry);
        x += side;
    }
}

void Send(xcb_connection_t* c, xcb_window_t to, xcb_atom_t type, std::uint32_t mask, const std::uint32_t (&data)[5]) {
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = to;
    message.type = type;
    std::memcpy(message.data.data32, data, sizeof data);
    xcb_send_event(c, 0, to, mask, reinterpret_cast<const char*>(&message));
}

}  // namespace

int main(int argc, char** argv) {
    const int side = argc == 2 ? std::atoi(argv[1]) : 0;
    if (side < 1 || side > 512) {
        std::fprintf(stderr, "usage: %s <pixels>\n", argv[0]);
        return 2;
    }
    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "fixed_size_tray: cannot open the display\n");
        return 1;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber; ++i) xcb_screen_next(&screens);
    const xcb_screen_t* screen = screens.data;

    const xcb_window_t strip = xcb_generate_id(c);
    // Redirected: an icon's own moves and resizes come here as requests, and
    // are answered with the square.
    const std::uint32_t attributes[] = {kStripColour, 1,
                                        XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, strip, screen->root,
                      static_cast<std::int16_t>(screen->width_in_pixels - kSlots * side),
                      static_cast<std::int16_t>(screen->height_in_pixels - side),
                      static_cast<std::uint16_t>(kSlots * side), static_cast<std::uint16_t>(side), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, attributes);
    const xcb_atom_t orientation = Atom(c, "_NET_SYSTEM_TRAY_ORIENTATION");
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, strip, orientation, XCB_ATOM_CARDINAL, 32, 1,
                        &kOrientationHorizontal);
    xcb_map_window(c, strip);

    const xcb_atom_t selection = Atom(c, "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber));
    const xcb_atom_t opcode = Atom(c, "_NET_SYSTEM_TRAY_OPCODE");
    const xcb_atom_t xembed = Atom(c, "_XEMBED");
    xcb_set_selection_owner(c, strip, selection, XCB_CURRENT_TIME);
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
    const bool owned = owner != nullptr && owner->owner == strip;
    std::free(owner);
    if (!owned) {
        std::fprintf(stderr, "fixed_size_tray: cannot take the tray selection\n");
        return 1;
    }
    // Icons waiting for a tray hear of it from the root window.
    Send(c, screen->root, Atom(c, "MANAGER"), XCB_EVENT_MASK_STRUCTURE_NOTIFY,
         {XCB_CURRENT_TIME, selection, strip, 0, 0});
    xcb_flush(c);
    std::printf("%u\n", strip);
    std::fflush(stdout);

    while (xcb_generic_event_t* event = xcb_wait_for_event(c)) {
        const int type = event->response_type & ~0x80;
        if (type == XCB_CLIENT_MESSAGE) {
            const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(event);
            const xcb_window_t icon = message->data.data32[2];
            if (message->type == opcode && message->data.data32[1] == kSystemTrayRequestDock && icon != 0) {
                xcb_reparent_window(c, icon, strip, 0, 0);
                LayOut(c, strip, side);
                xcb_map_window(c, icon);
                Send(c, icon, xembed, XCB_EVENT_MASK_NO_EVENT,
                     {XCB_CURRENT_TIME, kXEmbedEmbeddedNotify, 0, strip, kXEmbedVersion});
                xcb_flush(c);
            }
        } else if (type == XCB_MAP_REQUEST) {
            xcb_map_window(c, reinterpret_cast<const xcb_map_request_event_t*>(event)->window);
            xcb_flush(c);
        } else if (type == XCB_CONFIGURE_REQUEST || type == XCB_DESTROY_NOTIFY || type == XCB_REPARENT_NOTIFY) {
            // An icon left: the others close up.
            LayOut(c, strip, side);
            xcb_flush(c);
        }
        std::free(event);
    }
    xcb_disconnect(c);
    return 0;
}
