/* A mouse and keyboard for a headless compositor: plugs an input device into the seat
 * and moves, clicks and types as told on standard input, one command a line, answering
 * "ok" when the compositor has taken it:
 *   move X Y W H   put the seat's cursor at X,Y of the W x H layout (logical points)
 *   press          press the left button
 *   release        release it
 *   key CODE…      press the keys (evdev codes) in order, then release them in reverse:
 *                  "key 42 125 3" is Shift+Super+2 (KWin only; sway's tests use wtype)
 * A headless session has no input devices, so its seat offers clients no pointer at all;
 * and cursor commands sent through the compositor's IPC end no pointer frame, so clients
 * hold the motion back until the button is released. A device sends what a mouse sends.
 * wlroots compositors offer zwlr_virtual_pointer_v1; KWin offers org_kde_kwin_fake_input
 * to programs its desktop entries allow (X-KDE-Wayland-Interfaces), and its key presses
 * go through KWin's own shortcut handling, as a keyboard's do.
 * The protocols' interface tables are spelled out here, as their generator would write
 * them, so that no protocol files are needed to build it. */

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wayland-client.h>

static const struct wl_interface virtual_pointer_interface;

static const struct wl_interface* manager_types[] = {&wl_seat_interface,
                                                     &virtual_pointer_interface};
static const struct wl_message manager_requests[] = {
    {"create_virtual_pointer", "?on", manager_types},
    {"destroy", "", NULL},
};
static const struct wl_interface manager_interface = {
    "zwlr_virtual_pointer_manager_v1", 1, 2, manager_requests, 0, NULL};

static const struct wl_interface* no_types[] = {NULL, NULL, NULL, NULL, NULL};
static const struct wl_message pointer_requests[] = {
    {"motion", "uff", no_types},   {"motion_absolute", "uuuuu", no_types},
    {"button", "uuu", no_types},   {"axis", "uuf", no_types},
    {"frame", "", NULL},           {"axis_source", "u", no_types},
    {"axis_stop", "uu", no_types}, {"axis_discrete", "uufi", no_types},
    {"destroy", "", NULL},
};
static const struct wl_interface virtual_pointer_interface = {"zwlr_virtual_pointer_v1", 1, 9,
                                                              pointer_requests,          0, NULL};

static const struct wl_message fake_input_requests[] = {
    {"authenticate", "ss", no_types},  {"pointer_motion", "ff", no_types},
    {"button", "uu", no_types},        {"axis", "uf", no_types},
    {"touch_down", "2uff", no_types},  {"touch_motion", "2uff", no_types},
    {"touch_up", "2u", no_types},      {"touch_cancel", "2", no_types},
    {"touch_frame", "2", no_types},    {"pointer_motion_absolute", "3ff", no_types},
    {"keyboard_key", "4uu", no_types},
};
static const struct wl_interface fake_input_interface = {"org_kde_kwin_fake_input", 4, 11,
                                                         fake_input_requests,       0, NULL};

static struct wl_seat* seat;
static struct wl_proxy* manager;
static struct wl_proxy* fake_input;

static void global(void* data, struct wl_registry* registry, uint32_t name, const char* interface,
                   uint32_t version) {
    (void)data;
    if (strcmp(interface, "wl_seat") == 0 && !seat)
        seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
    else if (strcmp(interface, manager_interface.name) == 0)
        manager = wl_registry_bind(registry, name, &manager_interface, 1);
    else if (strcmp(interface, fake_input_interface.name) == 0 && version >= 4)
        fake_input = wl_registry_bind(registry, name, &fake_input_interface, 4);
}

static void global_remove(void* data, struct wl_registry* registry, uint32_t name) {
    (void)data;
    (void)registry;
    (void)name;
}

static const struct wl_registry_listener registry_listener = {global, global_remove};

enum { left_button = 0x110 /* BTN_LEFT */, max_keys = 8 };

