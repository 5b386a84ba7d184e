// Turning a picture upright for its Exif orientation.
#ifndef PIXTRIM_ORIENT_H
#define PIXTRIM_ORIENT_H

#include "codec/load.h"

// Orientations 2-4 mirror or turn the picture in place; 5-8 swap its sides
// and need a second block while they turn. False, with the picture
// unchanged, when that block cannot be had. Other values leave it as it is.
bool turn_upright(rgba_image *image, int orientation);

#endif
