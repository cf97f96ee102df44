// GetPluginInfo and GetPreview: the entry points that need no picture data.
#include <string.h>

#include "plugin/status_codes.h"
#include "plugin/tzf_filter.h"

#ifndef TZF_RELEASE
#error "TZF_RELEASE (the release number, e.g. \"1.0.0\") must be defined by the build"
#endif

namespace {

// The information table, read by index; the null entry ends it.
constexpr const char* kPluginInfo[] = {
    "00IN",
    // The text up to the two blanks is what hosts look for; the credit is ours.
    "TZF to DIB filter ver0.01  by the tzf-filter developers, release " TZF_RELEASE,
    "*.TZF",
    "Tervax CG (.TZF)",
    nullptr,
};

}  // namespace

extern "C" TZF_EXPORT int32_t TZF_CALL GetPluginInfo(int32_t index, char* buffer,
                                                     int32_t buffer_length) {
  if (index < 0 || buffer == nullptr || buffer_length < 1) return 0;
  const char* entry = nullptr;
  for (int32_t i = 0; kPluginInfo[i] != nullptr; ++i) {
    if (i == index) {
      entry = kPluginInfo[i];
      break;
    }
  }
  if (entry == nullptr) return 0;
  size_t limit = static_cast<size_t>(buffer_length) - 1;
  buffer[limit] = '\0';
  strncpy(buffer, entry, limit);
  return static_cast<int32_t>(strlen(buffer));
}

extern "C" TZF_EXPORT int32_t TZF_CALL GetPreview(const char*, int32_t, uint32_t, TzfLocalHandle*,
                                                  TzfLocalHandle*, ProgressCallback, intptr_t) {
  return kStatusNotProvided;
}
