// The main window's widget tree, written the way a form compiler lays it out: one public
// pointer per object, named exactly like the object, so the window reaches every control
// through `ui->name`. The form carries the program's vocabulary and every default parameter
// value; it has no behaviour of its own.
#ifndef NEBULOFORM_H
#define NEBULOFORM_H

#include <QtGui/QAction>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QDoubleSpinBox>
#include <QtWidgets/QFrame>
#include <QtWidgets/QGraphicsView>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QGroupBox>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QListWidget>
#include <QtWidgets/QMainWindow>
#include <QtWidgets/QMenu>
#include <QtWidgets/QMenuBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QScrollArea>
#include <QtWidgets/QSpinBox>
#include <QtWidgets/QStatusBar>
#include <QtWidgets/QTabWidget>
#include <QtWidgets/QTextEdit>
#include <QtWidgets/QToolBar>
#include <QtWidgets/QVBoxLayout>
#include <QtWidgets/QWidget>

namespace Ui {

class NebuloClass
{
public:
    // Menu actions (the menu bar is disabled and later hidden by the window).
    QAction* action_Open = nullptr;
    QAction* action_Exit = nullptr;
    QAction* actionSave_Result = nullptr;
    QAction* actionGradientH = nullptr;

    QWidget* centralWidget = nullptr;
    QGridLayout* gridLayout = nullptr;
    QHBoxLayout* horizontalLayout = nullptr;

    // Left column: the work-flow tabs. Each page holds a scroll area around a widget whose
    // vertical layout stacks the page's groups and buttons (new controls go into these layouts).
    QFrame* frame = nullptr;
    QVBoxLayout* frameLayout = nullptr;
    QTabWidget* tabWidget = nullptr;
    QScrollArea* scrollArea_tab = nullptr;
    QWidget* contents_tab = nullptr;
    QVBoxLayout* layout_tab = nullptr;
    QScrollArea* scrollArea_tab_2 = nullptr;
    QWidget* contents_tab_2 = nullptr;
    QVBoxLayout* layout_tab_2 = nullptr;
    QScrollArea* scrollArea_tab_3 = nullptr;
    QWidget* contents_tab_3 = nullptr;
    QVBoxLayout* layout_tab_3 = nullptr;
    QScrollArea* scrollArea_tab_4 = nullptr;
    QWidget* contents_tab_4 = nullptr;
    QVBoxLayout* layout_tab_4 = nullptr;
    QScrollArea* scrollArea_tab_6 = nullptr;
    QWidget* contents_tab_6 = nullptr;
    QVBoxLayout* layout_tab_6 = nullptr;
    QScrollArea* scrollArea_tab_5 = nullptr;
    QWidget* contents_tab_5 = nullptr;
    QVBoxLayout* layout_tab_5 = nullptr;

    // Page 0, "Image Selection".
    QWidget* tab = nullptr;
    QGroupBox* groupBox_4 = nullptr;
    QPushButton* pbImages = nullptr;
    QPushButton* pbDarks = nullptr;
    QLabel* lblDebayer = nullptr;
    QComboBox* comboDebayer = nullptr;
    QGroupBox* groupBox_7 = nullptr;
    QLabel* label_28 = nullptr;
    QDoubleSpinBox* sbQPerc = nullptr;
    QLabel* label_29 = nullptr;
    QSpinBox* sbQFrames = nullptr;
    QCheckBox* cbMinQuality = nullptr;
    QPushButton* pbQSelect = nullptr;
    QGroupBox* groupBox_9 = nullptr;
    QCheckBox* cbSubpixel = nullptr;
    QLabel* label_7 = nullptr;
    QLabel* label_8 = nullptr;
    QSpinBox* sbScale = nullptr;
    QGroupBox* groupBox_3 = nullptr;
    QCheckBox* cbPreviewDarkframe = nullptr;
    QLabel* label_27 = nullptr;
    QDoubleSpinBox* sbPreviewGain = nullptr;
    QLabel* label_33 = nullptr;
    QDoubleSpinBox* sbDFGain = nullptr;

    // Page 1, "Alignment".
    QWidget* tab_2 = nullptr;
    QGroupBox* groupBox = nullptr;
    QLabel* label_19 = nullptr;
    QSpinBox* sbWeight = nullptr;
    QLabel* label_20 = nullptr;
    QSpinBox* sbFilter = nullptr;
    QPushButton* pbWeight = nullptr;
    QLabel* label_21 = nullptr;
    QSpinBox* sbSearchRadius = nullptr;
    QLabel* label_9 = nullptr;
    QComboBox* comboBox = nullptr;
    QCheckBox* cbRefine = nullptr;
    QPushButton* pbAlign = nullptr;
    QPushButton* pbRefine = nullptr;
    QGroupBox* groupBox_8 = nullptr;
    QLabel* label = nullptr;
    QLabel* lblRefSource = nullptr;
    QLabel* label_2 = nullptr;
    QLabel* lblRefUnref = nullptr;
    QLabel* label_3 = nullptr;
    QLabel* lblRefComp = nullptr;

