#pragma once
// The one processing object: frame table, current frame and working images, accumulator, master dark,
// dark list and every processing parameter. The window and the batch command copy their settings into
// the public members and call the operations; the engine never touches a widget.

#include "floatimage.h"
#include "frametable.h"
#include "colour.h"
#include "globalalign.h"
#include "loading.h"
#include "multipoint.h"
#include "readers.h"

#include <QColor>
#include <QImage>
#include <QRect>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

using LogFn = std::function<void(const QString&)>;

class FrameCache;
namespace kernels { struct StackParams; }
struct AlignSettings;
struct AlignWork;
struct RefineSettings;
struct RefineWork;

// Everything needed to prepare one frame (decode, convert, supersample, calibrate), captured from the
// engine so that another thread can do the work. key names the file and every parameter.
struct FrameRequest {
    QString path;
    QString key;
    int scale = 1;
    readers::ReadOptions read;
    bool keep = true; // false for frames of a capture: reading one again is as quick as keeping it
    bool preprocess = false;
    kernels::Calibration calibration; // its master dark stays alive while a loop runs

    bool prepare(QImage& image) const;
};

class StackEngine {
public:
    StackEngine();
    ~StackEngine();
    StackEngine(const StackEngine&) = delete;
    StackEngine& operator=(const StackEngine&) = delete;

    // ---- state ---------------------------------------------------------------------------------
    std::unique_ptr<FloatImage> accumulator;
    std::unique_ptr<FloatImage> masterDark;
    QImage frameImage;
    QImage darkImage;
    QImage workImage;
    QStringList darkList;
    bool darkSequenceLoaded = false;
    int lumaThreshold = 75;
    int filterSize = 2;
    int minusR = 0, minusG = 0, minusB = 0;
    int stackFilter = 0;
    int searchRadius = 20;
    bool luma = false;
    double lumaWeightR = 0.2126, lumaWeightG = 0.7152, lumaWeightB = 0.0722;
    bool lumaOut = false;
    QImage basePattern;
    bool supersample = false;
    int scaleFactor = 1;
    QColor referenceColor;
    std::unique_ptr<FrameTable> frames;
    int featureX = 0, featureY = 0;
    int referenceX = 0, referenceY = 0;
    int refinedX = 0, refinedY = 0;
    bool featureFound = false;
    QImage alignedPattern;
    QImage currentPattern;
    float offsetR = 0.0f, offsetG = 0.0f, offsetB = 0.0f;
    float gainR = 1.0f, gainG = 1.0f, gainB = 1.0f;
    float gammaR = 1.0f, gammaG = 1.0f, gammaB = 1.0f;
    float contrastR = 1.0f, contrastG = 1.0f, contrastB = 1.0f;
    float matchScore = 0.0f;
    bool qualityAnalysed = false;
    bool masterDarkBuilt = false;
    bool lowValueBoost = false;
    int lvbExponent = 1;
    float lvbBlend = 1.0f;
    bool hillFunc = false;
    bool downhillFunc = false;
    int downhillStrength = 2;
    float downhillGain = 1.0f;
    int maxDx = 0, minDx = 0, maxDy = 0, minDy = 0;
    bool previewDarkframe = false;
    float lightframeGain = 1.0f;
    float darkframeGain = 1.0f;
    // How frames are read (the Bayer pattern of single-channel frames).
    readers::ReadOptions readOptions;
    float noiseFloorR = 2.0f / 255.0f, noiseFloorG = 2.0f / 255.0f, noiseFloorB = 2.0f / 255.0f;
    // Prepared frames shared by every pass (and by read-ahead threads).
    std::shared_ptr<FrameCache> cache;
    // A reference frame has been analysed successfully: threshold, filter size, reference colour,
    // reference centre and base pattern hold values.
    bool referenceReady = false;
    // The accumulator holds a finished stack (set by a stacking run, cleared whenever the
    // accumulator is replaced or zeroed).
    bool stackReady = false;
    // The size of the frame prepareSequence started from (the reference frame once one is picked):
    // frames of another size are left out of alignment and stacking.
    QSize sequenceSize;
    // The last alignFrame or stackFrame left its frame out for its size.
    bool frameOtherSize = false;

