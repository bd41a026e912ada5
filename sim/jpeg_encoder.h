// Baseline JPEG (ITU-T T.81 sequential DCT, Huffman coded) for the simulated
// cameras' MJPEG frames, through libjpeg-turbo: 4:2:2 sampling as USB
// cameras send it, the example quantisation tables of Annex K.1 scaled by a
// quality factor and the typical Huffman tables of Annex K.3, all written
// into the file (DQT and DHT segments), so any decoder reads it. No JFIF
// segment: the frame starts with SOI and, when given, the comment.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

// Encodes a packed YUY2 image (Y0 U Y1 V, `width` x `height`, lines top to
// bottom without padding). `quality` 1..100 scales the tables the way the
// widely used convention does (50 = the annex tables). A non-empty
// `comment` is stored in a COM segment right after the start marker.
// Returns an empty vector for an empty image or an odd width.
std::vector<uint8_t> encode_jpeg_yuy2(const uint8_t* yuy2, uint32_t width, uint32_t height, int quality,
                                      const std::vector<uint8_t>& comment = {});

}  // namespace sim
