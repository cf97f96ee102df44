// vips-tzf.so: the entry point libvips calls when it loads the module from
// its modules folder at start-up.
#include <gmodule.h>

#include "vips/tzf_vips.h"

extern "C" G_MODULE_EXPORT const gchar* g_module_check_init(GModule* module) {
  // Types once registered cannot go: the module stays loaded.
  g_module_make_resident(module);
  tzf_vips_register_types();
  return nullptr;
}
