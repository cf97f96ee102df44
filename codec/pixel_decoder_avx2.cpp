// The pixel decoder built for x86-64 processors with AVX2, BMI1, BMI2,
// LZCNT and MOVBE, where the library itself is built for any x86-64
// processor; decode_pixels chooses at run time.
#define TZF_DECODER_AVX2_BUILD 1
#include "codec/pixel_decoder.cpp"
