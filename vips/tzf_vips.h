// The TZF loaders and savers for libvips: their types, registered once.
#ifndef TZF_VIPS_TZF_VIPS_H
#define TZF_VIPS_TZF_VIPS_H

// Registers tzfload, tzfload_buffer, tzfload_source, tzfsave,
// tzfsave_buffer and tzfsave_target with libvips' type system. Called
// after vips_init, from one thread; calling it again does nothing.
void tzf_vips_register_types();

#endif
