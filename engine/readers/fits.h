#pragma once
// FITS images through cfitsio: 8-bit data gives an 8-bit frame, every other BITPIX a 16-bit one.

#include "demosaic.h"

#include <QImage>
#include <QString>

namespace readers {

// True for the FITS suffixes .fit, .fits and .fts (any case).
bool isFitsName(const QString& path);

// Reads the primary image. A single plane is grey (or raw Bayer with a BAYERPAT keyword, demosaiced
// with that pattern unless override names another; an override of None keeps it grey); three planes
// are R, G, B. Rows are put top-down (the data's first row is the bottom one unless
// ROWORDER = 'TOP-DOWN').
bool readFits(const QString& path, bool overridePattern, Cfa override, QImage& image, QString* error);

} // namespace readers
