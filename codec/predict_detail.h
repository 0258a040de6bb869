// codec/predict_detail.h: prediction in one pass between a frame and its three residual
// planes, for the frame compressor and the frame decoder. Private to codec/.
#ifndef CODEC_PREDICT_DETAIL_H_
#define CODEC_PREDICT_DETAIL_H_

#include <cstddef>
#include <cstdint>

namespace predict_detail {

// The bytes of scratch PredictToPlanes and ReconstructFromPlanes need: two decorrelated
// rows of three channels, with a little slack behind each.
inline size_t PlaneScratchBytes(int width) { return 6 * static_cast<size_t>(width) + 16; }

// The residuals DeEntropy leaves for the frame (width x height pixels of 3 bytes), split
// into the three planes KeyCompress codes: plane c receives the byte-c residuals in pixel
// order. Reads the frame without changing it; `scratch` holds PlaneScratchBytes(width).
void PredictToPlanes(const uint8_t* frame, int width, int height, uint8_t* scratch,
                     uint8_t* plane0, uint8_t* plane1, uint8_t* plane2);

// The inverse, for the frame decoder: rebuilds the frame from the three residual planes
// (ReEntropy of the interleaved residuals). `scratch` holds PlaneScratchBytes(width).
void ReconstructFromPlanes(const uint8_t* plane0, const uint8_t* plane1, const uint8_t* plane2,
                           int width, int height, uint8_t* scratch, uint8_t* frame);

}  // namespace predict_detail

#endif  // CODEC_PREDICT_DETAIL_H_
