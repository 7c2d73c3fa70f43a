#include "nebuloform.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QMetaObject>
#include <QtCore/QRect>
#include <QtCore/QSize>
#include <QtWidgets/QScrollBar>
#include <QtWidgets/QSizePolicy>
#include <QtWidgets/QStyle>
#include <QtWidgets/QTabBar>

#include <algorithm>

namespace {

// Creates a named widget; the layout of its parent sizes and places it.
template <typename W>
W* make(QWidget* parent, const char* name)
{
    W* widget = new W(parent);
    widget->setObjectName(QString::fromUtf8(name));
    return widget;
}

// Decimals first: QDoubleSpinBox rounds range and value to the decimals it has at that
// moment, so under the default two a luma weight of 0.2126 would already be 0.21.
QDoubleSpinBox* decimalSpinBox(QWidget* parent, const char* name, int decimals, double minimum,
                               double maximum, double step, double value)
{
    auto* box = make<QDoubleSpinBox>(parent, name);
    box->setDecimals(decimals);
    box->setMinimum(minimum);
    box->setMaximum(maximum);
    box->setSingleStep(step);
    box->setValue(value);
    return box;
}

QSpinBox* integerSpinBox(QWidget* parent, const char* name, int minimum, int maximum, int value)
{
    auto* box = make<QSpinBox>(parent, name);
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

// A tab page: a frameless scroll area filling the page, so that every control can be reached in
// a small window, around the widget that holds the page's groups from top to bottom.
QWidget* newPage(const char* name, QScrollArea*& scrollArea, QWidget*& contents, QVBoxLayout*& layout)
{
    auto* page = new QWidget();
    page->setObjectName(QString::fromUtf8(name));
    setExpanding(page);
    auto* pageLayout = new QVBoxLayout(page);
    pageLayout->setContentsMargins(0, 0, 0, 0);
    scrollArea = make<QScrollArea>(page, (QByteArray("scrollArea_") + name).constData());
    scrollArea->setFrameShape(QFrame::NoFrame);
    scrollArea->setWidgetResizable(true);
    scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    pageLayout->addWidget(scrollArea);
    contents = new QWidget();
    contents->setObjectName(QString::fromUtf8((QByteArray("contents_") + name).constData()));
    layout = new QVBoxLayout(contents);
    layout->setObjectName(QString::fromUtf8((QByteArray("layout_") + name).constData()));
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(9);
    scrollArea->setWidget(contents);
    return page;
}

// A group's grid: labels in the first column, their fields in the second.
QGridLayout* groupGrid(QGroupBox* box)
{
    auto* grid = new QGridLayout(box);
    grid->setObjectName(QString::fromUtf8("grid_") + box->objectName());
    grid->setContentsMargins(9, 6, 9, 9);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(6);
    return grid;
}

// The 50 x 50 boxes in which the alignment shows its reference, current and aligned patterns.
QLabel* patternThumbnail(QWidget* parent, const char* name)
{
    auto* thumbnail = make<QLabel>(parent, name);
    thumbnail->setFixedSize(50, 50);
    thumbnail->setFrameShape(QFrame::Box);
    thumbnail->setAlignment(Qt::AlignCenter);
    return thumbnail;
}

} // namespace

namespace Ui {

// Dark colours everywhere; disabled controls grey their text and flatten their fields, so that
// they are told apart from the ones that take input.
const char* const NebuloClass::styleSheet =
    "* {\n"
    "background-color: rgb(60, 60, 60);\n"
    "selection-background-color: rgb(100, 100, 100);\n"
    "color: rgb(200, 200, 200);\n"
    "alternate-background-color: rgb(100, 100, 100);\n"
    "}\n"
    "*:disabled {\n"
    "color: rgb(115, 115, 115);\n"
    "}\n"
    "QAbstractSpinBox:disabled, QComboBox:disabled, QLineEdit:disabled {\n"
    "background-color: rgb(52, 52, 52);\n"
    "}";

void NebuloClass::setupUi(QMainWindow* NebuloClass)
{
    if (NebuloClass->objectName().isEmpty())
        NebuloClass->setObjectName(QString::fromUtf8("NebuloClass"));
    NebuloClass->resize(952, 781);
    NebuloClass->setStyleSheet(QString::fromUtf8(styleSheet));

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
    frame->setFrameShape(QFrame::NoFrame);
    frame->setFrameShadow(QFrame::Raised);
    frameLayout = new QVBoxLayout(frame);
    frameLayout->setObjectName(QString::fromUtf8("frameLayout"));
    frameLayout->setContentsMargins(0, 10, 0, 0);

    tabWidget = make<QTabWidget>(frame, "tabWidget");
    setExpanding(tabWidget);
    tabWidget->setTabPosition(QTabWidget::West);
    tabWidget->setTabShape(QTabWidget::Triangular);
    tabWidget->setElideMode(Qt::ElideNone);
    tabWidget->setUsesScrollButtons(true);
    tabWidget->setDocumentMode(true);
    tabWidget->setTabsClosable(false);
    tabWidget->setMovable(false);
    frameLayout->addWidget(tabWidget);

    // Page 0: image selection.
    tab = newPage("tab", scrollArea_tab, contents_tab, layout_tab);
    groupBox_4 = make<QGroupBox>(contents_tab, "groupBox_4");
    {
        auto* grid = groupGrid(groupBox_4);
        pbImages = make<QPushButton>(groupBox_4, "pbImages");
        pbDarks = make<QPushButton>(groupBox_4, "pbDarks");
        grid->addWidget(pbImages, 0, 0);
        grid->addWidget(pbDarks, 1, 0);
        // How single-channel frames become colour: each file's own pattern, grey, or a named one.
        lblDebayer = make<QLabel>(groupBox_4, "lblDebayer");
        comboDebayer = make<QComboBox>(groupBox_4, "comboDebayer");
        auto* debayerRow = new QHBoxLayout;
        debayerRow->addWidget(lblDebayer);
        debayerRow->addWidget(comboDebayer, 1);
        grid->addLayout(debayerRow, 2, 0);
    }
    layout_tab->addWidget(groupBox_4);

    // The quality fields stay disabled until an analysis has run on an open sequence.
    groupBox_7 = make<QGroupBox>(contents_tab, "groupBox_7");
    {
        auto* grid = groupGrid(groupBox_7);
        label_28 = make<QLabel>(groupBox_7, "label_28");
        sbQPerc = decimalSpinBox(groupBox_7, "sbQPerc", 1, 0.0, 100.0, 1.0, 50.0);
        sbQPerc->setEnabled(false);
        label_29 = make<QLabel>(groupBox_7, "label_29");
        sbQFrames = integerSpinBox(groupBox_7, "sbQFrames", 1, 1000, 20);
        sbQFrames->setEnabled(false);
        cbMinQuality = make<QCheckBox>(groupBox_7, "cbMinQuality");
        cbMinQuality->setChecked(true);
        cbMinQuality->setTristate(false);
        pbQSelect = make<QPushButton>(groupBox_7, "pbQSelect");
        grid->addWidget(label_28, 0, 0);
        grid->addWidget(sbQPerc, 0, 1);
        grid->addWidget(label_29, 1, 0);
        grid->addWidget(sbQFrames, 1, 1);
        grid->addWidget(cbMinQuality, 2, 0, 1, 2);
        grid->addWidget(pbQSelect, 3, 0, 1, 2);
    }
    layout_tab->addWidget(groupBox_7);

    // Supersampling is not offered yet: its controls stay disabled at their neutral values.
    groupBox_9 = make<QGroupBox>(contents_tab, "groupBox_9");
    {
        auto* grid = groupGrid(groupBox_9);
        cbSubpixel = make<QCheckBox>(groupBox_9, "cbSubpixel");
        cbSubpixel->setEnabled(false);
        cbSubpixel->setCheckable(false);
        label_7 = make<QLabel>(groupBox_9, "label_7");
        label_8 = make<QLabel>(groupBox_9, "label_8");
        sbScale = make<QSpinBox>(groupBox_9, "sbScale");
        sbScale->setEnabled(false);
        sbScale->setMinimum(1); // lifts the value to 1 as well
        sbScale->setMaximum(8);
        grid->addWidget(cbSubpixel, 0, 0, 1, 2);
        grid->addWidget(label_7, 1, 0, 1, 2);
        grid->addWidget(label_8, 2, 0);
        grid->addWidget(sbScale, 2, 1);
    }
    layout_tab->addWidget(groupBox_9);

    groupBox_3 = make<QGroupBox>(contents_tab, "groupBox_3");
    {
        auto* grid = groupGrid(groupBox_3);
        cbPreviewDarkframe = make<QCheckBox>(groupBox_3, "cbPreviewDarkframe");
        label_27 = make<QLabel>(groupBox_3, "label_27");
        label_27->setFrameShape(QFrame::NoFrame);
        // Only the decimals are set: the default maximum 99.99 rounds to 100.0 at one decimal.
        sbPreviewGain = make<QDoubleSpinBox>(groupBox_3, "sbPreviewGain");
        sbPreviewGain->setDecimals(1);
        sbPreviewGain->setValue(1.0);
        label_33 = make<QLabel>(groupBox_3, "label_33");
        sbDFGain = decimalSpinBox(groupBox_3, "sbDFGain", 2, 0.0, 99.99, 0.1, 1.0);
        grid->addWidget(cbPreviewDarkframe, 0, 0, 1, 2);
        grid->addWidget(label_27, 1, 0);
        grid->addWidget(sbPreviewGain, 1, 1);
        grid->addWidget(label_33, 2, 0);
        grid->addWidget(sbDFGain, 2, 1);
    }
    layout_tab->addWidget(groupBox_3);
    layout_tab->addStretch(1);
    tabWidget->addTab(tab, QString());

    // Page 1: alignment.
    tab_2 = newPage("tab_2", scrollArea_tab_2, contents_tab_2, layout_tab_2);
    groupBox = make<QGroupBox>(contents_tab_2, "groupBox");
    {
        auto* grid = groupGrid(groupBox);
        label_19 = make<QLabel>(groupBox, "label_19");
        sbWeight = integerSpinBox(groupBox, "sbWeight", 0, 255, 75);
        label_20 = make<QLabel>(groupBox, "label_20");
        sbFilter = integerSpinBox(groupBox, "sbFilter", 0, 10, 2);
        pbWeight = make<QPushButton>(groupBox, "pbWeight");
        label_21 = make<QLabel>(groupBox, "label_21");
        sbSearchRadius = integerSpinBox(groupBox, "sbSearchRadius", 1, 100, 20);
        label_9 = make<QLabel>(groupBox, "label_9");
        // "Pattern" and "Luminance" align on the bright feature; "Planet" and "Surface" sub-pixel.
        comboBox = make<QComboBox>(groupBox, "comboBox");
        cbRefine = make<QCheckBox>(groupBox, "cbRefine");
        cbRefine->setEnabled(false);
        grid->addWidget(label_19, 0, 0, 1, 2);
        grid->addWidget(sbWeight, 1, 0);
        grid->addWidget(label_20, 2, 0, 1, 2);
        grid->addWidget(sbFilter, 3, 0);
        grid->addWidget(pbWeight, 3, 1);
        grid->addWidget(label_21, 4, 0, 1, 2);
        grid->addWidget(sbSearchRadius, 5, 0);
        grid->addWidget(label_9, 6, 0, 1, 2);
        grid->addWidget(comboBox, 7, 0);
        grid->addWidget(cbRefine, 8, 0, 1, 2);
    }
    layout_tab_2->addWidget(groupBox);
    pbAlign = make<QPushButton>(contents_tab_2, "pbAlign");
    layout_tab_2->addWidget(pbAlign);
    pbRefine = make<QPushButton>(contents_tab_2, "pbRefine");
    layout_tab_2->addWidget(pbRefine);

    groupBox_8 = make<QGroupBox>(contents_tab_2, "groupBox_8");
    {
        auto* grid = groupGrid(groupBox_8);
        label = make<QLabel>(groupBox_8, "label");
        lblRefSource = patternThumbnail(groupBox_8, "lblRefSource");
        label_2 = make<QLabel>(groupBox_8, "label_2");
        lblRefUnref = patternThumbnail(groupBox_8, "lblRefUnref");
        label_3 = make<QLabel>(groupBox_8, "label_3");
        lblRefComp = patternThumbnail(groupBox_8, "lblRefComp");
        grid->addWidget(label, 0, 0);
        grid->addWidget(lblRefSource, 1, 0, Qt::AlignLeft);
        grid->addWidget(label_2, 2, 0);
        grid->addWidget(lblRefUnref, 3, 0, Qt::AlignLeft);
        grid->addWidget(label_3, 4, 0);
        grid->addWidget(lblRefComp, 5, 0, Qt::AlignLeft);
    }
    layout_tab_2->addWidget(groupBox_8);
    layout_tab_2->addStretch(1);
    tabWidget->addTab(tab_2, QString());

    // Page 2: stacking.
    tab_3 = newPage("tab_3", scrollArea_tab_3, contents_tab_3, layout_tab_3);
    groupBox_2 = make<QGroupBox>(contents_tab_3, "groupBox_2");
    {
        auto* grid = groupGrid(groupBox_2);
        label_22 = make<QLabel>(groupBox_2, "label_22");
        sbMinusR = integerSpinBox(groupBox_2, "sbMinusR", 0, 255, 0);
        sbMinusG = integerSpinBox(groupBox_2, "sbMinusG", 0, 255, 0);
        sbMinusB = integerSpinBox(groupBox_2, "sbMinusB", 0, 255, 0);
        label_23 = make<QLabel>(groupBox_2, "label_23");
        sbStackFilter = make<QSpinBox>(groupBox_2, "sbStackFilter");
        cbLuma = make<QCheckBox>(groupBox_2, "cbLuma");
        grid->addWidget(label_22, 0, 0, 1, 3);
        grid->addWidget(sbMinusR, 1, 0);
        grid->addWidget(sbMinusG, 1, 1);
        grid->addWidget(sbMinusB, 1, 2);
        grid->addWidget(label_23, 2, 0, 1, 3);
        grid->addWidget(sbStackFilter, 3, 0);
        grid->addWidget(cbLuma, 4, 0, 1, 3);
    }
    layout_tab_3->addWidget(groupBox_2);

    // Multi-point: local alignment and per-point frame selection.
    groupBox_16 = make<QGroupBox>(contents_tab_3, "groupBox_16");
    {
        auto* grid = groupGrid(groupBox_16);
        cbAlignPoints = make<QCheckBox>(groupBox_16, "cbAlignPoints");
        label_34 = make<QLabel>(groupBox_16, "label_34");
        sbApSize = integerSpinBox(groupBox_16, "sbApSize", 16, 256, 48);
        label_35 = make<QLabel>(groupBox_16, "label_35");
        sbApSearch = integerSpinBox(groupBox_16, "sbApSearch", 1, 64, 14);
        label_36 = make<QLabel>(groupBox_16, "label_36");
        sbApKeep = integerSpinBox(groupBox_16, "sbApKeep", 1, 100, 25);
        label_37 = make<QLabel>(groupBox_16, "label_37");
        sbApMinStructure = decimalSpinBox(groupBox_16, "sbApMinStructure", 2, 0.0, 100.0, 0.1, 1.0);
        label_38 = make<QLabel>(groupBox_16, "label_38");
        sbApMinBrightness = integerSpinBox(groupBox_16, "sbApMinBrightness", 0, 255, 20);
        cbShowPoints = make<QCheckBox>(groupBox_16, "cbShowPoints");
        cbShowPoints->setChecked(true);
        grid->addWidget(cbAlignPoints, 0, 0, 1, 2);
        grid->addWidget(label_34, 1, 0);
        grid->addWidget(sbApSize, 1, 1);
        grid->addWidget(label_35, 2, 0);
        grid->addWidget(sbApSearch, 2, 1);
        grid->addWidget(label_36, 3, 0);
        grid->addWidget(sbApKeep, 3, 1);
        grid->addWidget(label_37, 4, 0);
        grid->addWidget(sbApMinStructure, 4, 1);
        grid->addWidget(label_38, 5, 0);
        grid->addWidget(sbApMinBrightness, 5, 1);
        grid->addWidget(cbShowPoints, 6, 0, 1, 2);
    }
    layout_tab_3->addWidget(groupBox_16);
    pbStack2 = make<QPushButton>(contents_tab_3, "pbStack2");
    layout_tab_3->addWidget(pbStack2);
    layout_tab_3->addStretch(1);
    tabWidget->addTab(tab_3, QString());

    // Page 3: colour controls. Four groups of one spin box per channel under column labels.
    tab_4 = newPage("tab_4", scrollArea_tab_4, contents_tab_4, layout_tab_4);
    auto channelGroup = [this](const char* box, const char* const labels[3], const char* const boxes[3],
                               double minimum, double maximum, double value, QGroupBox*& group,
                               QLabel** labelOut[3], QDoubleSpinBox** boxOut[3]) {
        group = make<QGroupBox>(contents_tab_4, box);
        auto* grid = groupGrid(group);
        for (int c = 0; c < 3; ++c) {
            *labelOut[c] = make<QLabel>(group, labels[c]);
            *boxOut[c] = decimalSpinBox(group, boxes[c], 2, minimum, maximum, 0.1, value);
            grid->addWidget(*labelOut[c], 0, c);
            grid->addWidget(*boxOut[c], 1, c);
        }
        layout_tab_4->addWidget(group);
    };
    {
        const char* const labels[3] = {"label_12", "label_10", "label_11"};
        const char* const boxes[3] = {"sbGainR", "sbGainG", "sbGainB"};
        QLabel** l[3] = {&label_12, &label_10, &label_11};
        QDoubleSpinBox** b[3] = {&sbGainR, &sbGainG, &sbGainB};
        channelGroup("groupBox_10", labels, boxes, 0.0, 1000.0, 1.0, groupBox_10, l, b);
    }
    {
        const char* const labels[3] = {"label_15", "label_13", "label_14"};
        const char* const boxes[3] = {"sbGammaR", "sbGammaG", "sbGammaB"};
        QLabel** l[3] = {&label_15, &label_13, &label_14};
        QDoubleSpinBox** b[3] = {&sbGammaR, &sbGammaG, &sbGammaB};
        channelGroup("groupBox_11", labels, boxes, 0.0, 99.99, 1.0, groupBox_11, l, b);
    }
    {
        const char* const labels[3] = {"label_18", "label_16", "label_17"};
        const char* const boxes[3] = {"sbContrastR", "sbContrastG", "sbContrastB"};
        QLabel** l[3] = {&label_18, &label_16, &label_17};
        QDoubleSpinBox** b[3] = {&sbContrastR, &sbContrastG, &sbContrastB};
        channelGroup("groupBox_12", labels, boxes, 0.0, 99.99, 1.0, groupBox_12, l, b);
    }
    {
        const char* const labels[3] = {"label_32", "label_30", "label_31"};
        const char* const boxes[3] = {"sbOffsetR", "sbOffsetG", "sbOffsetB"};
        QLabel** l[3] = {&label_32, &label_30, &label_31};
        QDoubleSpinBox** b[3] = {&sbOffsetR, &sbOffsetG, &sbOffsetB};
        channelGroup("groupBox_13", labels, boxes, -1.0, 1.0, 0.0, groupBox_13, l, b);
    }

    // Luma weights default to the ITU-R BT.709 coefficients, hence four decimals.
    groupBox_5 = make<QGroupBox>(contents_tab_4, "groupBox_5");
    {
        auto* grid = groupGrid(groupBox_5);
        label_24 = make<QLabel>(groupBox_5, "label_24");
        sbLRed = decimalSpinBox(groupBox_5, "sbLRed", 4, 0.0, 1.0, 0.1, 0.2126);
        label_26 = make<QLabel>(groupBox_5, "label_26");
        sbLGreen = decimalSpinBox(groupBox_5, "sbLGreen", 4, 0.0, 1.0, 0.1, 0.7152);
        label_25 = make<QLabel>(groupBox_5, "label_25");
        sbLBlue = decimalSpinBox(groupBox_5, "sbLBlue", 4, 0.0, 1.0, 0.1, 0.0722);
        grid->addWidget(label_24, 0, 0);
        grid->addWidget(sbLRed, 0, 1);
        grid->addWidget(label_26, 1, 0);
        grid->addWidget(sbLGreen, 1, 1);
        grid->addWidget(label_25, 2, 0);
        grid->addWidget(sbLBlue, 2, 1);
    }
    layout_tab_4->addWidget(groupBox_5);

    groupBox_15 = make<QGroupBox>(contents_tab_4, "groupBox_15");
    {
        auto* grid = groupGrid(groupBox_15);
        cbLumaOut = make<QCheckBox>(groupBox_15, "cbLumaOut");
        cblvb = make<QCheckBox>(groupBox_15, "cblvb");
        label_4 = make<QLabel>(groupBox_15, "label_4");
        sblvb = make<QSpinBox>(groupBox_15, "sblvb");
        sblvb->setMinimum(1); // lifts the value to 1 as well
        sblvb->setMaximum(10);
        lblblend = make<QLabel>(groupBox_15, "lblblend");
        sblvbBlend = decimalSpinBox(groupBox_15, "sblvbBlend", 2, 0.01, 1.0, 0.1, 1.0);
        grid->addWidget(cbLumaOut, 0, 0, 1, 2);
        grid->addWidget(cblvb, 1, 0, 1, 2);
        grid->addWidget(label_4, 2, 0);
        grid->addWidget(sblvb, 2, 1);
        grid->addWidget(lblblend, 3, 0);
        grid->addWidget(sblvbBlend, 3, 1);
    }
    layout_tab_4->addWidget(groupBox_15);
    layout_tab_4->addStretch(1);
    tabWidget->addTab(tab_4, QString());

    // Page 4: advanced colour. Not offered yet, so the whole page is disabled and its
    // controls keep the values the colour pipeline reads.
    tab_6 = newPage("tab_6", scrollArea_tab_6, contents_tab_6, layout_tab_6);
    tab_6->setEnabled(false);
    {
        auto* grid = new QGridLayout();
        grid->setObjectName(QString::fromUtf8("grid_tab_6"));
        grid->setHorizontalSpacing(8);
        cbHillFunc = make<QCheckBox>(contents_tab_6, "cbHillFunc");
        cbDownHillFunc = make<QCheckBox>(contents_tab_6, "cbDownHillFunc");
        label_5 = make<QLabel>(contents_tab_6, "label_5");
        sbDHStrength = integerSpinBox(contents_tab_6, "sbDHStrength", 1, 99, 2);
        label_6 = make<QLabel>(contents_tab_6, "label_6");
        sbDHGain = make<QDoubleSpinBox>(contents_tab_6, "sbDHGain");
        sbDHGain->setValue(1.0);
        grid->addWidget(cbHillFunc, 0, 0, 1, 3);
        grid->addWidget(cbDownHillFunc, 1, 0, 1, 3);
        grid->setColumnMinimumWidth(0, 12); // the fields of the downhill function are indented
        grid->addWidget(label_5, 2, 1);
        grid->addWidget(sbDHStrength, 2, 2);
        grid->addWidget(label_6, 3, 1);
        grid->addWidget(sbDHGain, 3, 2);
        layout_tab_6->addLayout(grid);
    }
    layout_tab_6->addStretch(1);
    tabWidget->addTab(tab_6, QString());

    // Page 5: output.
    tab_5 = newPage("tab_5", scrollArea_tab_5, contents_tab_5, layout_tab_5);
    cbDepth16 = make<QCheckBox>(contents_tab_5, "cbDepth16");
    layout_tab_5->addWidget(cbDepth16);
    pbSaveStacked = make<QPushButton>(contents_tab_5, "pbSaveStacked");
    layout_tab_5->addWidget(pbSaveStacked);
    layout_tab_5->addStretch(1);
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

    // Long capture names are elided in the middle (the window gives each row its full path as
    // tool tip) instead of being cut at the list's edge.
    lwFrames = new QListWidget(groupBox_6);
    lwFrames->setObjectName(QString::fromUtf8("lwFrames"));
    lwFrames->setAlternatingRowColors(false);
    lwFrames->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lwFrames->setTextElideMode(Qt::ElideMiddle);
    lwFrames->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    lwFrames->setUniformItemSizes(true);
    gridLayout_3->addWidget(lwFrames, 0, 0, 1, 1);

    groupBox_14 = new QGroupBox(groupBox_6);
    groupBox_14->setObjectName(QString::fromUtf8("groupBox_14"));
    groupBox_14->setMinimumSize(QSize(0, 200));
    {
        auto* infoLayout = new QVBoxLayout(groupBox_14);
        infoLayout->setObjectName(QString::fromUtf8("infoLayout"));
        infoLayout->setContentsMargins(0, 4, 0, 0);
        teFrameInfo = make<QTextEdit>(groupBox_14, "teFrameInfo");
        infoLayout->addWidget(teFrameInfo);
    }
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
    fitLeftColumn();
    fitFrameColumn();

    tabWidget->setCurrentIndex(0);

    QMetaObject::connectSlotsByName(NebuloClass);
}

void NebuloClass::fitLeftColumn()
{
    // The tab column is as wide as its widest page needs (at least the 210 pixels it was drawn
    // for), plus room for a vertical scroll bar, so no page ever scrolls sideways.
    int pages = 0;
    for (QWidget* contents : {contents_tab, contents_tab_2, contents_tab_3, contents_tab_4, contents_tab_6,
                              contents_tab_5})
        pages = std::max(pages, contents->sizeHint().width());
    const int bar = tabWidget->tabBar()->sizeHint().width();
    const int scrollBar = scrollArea_tab->verticalScrollBar()->sizeHint().width();
    const int width = std::max(210, bar + pages + scrollBar + 4);
    frame->setMinimumWidth(width);
    frame->setMaximumWidth(width);
}

void NebuloClass::fitFrameColumn()
{
    // Never narrower than the 150 pixels it was drawn for. Beside the name a row holds its check box
    // and the item's margins; around the list are its frame, the scroll bar, the group and the column.
    QStyle* style = lwFrames->style();
    const int name = lwFrames->fontMetrics().horizontalAdvance(QStringLiteral("frame_00001.png"));
    const int row = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, lwFrames) +
                    4 * (style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, lwFrames) + 1) + 4;
    const int around = 2 * lwFrames->frameWidth() + lwFrames->verticalScrollBar()->sizeHint().width() +
                       gridLayout_3->contentsMargins().left() + gridLayout_3->contentsMargins().right() +
                       2 * frame_2->frameWidth() + 4;
    const int width = std::max(150, name + row + around);
    frame_2->setMinimumWidth(width);
    frame_2->setMaximumWidth(width);
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
    lblDebayer->setText(QCoreApplication::translate("NebuloClass", "Debayer:"));
    comboDebayer->clear();
    comboDebayer->insertItems(0, QStringList() << QCoreApplication::translate("NebuloClass", "Auto")
                                               << QCoreApplication::translate("NebuloClass", "None")
                                               << QStringLiteral("RGGB") << QStringLiteral("GRBG")
                                               << QStringLiteral("GBRG") << QStringLiteral("BGGR"));
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
                                 << QCoreApplication::translate("NebuloClass", "Luminance")
                                 << QCoreApplication::translate("NebuloClass", "Planet")
                                 << QCoreApplication::translate("NebuloClass", "Surface"));
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
    groupBox_16->setTitle(QCoreApplication::translate("NebuloClass", "Multi-point"));
    cbAlignPoints->setText(QCoreApplication::translate("NebuloClass", "Alignment points"));
    label_34->setText(QCoreApplication::translate("NebuloClass", "Box size:"));
    label_35->setText(QCoreApplication::translate("NebuloClass", "Search:"));
    sbApSearch->setSuffix(QCoreApplication::translate("NebuloClass", " px"));
    label_36->setText(QCoreApplication::translate("NebuloClass", "Frames per point (%):"));
    label_37->setText(QCoreApplication::translate("NebuloClass", "Min. structure:"));
    label_38->setText(QCoreApplication::translate("NebuloClass", "Min. brightness:"));
    cbShowPoints->setText(QCoreApplication::translate("NebuloClass", "Show alignment points"));
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

    cbDepth16->setText(QCoreApplication::translate("NebuloClass", "16 bits per channel"));
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
