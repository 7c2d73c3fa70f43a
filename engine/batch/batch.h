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
    // The memory ran out during the step ("stacking"); the loop has logged it and ended.
    std::function<void(const QString& step)> outOfMemory;
    // How far the loop is: frames done of the frames taking part (called after every frame).
    std::function<void(int done, int total)> advance;
    // Asked before each frame: true stops the loop there. The loop logs where it stopped and keeps
    // what the frames done so far produced.
    std::function<bool()> cancel;

    void setStatus(const QString& text) const { if (status) status(text); }
    void say(const QString& line) const { if (log) log(line); }
    void display(const QImage& image) const { if (show) show(image); }
    void processEvents() const { if (yield) yield(); }
    bool takesPart(int index) const { return !selected || selected(index); }
    void step(int done, int total) const { if (advance) advance(done, total); }
    bool stopRequested() const { return cancel && cancel(); }
};

// The log line of a loop stopped by the user: "Alignment cancelled after 12 of 40 frames."
QString cancelledLine(const QString& step, int done, int total);

// The log line for a frame file that cannot be read.
QString unreadableLine(const QString& path);
// The log line for a frame whose size differs from the sequence's (it is left out).
QString otherSizeLine(const QString& path);

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
// Each returns false when it refuses to run or the memory runs out (the reason is logged). Frames of
// another size than the sequence's are left out with a log line. A stacking run that stacks no frame
// logs so and leaves no stack to save (stackReady stays false). A cancelled loop logs
// cancelledLine() as its last line; the caller, who owns the cancel request, knows it was cancelled.
// Cancelled alignment and refinement keep the positions found so far; a cancelled stacking run
// normalises and shows the stack of the frames added so far, which is then a finished stack.
bool alignAll(StackEngine& engine, const Progress& progress);
bool refineAll(StackEngine& engine, const Progress& progress);
bool stackAll(StackEngine& engine, const Progress& progress);

// Rates every selected frame once (when no analysis has run yet); false when nothing was analysed
// or the run was cancelled (the frames rated so far then keep their ratings, and the next call
// analyses the sequence again).
bool analyzeQuality(StackEngine& engine, const Progress& progress);

// Builds the master dark from the engine's dark list with progress and cancel (see
// StackEngine::buildMasterDark). A cancelled build keeps the dark frames summed so far and is
// built again by the next stacking run. False when the memory for the master dark cannot be had.
bool buildMasterDark(StackEngine& engine, const Progress& progress, QStringList* leftOut = nullptr);

// The line that tells how many dark frames a master dark built when the dark frames were opened holds.
QString masterDarkLine(int frames);

enum class SelectionMode { MinimumQuality, FrameCount };
// Which frames to keep after the analysis: all whose quality reaches minQuality, or the frameCount
// best ones (ties to the earlier frame). Logs "N frames active" in the minimum-quality mode.
std::vector<bool> selectFrames(const StackEngine& engine, SelectionMode mode, double minQuality, int frameCount,
                               const Progress& progress);

} // namespace batch
