#include "nebulo.h"

#include "alignment.h"
#include "pixel.h"
#include "readers.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QImageReader>
#include <QMimeData>
#include <QScrollBar>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGraphicsItemGroup>
#include <QGraphicsPixmapItem>
#include <QGraphicsRectItem>
#include <QGraphicsScene>
#include <QLabel>
#include <QListWidgetItem>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <QStyleFactory>
#include <QToolButton>
#include <QStyleOptionViewItem>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

const char kSequenceFilter[] =
    "SER video (*.ser);;Portable Network Graphics (*.png);;Windows Bitmap (*.bmp);;JPG (*.jpg);;JPEG (*.jpeg);;"
    "Multiple-Image Network Graphics (*.mng);;Portable Bitmap (*.pbm);;Portable Graymap (*.pgm);;"
    "Portable Pixmap (*.ppm);;Tagged Image File Format (*.tif);;X11 Bitmap (*.xbm);;X11 Pixmap (*.xpm);;"
    "Flexible Image Transport System (*.fit *.fits *.fts);;All files (*.*)";

const char kSaveFilter[] =
    "Portable Network Graphics (*.png);;Windows Bitmap (*.bmp);;JPG (*.jpg);;JPEG (*.jpeg);;"
    "Portable Pixmap (*.ppm);;Tagged Image File Format (*.tif);;X11 Bitmap (*.xbm);;X11 Pixmap (*.xpm)";

QString yesNo(bool value) { return value ? QStringLiteral("yes") : QStringLiteral("no"); }

// Name order in which runs of digits compare by their value: frame_9 before frame_10.
bool namedBefore(const QString& a, const QString& b)
{
    int i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a.at(i).isDigit() && b.at(j).isDigit()) {
            int ei = i, ej = j;
            while (ei < a.size() && a.at(ei).isDigit())
                ++ei;
            while (ej < b.size() && b.at(ej).isDigit())
                ++ej;
            // Compare the runs without their leading zeros: longer is larger, else digit by digit.
            QStringView x = QStringView(a).mid(i, ei - i), y = QStringView(b).mid(j, ej - j);
            while (x.size() > 1 && x.front() == QLatin1Char('0'))
                x = x.mid(1);
            while (y.size() > 1 && y.front() == QLatin1Char('0'))
                y = y.mid(1);
            if (x.size() != y.size())
                return x.size() < y.size();
            if (const int c = x.compare(y); c != 0)
                return c < 0;
            i = ei;
            j = ej;
            continue;
        }
        if (a.at(i) != b.at(j))
            return a.at(i) < b.at(j);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}
// The items of "Alignment mode:": "Pattern" and "Luminance" both align on the bright feature.
constexpr int kPlanetItem = 2;
constexpr int kSurfaceItem = 3;

// A dragged patch smaller than this (either side) is taken as a click: the patch is chosen again
// automatically.
constexpr int kMinimumPatch = 16;
// The frame list's text for a frame: the file name, followed by "#n" for frame n of a capture.
QString frameLabel(const QString& name)
{
    int number = 0;
    const QString file = QFileInfo(readers::sourceFile(name, &number)).fileName();
    return number > 0 ? readers::frameName(file, number) : file;
}

} // namespace

// While a long operation runs the toolkit processes events between frames; the controls that would
// start another long operation (or change what the running one reads) are disabled until it ends.
class Nebulo::LongOperation {
public:
    explicit LongOperation(Nebulo* window)
        : window_(window)
    {
        Ui::NebuloClass& ui = window->ui;
        const std::vector<QWidget*> controls = {
            ui.pbImages, ui.pbDarks, ui.comboDebayer, ui.pbQSelect, ui.sbQPerc, ui.sbQFrames, ui.cbMinQuality,
            ui.cbPreviewDarkframe, ui.sbPreviewGain, ui.sbDFGain, ui.pbWeight, ui.sbWeight, ui.sbFilter,
            ui.sbSearchRadius, ui.pbAlign, ui.pbRefine, ui.pbStack2, ui.sbStackFilter, ui.pbSaveStacked,
            ui.comboBox, ui.cbAlignPoints, ui.sbApSize, ui.sbApSearch, ui.sbApKeep, ui.sbApMinStructure,
            ui.sbApMinBrightness,
        };
        for (QWidget* w : controls) {
            states_.push_back({w, w->isEnabled()});
            w->setEnabled(false);
        }
        window->busy_ = true;
        window->cancelRequested_ = false;
        window->progressBar->setRange(0, 0);
        window->progressBar->setValue(0);
        window->progressBar->show();
        window->pbCancel->setEnabled(true);
        window->pbCancel->show();
    }
    ~LongOperation()
    {
        for (const auto& s : states_)
            s.first->setEnabled(s.second);
        window_->busy_ = false;
        window_->cancelRequested_ = false;
        window_->progressBar->hide();
        window_->pbCancel->hide();
        window_->lblStatus->setText(QStringLiteral("Ready."));
        window_->showFrameInfo();
    }
    LongOperation(const LongOperation&) = delete;
    LongOperation& operator=(const LongOperation&) = delete;

private:
    Nebulo* window_;
    std::vector<std::pair<QWidget*, bool>> states_;
};