    // ---- sub-pixel global alignment and multi-point stacking -----------------------------------
    // Feature keeps the bright-feature alignment (and its whole-pixel stacking) untouched.
    AlignMode alignMode = AlignMode::Feature;
    // Planet: the sky/disk threshold in 8-bit luminance; -1 chooses it per frame automatically.
    int planetThreshold = -1;
    // Surface: the patch on the reference frame (a null rectangle: chosen automatically) and how far
    // the patch is searched around its position in the previous frame.
    QRect surfacePatch;
    int surfaceSearch = 34;
    // The patch a surface alignment used (for display).
    QRect surfacePatchUsed;
    MultiPointSettings multiPoint;
    // The points placed by the last multi-point stack, in the reference frame's coordinates.
    std::vector<AlignmentPoint> alignmentPoints;

    // ---- frame table ---------------------------------------------------------------------------
    void addFrames(const QStringList& paths);
    // Starts a new sequence: an empty frame table, no reference, no quality analysis.
    void resetSequence();

    // ---- pixel inspector -----------------------------------------------------------------------
    // Mean colour of the current frame's 8-bit view in the (2r+1)^2 box around (x, y) (white near the
    // edges): what the pick of the luminance threshold sees.
    QColor pixelColourAt(int radius, int x, int y) const;
    // The same mean at the frame's own depth (8 or 16 bits), for the inspector's display.
    struct PixelSamples {
        int red = 255, green = 255, blue = 255;
        int bits = 8;
    };
    PixelSamples pixelSamplesAt(int radius, int x, int y) const;
    static float luminanceOf(QColor colour);

    // ---- loading and calibration ---------------------------------------------------------------
    enum class Status { Ok, Unreadable, OutOfMemory };

    // Decodes a frame (a file, or a frame of a capture by its name) as stored: 32-bit RGB for 8 bits
    // per channel, RGBX64 for deeper samples. False (and a null image, with the reason in *error)
    // when it cannot be read; only regular files are read (a FIFO or a device would block or change
    // between passes).
    static bool readImage(const QString& path, QImage& image, const readers::ReadOptions& options = {},
                          QString* error = nullptr);
    // Why readImage fails for the file ("not a regular file", the size beyond the reader's allocation
    // limit, the reader's own message); empty when it can be read.
    static QString readProblem(const QString& path);
    // The reader's allocation limit in MB is raised to the frame cache's budget (never below the
    // toolkit's default), so that any frame the budget can hold can be decoded.
    static void allowFramesOf(qint64 bytes);
    // What loading the file means with the current parameters.
    FrameRequest frameRequest(const QString& path) const;
    // The frame as loadFrame prepares it, through the cache; frameImage is not touched.
    bool loadPrepared(const QString& path, QImage& image);
    // Mean colour of an image (as its 8-bit view sees it), remembered for cached frames.
    QColor meanColourOf(const QImage& image) const;
    // The same when the caller has made the image's 8-bit view (px::view8) already.
    QColor meanColourOf(const QImage& image, const QImage& view8) const;
    // meanColourOf as a function (it captures the engine).
    std::function<QColor(const QImage&, const QImage&)> meanColourFn() const
    {
        return [this](const QImage& image, const QImage& view8) { return meanColourOf(image, view8); };
    }
    // The image enlarged by the supersampling factor when supersampling is on.
    QImage supersampled(const QImage& image) const;
    // Replaces frameImage by the file's image, supersampled and calibrated. On failure frameImage is kept.
    bool loadFrame(const QString& path);
    void preprocessFrame();
    QImage preprocessed(const QImage& image) const;
    // The calibration with the current master dark, gains and floors.
    kernels::Calibration calibration() const;
    // loadFrame, then a zeroed accumulator of the frame's size and offset extents of 0.
    // On failure nothing changes.
    Status prepareSequence(const QString& path);
    // The size frames of the sequence have: sequenceSize, or the current frame's without a sequence.
    QSize frameSizeOfSequence() const { return sequenceSize.isValid() ? sequenceSize : frameImage.size(); }
    // A zeroed accumulator of the sequence's frame size enlarged by the offset extents.
    // On failure the previous accumulator stays.
    Status resizeAccumulator();
    QImage currentFrame() const { return frameImage; }

