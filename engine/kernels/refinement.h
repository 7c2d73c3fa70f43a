#pragma once
// Kernels of the pattern matching: sum of absolute 8-bit colour differences between a pattern and the
// blocks of an image, and the exhaustive search for the best block. A 16-bit image is compared through
// its 8-bit view.

#include <QImage>

namespace kernels {

// Score of the pattern against the block of the image whose top-left corner is (tx, ty): the sum over
// the block, row by row, of |dR| + |dG| + |dB|, held in single precision. Parts outside read black.
float patternScore(const QImage& image, const QImage& pattern, int tx, int ty);

struct Match {
    int x = 0, y = 0;   // top-left corner of the best block
    float score = 0.0f; // its score
    bool found = false; // some candidate scored below the start value
};

// Every candidate corner (x, y) with x0 <= x < x0 + columns and y0 <= y < y0 + rows, rows outer:
// the smallest score wins, ties keep the earlier candidate. The start value is W x H x 768.
Match matchPattern(const QImage& image, const QImage& pattern, int x0, int y0, int columns, int rows);

} // namespace kernels