Nebulo::Nebulo(QWidget* parent, Qt::WindowFlags flags)
    : QMainWindow(parent, flags)
{
    prompts.openFileNames = [](QWidget* p, const QString& caption, const QString& dir, const QString& filter) {
        return QFileDialog::getOpenFileNames(p, caption, dir, filter);
    };
    prompts.openFileName = [](QWidget* p, const QString& caption, const QString& dir, const QString& filter) {
        return QFileDialog::getOpenFileName(p, caption, dir, filter);
    };
    prompts.saveFileName = [](QWidget* p, const QString& caption, const QString& dir, const QString& filter) {
        return QFileDialog::getSaveFileName(p, caption, dir, filter);
    };
    prompts.question = [](const QString& title, const QString& text, const QString& informative) {
        QMessageBox box;
        box.setWindowTitle(title);
        box.setText(text);
        box.setInformativeText(informative);
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setIcon(QMessageBox::Question);
        return QMessageBox::StandardButton(box.exec());
    };
    prompts.warning = [](QWidget* p, const QString& title, const QString& text) { QMessageBox::warning(p, title, text); };

    ui.setupUi(this);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    actionOpenSequence = new QAction(tr("Open Image Sequence..."), this);
    actionOpenDark = new QAction(tr("Open Darkframe..."), this);
    actionOpenDarkSequence = new QAction(tr("Open Darkframe Sequence..."), this);
    ui.menu_File->addAction(actionOpenSequence);
    ui.menu_File->addSeparator();
    ui.menu_File->addAction(actionOpenDark);
    ui.menu_File->addAction(actionOpenDarkSequence);

    connect(actionOpenSequence, &QAction::triggered, this, &Nebulo::openFile);
    // The menu bar is hidden, so the window itself carries the actions whose shortcuts it offers.
    actionOpenSequence->setShortcut(QKeySequence::Open);
    actionSaveStacked = new QAction(tr("Save Stacked Image as..."), this);
    actionSaveStacked->setShortcut(QKeySequence::Save);
    connect(actionSaveStacked, &QAction::triggered, this, &Nebulo::savestacked);
    addAction(actionOpenSequence);
    addAction(actionSaveStacked);
    connect(ui.pbWeight, &QPushButton::clicked, this, &Nebulo::findBright);
    connect(ui.sbWeight, &QSpinBox::valueChanged, this, &Nebulo::findBright);
    connect(ui.pbImages, &QPushButton::clicked, this, &Nebulo::openFile);
    connect(actionOpenDark, &QAction::triggered, this, &Nebulo::openDark);
    connect(actionOpenDarkSequence, &QAction::triggered, this, &Nebulo::openDarkList);
    connect(ui.pbDarks, &QPushButton::clicked, this, &Nebulo::openDarkList);
    connect(ui.lwFrames, &QListWidget::currentRowChanged, this, &Nebulo::selectFrame);
    // A new pattern shows at once on the current frame; the loops read it when they load frames.
    // A master dark built already is built again from the dark frames read the new way.
    connect(ui.comboDebayer, &QComboBox::currentIndexChanged, this, [this] {
        const bool built = engine.darkSequenceLoaded && engine.masterDarkBuilt;
        readDebayer();
        if (built && !engine.masterDarkBuilt)
            buildMasterDarkNow();
        selectFrame();
    });
    connect(ui.actionGradientH, &QAction::triggered, this, &Nebulo::gradientH);
    for (QDoubleSpinBox* box : {ui.sbContrastR, ui.sbContrastG, ui.sbContrastB, ui.sbGammaR, ui.sbGammaG, ui.sbGammaB,
                                ui.sbGainR, ui.sbGainG, ui.sbGainB, ui.sbOffsetR, ui.sbOffsetG, ui.sbOffsetB})
        connect(box, &QDoubleSpinBox::valueChanged, this, &Nebulo::colourControlChanged);
    connect(ui.sbDHStrength, &QSpinBox::valueChanged, this, &Nebulo::colourControlChanged);
    connect(ui.sbDHGain, &QDoubleSpinBox::valueChanged, this, &Nebulo::colourControlChanged);
    connect(ui.cblvb, &QCheckBox::clicked, this, &Nebulo::colourControlChanged);
    connect(ui.sblvb, &QSpinBox::valueChanged, this, &Nebulo::colourControlChanged);
    connect(ui.sblvbBlend, &QDoubleSpinBox::valueChanged, this, &Nebulo::colourControlChanged);
    colourRest_ = new QTimer(this);
    colourRest_->setSingleShot(true);
    connect(colourRest_, &QTimer::timeout, this, &Nebulo::adjustColors);
    connect(ui.pbAlign, &QPushButton::clicked, this, &Nebulo::alignall);
    connect(ui.pbRefine, &QPushButton::clicked, this, &Nebulo::refineall);
    connect(ui.pbStack2, &QPushButton::clicked, this, &Nebulo::stackall2);
    connect(ui.pbSaveStacked, &QPushButton::clicked, this, &Nebulo::savestacked);
    connect(ui.pbQSelect, &QPushButton::clicked, this, &Nebulo::gradientH);
    connect(ui.sbQFrames, &QSpinBox::valueChanged, this, &Nebulo::gradientH);
    connect(ui.sbQPerc, &QDoubleSpinBox::valueChanged, this, &Nebulo::gradientH);
    connect(ui.cbPreviewDarkframe, &QCheckBox::clicked, this, &Nebulo::setPreviewDarkframe);
    connect(ui.sbPreviewGain, &QDoubleSpinBox::valueChanged, this, &Nebulo::setPreviewGain);
    connect(ui.sbDFGain, &QDoubleSpinBox::valueChanged, this, &Nebulo::setDarkframeGain);

    // The quality graph sits under "Analyze Quality", beside the controls that set its threshold.
    qualityGraph = new QualityGraph(ui.groupBox_7);
    if (auto* grid = qobject_cast<QGridLayout*>(ui.groupBox_7->layout()))
        grid->addWidget(qualityGraph, 4, 0, 1, 2);
    qualityGraph->hide();
    ui.fitLeftColumn();
    connect(qualityGraph, &QualityGraph::frameClicked, this, [this](int frame) { ui.lwFrames->setCurrentRow(frame); });
    connect(ui.lwFrames, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
        qualityGraph->setKept(ui.lwFrames->row(item), item->checkState() == Qt::Checked);
    });

    ui.menuBar->setVisible(false);
    ui.mainToolBar->setVisible(false);

    scene = new QGraphicsScene;
    scene->setSceneRect(0, 0, ui.gvMain->width() - 2, ui.gvMain->height() - 2);
    view = new MyGraphicsView;
    ui.verticalLayout->insertWidget(0, view);
    view->setMinimumSize(200, 150);
    actionZoomIn = new QAction(tr("Zoom In"), this);
    actionZoomIn->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Plus), QKeySequence(Qt::CTRL | Qt::Key_Equal)});
    actionZoomOut = new QAction(tr("Zoom Out"), this);
    actionZoomOut->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Minus));
    actionFit = new QAction(tr("Fit"), this);
    actionFit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_0));
    actionFit->setToolTip(tr("Show the whole image (Ctrl+0)"));
    actionActualSize = new QAction(tr("100%"), this);
    actionActualSize->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_1));
    actionActualSize->setToolTip(tr("One image pixel per screen pixel (Ctrl+1)"));
    connect(actionZoomIn, &QAction::triggered, view, &MyGraphicsView::zoomIn);
    connect(actionZoomOut, &QAction::triggered, view, &MyGraphicsView::zoomOut);
    connect(actionFit, &QAction::triggered, view, &MyGraphicsView::fitToWindow);
    connect(actionActualSize, &QAction::triggered, view, &MyGraphicsView::actualSize);
    addActions({actionZoomIn, actionZoomOut, actionFit, actionActualSize});
    connect(view, &MyGraphicsView::mgvMouseMoved, this, &Nebulo::updatemouseinfo);
    connect(view, &MyGraphicsView::mgvMousePressed, this, &Nebulo::setStackingData);
    connect(view, &MyGraphicsView::mgvMouseReleased, this, &Nebulo::finishSurfaceDrag);
    connect(ui.cbShowPoints, &QCheckBox::toggled, this, &Nebulo::updateAlignmentPointOverlay);
    ui.gvMain->hide();
    ui.gvMain->setScene(scene);
    view->setScene(scene);
    view->setMouseTracking(true);
    view->setCursor(Qt::CrossCursor);

    lblStatus = new QLabel(QStringLiteral("Ready."));
    lblX = new QLabel(QStringLiteral("X: "));
    lblY = new QLabel(QStringLiteral("Y: "));
    lblRed = new QLabel(QStringLiteral("Red: "));
    lblGreen = new QLabel(QStringLiteral("Green: "));
    lblBlue = new QLabel(QStringLiteral("Blue: "));
    lblLuma = new QLabel(QStringLiteral("Luma: "));
    for (QLabel* label : {lblStatus, lblX, lblY, lblRed, lblGreen, lblBlue, lblLuma})
        ui.statusBar->addWidget(label);
    lblZoom = new QLabel(QStringLiteral("100%"));
    lblZoom->setObjectName(QStringLiteral("lblZoom"));
    auto* fitButton = new QToolButton;
    fitButton->setObjectName(QStringLiteral("tbFit"));
    fitButton->setDefaultAction(actionFit);
    auto* actualButton = new QToolButton;
    actualButton->setObjectName(QStringLiteral("tbActualSize"));
    actualButton->setDefaultAction(actionActualSize);
    ui.statusBar->addPermanentWidget(lblZoom);
    ui.statusBar->addPermanentWidget(fitButton);
    ui.statusBar->addPermanentWidget(actualButton);
    connect(view, &MyGraphicsView::zoomChanged, this, [this](double zoom) {
        lblZoom->setText(QString::number(zoom * 100.0, 'f', zoom < 0.1 ? 1 : 0) + QStringLiteral("%"));
    });
    progressBar = new QProgressBar;
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setTextVisible(true);
    progressBar->setFormat(QStringLiteral("%v / %m"));
    progressBar->hide();
    pbCancel = new QPushButton(tr("Cancel"));
    pbCancel->setObjectName(QStringLiteral("pbCancel"));
    pbCancel->setToolTip(tr("Stop the running operation after the current frame (Esc)"));
    pbCancel->hide();
    ui.statusBar->addPermanentWidget(progressBar);
    ui.statusBar->addPermanentWidget(pbCancel);
    connect(pbCancel, &QPushButton::clicked, this, &Nebulo::cancelOperation);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setContext(Qt::WindowShortcut);
    connect(escape, &QShortcut::activated, this, &Nebulo::cancelOperation);

    // The log follows new lines until the user scrolls up, and again once they scroll to the end.
    {
        QScrollBar* bar = ui.teDebug->verticalScrollBar();
        connect(bar, &QAbstractSlider::actionTriggered, this, [this, bar](int) {
            followLog_ = bar->sliderPosition() >= bar->maximum();
        });
        connect(bar, &QAbstractSlider::rangeChanged, this, [this, bar](int, int maximum) {
            if (followLog_)
                bar->setValue(maximum);
        });
    }
    setAcceptDrops(true);

    log(QStringLiteral("Nebulo v0.1.2"));
    log(QStringLiteral("Stacking for imagers of the planets and the Moon."));
    log(QStringLiteral("Built on the Qt toolkit."));
    log(QString());
    log(QStringLiteral("Ready."));
}

