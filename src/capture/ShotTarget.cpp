#include "ShotTarget.h"

#include <QStringList>

#include <algorithm>

namespace kestrova {

namespace {

Error badTarget(const QString& why) {
    return Error{why, QStringLiteral("kestrova.Shot")};
}

QString describe(const QRect& r) {
    return QStringLiteral("%1,%2,%3,%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

QString nameOf(const ScreenInfo& screen, std::size_t index) {
    return screen.name.isEmpty() ? QStringLiteral("screen %1").arg(index) : screen.name;
}

} // namespace

ShotTarget ShotTarget::screen(const QString& value) {
    ShotTarget target;
    bool isNumber = false;
    const uint index = value.toUInt(&isNumber);
    if (value.isEmpty())
        target.m_kind = Kind::pointerScreen;
    else if (value == QLatin1String("all"))
        target.m_kind = Kind::all;
    else if (isNumber) {
        target.m_kind = Kind::index;
        target.m_index = index;
    } else {
        target.m_kind = Kind::name;
    }
    target.m_name = value;
    return target;
}

Expected<ShotTarget> ShotTarget::region(const QString& value) {
    const QStringList parts = value.split(u',');
    int numbers[4] = {};
    bool ok = parts.size() == 4;
    for (qsizetype i = 0; ok && i < 4; ++i)
        numbers[i] = parts[i].trimmed().toInt(&ok);
    if (!ok)
        return badTarget(
            QStringLiteral("--region takes X,Y,W,H in whole pixels, not '%1'").arg(value));
    if (numbers[2] <= 0 || numbers[3] <= 0)
        return badTarget(
            QStringLiteral("the region %1 has no area: width and height must be positive")
                .arg(value));
    ShotTarget target;
    target.m_kind = Kind::region;
    target.m_region = QRect(numbers[0], numbers[1], numbers[2], numbers[3]);
    return target;
}

Expected<ShotTarget::Plan> ShotTarget::resolve(const std::vector<ScreenInfo>& screens,
                                               QPoint pointer) const {
    if (screens.empty())
        return badTarget(QStringLiteral("there is no screen to capture"));
    switch (m_kind) {
    case Kind::all: {
        Plan plan;
        for (std::size_t i = 0; i < screens.size(); ++i)
            plan.screens.push_back(i);
        return plan;
    }
    case Kind::pointerScreen: {
        for (std::size_t i = 0; i < screens.size(); ++i) {
            if (screens[i].geometry.contains(pointer))
                return Plan{{i}, std::nullopt};
        }
        return Plan{{0}, std::nullopt}; // the pointer is unknown (Wayland): the first screen
    }
    case Kind::index:
        if (m_index < screens.size())
            return Plan{{m_index}, std::nullopt};
        return badTarget(QStringLiteral("there is no screen %1; the screens are 0 to %2")
                             .arg(m_index)
                             .arg(screens.size() - 1));
    case Kind::name: {
        QStringList names;
        for (std::size_t i = 0; i < screens.size(); ++i) {
            if (screens[i].name == m_name)
                return Plan{{i}, std::nullopt};
            names << nameOf(screens[i], i);
        }
        return badTarget(QStringLiteral("there is no screen named '%1'; the screens are %2")
                             .arg(m_name, names.join(QStringLiteral(", "))));
    }
    case Kind::region:
        break;
    }

    std::vector<std::size_t> touched;
    for (std::size_t i = 0; i < screens.size(); ++i) {
        if (screens[i].geometry.intersects(m_region))
            touched.push_back(i);
    }
    if (touched.empty())
        return badTarget(
            QStringLiteral("the region %1 lies outside every screen").arg(describe(m_region)));
    const ScreenInfo& on = screens[touched.front()];
    if (touched.size() > 1 || !on.geometry.contains(m_region)) {
        QStringList names;
        for (const std::size_t i : touched)
            names << QStringLiteral("%1 (%2)").arg(nameOf(screens[i], i),
                                                   describe(screens[i].geometry));
        if (touched.size() == 1)
            return badTarget(QStringLiteral("the region %1 reaches past the edge of %2")
                                 .arg(describe(m_region), names.front()));
        return badTarget(QStringLiteral("the region %1 lies across %2; capture one screen at "
                                        "a time")
                             .arg(describe(m_region), names.join(QStringLiteral(" and "))));
    }
    // Into the screen's own y-up points, as a selection on it would be.
    const QRect local = m_region.translated(-on.geometry.topLeft());
    return Plan{{touched.front()},
                QRectF(local.x(), on.geometry.height() - local.y() - local.height(), local.width(),
                       local.height())};
}

QRect ShotTarget::Plan::nativeArea(const std::vector<ScreenInfo>& all) const {
    if (screens.size() == 1) {
        const ScreenInfo& screen = all[screens.front()];
        const QRect pixels =
            localRect ? screen.pixelRect(*localRect) : QRect(QPoint(0, 0), screen.pixelSize());
        return pixels.translated(screen.nativeRect().topLeft());
    }
    QRect span;
    for (const std::size_t i : screens)
        span = span.united(all[i].nativeRect());
    return span;
}

} // namespace kestrova
