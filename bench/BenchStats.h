#pragma once

#include <QString>

#include <algorithm>
#include <vector>

// What every benchmark reports of its samples: min, median and max, as JSON.
struct Stats {
    double min = 0, median = 0, max = 0;
};

inline Stats stats(std::vector<double> v) {
    if (v.empty())
        return {};
    std::sort(v.begin(), v.end());
    return {v.front(), v[v.size() / 2], v.back()};
}

inline QString json(const char* name, const Stats& s) {
    return QStringLiteral("\"%1\":{\"min\":%2,\"median\":%3,\"max\":%4}")
        .arg(QLatin1String(name))
        .arg(s.min, 0, 'f', 1)
        .arg(s.median, 0, 'f', 1)
        .arg(s.max, 0, 'f', 1);
}
