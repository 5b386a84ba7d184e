// A test picture seen as the library's image record (no copy).
#ifndef PIXTRIM_TEST_IMAGE_VIEW_H
#define PIXTRIM_TEST_IMAGE_VIEW_H

#include "codec/load.h"
#include "support.h"

inline rgba_image view_of(test_support::picture &p) { return {p.width, p.height, p.rgba.data()}; }

#endif
