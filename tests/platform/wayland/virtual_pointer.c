/* A mouse for a headless compositor: plugs a virtual pointer into the seat and moves
 * and clicks it as told on standard input, one command a line, answering "ok" when the
 * compositor has taken it:
 *   move X Y W H   put the seat's cursor at X,Y of the W x H layout (logical points)
 *   press          press the left button
 *   release        release it
 * A headless session has no input devices, so its seat offers clients no pointer at all;
 * and cursor commands sent through the compositor's IPC end no pointer frame, so clients
 * hold the motion back until the button is released. A device sends what a mouse sends.
 * The protocol's interface tables are spelled out here, as its generator would write
 * them, so that no protocol files are needed to build it. */

#include <stdio.h>
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
    {"motion", "uff", no_types},       {"motion_absolute", "uuuuu", no_types},
    {"button", "uuu", no_types},       {"axis", "uuf", no_types},
    {"frame", "", NULL},               {"axis_source", "u", no_types},
    {"axis_stop", "uu", no_types},     {"axis_discrete", "uufi", no_types},
    {"destroy", "", NULL},
};
static const struct wl_interface virtual_pointer_interface = {
    "zwlr_virtual_pointer_v1", 1, 9, pointer_requests, 0, NULL};

static struct wl_seat* seat;
static struct wl_proxy* manager;

static void global(void* data, struct wl_registry* registry, uint32_t name,
                   const char* interface, uint32_t version) {
    (void)data;
    (void)version;
    if (strcmp(interface, "wl_seat") == 0 && !seat)
        seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
    else if (strcmp(interface, manager_interface.name) == 0)
        manager = wl_registry_bind(registry, name, &manager_interface, 1);
}

static void global_remove(void* data, struct wl_registry* registry, uint32_t name) {
    (void)data;
    (void)registry;
    (void)name;
}

static const struct wl_registry_listener registry_listener = {global, global_remove};

int main(void) {
    struct wl_display* display = wl_display_connect(NULL);
    if (!display) {
        fprintf(stderr, "virtual_pointer: no Wayland display\n");
        return 1;
    }
    struct wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registry_listener, NULL);
    wl_display_roundtrip(display);
    if (!seat || !manager) {
        fprintf(stderr, "virtual_pointer: the compositor offers no virtual pointers\n");
        return 1;
    }
    struct wl_proxy* pointer = wl_proxy_marshal_constructor(manager, 0, &virtual_pointer_interface,
                                                            seat, NULL);
    if (!pointer || wl_display_roundtrip(display) < 0) {
        fprintf(stderr, "virtual_pointer: the compositor refused the pointer\n");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);

    enum { motion_absolute = 1, button = 2, frame = 4 };
    const uint32_t left_button = 0x110; /* BTN_LEFT */
    uint32_t time = 0;
    char line[256];
    while (fgets(line, sizeof line, stdin)) {
        unsigned x, y, w, h;
        time += 10;
        if (sscanf(line, "move %u %u %u %u", &x, &y, &w, &h) == 4)
            wl_proxy_marshal(pointer, motion_absolute, time, x, y, w, h);
        else if (strncmp(line, "press", 5) == 0)
            wl_proxy_marshal(pointer, button, time, left_button, 1);
        else if (strncmp(line, "release", 7) == 0)
            wl_proxy_marshal(pointer, button, time, left_button, 0);
        else {
            printf("unknown command\n");
            fflush(stdout);
            continue;
        }
        wl_proxy_marshal(pointer, frame);
        if (wl_display_roundtrip(display) < 0)
            return 1;
        printf("ok\n");
        fflush(stdout);
    }
    return 0;
}
