#include "X11ScreenLayout.h"

#include "XcbReply.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <QtNumeric>

#include <algorithm>

namespace kestrova {

namespace {

// Settings that change Qt's scale in ways not followed here.
constexpr const char* unfollowed[] = {
    "QT_ENABLE_HIGHDPI_SCALING",       "QT_USE_PHYSICAL_DPI",         "QT_FONT_DPI",
    "QT_SCALE_FACTOR_ROUNDING_POLICY", "QT_AUTO_SCREEN_SCALE_FACTOR", "QT_DEVICE_PIXEL_RATIO"};

// A positive number, as Qt reads scale factors.
std::optional<double> factorOf(QStringView text) {
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok || !(value > 0) || !qIsFinite(value))
        return std::nullopt;
    return value;
}

// The X resource database's Xft.dpi, as Qt reads it (the last one set wins); 0 when
// there is none.
int xftDpiOf(const QByteArray& resources) {
    int dpi = 0;
    for (const QByteArray& line : resources.split('\n')) {
        constexpr char key[] = "Xft.dpi:\t";
        if (!line.startsWith(key))
            continue;
        bool ok = false;
        const int value = line.mid(sizeof key - 1).toInt(&ok);
        if (ok)
            dpi = value;
    }
    return dpi;
}

QByteArray resourcesOf(xcb_connection_t* c, xcb_window_t root) {
    QByteArray resources;
    for (std::uint32_t offset = 0;;) {
        const auto reply = owned(xcb_get_property_reply(
            c,
            xcb_get_property(c, 0, root, XCB_ATOM_RESOURCE_MANAGER, XCB_ATOM_STRING, offset, 8192),
            nullptr));
        if (!reply || reply->format != 8)
            break;
        const int length = xcb_get_property_value_length(reply.get());
        resources.append(static_cast<const char*>(xcb_get_property_value(reply.get())), length);
        offset += std::uint32_t(length) / 4;
        if (reply->bytes_after == 0 || length == 0)
            break;
    }
    return resources;
}

} // namespace

std::optional<X11ScreenLayout> X11ScreenLayout::arrange(std::vector<Monitor> monitors,
                                                        const QProcessEnvironment& environment,
                                                        int xftDpi) {
    for (const char* name : unfollowed) {
        if (environment.contains(QLatin1String(name)))
            return std::nullopt;
    }
    if (monitors.empty())
        return std::nullopt;
    // The primary screen comes first; the others keep their order.
    const auto primary = std::find_if(monitors.rbegin(), monitors.rend(),
                                      [](const Monitor& m) { return m.primary; });
    if (primary != monitors.rend())
        std::rotate(monitors.begin(), std::prev(primary.base()), primary.base());

    double global = 1;
    if (const QString value = environment.value(QStringLiteral("QT_SCALE_FACTOR"));
        !value.isEmpty()) {
        const std::optional<double> factor = factorOf(value);
        if (!factor)
            return std::nullopt;
        global = *factor;
    }
    // Each screen's own factor: given by name or in order, else Xft.dpi's.
    std::vector<double> own(monitors.size(), xftDpi > 0 ? xftDpi / 96.0 : 1.0);
    const QString specs = environment.value(QStringLiteral("QT_SCREEN_SCALE_FACTORS"));
    if (!specs.isEmpty()) {
        const QStringList list = specs.split(u';');
        const bool named = list.constFirst().contains(u'=');
        for (qsizetype i = 0; i < list.size(); ++i) {
            const QString& spec = list[i];
            const qsizetype equals = spec.lastIndexOf(u'=');
            // Lists that mix names and places, or hold what is no factor, Qt reads in
            // ways that changed between its versions.
            if ((equals > 0) != named)
                return std::nullopt;
            const std::optional<double> factor = factorOf(named ? spec.mid(equals + 1) : spec);
            if (!factor)
                return std::nullopt;
            if (!named) {
                if (std::size_t(i) < own.size())
                    own[std::size_t(i)] = *factor;
                continue;
            }
            const QString name = spec.left(equals);
            for (std::size_t m = 0; m < monitors.size(); ++m) {
                if (monitors[m].name == name) {
                    own[m] = *factor;
                    break;
                }
            }
        }
    }

    X11ScreenLayout layout;
    for (std::size_t m = 0; m < monitors.size(); ++m) {
        const double factor = global * own[m];
        // Qt keeps a screen's native origin and scales its size by the inverse factor.
        const double inverse = 1 / factor;
        const QRect& native = monitors[m].native;
        layout.screens.push_back({monitors[m].name,
                                  QRect(native.topLeft(), QSize(qRound(native.width() * inverse),
                                                                qRound(native.height() * inverse))),
                                  factor});
        layout.nativeRects.push_back(native);
    }
    return layout;
}

