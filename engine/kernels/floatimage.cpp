#include "floatimage.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <new>

void FloatImage::clear()
{
    if (data)
        std::fill_n(data.get(), floatCount(), 0.0f);
}

std::unique_ptr<FloatImage> createFloatImage(int width, int height)
{
    if (width < 0 || height < 0)
        return nullptr;
    const unsigned long long count = 4ull * unsigned(width) * unsigned(height);
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(float))
        return nullptr;
    std::unique_ptr<FloatImage> image(new (std::nothrow) FloatImage);
    if (!image)
        return nullptr;
    static std::atomic<unsigned long long> serials{0};
    image->serial = ++serials;
    image->width = width;
    image->height = height;
    // Value-initialised: every float starts at 0.
    image->data.reset(new (std::nothrow) float[std::size_t(count)]());
    if (!image->data && count > 0)
        return nullptr;
    return image;
}