Nebulo::~Nebulo()
{
    delete scene;
}

QString Nebulo::startDirectory()
{
#ifdef NEBULO_SAMPLES_DIR
    const QString samples = QStringLiteral(NEBULO_SAMPLES_DIR);
    if (QDir(samples).exists())
        return samples;
#endif
    const QString nextToProgram = QCoreApplication::applicationDirPath() + QStringLiteral("/../samples");
    if (QDir(nextToProgram).exists())
        return QDir::cleanPath(nextToProgram);
    return QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
}

void Nebulo::readDebayer()
{
    static const readers::Debayer choices[] = {readers::Debayer::Auto, readers::Debayer::None, readers::Debayer::RGGB,
                                               readers::Debayer::GRBG, readers::Debayer::GBRG, readers::Debayer::BGGR};
    const int index = ui.comboDebayer->currentIndex();
    engine.setDebayer(index >= 0 && index < 6 ? choices[index] : readers::Debayer::Auto);
}

void Nebulo::buildMasterDarkNow()
{
    lblStatus->setText(tr("Building master darkframe..."));
    QCoreApplication::processEvents();
    const LongOperation operation(this);
    QStringList leftOut;
    batch::buildMasterDark(engine, progress(), &leftOut);
    if (engine.masterDarkBuilt && engine.masterDark)
        log(batch::masterDarkLine(int(engine.darkList.size() - leftOut.size())));
    lblStatus->setText(tr("Ready."));
}