QPoint X11ScreenLayout::toDesktop(QPoint native) const {
    if (screens.empty())
        return native;
    const auto holds = std::find_if(nativeRects.begin(), nativeRects.end(),
                                    [&](const QRect& rect) { return rect.contains(native); });
    const ScreenInfo& screen =
        screens[holds != nativeRects.end() ? std::size_t(holds - nativeRects.begin()) : 0];
    const QPoint origin = screen.geometry.topLeft();
    const double inverse = 1 / screen.scale;
    const QPoint offset = native - origin;
    return origin + QPoint(qRound(offset.x() * inverse), qRound(offset.y() * inverse));
}

std::optional<X11ScreenLayout> X11ScreenLayout::read(xcb_connection_t* c, int screenNumber,
                                                     const QProcessEnvironment& environment) {
    const xcb_setup_t* setup = xcb_get_setup(c);
    if (xcb_setup_roots_length(setup) != 1 || screenNumber != 0)
        return std::nullopt;
    const xcb_window_t root = xcb_setup_roots_iterator(setup).data->root;
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
    if (!randr || !randr->present)
        return std::nullopt;
    const auto version =
        owned(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
    if (!version || version->major_version != 1 || version->minor_version < 5)
        return std::nullopt;

    const auto monitorsCookie = xcb_randr_get_monitors(c, root, 1);
    const auto primaryCookie = xcb_randr_get_output_primary(c, root);
    const QByteArray resources = resourcesOf(c, root);
    const auto reply = owned(xcb_randr_get_monitors_reply(c, monitorsCookie, nullptr));
    const auto primaryOutput = owned(xcb_randr_get_output_primary_reply(c, primaryCookie, nullptr));
    if (!reply)
        return std::nullopt;

    std::vector<Monitor> monitors;
    std::vector<xcb_get_atom_name_cookie_t> names;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem;
         xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t* info = it.data;
        // Primary as Qt has it: marked so, or showing the primary output.
        bool primary = info->primary != 0;
        const xcb_randr_output_t* outputs = xcb_randr_monitor_info_outputs(info);
        for (int o = 0; primaryOutput && o < xcb_randr_monitor_info_outputs_length(info); ++o)
            primary = primary ||
                      (primaryOutput->output != XCB_NONE && outputs[o] == primaryOutput->output);
        monitors.push_back({{}, QRect(info->x, info->y, info->width, info->height), primary});
        names.push_back(xcb_get_atom_name(c, info->name));
    }
    for (std::size_t m = 0; m < monitors.size(); ++m) {
        const auto name = owned(xcb_get_atom_name_reply(c, names[m], nullptr));
        if (!name || xcb_get_atom_name_name_length(name.get()) == 0)
            return std::nullopt; // Qt names such a screen after the display
        monitors[m].name = QString::fromLatin1(xcb_get_atom_name_name(name.get()),
                                               xcb_get_atom_name_name_length(name.get()));
    }
    return arrange(std::move(monitors), environment, xftDpiOf(resources));
}

std::optional<QPoint> X11ScreenLayout::pointer(xcb_connection_t* c, int screenNumber) const {
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && it.rem; ++i)
        xcb_screen_next(&it);
    if (!it.rem)
        return std::nullopt;
    const auto reply =
        owned(xcb_query_pointer_reply(c, xcb_query_pointer(c, it.data->root), nullptr));
    if (!reply || !reply->same_screen)
        return std::nullopt;
    return toDesktop(QPoint(reply->root_x, reply->root_y));
}

} // namespace kestrova
