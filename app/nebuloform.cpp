#include "nebuloform.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QMetaObject>
#include <QtCore/QRect>
#include <QtCore/QSize>
#include <QtWidgets/QSizePolicy>

namespace {

// Creates a named widget placed absolutely inside its parent.
template <typename W>
W* place(QWidget* parent, const char* name, int x, int y, int width, int height)
{
    W* widget = new W(parent);
    widget->setObjectName(QString::fromUtf8(name));
    widget->setGeometry(QRect(x, y, width, height));
    return widget;
}

// Decimals first: QDoubleSpinBox rounds range and value to the decimals it has at that
// moment, so under the default two a luma weight of 0.2126 would already be 0.21.
QDoubleSpinBox* decimalSpinBox(QWidget* parent, const char* name, int x, int y, int width,
                               int height, int decimals, double minimum, double maximum,
                               double step, double value)
{
    auto* box = place<QDoubleSpinBox>(parent, name, x, y, width, height);
    box->setDecimals(decimals);
    box->setMinimum(minimum);
    box->setMaximum(maximum);
    box->setSingleStep(step);
    box->setValue(value);
    return box;
}

QSpinBox* integerSpinBox(QWidget* parent, const char* name, int x, int y, int width, int height,
                         int minimum, int maximum, int value)
{
    auto* box = place<QSpinBox>(parent, name, x, y, width, height);
    box->setMinimum(minimum);
    box->setMaximum(maximum);
    box->setValue(value);
    return box;
}

void setExpanding(QWidget* widget)
{
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    policy.setHorizontalStretch(0);
    policy.setVerticalStretch(0);
    policy.setHeightForWidth(widget->sizePolicy().hasHeightForWidth());
    widget->setSizePolicy(policy);
}

QWidget* newPage(const char* name)
{
    auto* page = new QWidget();
    page->setObjectName(QString::fromUtf8(name));
    setExpanding(page);
    return page;
}

// The 50 x 50 boxes in which the alignment shows its reference, current and aligned patterns.
QLabel* patternThumbnail(QWidget* parent, const char* name, int x, int y)
{
    auto* thumbnail = place<QLabel>(parent, name, x, y, 50, 50);
    thumbnail->setFrameShape(QFrame::Box);
    thumbnail->setAlignment(Qt::AlignCenter);
    return thumbnail;
}

} // namespace