void Nebulo::log(const QString& line)
{
    ui.teDebug->append(line);
    if (followLog_) {
        QScrollBar* bar = ui.teDebug->verticalScrollBar();
        bar->setValue(bar->maximum());
    }
}

batch::Progress Nebulo::progress()
{
    batch::Progress p;
    p.status = [this](const QString& text) { lblStatus->setText(text); };
    p.log = [this](const QString& line) { log(line); };
    p.show = [this](const QImage& image) { showImage(image); };
    p.yield = [] { QCoreApplication::processEvents(); };
    p.advance = [this](int done, int total) {
        progressBar->setRange(0, std::max(total, 1));
        progressBar->setValue(std::min(done, std::max(total, 1)));
    };
    p.cancel = [this] { return cancelRequested_; };
    p.selected = [this](int index) {
        const QListWidgetItem* item = ui.lwFrames->item(index);
        return item && item->checkState() == Qt::Checked;
    };
    return p;
}

void Nebulo::showImage(const QImage& image)
{
    auto* item = new QGraphicsPixmapItem(QPixmap::fromImage(image));
    pixmapItem = item;
    // Clearing the scene deletes the overlays with everything else.
    pointOverlay_ = nullptr;
    dragItem_ = nullptr;
    dragging_ = false;
    stackShown_ = false;
    scene->clear();
    scene->setSceneRect(0, 0, image.width(), image.height());
    scene->addItem(item);
    view->sceneChanged();
}

void Nebulo::clearPatternThumbnails()
{
    ui.lblRefSource->clear();
    ui.lblRefUnref->clear();
    ui.lblRefComp->clear();
}

// ---- image sequence --------------------------------------------------------------------------

void Nebulo::openFile()
{
    if (busy_)
        return;
    openFiles(prompts.openFileNames(this, tr("Open Image Sequence..."), dialogDirectory(true), tr(kSequenceFilter)));
}

void Nebulo::openFiles(const QStringList& chosen)
{
    if (chosen.isEmpty() || busy_)
        return;
    // A capture stands for its frames, one row, path and record each.
    QStringList paths, notes;
    QString error;
    if (!readers::expandSequence(chosen, &paths, &notes, &error)) {
        prompts.warning(this, tr("Open Image Sequence"), tr("%1\n\nNothing was opened.").arg(error));
        return;
    }
    readDebayer();
    // The first frame sizes the stacking image; nothing changes unless it can be read.
    switch (engine.prepareSequence(paths.first())) {
    case StackEngine::Status::Ok:
        break;
    case StackEngine::Status::Unreadable:
        prompts.warning(this, tr("Open Image Sequence"),
                        tr("The first image of the sequence cannot be read:\n%1\n\nNothing was opened.").arg(paths.first()));
        return;
    case StackEngine::Status::OutOfMemory:
        prompts.warning(this, tr("Open Image Sequence"),
                        tr("There is not enough memory to stack images of the size of\n%1\n\nNothing was opened.").arg(paths.first()));
        return;
    }

    // A new sequence replaces the old one everywhere, so one index names the same file in the path
    // list, the frame table and the frame list.
    engine.resetSequence();
    surfacePatch_ = QRect();
    fileNames = paths;
    rememberDirectory(paths.first());
    engine.addFrames(paths);
    // The result keeps more than 8 bits when the frames have them (the user may change that).
    ui.cbDepth16->setChecked(px::isDeep(engine.currentFrame()));
    view->fitToWindow();
    showImage(engine.currentFrame());
    clearPatternThumbnails();
    ui.sbQPerc->setEnabled(false);
    ui.sbQFrames->setEnabled(false);
    qualityGraph->hide();
    qualityGraph->setFrames({}, {});
    {
        const QSignalBlocker blocker(ui.lwFrames);
        ui.lwFrames->clear();
    }
    // Rows as wide as the list, whatever the name's length: the list elides long names.
    QStyleOptionViewItem option;
    option.initFrom(ui.lwFrames);
    option.font = ui.lwFrames->font();
    option.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
    int rowHeight = -1;
    for (const QString& line : notes)
        log(line);
    for (const QString& path : paths) {
        auto* item = new QListWidgetItem(frameLabel(path), ui.lwFrames);
        item->setToolTip(QDir::toNativeSeparators(path));
        if (rowHeight < 0) {
            option.text = item->text();
            rowHeight = ui.lwFrames->itemDelegate()->sizeHint(option, ui.lwFrames->model()->index(0, 0)).height();
        }
        item->setSizeHint(QSize(1, rowHeight));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Checked);
    }
    ui.lwFrames->setCurrentRow(0);
    // Dark frames opened before the light frames are compared now.
    checkDarkSize();
}

void Nebulo::selectFrame()
{
    const int row = ui.lwFrames->currentRow();
    if (row < 0 || row >= fileNames.size())
        return;
    const bool loaded = engine.loadFrame(fileNames.at(row));
    if (!loaded)
        log(batch::unreadableLine(fileNames.at(row)));
    const FrameRecord record = engine.frames->record(ui.lwFrames->currentRow());
    if (loaded) {
        QImage marked = engine.currentFrame().copy();
        if (record.aligned) {
            const QRgb colour = record.valid ? qRgb(255, 255, 255) : qRgb(255, 0, 0);
            kernels::drawSquare(marked, record.x, record.y, engine.searchRadius, colour);
        }
        showImage(marked);
    }
    showFrameInfo();
}

