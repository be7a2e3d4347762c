#include "X11HotKeyBackend.h"
#include "Log.h"
#include "XcbReply.h"

#include "KeyNames.h"
#include "VirtualKeys.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QStringList>

#include <xcb/xcb.h>

#include <cstdlib>

namespace kestrova {

namespace {

constexpr std::uint32_t keysymSuperL = 0xffeb;
constexpr std::uint32_t keysymSuperR = 0xffec;
constexpr std::uint32_t keysymAltL = 0xffe9;
constexpr std::uint32_t keysymAltR = 0xffea;
constexpr std::uint32_t keysymNumLock = 0xff7f;

} // namespace

std::unique_ptr<X11HotKeyBackend> X11HotKeyBackend::create() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection())
        return nullptr;
    return std::unique_ptr<X11HotKeyBackend>(new X11HotKeyBackend(x11->connection()));
}

X11HotKeyBackend::X11HotKeyBackend(xcb_connection_t* connection) : m_connection(connection) {
    m_root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    m_masks = readModifierMasks();
    QCoreApplication::instance()->installNativeEventFilter(this);
}

X11HotKeyBackend::~X11HotKeyBackend() {
    ungrabCurrent();
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

X11HotKeyBackend::Masks X11HotKeyBackend::readModifierMasks() const {
    Masks masks{XCB_MOD_MASK_4, XCB_MOD_MASK_1, XCB_MOD_MASK_2};
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    const std::uint8_t first = setup->min_keycode;
    const int count = setup->max_keycode - setup->min_keycode + 1;
    const auto keyboard = owned(xcb_get_keyboard_mapping_reply(
        m_connection,
        xcb_get_keyboard_mapping(m_connection, first, static_cast<std::uint8_t>(count)), nullptr));
    const auto modifiers = owned(xcb_get_modifier_mapping_reply(
        m_connection, xcb_get_modifier_mapping(m_connection), nullptr));
    if (keyboard && modifiers) {
        const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(keyboard.get());
        const int perKey = keyboard->keysyms_per_keycode;
        const auto keysymOf = [&](xcb_keycode_t code) -> std::uint32_t {
            if (code < first || code >= first + count || perKey == 0)
                return 0;
            return syms[(code - first) * perKey];
        };
        const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(modifiers.get());
        const int perModifier = modifiers->keycodes_per_modifier;
        Masks found{};
        for (int mod = 3; mod < 8; ++mod) { // Mod1 … Mod5
            for (int k = 0; k < perModifier; ++k) {
                const std::uint32_t sym = keysymOf(codes[mod * perModifier + k]);
                const auto bit = static_cast<std::uint16_t>(1u << mod);
                if ((sym == keysymSuperL || sym == keysymSuperR) && !found.super)
                    found.super = bit;
                if ((sym == keysymAltL || sym == keysymAltR) && !found.alt)
                    found.alt = bit;
                if (sym == keysymNumLock && !found.numLock)
                    found.numLock = bit;
            }
        }
        if (found.super)
            masks.super = found.super;
        if (found.alt)
            masks.alt = found.alt;
        if (found.numLock)
            masks.numLock = found.numLock;
    }
    return masks;
}

std::uint16_t X11HotKeyBackend::xModifiers(std::uint32_t carbonMask) const {
    std::uint16_t m = 0;
    if (carbonMask & carbon::cmdKey)
        m |= m_masks.super;
    if (carbonMask & carbon::optionKey)
        m |= m_masks.alt;
    if (carbonMask & carbon::controlKey)
        m |= XCB_MOD_MASK_CONTROL;
    if (carbonMask & carbon::shiftKey)
        m |= XCB_MOD_MASK_SHIFT;
    return m;
}

std::vector<std::uint16_t> X11HotKeyBackend::lockVariants() const {
    const std::uint16_t caps = XCB_MOD_MASK_LOCK;
    const std::uint16_t num = m_masks.numLock;
    return {0, caps, num, static_cast<std::uint16_t>(caps | num)};
}

Status X11HotKeyBackend::grab(std::uint32_t virtualKey, std::uint32_t carbonModifiers) {
    ungrabCurrent();
    m_wanted = {virtualKey, carbonModifiers};
    const Status failure = grabCurrent();
    if (failure)
        m_wanted.reset();
    return failure;
}

void X11HotKeyBackend::release() {
    ungrabCurrent();
    m_wanted.reset();
}

Status X11HotKeyBackend::grabCurrent() {
    const auto keycode = VirtualKeys::xKeycode(m_wanted->first);
    if (!keycode)
        return Error{QStringLiteral("this keyboard has no such key"), QStringLiteral("X11"), 0};
    m_keycode = static_cast<std::uint8_t>(*keycode);
    m_xModifiers = xModifiers(m_wanted->second);

    const std::vector<std::uint16_t> variants = lockVariants();
    std::vector<xcb_void_cookie_t> cookies;
    for (const std::uint16_t lock : variants) {
        cookies.push_back(xcb_grab_key_checked(
            m_connection, 1, m_root, static_cast<std::uint16_t>(m_xModifiers | lock), m_keycode,
            XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
    }
    QStringList taken;
    m_granted.clear();
    for (std::size_t i = 0; i < cookies.size(); ++i) {
        if (owned(xcb_request_check(m_connection, cookies[i]))) {
            taken << lockName(variants[i]);
        } else {
            m_granted.push_back(variants[i]);
        }
    }
    if (m_granted.empty())
        return Error{QStringLiteral("another application already uses it"), QStringLiteral("X11"),
                     10};
    // Another client holds the key only with some lock keys on: keep what we were given,
    // so that the shortcut still works for the user in every other state.
    if (!taken.isEmpty())
        qCWarning(lcHotKey,
                  "another application holds %s with %s; kestrova's shortcut works only "
                  "without that",
                  qPrintable(KeyNames::string(m_wanted->first, m_wanted->second)),
                  qPrintable(taken.join(QStringLiteral(" or "))));
    return std::nullopt;
}

QString X11HotKeyBackend::lockName(std::uint16_t lock) const {
    QStringList names;
    if (lock & XCB_MOD_MASK_LOCK)
        names << QStringLiteral("CapsLock");
    if (lock & m_masks.numLock)
        names << QStringLiteral("NumLock");
    return names.isEmpty() ? QStringLiteral("no lock key on") : names.join(u'+');
}

void X11HotKeyBackend::ungrabCurrent() {
    // Only what the server granted: a variant another client holds stays theirs.
    for (const std::uint16_t lock : m_granted)
        xcb_ungrab_key(m_connection, m_keycode, m_root,
                       static_cast<std::uint16_t>(m_xModifiers | lock));
    if (!m_granted.empty())
        xcb_flush(m_connection);
    m_granted.clear();
}

bool X11HotKeyBackend::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<xcb_generic_event_t*>(message);
    const std::uint8_t type = event->response_type & 0x7f;
    if (type == XCB_MAPPING_NOTIFY) {
        // The modifier keys may have moved: grab the current shortcut again.
        if (m_wanted) {
            ungrabCurrent();
            m_masks = readModifierMasks();
            if (const Status failure = grabCurrent())
                qCWarning(lcHotKey,
                          "couldn't register the shortcut %s again after the keyboard "
                          "changed — %s",
                          qPrintable(KeyNames::string(m_wanted->first, m_wanted->second)),
                          qPrintable(failure->description));
        }
        return false;
    }
    if (type != XCB_KEY_PRESS || m_granted.empty())
        return false;
    const auto* press = reinterpret_cast<const xcb_key_press_event_t*>(event);
    if (press->event != m_root || press->detail != m_keycode)
        return false;
    const std::uint16_t relevant =
        XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | m_masks.alt | m_masks.super;
    if ((press->state & relevant) != m_xModifiers)
        return false;
    if (onPressed)
        onPressed();
    return true;
}

} // namespace kestrova