    // Page 2, "Stacking".
    QWidget* tab_3 = nullptr;
    QGroupBox* groupBox_2 = nullptr;
    QLabel* label_22 = nullptr;
    QSpinBox* sbMinusR = nullptr;
    QSpinBox* sbMinusG = nullptr;
    QSpinBox* sbMinusB = nullptr;
    QLabel* label_23 = nullptr;
    QSpinBox* sbStackFilter = nullptr;
    QCheckBox* cbLuma = nullptr;
    QGroupBox* groupBox_16 = nullptr;
    QCheckBox* cbAlignPoints = nullptr;
    QLabel* label_34 = nullptr;
    QSpinBox* sbApSize = nullptr;
    QLabel* label_35 = nullptr;
    QSpinBox* sbApSearch = nullptr;
    QLabel* label_36 = nullptr;
    QSpinBox* sbApKeep = nullptr;
    QLabel* label_37 = nullptr;
    QDoubleSpinBox* sbApMinStructure = nullptr;
    QLabel* label_38 = nullptr;
    QSpinBox* sbApMinBrightness = nullptr;
    QCheckBox* cbShowPoints = nullptr;
    QPushButton* pbStack2 = nullptr;

    // Page 3, "Color Controls".
    QWidget* tab_4 = nullptr;
    QGroupBox* groupBox_10 = nullptr;
    QLabel* label_12 = nullptr;
    QLabel* label_10 = nullptr;
    QLabel* label_11 = nullptr;
    QDoubleSpinBox* sbGainR = nullptr;
    QDoubleSpinBox* sbGainG = nullptr;
    QDoubleSpinBox* sbGainB = nullptr;
    QGroupBox* groupBox_11 = nullptr;
    QLabel* label_15 = nullptr;
    QLabel* label_13 = nullptr;
    QLabel* label_14 = nullptr;
    QDoubleSpinBox* sbGammaR = nullptr;
    QDoubleSpinBox* sbGammaG = nullptr;
    QDoubleSpinBox* sbGammaB = nullptr;
    QGroupBox* groupBox_12 = nullptr;
    QLabel* label_18 = nullptr;
    QLabel* label_16 = nullptr;
    QLabel* label_17 = nullptr;
    QDoubleSpinBox* sbContrastR = nullptr;
    QDoubleSpinBox* sbContrastG = nullptr;
    QDoubleSpinBox* sbContrastB = nullptr;
    QGroupBox* groupBox_13 = nullptr;
    QLabel* label_32 = nullptr;
    QLabel* label_30 = nullptr;
    QLabel* label_31 = nullptr;
    QDoubleSpinBox* sbOffsetR = nullptr;
    QDoubleSpinBox* sbOffsetG = nullptr;
    QDoubleSpinBox* sbOffsetB = nullptr;
    QGroupBox* groupBox_5 = nullptr;
    QLabel* label_24 = nullptr;
    QDoubleSpinBox* sbLRed = nullptr;
    QLabel* label_26 = nullptr;
    QDoubleSpinBox* sbLGreen = nullptr;
    QLabel* label_25 = nullptr;
    QDoubleSpinBox* sbLBlue = nullptr;
    QGroupBox* groupBox_15 = nullptr;
    QCheckBox* cbLumaOut = nullptr;
    QCheckBox* cblvb = nullptr;
    QLabel* label_4 = nullptr;
    QSpinBox* sblvb = nullptr;
    QLabel* lblblend = nullptr;
    QDoubleSpinBox* sblvbBlend = nullptr;

    // Page 4, "Adv. Color" (disabled as a whole).
    QWidget* tab_6 = nullptr;
    QCheckBox* cbHillFunc = nullptr;
    QCheckBox* cbDownHillFunc = nullptr;
    QLabel* label_5 = nullptr;
    QSpinBox* sbDHStrength = nullptr;
    QLabel* label_6 = nullptr;
    QDoubleSpinBox* sbDHGain = nullptr;

    // Page 5, "Final Output".
    QWidget* tab_5 = nullptr;
    QCheckBox* cbDepth16 = nullptr; // the result at 16 bits per channel (PNG, TIFF, PPM, PGM)
    QPushButton* pbSaveStacked = nullptr;

    // Middle column: image view placeholder and log pane.
    QVBoxLayout* verticalLayout = nullptr;
    QGraphicsView* gvMain = nullptr;
    QTextEdit* teDebug = nullptr;

    // Right column: frame list and frame information.
    QFrame* frame_2 = nullptr;
    QGridLayout* gridLayout_2 = nullptr;
    QGroupBox* groupBox_6 = nullptr;
    QGridLayout* gridLayout_3 = nullptr;
    QListWidget* lwFrames = nullptr;
    QGroupBox* groupBox_14 = nullptr;
    QTextEdit* teFrameInfo = nullptr;

    QMenuBar* menuBar = nullptr;
    QMenu* menu_File = nullptr;
    QMenu* menu_Edit = nullptr;
    QMenu* menu_Help = nullptr;
    QMenu* menuDebug = nullptr;
    QToolBar* mainToolBar = nullptr;
    QStatusBar* statusBar = nullptr;

    // Builds the tree on the window, sets the texts, shows the first page and runs the
    // by-name auto-connection.
    void setupUi(QMainWindow* NebuloClass);

    // Sets every user-visible text (context "NebuloClass").
    void retranslateUi(QMainWindow* NebuloClass);

    // Sizes the tab column to the widest page at the current fonts; call again after the fonts
    // or texts change.
    void fitLeftColumn();
    // Sizes the frame column so that a frame name of 15 characters ("frame_00001.png") shows whole;
    // longer names are elided. Call again after the fonts change.
    void fitFrameColumn();

    // The window's style sheet.
    static const char* const styleSheet;
};

} // namespace Ui

#endif // NEBULOFORM_H