void Nebulo::showFrameInfo()
{
    const int row = ui.lwFrames->currentRow();
    if (row < 0 || row >= fileNames.size())
        return;
    const FrameRecord record = engine.frames->record(row);
    ui.teFrameInfo->clear();
    ui.teFrameInfo->append(QStringLiteral("X: ") + QString::number(record.x));
    ui.teFrameInfo->append(QStringLiteral("Y: ") + QString::number(record.y));
    ui.teFrameInfo->append(QStringLiteral("Valid: ") + yesNo(record.valid));
    ui.teFrameInfo->append(QStringLiteral("Aligned: ") + yesNo(record.aligned));
    ui.teFrameInfo->append(QStringLiteral("Stacked: ") + yesNo(record.stacked));
    ui.teFrameInfo->append(QStringLiteral("Refined: ") + yesNo(record.refined));
    ui.teFrameInfo->append(QStringLiteral("Quality: ") + QString::number(record.quality, 'g', 6) + QStringLiteral("%"));
    const QDateTime taken = readers::frameTime(fileNames.at(row));
    if (taken.isValid())
        ui.teFrameInfo->append(QStringLiteral("Time: ") + taken.toString(Qt::ISODateWithMs));
}

// ---- reference and alignment ----------------------------------------------------------------

void Nebulo::findBright()
{
    if (busy_)
        return;
    batch::ReferenceRequest request;
    request.index = ui.lwFrames->currentRow();
    request.threshold = ui.sbWeight->value();
    request.filter = ui.sbFilter->value();
    request.radius = ui.sbSearchRadius->value();
    request.scale = ui.cbSubpixel->isChecked() ? ui.sbScale->value() : 1;
    if (fileNames.isEmpty() || request.index < 0) {
        log(batch::pickMessage(batch::PickResult::NoSequence, engine, request));
        return;
    }
    QImage preview;
    const batch::PickResult result = batch::pickReference(engine, request, &preview);
    if (!preview.isNull())
        showImage(preview);
    if (result != batch::PickResult::Ok) {
        log(batch::pickMessage(result, engine, request));
        return;
    }
    ui.lblRefSource->setPixmap(QPixmap::fromImage(engine.basePattern));
    showFrameInfo();
}

void Nebulo::copyPositionRunControls()
{
    // Without a target the run is refused and nothing is taken over.
    if (engine.referenceReady) {
        engine.stackFilter = ui.sbStackFilter->value();
        engine.searchRadius = ui.sbSearchRadius->value();
    }
}

void Nebulo::copyAlignmentControls()
{
    switch (ui.comboBox->currentIndex()) {
    case kPlanetItem:
        engine.alignMode = AlignMode::Planet;
        break;
    case kSurfaceItem:
        engine.alignMode = AlignMode::Surface;
        break;
    default:
        engine.alignMode = AlignMode::Feature;
        break;
    }
    if (engine.alignMode == AlignMode::Feature)
        return;
    // The planet's disk starts at the threshold the user picked on the target; without a pick the
    // threshold between sky and disk is found in every frame.
    engine.planetThreshold = engine.referenceReady ? engine.lumaThreshold : -1;
    engine.surfacePatch = surfacePatch_;
    engine.stackFilter = ui.sbStackFilter->value();
    engine.searchRadius = ui.sbSearchRadius->value();
}

void Nebulo::alignall()
{
    if (busy_)
        return;
    copyAlignmentControls();
    copyPositionRunControls();
    const LongOperation operation(this);
    batch::alignAll(engine, progress());
}

void Nebulo::refineall()
{
    if (busy_)
        return;
    copyPositionRunControls();
    const LongOperation operation(this);
    batch::Progress p = progress();
    p.show = [this](const QImage& image) {
        ui.lblRefComp->setPixmap(QPixmap::fromImage(engine.alignedPattern));
        ui.lblRefUnref->setPixmap(QPixmap::fromImage(engine.currentPattern));
        showImage(image);
    };
    batch::refineAll(engine, p);
}

// ---- stacking, colour, output --------------------------------------------------------------

void Nebulo::stackall2()
{
    if (busy_)
        return;
    if (fileNames.isEmpty()) {
        log(tr("Open an image sequence first."));
        return;
    }
    if (ui.cbPreviewDarkframe->isChecked()) {
        const auto answer = prompts.question(
            tr("Preprocessing active"),
            tr("Preprocessing is active. For best stacking results preprocessing should be deactivated as it may lead to unexpected results."),
            tr("Deactivate it now?"));
        if (answer == QMessageBox::Yes) {
            ui.cbPreviewDarkframe->setChecked(false);
            engine.previewDarkframe = false;
        }
    }
    engine.minusR = ui.sbMinusR->value();
    engine.minusG = ui.sbMinusG->value();
    engine.minusB = ui.sbMinusB->value();
    engine.stackFilter = ui.sbStackFilter->value();
    engine.searchRadius = ui.sbSearchRadius->value();
    engine.luma = ui.cbLuma->isChecked();
    engine.lumaWeightR = ui.sbLRed->value();
    engine.lumaWeightG = ui.sbLGreen->value();
    engine.lumaWeightB = ui.sbLBlue->value();
    copyMultiPointControls();
    {
        const LongOperation operation(this);
        batch::stackAll(engine, progress());
    }
    // The last image the run showed is the stack.
    stackShown_ = engine.stackReady;
    updateAlignmentPointOverlay();
}

void Nebulo::copyMultiPointControls()
{
    engine.multiPoint.enabled = ui.cbAlignPoints->isChecked();
    engine.multiPoint.boxSize = ui.sbApSize->value();
    engine.multiPoint.search = ui.sbApSearch->value();
    engine.multiPoint.keepPercent = ui.sbApKeep->value();
    engine.multiPoint.minStructure = ui.sbApMinStructure->value();
    engine.multiPoint.minBrightness = ui.sbApMinBrightness->value();
}

