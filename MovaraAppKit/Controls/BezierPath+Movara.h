#pragma once
// Drawing extensions of paths: an inner shadow, cast from outside the path's edge into it.

#include "Platform/UI/BezierPath.h"
#include "Platform/UI/Shadow.h"

namespace ui {
class GraphicsContext;
}

// Draws the shadow `shadow` would cast by the outside of `path` onto its inside, with the
// shadow's offset and blur, clipped to the path. `shadow` is adjusted during the call and
// given back unchanged; the context's state is restored.
void fillWithInnerShadow(const ui::BezierPath& path, ui::Shadow& shadow, ui::GraphicsContext& context);
