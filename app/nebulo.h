#pragma once

#include "mygraphicsview.h"
#include "nebuloform.h"
#include "qualitygraph.h"

#include "batch.h"
#include "stackengine.h"

#include <QMainWindow>
#include <QMessageBox>
#include <QStringList>

#include <functional>

class QAction;
class QCloseEvent;
class QDragEnterEvent;
class QDropEvent;
class QGraphicsItemGroup;
class QGraphicsPixmapItem;
class QGraphicsRectItem;
class QGraphicsScene;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

// The main window: owns the engine, the form, the image view and the status bar, and turns every
// user action into engine operations. It holds no pixel loop of its own.
class Nebulo : public QMainWindow {
    Q_OBJECT
public:
    explicit Nebulo(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    ~Nebulo() override;

    // The dialogs the window asks, replaceable so that tests can answer them.
    struct Prompts {
        std::function<QStringList(QWidget*, const QString& caption, const QString& dir, const QString& filter)> openFileNames;
        std::function<QString(QWidget*, const QString& caption, const QString& dir, const QString& filter)> openFileName;
        std::function<QString(QWidget*, const QString& caption, const QString& dir, const QString& filter)> saveFileName;
        std::function<QMessageBox::StandardButton(const QString& title, const QString& text, const QString& informative)> question;
        std::function<void(QWidget*, const QString& title, const QString& text)> warning;
    };
    Prompts prompts;

    // What the open and save slots do with the names their dialogs returned.
    void openFiles(const QStringList& paths);
    void openDarkFiles(const QStringList& paths);
    // The depth comes from "16 bits per channel"; a FITS name is written as 32-bit floats.
    void saveStackedTo(const QString& path);

    // The display step: the scene shows exactly this image.
    void showImage(const QImage& image);

    // Stacks of more pixels than this follow a moving colour control with a preview of every n-th
    // pixel (at most about previewPixels of them), and show the exact image once the control has
    // rested for colourRestMs.
    qint64 previewAbovePixels = 4000000;
    qint64 previewPixels = 1000000;
    int colourRestMs = 150;

    // A long operation (alignment, refinement, stacking, quality analysis, master dark) is running.
    bool isBusy() const { return busy_; }

    // Where the open dialogs start: the bundled samples when present, else the pictures folder.
    static QString startDirectory();

    QGraphicsScene* scene = nullptr;
    QGraphicsPixmapItem* pixmapItem = nullptr;
    StackEngine engine;
    QStringList fileNames;
    MyGraphicsView* view = nullptr;
    QLabel* lblStatus = nullptr;
    QLabel* lblX = nullptr;
    QLabel* lblY = nullptr;
    QLabel* lblRed = nullptr;
    QLabel* lblGreen = nullptr;
    QLabel* lblBlue = nullptr;
    QLabel* lblLuma = nullptr;
    // Shown in the status bar while a long operation runs.
    QProgressBar* progressBar = nullptr;
    QPushButton* pbCancel = nullptr;
    // Under "Analyze Quality" once a sequence has been rated: every frame's rating and the selection.
    QualityGraph* qualityGraph = nullptr;
    Ui::NebuloClass ui;

    QAction* actionOpenSequence = nullptr;
    QAction* actionSaveStacked = nullptr;
    QAction* actionZoomIn = nullptr;
    QAction* actionZoomOut = nullptr;
    QAction* actionFit = nullptr;
    QAction* actionActualSize = nullptr;
    QLabel* lblZoom = nullptr;
    QAction* actionOpenDark = nullptr;
    QAction* actionOpenDarkSequence = nullptr;

public slots:
    void openFile();
    void findBright();
    void setleWeight(int value);
    void stackall();
    void setgain();
    void openDark();
    void openDarkList();
    void selectFrame();
    void gradientH();
    void adjustColors();
    // A colour control changed: the exact image, or for a large stack a preview now and the exact
    // image when the controls rest.
    void colourControlChanged();
    void alignall();
    void refineall();
    void stackall2();
    void savestacked();
    void updatemouseinfo(QMouseEvent* e);
    void setStackingData(QMouseEvent* e);
    void setPreviewDarkframe();
    void setPreviewGain(double value);
    void setDarkframeGain(double value);
    // Asks the running long operation to stop before its next frame (the "Cancel" button, Esc).
    void cancelOperation();
    // Ends the drag that chooses the surface patch.
    void finishSurfaceDrag(QMouseEvent* e);
    // Shows or hides the alignment points over the stack ("Show alignment points").
    void updateAlignmentPointOverlay();

    // Rewrites Frame Info for the current row.
    void showFrameInfo();

protected:
    void closeEvent(QCloseEvent* event) override;
    // Image files (or a SER file) dropped onto the window open as a sequence.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    class LongOperation;
    friend class LongOperation;

    void log(const QString& line);
    // The "Debayer:" choice into the engine's reading options.
    void readDebayer();
    // Builds the master dark from the engine's dark list, with progress, cancel and the log line.
    void buildMasterDarkNow();
    batch::Progress progress();
    // The inspector; false when the position is not reported. *luma receives the luminance shown.
    bool inspect(QMouseEvent* e, int* luma);
    void clearPatternThumbnails();
    // Alignment and refinement read the stacking filter and the search radius afresh.
    void copyPositionRunControls();
    void copyColourControls();
    // A preview image of the part of the stack from origin, each of its pixels covering step x step,
    // in a scene of the whole stack's extent.
    void showPreview(const QImage& image, int step, const QPoint& origin, const QSize& extent);

    // Where the open and save dialogs start: the folder used last in this run.
    QString dialogDirectory(bool open) const;
    void rememberDirectory(const QString& path);
    // The quality graph for the records, the list's check marks and the selection's threshold.
    void showQualityGraph(double threshold);
    // Dark frames of another size than the light frames are announced in a warning box.
    void checkDarkSize();
    // The input (light frame, dark frame, master dark file) that is the file at path; empty when none is.
    QString inputAt(const QString& path) const;
    // The alignment mode and what it needs: the planet's threshold, the surface patch.
    void copyAlignmentControls();
    void copyMultiPointControls();
    // The image pixel under the pointer (clamped to the image), and the patch dragged so far.
    QPoint imagePixelUnder(QMouseEvent* e) const;
    QRect draggedPatch(QMouseEvent* e) const;
    // The stack (colour-adjusted) on display, with the alignment points over it when they are shown.
    void showStack(const QImage& image);

    bool busy_ = false;
    QTimer* colourRest_ = nullptr;
    bool cancelRequested_ = false;
    bool followLog_ = true;
    QString lastDirectory_;
    // The master dark opened from a file ("Open Darkframe"), an input the result may not replace.
    QString darkFile_;

    // The surface patch the user dragged in the view (null: chosen automatically), and the drag.
    QRect surfacePatch_;
    bool dragging_ = false;
    QPoint dragStart_;
    QGraphicsRectItem* dragItem_ = nullptr;
    // The view shows the stack; the overlay of alignment points over it (owned by the scene).
    bool stackShown_ = false;
    QGraphicsItemGroup* pointOverlay_ = nullptr;
};
