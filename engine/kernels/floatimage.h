#pragma once
// Four-channel image of 32-bit floats: per pixel the sums R, G, B of colour fractions and a weight W.
// It is the stacking accumulator and the master dark.

#include <cstddef>
#include <memory>

struct FloatImage {
    int width = 0;
    int height = 0;
    std::unique_ptr<float[]> data;
    // Distinct for every image created: frames calibrated with one master dark are told apart from
    // frames calibrated with its successor.
    unsigned long long serial = 0;

    bool contains(int x, int y) const { return x >= 0 && y >= 0 && x < width && y < height; }
    // Index of the first float (R) of pixel (x, y).
    std::size_t indexOf(int x, int y) const { return (std::size_t(x) + std::size_t(y) * std::size_t(width)) * 4; }
    std::size_t floatCount() const { return std::size_t(width) * std::size_t(height) * 4; }

    // Channel c (0 R, 1 G, 2 B, 3 W) at (x, y); 0 outside the image.
    float value(int x, int y, int c) const { return contains(x, y) ? data[indexOf(x, y) + c] : 0.0f; }
    float* pixel(int x, int y) { return data.get() + indexOf(x, y); }
    const float* pixel(int x, int y) const { return data.get() + indexOf(x, y); }

    void clear();
};

// A zeroed image of the given size, or null when the size is negative or the memory cannot be had.
std::unique_ptr<FloatImage> createFloatImage(int width, int height);

// Channel c at (x, y) of an image that may be absent: an absent image reads 0 everywhere.
inline float floatValue(const FloatImage* image, int x, int y, int c) { return image ? image->value(x, y, c) : 0.0f; }