    // Mean dark of channel c at (x, y): the master dark's sum divided by the number of dark frames
    // summed there; 0 outside the master dark or without one.
    float meanDark(int x, int y, int c) const;

    // ---- dark frames ---------------------------------------------------------------------------
    void setDarkList(const QStringList& paths);
    // How single-channel frames are demosaiced. Dark frames are read the same way, so a change leaves
    // a master dark built before it stale: masterDarkBuilt is cleared and the next stacking run (or
    // the caller) builds it again.
    void setDebayer(readers::Debayer debayer);
    // Builds the master dark from darkList (when a dark sequence is set). Unreadable dark frames and
    // dark frames of another size are named through log and left out (and listed in *leftOut).
    // False when the memory for the master dark cannot be had (the previous master dark then stays).
    // proceed(done, total), when given, is asked before each dark frame (done of total read so far);
    // false stops the build there: the master dark holds the frames summed so far and
    // masterDarkBuilt stays false, so that the next stacking run builds it again.
    bool buildMasterDark(const LogFn& log = LogFn(), QStringList* leftOut = nullptr,
                         const std::function<bool(int done, int total)>& proceed = {});

    // ---- luminance feature alignment ----------------------------------------------------------
    // Analyses frame i as the reference with threshold T; returns the preview. *found tells whether a
    // feature was found; when not, the reference state is left as it was.
    QImage analyzeReference(int index, int threshold, bool* found = nullptr);
    void detectFeature(int index, int threshold);
    // The bookkeeping of a detection whose result is known.
    void recordDetection(int index, int threshold, bool found, int x, int y);
    // False when the frame cannot be read (its record is then marked not aligned and not valid).
    // prepared: the frame's work done ahead with alignSettings() (computed here when null).
    bool alignFrame(int index, const AlignWork* prepared = nullptr);
    AlignSettings alignSettings() const;
    QColor meanColor() const;
    void normalizeColor();
    QImage markFeature() const;
    // The 2R x 2R block of frameImage around the reference centre (outside parts black).
    void cutBasePattern();

    // ---- pattern matching ----------------------------------------------------------------------
    bool refineFrame(int index, const RefineWork* prepared = nullptr);
    RefineSettings refineSettings() const;
    void matchPattern(int radius);
    float patternScore(int tx, int ty) const;

    // ---- stacking and colour -------------------------------------------------------------------
    bool stackFrame(int index);
    // stackFrame for sub-pixel positions: the frame shifted by its exact offset (see
    // kernels::stackFrameShifted); the box filter does not apply.
    bool stackFrameSubPixel(int index);
    // The stacking parameters of the current settings (offset 0).
    kernels::StackParams stackParams() const;
    QImage normalizeStack() const;
    kernels::ColourParams colourParams() const;
    // The colour pipeline's result at 8 bits per channel, and at 16 (Format_RGBX64).
    QImage colorAdjusted() const;
    QImage colorAdjusted16() const;
    // Writes the colour pipeline's result: a FITS name (.fit, .fits, .fts) as 32-bit floats, otherwise
    // at depth 8 or 16 bits per channel in the format the suffix names (16 only for PNG, TIFF, PPM,
    // PGM). On failure nothing is written and *error says why.
    bool saveResult(const QString& path, int depth, QString* error = nullptr) const;
    // saveResult in two steps: the result computed for the path and depth, then written.
    struct Result {
        QImage image;              // 8 or 16 bits per channel
        std::vector<float> values; // FITS: the pipeline's three planes
        int width = 0, height = 0;
        QString refusal;           // why nothing can be written
    };
    Result result(const QString& path, int depth) const;
    static bool writeResult(const Result& result, const QString& path, QString* error = nullptr);
    // colorAdjusted() at every step-th pixel in each axis of the region (null: the whole stack): a quick
    // view while a colour control moves.
    QImage colorPreview(int step, const QRect& region = QRect()) const;

    // ---- quality -------------------------------------------------------------------------------
    float gradientQualityH() const;
    float gradientQualityV() const;
    // gradientQualityH() + gradientQualityV() in one pass over the frame.
    float gradientQuality() const;
};
