// Status codes returned by the picture entry points and recorded by the
// image reader. No other values are ever produced.
#ifndef TZF_PLUGIN_STATUS_CODES_H
#define TZF_PLUGIN_STATUS_CODES_H

#include <stdint.h>

enum StatusCode : int32_t {
  kStatusSuccess = 0,
  kStatusNotProvided = -1,        // GetPreview
  kStatusCancelled = 1,           // the progress callback answered nonzero
  kStatusNotTzf = 2,              // the header failed the acceptance rule
  kStatusOutOfMemory = 4,         // an allocation failed or the picture is too large
  kStatusLockFailed = 5,          // a movable block could not be locked
  kStatusFileError = 6,           // opening, positioning or reading the source failed
  kStatusPositionNotRestored = 8  // a borrowed handle's position could not be restored
};

#endif
