#pragma once

#include "Annotation.h"
#include "Tool.h"
#include "ToolSettings.h"

#include <QPointF>

#include <memory>

namespace kestrova {

// Makes the annotation that a press with a tool starts.
class AnnotationFactory final {
public:
    AnnotationFactory() = delete;

    // Starts at `at` with the tool's colour and thickness (the marker: translucent and
    // four times as thick). Nothing for the text tool, whose annotations are typed.
    static std::shared_ptr<Annotation> create(Tool tool, QPointF at, const ToolSettings& settings);
};

} // namespace kestrova