void Nebulo::showStack(const QImage& image)
{
    showImage(image);
    stackShown_ = true;
    updateAlignmentPointOverlay();
}

void Nebulo::updateAlignmentPointOverlay()
{
    if (pointOverlay_) {
        scene->removeItem(pointOverlay_);
        delete pointOverlay_; // and its boxes
        pointOverlay_ = nullptr;
    }
    if (!stackShown_ || !ui.cbShowPoints->isChecked() || engine.alignmentPoints.empty())
        return;
    // The points are kept in the reference frame's coordinates; the stack's canvas starts maxDx,
    // maxDy pixels before the reference frame.
    QPen pen(QColor(80, 220, 80));
    pen.setCosmetic(true);
    QList<QGraphicsItem*> boxes;
    for (const AlignmentPoint& ap : engine.alignmentPoints) {
        const double half = ap.size / 2.0;
        auto* box = new QGraphicsRectItem(ap.x + engine.maxDx - half, ap.y + engine.maxDy - half, ap.size, ap.size);
        box->setPen(pen);
        scene->addItem(box);
        boxes << box;
    }
    pointOverlay_ = scene->createItemGroup(boxes);
}

void Nebulo::stackall()
{
    // Kept for the menu-less interface; the stacking button runs stackall2().
}

void Nebulo::adjustColors()
{
    if (busy_)
        return;
    if (fileNames.isEmpty() || !engine.accumulator) {
        log(tr("Open an image sequence and stack it first."));
        return;
    }
    lblStatus->setText(tr("Color adjustment..."));
    QCoreApplication::processEvents();
    copyColourControls();
    QCoreApplication::processEvents();
    if (!engine.accumulator)
        return; // a nested operation may have replaced the accumulator while events were processed
    showStack(engine.colorAdjusted());
    lblStatus->setText(tr("Ready."));
}

void Nebulo::copyColourControls()
{
    engine.downhillGain = float(ui.sbDHGain->value());
    engine.downhillStrength = ui.sbDHStrength->value();
    engine.hillFunc = ui.cbHillFunc->isChecked();
    engine.downhillFunc = ui.cbDownHillFunc->isChecked();
    engine.lowValueBoost = ui.cblvb->isChecked();
    engine.lvbBlend = float(ui.sblvbBlend->value());
    engine.lvbExponent = ui.sblvb->value();
    engine.gammaR = float(ui.sbGammaR->value());
    engine.gammaG = float(ui.sbGammaG->value());
    engine.gammaB = float(ui.sbGammaB->value());
    engine.contrastR = float(ui.sbContrastR->value());
    engine.contrastG = float(ui.sbContrastG->value());
    engine.contrastB = float(ui.sbContrastB->value());
    engine.gainR = float(ui.sbGainR->value());
    engine.gainG = float(ui.sbGainG->value());
    engine.gainB = float(ui.sbGainB->value());
    engine.offsetR = float(ui.sbOffsetR->value());
    engine.offsetG = float(ui.sbOffsetG->value());
    engine.offsetB = float(ui.sbOffsetB->value());
    engine.lumaOut = ui.cbLumaOut->isChecked();
    engine.lumaWeightR = ui.sbLRed->value();
    engine.lumaWeightG = ui.sbLGreen->value();
    engine.lumaWeightB = ui.sbLBlue->value();
}

void Nebulo::colourControlChanged()
{
    if (busy_)
        return;
    const FloatImage* acc = engine.accumulator.get();
    const qint64 pixels = acc ? qint64(acc->width) * acc->height : 0;
    if (fileNames.isEmpty() || pixels <= previewAbovePixels) {
        adjustColors();
        return;
    }
    copyColourControls();
    // Only what the view shows, at most one sample per screen pixel and at most previewPixels.
    const QRect whole(0, 0, acc->width, acc->height);
    QRect region = view->mapToScene(view->viewport()->rect()).boundingRect().toAlignedRect() & whole;
    if (region.isEmpty())
        region = whole;
    int step = std::max(1, int(std::ceil(1.0 / view->zoom() - 1e-9)));
    const qint64 regionPixels = qint64(region.width()) * region.height();
    while (regionPixels / (qint64(step) * step) > previewPixels)
        ++step;
    showPreview(engine.colorPreview(step, region), step, region.topLeft(), whole.size());
    colourRest_->start(colourRestMs);
}

void Nebulo::showPreview(const QImage& image, int step, const QPoint& origin, const QSize& extent)
{
    auto* item = new QGraphicsPixmapItem(QPixmap::fromImage(image));
    item->setPos(origin);
    item->setScale(step);
    pixmapItem = item;
    scene->clear();
    scene->setSceneRect(0, 0, extent.width(), extent.height());
    scene->addItem(item);
    view->sceneChanged();
}

void Nebulo::savestacked()
{
    if (busy_)
        return;
    if (fileNames.isEmpty() || !engine.stackReady) {
        log(tr("Nothing to save yet: open an image sequence and stack it first."));
        return;
    }
    const QString name = prompts.saveFileName(this, tr("Save stacked image..."), dialogDirectory(false), tr(kSaveFilter));
    if (name.isEmpty())
        return;
    saveStackedTo(name);
}

QString Nebulo::inputAt(const QString& path) const
{
    const QString frame = readers::inputAt(path, fileNames);
    if (!frame.isEmpty())
        return tr("the frame %1").arg(QDir::toNativeSeparators(frame));
    QStringList darks = engine.darkList;
    if (!darkFile_.isEmpty())
        darks << darkFile_;
    const QString dark = readers::inputAt(path, darks);
    return dark.isEmpty() ? QString() : tr("the dark frame %1").arg(QDir::toNativeSeparators(dark));
}

