#include "AnnotationFactory.h"

#include "ArrowAnnotation.h"
#include "EllipseAnnotation.h"
#include "FreehandAnnotation.h"
#include "LineAnnotation.h"
#include "RectangleAnnotation.h"

namespace kestrova {

std::shared_ptr<Annotation> AnnotationFactory::create(Tool tool, QPointF at,
                                                      const ToolSettings& s) {
    switch (tool) {
    case Tool::rectangle:
        return std::make_shared<RectangleAnnotation>(at, at, s.color, s.thickness);
    case Tool::ellipse:
        return std::make_shared<EllipseAnnotation>(at, at, s.color, s.thickness);
    case Tool::arrow:
        return std::make_shared<ArrowAnnotation>(at, at, s.color, s.thickness);
    case Tool::line:
        return std::make_shared<LineAnnotation>(at, at, s.color, s.thickness);
    case Tool::pencil:
        return std::make_shared<FreehandAnnotation>(at, s.color, s.thickness);
    case Tool::marker: {
        QColor translucent = s.color;
        translucent.setAlphaF(0.4f); // replaced, not multiplied
        return std::make_shared<FreehandAnnotation>(at, translucent, s.thickness * 4);
    }
    case Tool::text:
        break;
    }
    return nullptr;
}

} // namespace kestrova
