// Gradient quality measures.

#include "quality.h"

#include "parallel.h"
#include "pixel.h"
#include "stackengine.h"

#include <cmath>
#include <vector>

namespace kernels {
namespace {

struct QualityTables {
    double r[256], g[256], b[256];
    QualityTables()
    {
        for (int v = 0; v < 256; ++v) {
            r[v] = px::fraction(v) * px::kLumaR;
            g[v] = px::fraction(v) * px::kLumaG;
            b[v] = px::fraction(v) * px::kLumaB;
        }
    }
    float luma(QRgb p) const
    {
        double t = r[qRed(p)];
        t = t + g[qGreen(p)];
        t = t + b[qBlue(p)];
        return float(255.0 * t);
    }
};

const QualityTables& tables()
{
    static const QualityTables t;
    return t;
}

// Luminance of every pixel of the rows [y0, y1), row-major.
void lumaRows(const QImage& image, std::vector<float>& out, int y0, int y1)
{
    const QualityTables& t = tables();
    const int w = image.width();
    for (int y = y0; y < y1; ++y) {
        const QRgb* line = px::row(image, y);
        float* o = out.data() + std::size_t(y) * w;
        for (int x = 0; x < w; ++x)
            o[x] = t.luma(line[x]);
    }
}

// The running sum truncates after every addition, so it is formed strictly in visiting order.
inline void accumulate(float d, float threshold, int& sum, int& count)
{
    if (d > threshold) {
        ++count;
        sum = int(float(sum) + d);
    }
}

} // namespace

float gradientQualityH(const QImage& image)
{
    const int w = image.width(), h = image.height();
    if (h < 2 || w < 3)
        return 0.0f;
    std::vector<float> l(std::size_t(w) * h);
    parallel::forRange(0, h - 1, [&](int y0, int y1) { lumaRows(image, l, y0, y1); });
    int sum = 0, count = 0;
    for (int y = 0; y <= h - 2; ++y) {
        const float* row = l.data() + std::size_t(y) * w;
        for (int x = 0; x <= w - 3; ++x)
            accumulate(std::fabs(row[x] - row[x + 1]), 3.0f, sum, count);
    }
    return count > 0 ? float(sum) / count : 0.0f;
}

float gradientQualityV(const QImage& image)
{
    const int w = image.width(), h = image.height();
    if (w < 2 || h < 3)
        return 0.0f;
    std::vector<float> l(std::size_t(w) * h);
    parallel::forRange(0, h - 1, [&](int y0, int y1) { lumaRows(image, l, y0, y1); });
    // Steps of each column laid out contiguously, so the column-by-column pass reads memory in order.
    const int cols = w - 1, steps = h - 2;
    std::vector<float> d(std::size_t(cols) * steps);
    parallel::forRange(0, cols, [&](int x0, int x1) {
        constexpr int kBlock = 64;
        for (int xb = x0; xb < x1; xb += kBlock) {
            const int xe = std::min(x1, xb + kBlock);
            for (int y = 0; y < steps; ++y) {
                const float* a = l.data() + std::size_t(y) * w;
                const float* b = a + w;
                for (int x = xb; x < xe; ++x)
                    d[std::size_t(x) * steps + y] = std::fabs(a[x] - b[x]);
            }
        }
    });
    int sum = 0, count = 0;
    for (std::size_t i = 0; i < d.size(); ++i)
        accumulate(d[i], 2.0f, sum, count);
    return count > 0 ? float(sum) / count : 0.0f;
}

} // namespace kernels

float StackEngine::gradientQualityH() const
{
    return kernels::gradientQualityH(frameImage);
}

float StackEngine::gradientQualityV() const
{
    return kernels::gradientQualityV(frameImage);
}
