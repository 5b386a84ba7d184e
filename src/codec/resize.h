// Nearest-neighbour resampling.
#ifndef PIXTRIM_RESIZE_H
#define PIXTRIM_RESIZE_H

#include "codec/load.h"

// Fills out with a new_width x new_height copy of src, each pixel an exact
// copy of one source pixel. out's sides are set even on failure. Returns 1,
// or 0 (pixels null) when the block cannot be allocated. Sides must be >= 1.
int resize_nearest(const rgba_image *src, int32_t new_width, int32_t new_height,
                   rgba_image *out);

#endif