/* What a device does, on whichever protocol the compositor offers. */
struct device {
    void (*move)(struct wl_proxy*, unsigned x, unsigned y, unsigned w, unsigned h);
    void (*button)(struct wl_proxy*, int pressed);
    void (*key)(struct wl_proxy*, unsigned code, int pressed); /* NULL: no keys */
    struct wl_proxy* proxy;
};

static uint32_t now;

static void wlr_move(struct wl_proxy* pointer, unsigned x, unsigned y, unsigned w, unsigned h) {
    wl_proxy_marshal(pointer, 1 /* motion_absolute */, now += 10, x, y, w, h);
    wl_proxy_marshal(pointer, 4 /* frame */);
}

static void wlr_button(struct wl_proxy* pointer, int pressed) {
    wl_proxy_marshal(pointer, 2 /* button */, now += 10, left_button, pressed);
    wl_proxy_marshal(pointer, 4 /* frame */);
}

static void kwin_move(struct wl_proxy* input, unsigned x, unsigned y, unsigned w, unsigned h) {
    (void)w;
    (void)h;
    wl_proxy_marshal(input, 9 /* pointer_motion_absolute */, wl_fixed_from_int((int)x),
                     wl_fixed_from_int((int)y));
}

static void kwin_button(struct wl_proxy* input, int pressed) {
    wl_proxy_marshal(input, 2 /* button */, left_button, pressed);
}

static void kwin_key(struct wl_proxy* input, unsigned code, int pressed) {
    wl_proxy_marshal(input, 10 /* keyboard_key */, code, pressed);
}

int main(void) {
    struct wl_display* display = wl_display_connect(NULL);
    if (!display) {
        fprintf(stderr, "seat_input: no Wayland display\n");
        return 1;
    }
    struct wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registry_listener, NULL);
    wl_display_roundtrip(display);
    struct device device = {NULL, NULL, NULL, NULL};
    if (seat && manager) {
        device = (struct device){
            wlr_move, wlr_button, NULL,
            wl_proxy_marshal_constructor(manager, 0, &virtual_pointer_interface, seat, NULL)};
    } else if (fake_input) {
        /* KWin answers nothing to this: it lets the device send once asked. */
        wl_proxy_marshal(fake_input, 0 /* authenticate */, "seat_input", "test input");
        device = (struct device){kwin_move, kwin_button, kwin_key, fake_input};
    } else {
        fprintf(stderr, "seat_input: the compositor offers no input devices to this program\n");
        return 1;
    }
    if (!device.proxy || wl_display_roundtrip(display) < 0) {
        fprintf(stderr, "seat_input: the compositor refused the device\n");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);

    char line[256];
    while (fgets(line, sizeof line, stdin)) {
        unsigned x, y, w, h, codes[max_keys];
        int count = 0, handled = 1;
        if (sscanf(line, "move %u %u %u %u", &x, &y, &w, &h) == 4)
            device.move(device.proxy, x, y, w, h);
        else if (strncmp(line, "press", 5) == 0)
            device.button(device.proxy, 1);
        else if (strncmp(line, "release", 7) == 0)
            device.button(device.proxy, 0);
        else if (strncmp(line, "key ", 4) == 0 && device.key) {
            for (char *at = line + 4, *end; count < max_keys; at = end) {
                unsigned long code = strtoul(at, &end, 10);
                if (end == at)
                    break;
                codes[count++] = (unsigned)code;
            }
            for (int i = 0; i < count; ++i)
                device.key(device.proxy, codes[i], 1);
            for (int i = count - 1; i >= 0; --i)
                device.key(device.proxy, codes[i], 0);
            handled = count > 0;
        } else
            handled = 0;
        if (!handled) {
            printf("unknown command\n");
            fflush(stdout);
            continue;
        }
        if (wl_display_roundtrip(display) < 0)
            return 1;
        printf("ok\n");
        fflush(stdout);
    }
    return 0;
}