namespace Ui {

void NebuloClass::setupUi(QMainWindow* NebuloClass)
{
    if (NebuloClass->objectName().isEmpty())
        NebuloClass->setObjectName(QString::fromUtf8("NebuloClass"));
    NebuloClass->resize(952, 781);
    NebuloClass->setStyleSheet(QString::fromUtf8(
        "background-color: rgb(60, 60, 60);\n"
        "selection-background-color: rgb(100, 100, 100);\n"
        "color: rgb(200, 200, 200);\n"
        "alternate-background-color: rgb(100, 100, 100);"));

    action_Open = new QAction(NebuloClass);
    action_Open->setObjectName(QString::fromUtf8("action_Open"));
    action_Exit = new QAction(NebuloClass);
    action_Exit->setObjectName(QString::fromUtf8("action_Exit"));
    actionSave_Result = new QAction(NebuloClass);
    actionSave_Result->setObjectName(QString::fromUtf8("actionSave_Result"));
    actionGradientH = new QAction(NebuloClass);
    actionGradientH->setObjectName(QString::fromUtf8("actionGradientH"));

    centralWidget = new QWidget(NebuloClass);
    centralWidget->setObjectName(QString::fromUtf8("centralWidget"));
    gridLayout = new QGridLayout(centralWidget);
    gridLayout->setSpacing(6);
    gridLayout->setContentsMargins(11, 11, 11, 11);
    gridLayout->setObjectName(QString::fromUtf8("gridLayout"));
    horizontalLayout = new QHBoxLayout();
    horizontalLayout->setSpacing(6);
    horizontalLayout->setObjectName(QString::fromUtf8("horizontalLayout"));

    frame = new QFrame(centralWidget);
    frame->setObjectName(QString::fromUtf8("frame"));
    setExpanding(frame);
    frame->setMinimumSize(QSize(210, 0));
    frame->setMaximumSize(QSize(210, 16777215));
    frame->setFrameShape(QFrame::NoFrame);
    frame->setFrameShadow(QFrame::Raised);

    tabWidget = place<QTabWidget>(frame, "tabWidget", 0, 10, 211, 701);
    setExpanding(tabWidget);
    tabWidget->setTabPosition(QTabWidget::West);
    tabWidget->setTabShape(QTabWidget::Triangular);
    tabWidget->setElideMode(Qt::ElideNone);
    tabWidget->setUsesScrollButtons(true);
    tabWidget->setDocumentMode(true);
    tabWidget->setTabsClosable(false);
    tabWidget->setMovable(false);

    // Page 0: image selection.
    tab = newPage("tab");
    groupBox_4 = place<QGroupBox>(tab, "groupBox_4", 10, 10, 181, 81);
    pbImages = place<QPushButton>(groupBox_4, "pbImages", 10, 20, 161, 23);
    pbDarks = place<QPushButton>(groupBox_4, "pbDarks", 10, 50, 161, 23);

    // The quality fields stay disabled until an analysis has run on an open sequence.
    groupBox_7 = place<QGroupBox>(tab, "groupBox_7", 10, 100, 181, 141);
    label_28 = place<QLabel>(groupBox_7, "label_28", 10, 20, 61, 16);
    sbQPerc = decimalSpinBox(groupBox_7, "sbQPerc", 91, 20, 81, 22, 1, 0.0, 100.0, 1.0, 50.0);
    sbQPerc->setEnabled(false);
    label_29 = place<QLabel>(groupBox_7, "label_29", 10, 50, 46, 13);
    sbQFrames = integerSpinBox(groupBox_7, "sbQFrames", 90, 50, 81, 22, 1, 1000, 20);
    sbQFrames->setEnabled(false);
    cbMinQuality = place<QCheckBox>(groupBox_7, "cbMinQuality", 10, 80, 111, 17);
    cbMinQuality->setChecked(true);
    cbMinQuality->setTristate(false);
    pbQSelect = place<QPushButton>(groupBox_7, "pbQSelect", 10, 110, 161, 23);

    // Supersampling is not offered yet: its controls stay disabled at their neutral values.
    groupBox_9 = place<QGroupBox>(tab, "groupBox_9", 10, 250, 181, 131);
    cbSubpixel = place<QCheckBox>(groupBox_9, "cbSubpixel", 10, 20, 151, 17);
    cbSubpixel->setEnabled(false);
    cbSubpixel->setCheckable(false);
    label_7 = place<QLabel>(groupBox_9, "label_7", 10, 40, 151, 31);
    label_8 = place<QLabel>(groupBox_9, "label_8", 10, 80, 71, 16);
    sbScale = place<QSpinBox>(groupBox_9, "sbScale", 90, 80, 81, 22);
    sbScale->setEnabled(false);
    sbScale->setMinimum(1); // lifts the value to 1 as well
    sbScale->setMaximum(8);

    groupBox_3 = place<QGroupBox>(tab, "groupBox_3", 10, 390, 181, 101);
    cbPreviewDarkframe = place<QCheckBox>(groupBox_3, "cbPreviewDarkframe", 10, 20, 161, 16);
    label_27 = place<QLabel>(groupBox_3, "label_27", 10, 40, 81, 16);
    label_27->setFrameShape(QFrame::NoFrame);
    // Only the decimals are set: the default maximum 99.99 rounds to 100.0 at one decimal.
    sbPreviewGain = place<QDoubleSpinBox>(groupBox_3, "sbPreviewGain", 110, 40, 62, 22);
    sbPreviewGain->setDecimals(1);
    sbPreviewGain->setValue(1.0);
    label_33 = place<QLabel>(groupBox_3, "label_33", 10, 70, 91, 16);
    sbDFGain = decimalSpinBox(groupBox_3, "sbDFGain", 110, 70, 62, 22, 2, 0.0, 99.99, 0.1, 1.0);
    tabWidget->addTab(tab, QString());

    // Page 1: alignment.
    tab_2 = newPage("tab_2");
    groupBox = place<QGroupBox>(tab_2, "groupBox", 10, 0, 181, 251);
    label_19 = place<QLabel>(groupBox, "label_19", 10, 20, 101, 16);
    sbWeight = integerSpinBox(groupBox, "sbWeight", 10, 40, 81, 22, 0, 255, 75);
    label_20 = place<QLabel>(groupBox, "label_20", 10, 70, 61, 16);
    sbFilter = integerSpinBox(groupBox, "sbFilter", 10, 90, 81, 22, 0, 10, 2);
    pbWeight = place<QPushButton>(groupBox, "pbWeight", 100, 90, 75, 23);
    label_21 = place<QLabel>(groupBox, "label_21", 10, 120, 81, 16);
    sbSearchRadius = integerSpinBox(groupBox, "sbSearchRadius", 10, 140, 81, 22, 1, 100, 20);
    label_9 = place<QLabel>(groupBox, "label_9", 10, 170, 91, 16);
    // Only pattern alignment exists; the mode is shown but cannot be changed.
    comboBox = place<QComboBox>(groupBox, "comboBox", 10, 190, 81, 22);
    comboBox->setEnabled(false);
    cbRefine = place<QCheckBox>(groupBox, "cbRefine", 10, 220, 161, 17);
    cbRefine->setEnabled(false);
    pbAlign = place<QPushButton>(tab_2, "pbAlign", 10, 260, 181, 23);
    pbRefine = place<QPushButton>(tab_2, "pbRefine", 10, 290, 181, 23);

    groupBox_8 = place<QGroupBox>(tab_2, "groupBox_8", 10, 320, 181, 261);
    label = place<QLabel>(groupBox_8, "label", 10, 20, 71, 16);
    lblRefSource = patternThumbnail(groupBox_8, "lblRefSource", 10, 40);
    label_2 = place<QLabel>(groupBox_8, "label_2", 10, 100, 91, 16);
    lblRefUnref = patternThumbnail(groupBox_8, "lblRefUnref", 10, 120);
    label_3 = place<QLabel>(groupBox_8, "label_3", 10, 180, 91, 16);
    lblRefComp = patternThumbnail(groupBox_8, "lblRefComp", 10, 200);
    tabWidget->addTab(tab_2, QString());

    // Page 2: stacking.
    tab_3 = newPage("tab_3");
    groupBox_2 = place<QGroupBox>(tab_3, "groupBox_2", 10, 10, 181, 151);
    label_22 = place<QLabel>(groupBox_2, "label_22", 10, 20, 151, 16);
    sbMinusR = integerSpinBox(groupBox_2, "sbMinusR", 10, 40, 51, 22, 0, 255, 0);
    sbMinusG = integerSpinBox(groupBox_2, "sbMinusG", 60, 40, 51, 22, 0, 255, 0);
    sbMinusB = integerSpinBox(groupBox_2, "sbMinusB", 120, 40, 51, 22, 0, 255, 0);
    label_23 = place<QLabel>(groupBox_2, "label_23", 10, 70, 46, 13);
    sbStackFilter = place<QSpinBox>(groupBox_2, "sbStackFilter", 10, 90, 81, 22);
    cbLuma = place<QCheckBox>(groupBox_2, "cbLuma", 10, 120, 121, 17);
    pbStack2 = place<QPushButton>(tab_3, "pbStack2", 10, 170, 181, 23);
    tabWidget->addTab(tab_3, QString());

    // Page 3: colour controls. Four groups of one spin box per channel under column labels.
    tab_4 = newPage("tab_4");
    groupBox_10 = place<QGroupBox>(tab_4, "groupBox_10", 10, 0, 181, 81);
    label_12 = place<QLabel>(groupBox_10, "label_12", 20, 20, 46, 13);
    label_10 = place<QLabel>(groupBox_10, "label_10", 70, 20, 46, 13);
    label_11 = place<QLabel>(groupBox_10, "label_11", 120, 20, 46, 13);
    sbGainR = decimalSpinBox(groupBox_10, "sbGainR", 20, 40, 51, 22, 2, 0.0, 1000.0, 0.1, 1.0);
    sbGainG = decimalSpinBox(groupBox_10, "sbGainG", 69, 40, 51, 22, 2, 0.0, 1000.0, 0.1, 1.0);
    sbGainB = decimalSpinBox(groupBox_10, "sbGainB", 120, 40, 51, 22, 2, 0.0, 1000.0, 0.1, 1.0);

    groupBox_11 = place<QGroupBox>(tab_4, "groupBox_11", 10, 90, 181, 81);
    label_15 = place<QLabel>(groupBox_11, "label_15", 20, 20, 46, 13);
    label_13 = place<QLabel>(groupBox_11, "label_13", 70, 20, 46, 13);
    label_14 = place<QLabel>(groupBox_11, "label_14", 120, 20, 46, 13);
    sbGammaR = decimalSpinBox(groupBox_11, "sbGammaR", 20, 40, 51, 22, 2, 0.0, 99.99, 0.1, 1.0);
    sbGammaG = decimalSpinBox(groupBox_11, "sbGammaG", 69, 40, 51, 22, 2, 0.0, 99.99, 0.1, 1.0);
    sbGammaB = decimalSpinBox(groupBox_11, "sbGammaB", 120, 40, 51, 22, 2, 0.0, 99.99, 0.1, 1.0);

    groupBox_12 = place<QGroupBox>(tab_4, "groupBox_12", 10, 180, 181, 81);
    label_18 = place<QLabel>(groupBox_12, "label_18", 20, 20, 46, 13);
    label_16 = place<QLabel>(groupBox_12, "label_16", 70, 20, 46, 13);
    label_17 = place<QLabel>(groupBox_12, "label_17", 120, 20, 46, 13);
    sbContrastR =
        decimalSpinBox(groupBox_12, "sbContrastR", 20, 40, 51, 22, 2, 0.0, 99.99, 0.1, 1.0);
    sbContrastG =
        decimalSpinBox(groupBox_12, "sbContrastG", 69, 40, 51, 22, 2, 0.0, 99.99, 0.1, 1.0);
    sbContrastB =
        decimalSpinBox(groupBox_12, "sbContrastB", 120, 40, 51, 22, 2, 0.0, 99.99, 0.1, 1.0);

    groupBox_13 = place<QGroupBox>(tab_4, "groupBox_13", 10, 270, 181, 81);
    label_32 = place<QLabel>(groupBox_13, "label_32", 20, 20, 46, 13);
    label_30 = place<QLabel>(groupBox_13, "label_30", 70, 20, 46, 13);
    label_31 = place<QLabel>(groupBox_13, "label_31", 120, 20, 46, 13);
    sbOffsetR = decimalSpinBox(groupBox_13, "sbOffsetR", 20, 40, 51, 22, 2, -1.0, 1.0, 0.1, 0.0);
    sbOffsetG = decimalSpinBox(groupBox_13, "sbOffsetG", 69, 40, 51, 22, 2, -1.0, 1.0, 0.1, 0.0);
    sbOffsetB = decimalSpinBox(groupBox_13, "sbOffsetB", 120, 40, 51, 22, 2, -1.0, 1.0, 0.1, 0.0);

    // Luma weights default to the ITU-R BT.709 coefficients, hence four decimals.
    groupBox_5 = place<QGroupBox>(tab_4, "groupBox_5", 10, 360, 181, 111);
    label_24 = place<QLabel>(groupBox_5, "label_24", 10, 20, 46, 13);
    sbLRed = decimalSpinBox(groupBox_5, "sbLRed", 90, 20, 81, 22, 4, 0.0, 1.0, 0.1, 0.2126);
    label_26 = place<QLabel>(groupBox_5, "label_26", 10, 50, 46, 13);
    sbLGreen = decimalSpinBox(groupBox_5, "sbLGreen", 90, 50, 81, 22, 4, 0.0, 1.0, 0.1, 0.7152);
    label_25 = place<QLabel>(groupBox_5, "label_25", 10, 80, 46, 13);
    sbLBlue = decimalSpinBox(groupBox_5, "sbLBlue", 90, 80, 81, 22, 4, 0.0, 1.0, 0.1, 0.0722);

    groupBox_15 = place<QGroupBox>(tab_4, "groupBox_15", 10, 480, 181, 151);
    cbLumaOut = place<QCheckBox>(groupBox_15, "cbLumaOut", 10, 20, 161, 17);
    cblvb = place<QCheckBox>(groupBox_15, "cblvb", 10, 40, 161, 17);
    label_4 = place<QLabel>(groupBox_15, "label_4", 10, 60, 46, 13);
    sblvb = place<QSpinBox>(groupBox_15, "sblvb", 90, 60, 81, 22);
    sblvb->setMinimum(1); // lifts the value to 1 as well
    sblvb->setMaximum(10);
    lblblend = place<QLabel>(groupBox_15, "lblblend", 10, 90, 61, 16);
    sblvbBlend =
        decimalSpinBox(groupBox_15, "sblvbBlend", 90, 90, 81, 22, 2, 0.01, 1.0, 0.1, 1.0);
    tabWidget->addTab(tab_4, QString());

    // Page 4: advanced colour. Not offered yet, so the whole page is disabled and its
    // controls keep the values the colour pipeline reads.
    tab_6 = newPage("tab_6");
    tab_6->setEnabled(false);
    cbHillFunc = place<QCheckBox>(tab_6, "cbHillFunc", 10, 0, 171, 17);
    cbDownHillFunc = place<QCheckBox>(tab_6, "cbDownHillFunc", 10, 20, 171, 17);
    label_5 = place<QLabel>(tab_6, "label_5", 30, 40, 46, 13);
    sbDHStrength = integerSpinBox(tab_6, "sbDHStrength", 101, 40, 81, 22, 1, 99, 2);
    label_6 = place<QLabel>(tab_6, "label_6", 30, 70, 46, 13);
    sbDHGain = place<QDoubleSpinBox>(tab_6, "sbDHGain", 100, 70, 81, 22);
    sbDHGain->setValue(1.0);
    tabWidget->addTab(tab_6, QString());

    // Page 5: output.
    tab_5 = newPage("tab_5");
    pbSaveStacked = place<QPushButton>(tab_5, "pbSaveStacked", 10, 0, 171, 23);
    tabWidget->addTab(tab_5, QString());

    horizontalLayout->addWidget(frame);

    // The window puts its own image view above gvMain and hides this placeholder.
    verticalLayout = new QVBoxLayout();
    verticalLayout->setSpacing(6);
    verticalLayout->setObjectName(QString::fromUtf8("verticalLayout"));
    gvMain = new QGraphicsView(centralWidget);
    gvMain->setObjectName(QString::fromUtf8("gvMain"));
    gvMain->setMouseTracking(true);
    verticalLayout->addWidget(gvMain);

    teDebug = new QTextEdit(centralWidget);
    teDebug->setObjectName(QString::fromUtf8("teDebug"));
    teDebug->setMaximumSize(QSize(16777215, 200));
    teDebug->setUndoRedoEnabled(false);
    // Read-only resets the interaction flags, so they come after it.
    teDebug->setReadOnly(true);
    teDebug->setTextInteractionFlags(Qt::LinksAccessibleByKeyboard | Qt::LinksAccessibleByMouse |
                                     Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    verticalLayout->addWidget(teDebug);

    horizontalLayout->addLayout(verticalLayout);
    gridLayout->addLayout(horizontalLayout, 0, 1, 1, 1);

    frame_2 = new QFrame(centralWidget);
    frame_2->setObjectName(QString::fromUtf8("frame_2"));
    frame_2->setMinimumSize(QSize(150, 0));
    frame_2->setMaximumSize(QSize(150, 16777215));
    frame_2->setFrameShape(QFrame::StyledPanel);
    frame_2->setFrameShadow(QFrame::Raised);
    gridLayout_2 = new QGridLayout(frame_2);
    gridLayout_2->setSpacing(6);
    gridLayout_2->setContentsMargins(0, 0, 0, 0);
    gridLayout_2->setObjectName(QString::fromUtf8("gridLayout_2"));

    groupBox_6 = new QGroupBox(frame_2);
    groupBox_6->setObjectName(QString::fromUtf8("groupBox_6"));
    setExpanding(groupBox_6);
    gridLayout_3 = new QGridLayout(groupBox_6);
    gridLayout_3->setSpacing(6);
    gridLayout_3->setContentsMargins(5, 5, 5, 5);
    gridLayout_3->setObjectName(QString::fromUtf8("gridLayout_3"));

    lwFrames = new QListWidget(groupBox_6);
    lwFrames->setObjectName(QString::fromUtf8("lwFrames"));
    lwFrames->setAlternatingRowColors(false);
    lwFrames->setSelectionMode(QAbstractItemView::ExtendedSelection);
    gridLayout_3->addWidget(lwFrames, 0, 0, 1, 1);

    groupBox_14 = new QGroupBox(groupBox_6);
    groupBox_14->setObjectName(QString::fromUtf8("groupBox_14"));
    groupBox_14->setMinimumSize(QSize(0, 200));
    teFrameInfo = place<QTextEdit>(groupBox_14, "teFrameInfo", 0, 20, 131, 171);
    gridLayout_3->addWidget(groupBox_14, 1, 0, 1, 1);

    gridLayout_2->addWidget(groupBox_6, 0, 0, 1, 1);
    gridLayout->addWidget(frame_2, 0, 2, 1, 1);

    NebuloClass->setCentralWidget(centralWidget);

    menuBar = new QMenuBar(NebuloClass);
    menuBar->setObjectName(QString::fromUtf8("menuBar"));
    menuBar->setEnabled(false);
    menuBar->setGeometry(QRect(0, 0, 952, 21));
    menu_File = new QMenu(menuBar);
    menu_File->setObjectName(QString::fromUtf8("menu_File"));
    menu_Edit = new QMenu(menuBar);
    menu_Edit->setObjectName(QString::fromUtf8("menu_Edit"));
    menu_Help = new QMenu(menuBar);
    menu_Help->setObjectName(QString::fromUtf8("menu_Help"));
    menuDebug = new QMenu(menuBar);
    menuDebug->setObjectName(QString::fromUtf8("menuDebug"));
    NebuloClass->setMenuBar(menuBar);

    mainToolBar = new QToolBar(NebuloClass);
    mainToolBar->setObjectName(QString::fromUtf8("mainToolBar"));
    NebuloClass->addToolBar(Qt::TopToolBarArea, mainToolBar);

    statusBar = new QStatusBar(NebuloClass);
    statusBar->setObjectName(QString::fromUtf8("statusBar"));
    NebuloClass->setStatusBar(statusBar);

    menuBar->addAction(menu_File->menuAction());
    menuBar->addAction(menu_Edit->menuAction());
    menuBar->addAction(menu_Help->menuAction());
    menuBar->addAction(menuDebug->menuAction());
    menu_File->addAction(actionSave_Result);
    menuDebug->addAction(actionGradientH);

    retranslateUi(NebuloClass);

    tabWidget->setCurrentIndex(0);

    QMetaObject::connectSlotsByName(NebuloClass);
}

void NebuloClass::retranslateUi(QMainWindow* NebuloClass)
{
    NebuloClass->setWindowTitle(QCoreApplication::translate("NebuloClass", "Nebulo"));
    action_Open->setText(QCoreApplication::translate("NebuloClass", "&Open..."));
    action_Exit->setText(QCoreApplication::translate("NebuloClass", "&Exit"));
    actionSave_Result->setText(QCoreApplication::translate("NebuloClass", "Save Result..."));
    actionGradientH->setText(QCoreApplication::translate("NebuloClass", "GradientH"));

    groupBox_4->setTitle(QCoreApplication::translate("NebuloClass", "Step 1: Select Images"));
    pbImages->setText(QCoreApplication::translate("NebuloClass", "Open Image Sequence"));
    pbDarks->setText(QCoreApplication::translate("NebuloClass", "Open Darkframe Sequence"));
    groupBox_7->setTitle(QCoreApplication::translate("NebuloClass", "Quality Selection"));
    label_28->setText(QCoreApplication::translate("NebuloClass", "min. Quality:"));
    label_29->setText(QCoreApplication::translate("NebuloClass", "Frames:"));
    cbMinQuality->setText(QCoreApplication::translate("NebuloClass", "Use min. Quality"));
    pbQSelect->setText(QCoreApplication::translate("NebuloClass", "Analyze Quality"));
    groupBox_9->setTitle(QCoreApplication::translate("NebuloClass", "Supersampling"));
    cbSubpixel->setText(QCoreApplication::translate("NebuloClass", "Enable Subpixel-Accuracy"));
    label_7->setText(QCoreApplication::translate(
        "NebuloClass",
        "<html><head/><body><p>Note: This will dramtically slow <br/>down processing speed!</p></body></html>"));
    label_8->setText(QCoreApplication::translate("NebuloClass", "Scaling factor:"));
    groupBox_3->setTitle(QCoreApplication::translate("NebuloClass", "Preprocessing"));
    cbPreviewDarkframe->setText(
        QCoreApplication::translate("NebuloClass", "Activate preprocessing"));
    label_27->setText(QCoreApplication::translate("NebuloClass", "Lightframe Gain:"));
    label_33->setText(QCoreApplication::translate("NebuloClass", "Darkframe Gain:"));
    tabWidget->setTabText(tabWidget->indexOf(tab),
                          QCoreApplication::translate("NebuloClass", "Image Selection"));

    groupBox->setTitle(QCoreApplication::translate("NebuloClass", "Step 2.1: Alignment Setup"));
    label_19->setText(QCoreApplication::translate("NebuloClass", "Luminance treshold:"));
    label_20->setText(QCoreApplication::translate("NebuloClass", "Filter Size:"));
    pbWeight->setText(QCoreApplication::translate("NebuloClass", "Update"));
    label_21->setText(QCoreApplication::translate("NebuloClass", "Search Radius:"));
    label_9->setText(QCoreApplication::translate("NebuloClass", "Alignment mode:"));
    comboBox->clear();
    comboBox->insertItems(0, QStringList()
                                 << QCoreApplication::translate("NebuloClass", "Pattern")
                                 << QCoreApplication::translate("NebuloClass", "Luminance"));
    cbRefine->setText(QCoreApplication::translate("NebuloClass", "Enable Pattern Alignment"));
    pbAlign->setText(QCoreApplication::translate("NebuloClass", "Align"));
    pbRefine->setText(QCoreApplication::translate("NebuloClass", "Refine Alignment"));
    groupBox_8->setTitle(QCoreApplication::translate("NebuloClass", "Refinement"));
    label->setText(QCoreApplication::translate("NebuloClass", "Base pattern:"));
    lblRefSource->setText(QString());
    label_2->setText(QCoreApplication::translate("NebuloClass", "Current pattern:"));
    lblRefUnref->setText(QString());
    label_3->setText(QCoreApplication::translate("NebuloClass", "Aligned pattern:"));
    lblRefComp->setText(QString());
    tabWidget->setTabText(tabWidget->indexOf(tab_2),
                          QCoreApplication::translate("NebuloClass", "Alignment"));

    groupBox_2->setTitle(QCoreApplication::translate("NebuloClass", "Stacking Options"));
    label_22->setText(QCoreApplication::translate("NebuloClass", "low color cutoff (RGB):"));
    label_23->setText(QCoreApplication::translate("NebuloClass", "Filter:"));
    cbLuma->setText(QCoreApplication::translate("NebuloClass", "Luminance stacking"));
    pbStack2->setText(QCoreApplication::translate("NebuloClass", "Stack"));
    tabWidget->setTabText(tabWidget->indexOf(tab_3),
                          QCoreApplication::translate("NebuloClass", "Stacking"));

    groupBox_10->setTitle(QCoreApplication::translate("NebuloClass", "Gain"));
    label_12->setText(QCoreApplication::translate("NebuloClass", "Red"));
    label_10->setText(QCoreApplication::translate("NebuloClass", "Green"));
    label_11->setText(QCoreApplication::translate("NebuloClass", "Blue"));
    groupBox_11->setTitle(QCoreApplication::translate("NebuloClass", "Gamma"));
    label_15->setText(QCoreApplication::translate("NebuloClass", "Red"));
    label_13->setText(QCoreApplication::translate("NebuloClass", "Green"));
    label_14->setText(QCoreApplication::translate("NebuloClass", "Blue"));
    groupBox_12->setTitle(QCoreApplication::translate("NebuloClass", "Contrast"));
    label_18->setText(QCoreApplication::translate("NebuloClass", "Red"));
    label_16->setText(QCoreApplication::translate("NebuloClass", "Green"));
    label_17->setText(QCoreApplication::translate("NebuloClass", "Blue"));
    groupBox_13->setTitle(QCoreApplication::translate("NebuloClass", "Offset"));
    label_32->setText(QCoreApplication::translate("NebuloClass", "Red"));
    label_30->setText(QCoreApplication::translate("NebuloClass", "Green"));
    label_31->setText(QCoreApplication::translate("NebuloClass", "Blue"));
    groupBox_5->setTitle(QCoreApplication::translate("NebuloClass", "Luma Settings"));
    label_24->setText(QCoreApplication::translate("NebuloClass", "Red:"));
    label_26->setText(QCoreApplication::translate("NebuloClass", "Green:"));
    label_25->setText(QCoreApplication::translate("NebuloClass", "Blue:"));
    groupBox_15->setTitle(QCoreApplication::translate("NebuloClass", "Misc."));
    cbLumaOut->setText(QCoreApplication::translate("NebuloClass", "Luminance Output"));
    cblvb->setText(QCoreApplication::translate("NebuloClass", "low value boost"));
    label_4->setText(QCoreApplication::translate("NebuloClass", "strength:"));
    lblblend->setText(QCoreApplication::translate("NebuloClass", "blend value:"));
    tabWidget->setTabText(tabWidget->indexOf(tab_4),
                          QCoreApplication::translate("NebuloClass", "Color Controls"));

    cbHillFunc->setText(QCoreApplication::translate("NebuloClass", "Hill Function"));
    cbDownHillFunc->setText(QCoreApplication::translate("NebuloClass", "Downhill Function"));
    label_5->setText(QCoreApplication::translate("NebuloClass", "Strength:"));
    label_6->setText(QCoreApplication::translate("NebuloClass", "Gain:"));
    tabWidget->setTabText(tabWidget->indexOf(tab_6),
                          QCoreApplication::translate("NebuloClass", "Adv. Color"));

    pbSaveStacked->setText(QCoreApplication::translate("NebuloClass", "Save Stacked Image as..."));
    tabWidget->setTabText(tabWidget->indexOf(tab_5),
                          QCoreApplication::translate("NebuloClass", "Final Output"));

    groupBox_6->setTitle(QCoreApplication::translate("NebuloClass", "Frame List"));
    groupBox_14->setTitle(QCoreApplication::translate("NebuloClass", "Frame Info"));

    menu_File->setTitle(QCoreApplication::translate("NebuloClass", "&File"));
    menu_Edit->setTitle(QCoreApplication::translate("NebuloClass", "&Edit"));
    menu_Help->setTitle(QCoreApplication::translate("NebuloClass", "&Help"));
    menuDebug->setTitle(QCoreApplication::translate("NebuloClass", "Debug"));
}

} // namespace Ui