void Nebulo::saveStackedTo(const QString& path)
{
    rememberDirectory(path);
    const QString input = inputAt(path);
    if (!input.isEmpty()) {
        prompts.warning(this, tr("Save failed"),
                        tr("The stacked image was not saved.\n%1 is %2, an input of the stack; choose another file.")
                            .arg(QDir::toNativeSeparators(path), input));
        return;
    }
    const int depth = ui.cbDepth16->isChecked() ? 16 : 8;
    const StackEngine::Result result = engine.result(path, depth);
    QString error = result.refusal;
    if (!error.isEmpty() || !StackEngine::writeResult(result, path, &error)) {
        prompts.warning(this, tr("Save failed"), tr("The stacked image was not saved.\n%1").arg(error));
        return;
    }
    const QString depthText = result.image.isNull() ? tr("32-bit floats") : tr("%1 bits per channel").arg(px::isDeep(result.image) ? 16 : 8);
    const QSize size = result.image.isNull() ? QSize(result.width, result.height) : result.image.size();
    log(tr("Saved %1 (%2x%3, %4)").arg(QDir::toNativeSeparators(path)).arg(size.width()).arg(size.height()).arg(depthText));
}

// ---- dark frames ---------------------------------------------------------------------------

void Nebulo::openDarkList()
{
    if (busy_)
        return;
    openDarkFiles(prompts.openFileNames(this, tr("Open Darkframe Sequence"), dialogDirectory(true), tr(kSequenceFilter)));
}

void Nebulo::openDarkFiles(const QStringList& chosen)
{
    QStringList paths, notes;
    QString error;
    if (!readers::expandSequence(chosen, &paths, &notes, &error)) {
        prompts.warning(this, tr("Open Darkframe Sequence"), tr("%1\n\nThe dark frames were not changed.").arg(error));
        lblStatus->setText(tr("Ready."));
        return;
    }
    for (const QString& line : notes)
        log(line);
    if (!paths.isEmpty()) {
        readDebayer();
        engine.setDarkList(paths);
        const auto answer = prompts.question(tr("Build darkframe?"), tr("Darkframe sequence successfully loaded."),
                                             tr("Do you want to build the master darkframe right now?"));
        if (answer == QMessageBox::Yes)
            buildMasterDarkNow();
        checkDarkSize();
    }
    lblStatus->setText(tr("Ready."));
}

void Nebulo::checkDarkSize()
{
    if (fileNames.isEmpty() || engine.darkList.isEmpty())
        return;
    // The size in the file's header where the image reader knows the format, else the decoded frame's.
    const auto sizeOf = [this](const QString& name) {
        const QSize header = QImageReader(name).size();
        QImage frame;
        return header.isValid() || !readers::readFrame(name, engine.readOptions, frame) ? header : frame.size();
    };
    const QSize dark = sizeOf(engine.darkList.first());
    const QSize light = sizeOf(fileNames.first());
    if (!dark.isValid() || !light.isValid() || dark == light)
        return;
    prompts.warning(this, tr("Dark frames of another size"),
                    tr("The dark frames are %1x%2 pixels, the light frames %3x%4.\n"
                       "A master dark is only subtracted where it covers the frame; use dark frames taken with the "
                       "camera settings of the light frames.")
                        .arg(dark.width()).arg(dark.height()).arg(light.width()).arg(light.height()));
}

QString Nebulo::dialogDirectory(bool open) const
{
    if (!lastDirectory_.isEmpty())
        return lastDirectory_;
    return open ? startDirectory() : QString();
}

void Nebulo::rememberDirectory(const QString& path)
{
    lastDirectory_ = QFileInfo(path).absolutePath();
}

void Nebulo::dragEnterEvent(QDragEnterEvent* event)
{
    const QMimeData* data = event->mimeData();
    if (busy_ || !data->hasUrls())
        return;
    for (const QUrl& url : data->urls())
        if (!url.isLocalFile())
            return;
    event->acceptProposedAction();
}

void Nebulo::dropEvent(QDropEvent* event)
{
    if (busy_ || !event->mimeData()->hasUrls())
        return;
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile())
            paths << url.toLocalFile();
    if (paths.isEmpty())
        return;
    // File managers hand files over in no particular order: frames go in name order, numbers by value.
    std::stable_sort(paths.begin(), paths.end(), namedBefore);
    event->acceptProposedAction();
    openFiles(paths);
}

void Nebulo::openDark()
{
    if (busy_)
        return;
    const QString path = prompts.openFileName(this, tr("Open Darkframe"), dialogDirectory(false),
                                              tr("Portable Network Graphics (*.png);;All files (*.*)"));
    if (path.isEmpty())
        return;
    rememberDirectory(path);
    if (!StackEngine::readImage(path, engine.darkImage))
        log(batch::unreadableLine(path));
    else
        darkFile_ = path;
    engine.darkSequenceLoaded = false;
}

// ---- quality ------------------------------------------------------------------------------

void Nebulo::gradientH()
{
    if (busy_)
        return;
    if (fileNames.isEmpty()) {
        log(tr("Open an image sequence first."));
        return;
    }
    if (!engine.qualityAnalysed) {
        const LongOperation operation(this);
        {
            // A lower maximum may change the value; that must not start a second analysis.
            const QSignalBlocker blocker(ui.sbQFrames);
            ui.sbQFrames->setMaximum(fileNames.size());
        }
        if (!batch::analyzeQuality(engine, progress()))
            return;
    }
    const auto mode = ui.cbMinQuality->isChecked() ? batch::SelectionMode::MinimumQuality : batch::SelectionMode::FrameCount;
    const std::vector<bool> keep = batch::selectFrames(engine, mode, ui.sbQPerc->value(), ui.sbQFrames->value(), progress());
    for (int i = 0; i < int(keep.size()); ++i) {
        if (QListWidgetItem* item = ui.lwFrames->item(i))
            item->setCheckState(keep[std::size_t(i)] ? Qt::Checked : Qt::Unchecked);
    }
    // The best frames are kept down to the rating of the last one kept.
    double threshold = ui.sbQPerc->value();
    if (mode == batch::SelectionMode::FrameCount) {
        threshold = 100.0;
        for (int i = 0; i < int(keep.size()); ++i)
            if (keep[std::size_t(i)])
                threshold = std::min(threshold, double(engine.frames->record(i).quality));
    }
    showQualityGraph(threshold);
    lblStatus->setText(tr("Ready."));
    ui.sbQFrames->setEnabled(true);
    ui.sbQPerc->setEnabled(true);
}

