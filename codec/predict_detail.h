// codec/predict_detail.h: the frame compressor's one-pass prediction. Private to codec/.
#ifndef CODEC_PREDICT_DETAIL_H_
#define CODEC_PREDICT_DETAIL_H_

#include <cstddef>
#include <cstdint>

namespace predict_detail {

// The bytes of scratch PredictToPlanes needs: two decorrelated rows of three channels.
inline size_t PlaneScratchBytes(int width) { return 6 * static_cast<size_t>(width); }

// The residuals DeEntropy leaves for the frame (width x height pixels of 3 bytes), split
// into the three planes KeyCompress codes: plane c receives the byte-c residuals in pixel
// order. Reads the frame without changing it; `scratch` holds PlaneScratchBytes(width).
void PredictToPlanes(const uint8_t* frame, int width, int height, uint8_t* scratch,
                     uint8_t* plane0, uint8_t* plane1, uint8_t* plane2);

}  // namespace predict_detail

#endif  // CODEC_PREDICT_DETAIL_H_
