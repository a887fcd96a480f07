#pragma once
// Pictures of forms as a person sees them on the screen: each form's client area with a plain
// window frame and caption bar around it, the forms laid over each other at their positions.
// The programs' --screenshot options save one.

#include <QImage>
#include <vector>

#include "platform/widgets/forms.h"

namespace vx {

// The forms, the first at the bottom, drawn at their places relative to the leftmost and
// topmost of them, on a grey desktop with a margin of `margin` pixels.
QImage PictureOfForms(const std::vector<TForm*>& forms, int margin = 16);

}  // namespace vx
