// Demosaicing: byte 0 the pattern and the sample range, bytes 1-2 the width and the height (1-64);
// the rest are the samples (two bytes each for the 16-bit range, zero when the data runs out).

#include "demosaic.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const readers::Cfa pattern = readers::Cfa(data[0] % 5);
    const bool deep = (data[0] & 0x80) != 0;
    const int width = 1 + data[1] % 64, height = 1 + data[2] % 64;
    std::vector<quint16> samples(std::size_t(width * height), 0);
    std::size_t at = 3;
    for (quint16& s : samples) {
        if (deep && at + 1 < size) {
            s = quint16(data[at] | data[at + 1] << 8);
            at += 2;
        } else if (!deep && at < size) {
            s = data[at++];
        }
    }
    const QImage image = readers::demosaic(samples.data(), width, height, deep ? 65535 : 255, pattern);
    if (image.width() != width || image.height() != height)
        __builtin_trap();
    return 0;
}
