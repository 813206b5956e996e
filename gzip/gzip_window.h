#pragma once

// zlib's window bits for a gzip wrapper rather than a zlib one: the largest
// window (15) plus 16.
inline constexpr int gzip_window_bits = 15 + 16;
