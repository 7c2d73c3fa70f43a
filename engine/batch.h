#pragma once
// The long loops over a sequence (quality analysis, alignment, refinement, stacking) and the reference
// pick. The window and the batch command both run these; they differ only in the callbacks.

#include "stackengine.h"

#include <QImage>
#include <QString>

#include <functional>
#include <vector>

namespace batch {

struct Progress {
    std::function<void(const QString&)> status; // the status text ("Aligning... 12.5%")
    std::function<void(const QString&)> log;    // one log line
    std::function<void(const QImage&)> show;    // an image to display (optional)
    std::function<void()> yield;                // let the toolkit process pending events
    std::function<bool(int)> selected;          // the frame takes part (its row is checked)
    // A frame file could not be read. The loop has logged it; return false to end the run early.
    std::function<bool(const QString& path)> unreadable;

    void setStatus(const QString& text) const { if (status) status(text); }
    void say(const QString& line) const { if (log) log(line); }
    void display(const QImage& image) const { if (show) show(image); }
    void processEvents() const { if (yield) yield(); }
    bool takesPart(int index) const { return !selected || selected(index); }
};

// The log line for a frame file that cannot be read.
QString unreadableLine(const QString& path);

// ---- reference --------------------------------------------------------------------------------
struct ReferenceRequest {
    int index = 0;      // frame to analyse
    int threshold = 75; // luminance threshold 0..255
    int filter = 2;     // box filter half-width
    int radius = 20;    // search radius
    int scale = 1;      // supersampling factor (1: off)
};

enum class PickResult { Ok, NoSequence, Unreadable, NotFound, OutOfMemory };

// Makes the frame the reference: loads it, analyses it with the threshold, takes its feature centroid
// as the reference centre and cuts the base pattern. *preview receives the threshold preview. When
// the frame cannot be read or holds no feature, the previous reference, accumulator and offset
// extents stay in force.
PickResult pickReference(StackEngine& engine, const ReferenceRequest& request, QImage* preview);

// The log line that explains a failed pick (empty for Ok).
QString pickMessage(PickResult result, const StackEngine& engine, const ReferenceRequest& request);

// ---- loops ------------------------------------------------------------------------------------
// Each returns false when it refuses to run (the reason is logged).
bool alignAll(StackEngine& engine, const Progress& progress);
bool refineAll(StackEngine& engine, const Progress& progress);
bool stackAll(StackEngine& engine, const Progress& progress);

// Rates every selected frame once (when no analysis has run yet); false when nothing was analysed.
bool analyzeQuality(StackEngine& engine, const Progress& progress);

enum class SelectionMode { MinimumQuality, FrameCount };
// Which frames to keep after the analysis: all whose quality reaches minQuality, or the frameCount
// best ones (ties to the earlier frame). Logs "N frames active" in the minimum-quality mode.
std::vector<bool> selectFrames(const StackEngine& engine, SelectionMode mode, double minQuality, int frameCount,
                               const Progress& progress);

} // namespace batch