void Nebulo::showQualityGraph(double threshold)
{
    const int n = engine.frames->count();
    std::vector<double> quality(static_cast<std::size_t>(n));
    std::vector<bool> kept(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        quality[std::size_t(i)] = engine.frames->record(i).quality;
        const QListWidgetItem* item = ui.lwFrames->item(i);
        kept[std::size_t(i)] = item && item->checkState() == Qt::Checked;
    }
    qualityGraph->setFrames(quality, kept);
    qualityGraph->setThreshold(threshold);
    qualityGraph->show();
}

// ---- pixel inspector ----------------------------------------------------------------------

bool Nebulo::inspect(QMouseEvent* e, int* luma)
{
    if (fileNames.isEmpty())
        return false;
    // Through the view's zoom and scroll position to the image pixel; nothing outside the image.
    QPoint s;
    if (!view->imagePixelAt(e->position().toPoint(), &s))
        return false;
    const int radius = ui.sbFilter->value();
    const QColor colour = engine.pixelColourAt(radius, s.x(), s.y());
    const int l = int(StackEngine::luminanceOf(colour) * 255.0);
    lblX->setText(QStringLiteral("X: ") + QString::number(s.x()));
    lblY->setText(QStringLiteral("Y: ") + QString::number(s.y()));
    // The values at the frame's own depth; the luminance is the 8-bit one the pick uses.
    const StackEngine::PixelSamples samples = engine.pixelSamplesAt(radius, int(s.x()), int(s.y()));
    lblRed->setText(QStringLiteral("Red: ") + QString::number(samples.red));
    lblGreen->setText(QStringLiteral("Green: ") + QString::number(samples.green));
    lblBlue->setText(QStringLiteral("Blue: ") + QString::number(samples.blue));
    lblLuma->setText(QStringLiteral("Luma: ") + QString::number(l));
    if (luma)
        *luma = l;
    return true;
}

void Nebulo::updatemouseinfo(QMouseEvent* e)
{
    inspect(e, nullptr);
    if (dragging_ && dragItem_)
        dragItem_->setRect(draggedPatch(e));
}

void Nebulo::setStackingData(QMouseEvent* e)
{
    int luma = 0;
    if (!inspect(e, &luma) || busy_)
        return; // while a loop runs, a click only inspects
    if (ui.comboBox->currentIndex() == kSurfaceItem) {
        // In the surface mode a drag chooses the patch; the threshold plays no part.
        if (dragItem_) {
            scene->removeItem(dragItem_);
            delete dragItem_;
        }
        dragStart_ = imagePixelUnder(e);
        dragItem_ = scene->addRect(QRectF(dragStart_, QSizeF(1, 1)));
        QPen pen(QColor(255, 200, 0));
        pen.setCosmetic(true);
        dragItem_->setPen(pen);
        dragging_ = true;
        return;
    }
    ui.sbWeight->setValue(luma);
    findBright();
}

QPoint Nebulo::imagePixelUnder(QMouseEvent* e) const
{
    // The pixel under the pointer through the view's zoom, clamped to the image.
    const double zoom = view->zoom();
    const QPointF s = view->mapToScene(e->position().toPoint()) + QPointF(0.5 / zoom, 0.5 / zoom);
    const QRect image = scene->sceneRect().toAlignedRect();
    return QPoint(std::clamp(int(std::floor(s.x())), image.left(), std::max(image.left(), image.right())),
                  std::clamp(int(std::floor(s.y())), image.top(), std::max(image.top(), image.bottom())));
}

QRect Nebulo::draggedPatch(QMouseEvent* e) const
{
    // Every pixel from the one pressed to the one released, both included.
    const QPoint end = imagePixelUnder(e);
    return QRect(QPoint(std::min(dragStart_.x(), end.x()), std::min(dragStart_.y(), end.y())),
                 QPoint(std::max(dragStart_.x(), end.x()), std::max(dragStart_.y(), end.y())));
}

void Nebulo::finishSurfaceDrag(QMouseEvent* e)
{
    if (!dragging_)
        return;
    dragging_ = false;
    const QRect patch = draggedPatch(e);
    if (patch.width() < kMinimumPatch || patch.height() < kMinimumPatch) {
        surfacePatch_ = QRect();
        if (dragItem_) {
            scene->removeItem(dragItem_);
            delete dragItem_;
            dragItem_ = nullptr;
        }
        log(tr("Surface patch: chosen automatically"));
        return;
    }
    surfacePatch_ = patch;
    if (dragItem_)
        dragItem_->setRect(patch);
    log(tr("Surface patch: %1, %2, %3 x %4").arg(patch.x()).arg(patch.y()).arg(patch.width()).arg(patch.height()));
}

// ---- long operations ------------------------------------------------------------------------

void Nebulo::cancelOperation()
{
    if (busy_)
        cancelRequested_ = true;
}

void Nebulo::closeEvent(QCloseEvent* event)
{
    // A running loop stops before its next frame and returns to the event loop, which then ends.
    cancelOperation();
    QMainWindow::closeEvent(event);
}

// ---- small slots ----------------------------------------------------------------------------

void Nebulo::setleWeight(int) {}

void Nebulo::setgain() {}

void Nebulo::setPreviewDarkframe()
{
    engine.previewDarkframe = ui.cbPreviewDarkframe->isChecked();
}

void Nebulo::setPreviewGain(double value)
{
    engine.lightframeGain = float(value);
}

void Nebulo::setDarkframeGain(double value)
{
    engine.darkframeGain = float(value);
}
