#include "demosaic.h"

#include <vector>

namespace readers {
namespace {

// Index i mirrored into [0, n) about the edge samples.
inline int mirrored(int i, int n)
{
    if (n == 1)
        return 0;
    while (i < 0 || i >= n) {
        if (i < 0)
            i = -i;
        if (i >= n)
            i = 2 * (n - 1) - i;
    }
    return i;
}

// floor((sum + 8) / 16) clamped to [0, maxValue].
inline int rounded(int sum, int maxValue)
{
    const int v = (sum + 8) >> 4; // an arithmetic shift: the floor for negative sums too
    return v < 0 ? 0 : (v > maxValue ? maxValue : v);
}

enum Site { RedSite, GreenInRedRow, GreenInBlueRow, BlueSite };

// The site kinds at (x & 1, y & 1): [y & 1][x & 1].
void siteTable(Cfa pattern, Site table[2][2])
{
    switch (pattern) {
    case Cfa::GRBG:
        table[0][0] = GreenInRedRow, table[0][1] = RedSite, table[1][0] = BlueSite, table[1][1] = GreenInBlueRow;
        break;
    case Cfa::GBRG:
        table[0][0] = GreenInBlueRow, table[0][1] = BlueSite, table[1][0] = RedSite, table[1][1] = GreenInRedRow;
        break;
    case Cfa::BGGR:
        table[0][0] = BlueSite, table[0][1] = GreenInBlueRow, table[1][0] = GreenInRedRow, table[1][1] = RedSite;
        break;
    case Cfa::RGGB:
    default:
        table[0][0] = RedSite, table[0][1] = GreenInRedRow, table[1][0] = GreenInBlueRow, table[1][1] = BlueSite;
        break;
    }
}

// The 5x5 neighbourhood of one pixel: rows[dy + 2][cols[dx + 2]].
struct Neighbourhood {
    const quint16* rows[5];
    int cols[5];
    int at(int dy, int dx) const { return rows[dy + 2][cols[dx + 2]]; }
};

// The same inside the frame, where no column is mirrored: rows[dy + 2][x + dx].
struct Inside {
    const quint16* const* rows;
    int x;
    int at(int dy, int dx) const { return rows[dy + 2][x + dx]; }
};

// The four filters, weights x16.
template <class N>
inline int greenAtRedOrBlue(const N& n)
{
    return 8 * n.at(0, 0) + 4 * (n.at(-1, 0) + n.at(1, 0) + n.at(0, -1) + n.at(0, 1))
        - 2 * (n.at(-2, 0) + n.at(2, 0) + n.at(0, -2) + n.at(0, 2));
}

// At a green site, the colour of its left and right neighbours.
template <class N>
inline int fromRowNeighbours(const N& n)
{
    return 10 * n.at(0, 0) + 8 * (n.at(0, -1) + n.at(0, 1)) - 2 * (n.at(0, -2) + n.at(0, 2))
        - 2 * (n.at(-1, -1) + n.at(-1, 1) + n.at(1, -1) + n.at(1, 1)) + (n.at(-2, 0) + n.at(2, 0));
}

// At a green site, the colour of its upper and lower neighbours.
template <class N>
inline int fromColumnNeighbours(const N& n)
{
    return 10 * n.at(0, 0) + 8 * (n.at(-1, 0) + n.at(1, 0)) - 2 * (n.at(-2, 0) + n.at(2, 0))
        - 2 * (n.at(-1, -1) + n.at(-1, 1) + n.at(1, -1) + n.at(1, 1)) + (n.at(0, -2) + n.at(0, 2));
}

// Red at a blue site, blue at a red site.
template <class N>
inline int fromDiagonals(const N& n)
{
    return 12 * n.at(0, 0) + 4 * (n.at(-1, -1) + n.at(-1, 1) + n.at(1, -1) + n.at(1, 1))
        - 3 * (n.at(-2, 0) + n.at(2, 0) + n.at(0, -2) + n.at(0, 2));
}

QImage emptyFrame(int width, int height, int maxValue)
{
    return QImage(width, height, maxValue > 255 ? QImage::Format_RGBX64 : QImage::Format_RGB32);
}

inline void store(uchar* line, int x, int r, int g, int b, bool deep)
{
    if (deep) {
        quint16* p = reinterpret_cast<quint16*>(line) + 4 * x;
        p[0] = quint16(r), p[1] = quint16(g), p[2] = quint16(b), p[3] = 0xffff;
    } else {
        reinterpret_cast<QRgb*>(line)[x] = qRgb(r, g, b);
    }
}

// The colour of a pixel at a site of kind S.
template <Site S, class N>
inline void colourAt(const N& n, int maxValue, int& r, int& g, int& b)
{
    const int own = n.at(0, 0);
    r = g = b = own;
    switch (S) {
    case RedSite:
        g = rounded(greenAtRedOrBlue(n), maxValue);
        b = rounded(fromDiagonals(n), maxValue);
        break;
    case BlueSite:
        g = rounded(greenAtRedOrBlue(n), maxValue);
        r = rounded(fromDiagonals(n), maxValue);
        break;
    case GreenInRedRow:
        r = rounded(fromRowNeighbours(n), maxValue);
        b = rounded(fromColumnNeighbours(n), maxValue);
        break;
    case GreenInBlueRow:
        b = rounded(fromRowNeighbours(n), maxValue);
        r = rounded(fromColumnNeighbours(n), maxValue);
        break;
    }
}

template <class N>
inline void colourAt(Site site, const N& n, int maxValue, int& r, int& g, int& b)
{
    switch (site) {
    case RedSite: return colourAt<RedSite>(n, maxValue, r, g, b);
    case BlueSite: return colourAt<BlueSite>(n, maxValue, r, g, b);
    case GreenInRedRow: return colourAt<GreenInRedRow>(n, maxValue, r, g, b);
    case GreenInBlueRow: return colourAt<GreenInBlueRow>(n, maxValue, r, g, b);
    }
}

// Columns [begin, end) of a row, all at least two columns from the edges; sites of kind Even at even
// columns, Odd at odd ones.
template <Site Even, Site Odd>
void insideRow(const quint16* const rows[5], int begin, int end, uchar* line, int maxValue, bool deep)
{
    int r = 0, g = 0, b = 0;
    int x = begin;
    if (x < end && (x & 1)) {
        colourAt<Odd>(Inside{rows, x}, maxValue, r, g, b);
        store(line, x, r, g, b, deep);
        ++x;
    }
    for (; x + 1 < end; x += 2) {
        colourAt<Even>(Inside{rows, x}, maxValue, r, g, b);
        store(line, x, r, g, b, deep);
        colourAt<Odd>(Inside{rows, x + 1}, maxValue, r, g, b);
        store(line, x + 1, r, g, b, deep);
    }
    if (x < end) {
        colourAt<Even>(Inside{rows, x}, maxValue, r, g, b);
        store(line, x, r, g, b, deep);
    }
}

} // namespace

Cfa cfaFromName(const QString& name)
{
    const QString n = name.trimmed().toUpper();
    if (n == QLatin1String("RGGB"))
        return Cfa::RGGB;
    if (n == QLatin1String("GRBG"))
        return Cfa::GRBG;
    if (n == QLatin1String("GBRG"))
        return Cfa::GBRG;
    if (n == QLatin1String("BGGR"))
        return Cfa::BGGR;
    return Cfa::None;
}

QString cfaName(Cfa pattern)
{
    switch (pattern) {
    case Cfa::RGGB: return QStringLiteral("RGGB");
    case Cfa::GRBG: return QStringLiteral("GRBG");
    case Cfa::GBRG: return QStringLiteral("GBRG");
    case Cfa::BGGR: return QStringLiteral("BGGR");
    case Cfa::None: break;
    }
    return QStringLiteral("none");
}

QImage greyFrame(const quint16* samples, int width, int height, int maxValue)
{
    QImage image = emptyFrame(width, height, maxValue);
    if (image.isNull())
        return image;
    const bool deep = maxValue > 255;
    for (int y = 0; y < height; ++y) {
        const quint16* in = samples + qsizetype(y) * width;
        uchar* line = image.scanLine(y);
        for (int x = 0; x < width; ++x)
            store(line, x, in[x], in[x], in[x], deep);
    }
    return image;
}

QImage demosaic(const quint16* samples, int width, int height, int maxValue, Cfa pattern)
{
    if (pattern == Cfa::None)
        return greyFrame(samples, width, height, maxValue);
    QImage image = emptyFrame(width, height, maxValue);
    if (image.isNull())
        return image;
    const bool deep = maxValue > 255;
    Site sites[2][2];
    siteTable(pattern, sites);

    std::vector<int> columns(std::size_t(width) + 4);
    for (int x = -2; x < width + 2; ++x)
        columns[std::size_t(x + 2)] = mirrored(x, width);

    Neighbourhood n;
    for (int y = 0; y < height; ++y) {
        for (int dy = -2; dy <= 2; ++dy)
            n.rows[dy + 2] = samples + qsizetype(mirrored(y + dy, height)) * width;
        uchar* line = image.scanLine(y);
        // Columns that mirror (the two at each edge) the long way; those between directly.
        const int insideBegin = width >= 5 ? 2 : width, insideEnd = width >= 5 ? width - 2 : width;
        auto mirroredAt = [&](int x) {
            for (int dx = 0; dx < 5; ++dx)
                n.cols[dx] = columns[std::size_t(x + dx)];
            int r = 0, g = 0, b = 0;
            colourAt(sites[y & 1][x & 1], n, maxValue, r, g, b);
            store(line, x, r, g, b, deep);
        };
        for (int x = 0; x < insideBegin; ++x)
            mirroredAt(x);
        switch (sites[y & 1][0]) {
        case RedSite: insideRow<RedSite, GreenInRedRow>(n.rows, insideBegin, insideEnd, line, maxValue, deep); break;
        case GreenInRedRow: insideRow<GreenInRedRow, RedSite>(n.rows, insideBegin, insideEnd, line, maxValue, deep); break;
        case GreenInBlueRow: insideRow<GreenInBlueRow, BlueSite>(n.rows, insideBegin, insideEnd, line, maxValue, deep); break;
        case BlueSite: insideRow<BlueSite, GreenInBlueRow>(n.rows, insideBegin, insideEnd, line, maxValue, deep); break;
        }
        for (int x = insideEnd; x < width; ++x)
            mirroredAt(x);
    }
    return image;
}

} // namespace readers
