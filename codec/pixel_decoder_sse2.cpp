// The pixel decoder built with SSE2 for 32-bit x86, where the library itself
// is built for processors without it; decode_pixels chooses at run time.
#define TZF_DECODER_SSE2_COPY 1
#include "codec/pixel_decoder.cpp"
