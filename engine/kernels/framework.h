#pragma once
// The part of each loop's work on one frame that depends only on that frame and on settings fixed for
// the whole loop. Computing it is free of engine state, so read-ahead threads can do it for the
// frames that come next; the loop then applies the results in sequence order, exactly as if it had
// computed them itself.

#include "alignment.h"
#include "refinement.h"

#include <QColor>
#include <QImage>

#include <functional>

// The mean colour of a frame as loaded, given with its 8-bit view (the engine remembers it for cached
// frames, and computes it from the view otherwise).
using MeanColourFn = std::function<QColor(const QImage& frame, const QImage& view8)>;

struct AlignSettings {
    QColor referenceColor;
    int threshold = 75, filter = 2, radius = 20;
};

struct AlignWork {
    QImage frame;          // as loaded (8 or 16 bits per channel)
    QImage work;           // its 8-bit view (the frame itself at 8 bits), as the detection read it
    kernels::Feature feature;
};

struct RefineSettings {
    QColor referenceColor;
    QImage basePattern;
    int radius = 20;
};

struct RefineWork {
    QImage frame;
    QImage work; // its 8-bit view
    bool matched = false; // the frame was aligned, so the pattern was searched
    QImage current;       // block at the unrefined position
    QImage aligned;       // block at the best match
    kernels::Match match;
};

// meanOf is asked only for frames that are colour-normalised (not the reference).
AlignWork computeAlignWork(const QImage& frame, bool isReference, const MeanColourFn& meanOf, const AlignSettings& s);
RefineWork computeRefineWork(const QImage& frame, bool isReference, bool aligned, int featureX, int featureY,
                             const MeanColourFn& meanOf, const RefineSettings& s);
// Its two steps: the colour-normalised search window around the unrefined position, cut from the
// frame's 8-bit view, and the search inside it (which fills matched, current, aligned and match).
QImage cutSearchWindow(const QImage& frame, const QImage& work, bool isReference, int featureX, int featureY,
                       const MeanColourFn& meanOf, const RefineSettings& s);
void matchInWindow(RefineWork& w, const QImage& window, int featureX, int featureY, const RefineSettings& s);
