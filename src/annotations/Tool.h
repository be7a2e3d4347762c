#pragma once

#include <array>

namespace kestrova {

enum class Tool { rectangle, ellipse, arrow, line, pencil, marker, text };

// Every tool in its fixed order; the toolbar shows them in this order.
inline constexpr std::array<Tool, 7> allTools{Tool::rectangle, Tool::ellipse, Tool::arrow,
                                              Tool::line,      Tool::pencil,  Tool::marker,
                                              Tool::text};

} // namespace kestrova
