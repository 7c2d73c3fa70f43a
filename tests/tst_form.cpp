// The main window's form: the controls' limits and defaults that the processing reads, the
// work-flow tabs, the disabled parts of the window and the user-visible vocabulary.
#include "nebuloform.h"

#include <QtCore/QLocale>
#include <QtCore/QTranslator>
#include <QtTest/QtTest>

#include <memory>

namespace {

// Marks every text of the form's context, so a text that bypasses translation or uses
// another context shows up unmarked.
class MarkingTranslator : public QTranslator
{
public:
    QString translate(const char* context, const char* sourceText, const char* /*disambiguation*/,
                      int /*n*/) const override
    {
        if (qstrcmp(context, "NebuloClass") != 0)
            return QString();
        return QLatin1Char('<') + QString::fromUtf8(sourceText) + QLatin1Char('>');
    }
    bool isEmpty() const override { return false; }
};

// Removes the translator even when a check fails half-way.
struct InstalledTranslator
{
    MarkingTranslator translator;
    InstalledTranslator() { QCoreApplication::installTranslator(&translator); }
    ~InstalledTranslator() { QCoreApplication::removeTranslator(&translator); }
};

} // namespace

// A window with a slot named the way the toolkit's by-name auto-connection looks for.
class AutoConnectedWindow : public QMainWindow
{
    Q_OBJECT
public:
    int imagesClicks = 0;
public slots:
    void on_pbImages_clicked() { ++imagesClicks; }
};

class TestForm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void windowProperties_data();
    void windowProperties();
    void everyMemberIsTheObjectOfItsName();
    void layout();
    void sizePolicies_data();
    void sizePolicies();
    void placement_data();
    void placement();

    void tabWidget();
    void tabs_data();
    void tabs();

    void integerSpinBoxes_data();
    void integerSpinBoxes();
    void decimalSpinBoxes_data();
    void decimalSpinBoxes();
    void decimalSpinBoxLimits_data();
    void decimalSpinBoxLimits();
    void checkBoxes_data();
    void checkBoxes();
    void disabledControlsIgnoreInput_data();
    void disabledControlsIgnoreInput();

    void comboBox();
    void patternThumbnails_data();
    void patternThumbnails();
    void panes();

    void menus_data();
    void menus();
    void actions_data();
    void actions();

    void texts_data();
    void texts();
    void translatedTexts_data();
    void translatedTexts();

    void autoConnectsSlotsByName();

private:
    QObject* object(const QString& name) const;
    QString textOf(const QString& name, const QByteArray& what) const;

    std::unique_ptr<QMainWindow> window;
    Ui::NebuloClass ui;
};

void TestForm::initTestCase()
{
    // The spin boxes format their numbers in the widget's locale.
    QLocale::setDefault(QLocale::c());
}

void TestForm::init()
{
    window = std::make_unique<QMainWindow>();
    ui = Ui::NebuloClass();
    ui.setupUi(window.get());
}

void TestForm::cleanup()
{
    window.reset();
}

QObject* TestForm::object(const QString& name) const
{
    if (window->objectName() == name)
        return window.get();
    return window->findChild<QObject*>(name);
}

QString TestForm::textOf(const QString& name, const QByteArray& what) const
{
    QObject* o = object(name);
    if (!o)
        return QStringLiteral("<no object %1>").arg(name);
    if (what == "tabText")
        return ui.tabWidget->tabText(ui.tabWidget->indexOf(qobject_cast<QWidget*>(o)));
    if (what.startsWith("item")) {
        auto* combo = qobject_cast<QComboBox*>(o);
        return combo ? combo->itemText(what.mid(4).toInt()) : QStringLiteral("<not a combo box>");
    }
    return o->property(what.constData()).toString();
}

// ---------------------------------------------------------------------------------------------

void TestForm::windowProperties_data()
{
    QTest::addColumn<QString>("presetName");
    QTest::addColumn<QString>("expectedName");

    QTest::newRow("unnamed window gets the form's name") << QString() << "NebuloClass";
    QTest::newRow("a name already given is kept") << "mainWindow" << "mainWindow";
}

void TestForm::windowProperties()
{
    QFETCH(QString, presetName);
    QFETCH(QString, expectedName);

    QMainWindow w;
    w.setObjectName(presetName);
    Ui::NebuloClass form;
    form.setupUi(&w);

    QCOMPARE(w.objectName(), expectedName);
    QCOMPARE(w.windowTitle(), QStringLiteral("Nebulo"));
    QCOMPARE(w.size(), QSize(952, 781));
    // The dark colours for every widget, and greyed text and flat fields for disabled ones.
    QCOMPARE(w.styleSheet(), QStringLiteral("* {\n"
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
                                            "}"));
    QCOMPARE(w.centralWidget(), form.centralWidget);
    QCOMPARE(w.menuBar(), form.menuBar);
    QCOMPARE(w.statusBar(), form.statusBar);
    QCOMPARE(w.toolBarArea(form.mainToolBar), Qt::TopToolBarArea);
    QVERIFY(form.mainToolBar->actions().isEmpty());
    QVERIFY(form.statusBar->currentMessage().isEmpty());
}

void TestForm::everyMemberIsTheObjectOfItsName()
{
    // The window and the processing reach controls through these members and, in places, by
    // name; both must lead to the same, single object.
#define MEMBER(m) { QStringLiteral(#m), ui.m }
    const QList<QPair<QString, QObject*>> members = {
        MEMBER(action_Open), MEMBER(action_Exit), MEMBER(actionSave_Result),
        MEMBER(actionGradientH), MEMBER(centralWidget), MEMBER(gridLayout),
        MEMBER(horizontalLayout), MEMBER(frame), MEMBER(tabWidget), MEMBER(tab),
        MEMBER(groupBox_4), MEMBER(pbImages), MEMBER(pbDarks), MEMBER(groupBox_7),
        MEMBER(label_28), MEMBER(sbQPerc), MEMBER(label_29), MEMBER(sbQFrames),
        MEMBER(cbMinQuality), MEMBER(pbQSelect), MEMBER(groupBox_9), MEMBER(cbSubpixel),
        MEMBER(label_7), MEMBER(label_8), MEMBER(sbScale), MEMBER(groupBox_3),
        MEMBER(cbPreviewDarkframe), MEMBER(label_27), MEMBER(sbPreviewGain), MEMBER(label_33),
        MEMBER(sbDFGain), MEMBER(tab_2), MEMBER(groupBox), MEMBER(label_19), MEMBER(sbWeight),
        MEMBER(label_20), MEMBER(sbFilter), MEMBER(pbWeight), MEMBER(label_21),
        MEMBER(sbSearchRadius), MEMBER(label_9), MEMBER(comboBox), MEMBER(cbRefine),
        MEMBER(pbAlign), MEMBER(pbRefine), MEMBER(groupBox_8), MEMBER(label),
        MEMBER(lblRefSource), MEMBER(label_2), MEMBER(lblRefUnref), MEMBER(label_3),
        MEMBER(lblRefComp), MEMBER(tab_3), MEMBER(groupBox_2), MEMBER(label_22),
        MEMBER(sbMinusR), MEMBER(sbMinusG), MEMBER(sbMinusB), MEMBER(label_23),
        MEMBER(sbStackFilter), MEMBER(cbLuma), MEMBER(pbStack2), MEMBER(tab_4),
        MEMBER(groupBox_10), MEMBER(label_12), MEMBER(label_10), MEMBER(label_11),
        MEMBER(sbGainR), MEMBER(sbGainG), MEMBER(sbGainB), MEMBER(groupBox_11),
        MEMBER(label_15), MEMBER(label_13), MEMBER(label_14), MEMBER(sbGammaR),
        MEMBER(sbGammaG), MEMBER(sbGammaB), MEMBER(groupBox_12), MEMBER(label_18),
        MEMBER(label_16), MEMBER(label_17), MEMBER(sbContrastR), MEMBER(sbContrastG),
        MEMBER(sbContrastB), MEMBER(groupBox_13), MEMBER(label_32), MEMBER(label_30),
        MEMBER(label_31), MEMBER(sbOffsetR), MEMBER(sbOffsetG), MEMBER(sbOffsetB),
        MEMBER(groupBox_5), MEMBER(label_24), MEMBER(sbLRed), MEMBER(label_26),
        MEMBER(sbLGreen), MEMBER(label_25), MEMBER(sbLBlue), MEMBER(groupBox_15),
        MEMBER(cbLumaOut), MEMBER(cblvb), MEMBER(label_4), MEMBER(sblvb), MEMBER(lblblend),
        MEMBER(sblvbBlend), MEMBER(tab_6), MEMBER(cbHillFunc), MEMBER(cbDownHillFunc),
        MEMBER(label_5), MEMBER(sbDHStrength), MEMBER(label_6), MEMBER(sbDHGain),
        MEMBER(tab_5), MEMBER(pbSaveStacked), MEMBER(verticalLayout), MEMBER(gvMain),
        MEMBER(teDebug), MEMBER(frame_2), MEMBER(gridLayout_2), MEMBER(groupBox_6),
        MEMBER(gridLayout_3), MEMBER(lwFrames), MEMBER(groupBox_14), MEMBER(teFrameInfo),
        MEMBER(menuBar), MEMBER(menu_File), MEMBER(menu_Edit), MEMBER(menu_Help),
        MEMBER(menuDebug), MEMBER(mainToolBar), MEMBER(statusBar),
    };
#undef MEMBER
    QCOMPARE(members.size(), 131);

    QStringList faults;
    for (const auto& [name, member] : members) {
        const QList<QObject*> found = window->findChildren<QObject*>(name);
        if (!member)
            faults << name + QStringLiteral(" not created");
        else if (found != QList<QObject*>{member})
            faults << QStringLiteral("%1: %2 object(s) of that name, member among them: %3")
                          .arg(name)
                          .arg(found.size())
                          .arg(found.contains(member) ? "yes" : "no");
    }
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QStringLiteral("; "))));
}

void TestForm::layout()
{
    // Column 0 stays empty: the tabs and the view sit in column 1, the frame list in column 2.
    QCOMPARE(ui.gridLayout->parentWidget(), ui.centralWidget);
    QCOMPARE(ui.gridLayout->spacing(), 6);
    QCOMPARE(ui.gridLayout->contentsMargins(), QMargins(11, 11, 11, 11));
    QCOMPARE(ui.gridLayout->count(), 2);
    QVERIFY(!ui.gridLayout->itemAtPosition(0, 0));
    QCOMPARE(ui.gridLayout->itemAtPosition(0, 1)->layout(), ui.horizontalLayout);
    QCOMPARE(ui.gridLayout->itemAtPosition(0, 2)->widget(), ui.frame_2);

    QCOMPARE(ui.horizontalLayout->spacing(), 6);
    QCOMPARE(ui.horizontalLayout->count(), 2);
    QCOMPARE(ui.horizontalLayout->itemAt(0)->widget(), ui.frame);
    QCOMPARE(ui.horizontalLayout->itemAt(1)->layout(), ui.verticalLayout);

    // The window inserts its image view at index 0, above these two.
    QCOMPARE(ui.verticalLayout->spacing(), 6);
    QCOMPARE(ui.verticalLayout->count(), 2);
    QCOMPARE(ui.verticalLayout->itemAt(0)->widget(), ui.gvMain);
    QCOMPARE(ui.verticalLayout->itemAt(1)->widget(), ui.teDebug);

    QCOMPARE(ui.gridLayout_2->parentWidget(), ui.frame_2);
    QCOMPARE(ui.gridLayout_2->spacing(), 6);
    QCOMPARE(ui.gridLayout_2->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(ui.gridLayout_2->itemAtPosition(0, 0)->widget(), ui.groupBox_6);

    QCOMPARE(ui.gridLayout_3->parentWidget(), ui.groupBox_6);
    QCOMPARE(ui.gridLayout_3->spacing(), 6);
    QCOMPARE(ui.gridLayout_3->contentsMargins(), QMargins(5, 5, 5, 5));
    QCOMPARE(ui.gridLayout_3->itemAtPosition(0, 0)->widget(), ui.lwFrames);
    QCOMPARE(ui.gridLayout_3->itemAtPosition(1, 0)->widget(), ui.groupBox_14);

    // As wide as the widest page needs, never narrower than the 210 pixels it was drawn for.
    QVERIFY(ui.frame->minimumWidth() >= 210);
    QCOMPARE(ui.frame->maximumWidth(), ui.frame->minimumWidth());
    QCOMPARE(ui.frame->frameShape(), QFrame::NoFrame);
    QCOMPARE(ui.frame->frameShadow(), QFrame::Raised);
    // As wide as a frame name of 15 characters needs, never narrower than the 150 pixels it was drawn for.
    QVERIFY(ui.frame_2->minimumWidth() >= 150);
    QCOMPARE(ui.frame_2->maximumWidth(), ui.frame_2->minimumWidth());
    QCOMPARE(ui.frame_2->frameShape(), QFrame::StyledPanel);
    QCOMPARE(ui.frame_2->frameShadow(), QFrame::Raised);
    QCOMPARE(ui.groupBox_14->minimumHeight(), 200);
}

void TestForm::sizePolicies_data()
{
    QTest::addColumn<QString>("name");
    for (const char* name : { "frame", "tabWidget", "tab", "tab_2", "tab_3", "tab_4", "tab_6",
                              "tab_5", "groupBox_6" })
        QTest::newRow(name) << name;
}

void TestForm::sizePolicies()
{
    QFETCH(QString, name);
    auto* widget = window->findChild<QWidget*>(name);
    QVERIFY(widget);
    QCOMPARE(widget->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(widget->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
}

void TestForm::placement_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("geometry");

    auto row = [](const char* name, const char* parent, int x, int y, int w, int h) {
        QTest::newRow(name) << name << parent << QRect(x, y, w, h);
    };

    row("tabWidget", "frame", 0, 10, 211, 701);
    row("teFrameInfo", "groupBox_14", 0, 20, 131, 171);

    row("groupBox_4", "contents_tab", 10, 10, 181, 81);
    row("pbImages", "groupBox_4", 10, 20, 161, 23);
    row("pbDarks", "groupBox_4", 10, 50, 161, 23);
    row("groupBox_7", "contents_tab", 10, 100, 181, 141);
    row("label_28", "groupBox_7", 10, 20, 61, 16);
    row("sbQPerc", "groupBox_7", 91, 20, 81, 22);
    row("label_29", "groupBox_7", 10, 50, 46, 13);
    row("sbQFrames", "groupBox_7", 90, 50, 81, 22);
    row("cbMinQuality", "groupBox_7", 10, 80, 111, 17);
    row("pbQSelect", "groupBox_7", 10, 110, 161, 23);
    row("groupBox_9", "contents_tab", 10, 250, 181, 131);
    row("cbSubpixel", "groupBox_9", 10, 20, 151, 17);
    row("label_7", "groupBox_9", 10, 40, 151, 31);
    row("label_8", "groupBox_9", 10, 80, 71, 16);
    row("sbScale", "groupBox_9", 90, 80, 81, 22);
    row("groupBox_3", "contents_tab", 10, 390, 181, 101);
    row("cbPreviewDarkframe", "groupBox_3", 10, 20, 161, 16);
    row("label_27", "groupBox_3", 10, 40, 81, 16);
    row("sbPreviewGain", "groupBox_3", 110, 40, 62, 22);
    row("label_33", "groupBox_3", 10, 70, 91, 16);
    row("sbDFGain", "groupBox_3", 110, 70, 62, 22);

    row("groupBox", "contents_tab_2", 10, 0, 181, 251);
    row("label_19", "groupBox", 10, 20, 101, 16);
    row("sbWeight", "groupBox", 10, 40, 81, 22);
    row("label_20", "groupBox", 10, 70, 61, 16);
    row("sbFilter", "groupBox", 10, 90, 81, 22);
    row("pbWeight", "groupBox", 100, 90, 75, 23);
    row("label_21", "groupBox", 10, 120, 81, 16);
    row("sbSearchRadius", "groupBox", 10, 140, 81, 22);
    row("label_9", "groupBox", 10, 170, 91, 16);
    row("comboBox", "groupBox", 10, 190, 81, 22);
    row("cbRefine", "groupBox", 10, 220, 161, 17);
    row("pbAlign", "contents_tab_2", 10, 260, 181, 23);
    row("pbRefine", "contents_tab_2", 10, 290, 181, 23);
    row("groupBox_8", "contents_tab_2", 10, 320, 181, 261);
    row("label", "groupBox_8", 10, 20, 71, 16);
    row("lblRefSource", "groupBox_8", 10, 40, 50, 50);
    row("label_2", "groupBox_8", 10, 100, 91, 16);
    row("lblRefUnref", "groupBox_8", 10, 120, 50, 50);
    row("label_3", "groupBox_8", 10, 180, 91, 16);
    row("lblRefComp", "groupBox_8", 10, 200, 50, 50);

    row("groupBox_2", "contents_tab_3", 10, 10, 181, 151);
    row("label_22", "groupBox_2", 10, 20, 151, 16);
    row("sbMinusR", "groupBox_2", 10, 40, 51, 22);
    row("sbMinusG", "groupBox_2", 60, 40, 51, 22);
    row("sbMinusB", "groupBox_2", 120, 40, 51, 22);
    row("label_23", "groupBox_2", 10, 70, 46, 13);
    row("sbStackFilter", "groupBox_2", 10, 90, 81, 22);
    row("cbLuma", "groupBox_2", 10, 120, 121, 17);
    row("pbStack2", "contents_tab_3", 10, 170, 181, 23);

    // The four channel groups share one shape: column labels over one spin box per channel.
    struct ChannelGroup
    {
        const char* box;
        int y;
        const char* labels[3];
        const char* spinBoxes[3];
    };
    const ChannelGroup groups[] = {
        { "groupBox_10", 0, { "label_12", "label_10", "label_11" },
          { "sbGainR", "sbGainG", "sbGainB" } },
        { "groupBox_11", 90, { "label_15", "label_13", "label_14" },
          { "sbGammaR", "sbGammaG", "sbGammaB" } },
        { "groupBox_12", 180, { "label_18", "label_16", "label_17" },
          { "sbContrastR", "sbContrastG", "sbContrastB" } },
        { "groupBox_13", 270, { "label_32", "label_30", "label_31" },
          { "sbOffsetR", "sbOffsetG", "sbOffsetB" } },
    };
    const int labelX[3] = { 20, 70, 120 };
    const int spinBoxX[3] = { 20, 69, 120 };
    for (const ChannelGroup& g : groups) {
        row(g.box, "contents_tab_4", 10, g.y, 181, 81);
        for (int c = 0; c < 3; ++c) {
            row(g.labels[c], g.box, labelX[c], 20, 46, 13);
            row(g.spinBoxes[c], g.box, spinBoxX[c], 40, 51, 22);
        }
    }
    row("groupBox_5", "contents_tab_4", 10, 360, 181, 111);
    row("label_24", "groupBox_5", 10, 20, 46, 13);
    row("sbLRed", "groupBox_5", 90, 20, 81, 22);
    row("label_26", "groupBox_5", 10, 50, 46, 13);
    row("sbLGreen", "groupBox_5", 90, 50, 81, 22);
    row("label_25", "groupBox_5", 10, 80, 46, 13);
    row("sbLBlue", "groupBox_5", 90, 80, 81, 22);
    row("groupBox_15", "contents_tab_4", 10, 480, 181, 151);
    row("cbLumaOut", "groupBox_15", 10, 20, 161, 17);
    row("cblvb", "groupBox_15", 10, 40, 161, 17);
    row("label_4", "groupBox_15", 10, 60, 46, 13);
    row("sblvb", "groupBox_15", 90, 60, 81, 22);
    row("lblblend", "groupBox_15", 10, 90, 61, 16);
    row("sblvbBlend", "groupBox_15", 90, 90, 81, 22);

    row("cbHillFunc", "contents_tab_6", 10, 0, 171, 17);
    row("cbDownHillFunc", "contents_tab_6", 10, 20, 171, 17);
    row("label_5", "contents_tab_6", 30, 40, 46, 13);
    row("sbDHStrength", "contents_tab_6", 101, 40, 81, 22);
    row("label_6", "contents_tab_6", 30, 70, 46, 13);
    row("sbDHGain", "contents_tab_6", 100, 70, 81, 22);

    row("pbSaveStacked", "contents_tab_5", 10, 0, 171, 23);
}

void TestForm::placement()
{
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QRect, geometry);

    auto* widget = window->findChild<QWidget*>(name);
    QVERIFY2(widget, qPrintable(name));
    QVERIFY(widget->parentWidget());
    QCOMPARE(widget->parentWidget()->objectName(), parent);
    // Layouts size the widgets for their texts: each is at least as wide as its former fixed
    // geometry and as tall as it needs; the pattern thumbnails keep exactly their size. The frame
    // information fills its group, inside which its former geometry did not fit.
    for (QWidget* w = widget; w; w = w->parentWidget()) {
        if (ui.tabWidget->indexOf(w) >= 0) {
            ui.tabWidget->setCurrentWidget(w);
            break;
        }
    }
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    if (name == QLatin1String("teFrameInfo"))
        QVERIFY(widget->parentWidget()->contentsRect().contains(widget->geometry()));
    else
        QVERIFY2(widget->width() >= geometry.width(), qPrintable(QString::number(widget->width())));
    QVERIFY2(widget->height() >= widget->minimumSizeHint().height(), qPrintable(QString::number(widget->height())));
    if (name.startsWith(QLatin1String("lblRef")))
        QCOMPARE(widget->size(), geometry.size());
}

// ---------------------------------------------------------------------------------------------

void TestForm::tabWidget()
{
    QCOMPARE(ui.tabWidget->count(), 6);
    QCOMPARE(ui.tabWidget->tabPosition(), QTabWidget::West);
    QCOMPARE(ui.tabWidget->tabShape(), QTabWidget::Triangular);
    QCOMPARE(ui.tabWidget->elideMode(), Qt::ElideNone);
    QVERIFY(ui.tabWidget->usesScrollButtons());
    QVERIFY(ui.tabWidget->documentMode());
    QVERIFY(!ui.tabWidget->tabsClosable());
    QVERIFY(!ui.tabWidget->isMovable());

    // The work flow starts on the first page, also after the window is shown.
    QCOMPARE(ui.tabWidget->currentIndex(), 0);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QCOMPARE(ui.tabWidget->currentWidget(), ui.tab);
    QVERIFY(ui.groupBox_4->isVisible());
    QVERIFY(!ui.groupBox->isVisible());
}

void TestForm::tabs_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("page");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("Image Selection") << 0 << "tab" << true;
    QTest::newRow("Alignment") << 1 << "tab_2" << true;
    QTest::newRow("Stacking") << 2 << "tab_3" << true;
    QTest::newRow("Color Controls") << 3 << "tab_4" << true;
    QTest::newRow("Adv. Color") << 4 << "tab_6" << false;
    QTest::newRow("Final Output") << 5 << "tab_5" << true;
}

void TestForm::tabs()
{
    QFETCH(int, index);
    QFETCH(QString, page);
    QFETCH(bool, enabled);

    QWidget* widget = ui.tabWidget->widget(index);
    QVERIFY(widget);
    QCOMPARE(widget->objectName(), page);
    QCOMPARE(widget->isEnabled(), enabled);
}

// ---------------------------------------------------------------------------------------------

void TestForm::integerSpinBoxes_data()
{
    QTest::addColumn<int>("minimum");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("step");
    QTest::addColumn<int>("value");
    QTest::addColumn<bool>("enabled");

    // Tag = objectName. Disabled rows are the controls that are not offered yet and the quality
    // fields, which the quality analysis enables.
    QTest::newRow("sbQFrames") << 1 << 1000 << 1 << 20 << false;
    QTest::newRow("sbScale") << 1 << 8 << 1 << 1 << false;
    QTest::newRow("sbWeight") << 0 << 255 << 1 << 75 << true;
    QTest::newRow("sbFilter") << 0 << 10 << 1 << 2 << true;
    QTest::newRow("sbSearchRadius") << 1 << 100 << 1 << 20 << true;
    QTest::newRow("sbMinusR") << 0 << 255 << 1 << 0 << true;
    QTest::newRow("sbMinusG") << 0 << 255 << 1 << 0 << true;
    QTest::newRow("sbMinusB") << 0 << 255 << 1 << 0 << true;
    QTest::newRow("sbStackFilter") << 0 << 99 << 1 << 0 << true;
    QTest::newRow("sblvb") << 1 << 10 << 1 << 1 << true;
    QTest::newRow("sbDHStrength") << 1 << 99 << 1 << 2 << false;
}

void TestForm::integerSpinBoxes()
{
    QFETCH(int, minimum);
    QFETCH(int, maximum);
    QFETCH(int, step);
    QFETCH(int, value);
    QFETCH(bool, enabled);

    auto* box = window->findChild<QSpinBox*>(QTest::currentDataTag());
    QVERIFY(box);
    QCOMPARE(box->minimum(), minimum);
    QCOMPARE(box->maximum(), maximum);
    QCOMPARE(box->singleStep(), step);
    QCOMPARE(box->value(), value);
    QCOMPARE(box->isEnabled(), enabled);
}

void TestForm::decimalSpinBoxes_data()
{
    QTest::addColumn<double>("minimum");
    QTest::addColumn<double>("maximum");
    QTest::addColumn<double>("step");
    QTest::addColumn<int>("decimals");
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("shown");

    // Tag = objectName.
    QTest::newRow("sbQPerc") << 0.0 << 100.0 << 1.0 << 1 << 50.0 << false << "50.0";
    // The toolkit's maximum 99.99 rounds to 100.0 at one decimal.
    QTest::newRow("sbPreviewGain") << 0.0 << 100.0 << 1.0 << 1 << 1.0 << true << "1.0";
    QTest::newRow("sbDFGain") << 0.0 << 99.99 << 0.1 << 2 << 1.0 << true << "1.00";
    for (const char* name : { "sbGainR", "sbGainG", "sbGainB" })
        QTest::newRow(name) << 0.0 << 1000.0 << 0.1 << 2 << 1.0 << true << "1.00";
    for (const char* name : { "sbGammaR", "sbGammaG", "sbGammaB", "sbContrastR", "sbContrastG",
                              "sbContrastB" })
        QTest::newRow(name) << 0.0 << 99.99 << 0.1 << 2 << 1.0 << true << "1.00";
    for (const char* name : { "sbOffsetR", "sbOffsetG", "sbOffsetB" })
        QTest::newRow(name) << -1.0 << 1.0 << 0.1 << 2 << 0.0 << true << "0.00";
    QTest::newRow("sbLRed") << 0.0 << 1.0 << 0.1 << 4 << 0.2126 << true << "0.2126";
    QTest::newRow("sbLGreen") << 0.0 << 1.0 << 0.1 << 4 << 0.7152 << true << "0.7152";
    QTest::newRow("sbLBlue") << 0.0 << 1.0 << 0.1 << 4 << 0.0722 << true << "0.0722";
    QTest::newRow("sblvbBlend") << 0.01 << 1.0 << 0.1 << 2 << 1.0 << true << "1.00";
    QTest::newRow("sbDHGain") << 0.0 << 99.99 << 1.0 << 2 << 1.0 << false << "1.00";
}

void TestForm::decimalSpinBoxes()
{
    QFETCH(double, minimum);
    QFETCH(double, maximum);
    QFETCH(double, step);
    QFETCH(int, decimals);
    QFETCH(double, value);
    QFETCH(bool, enabled);
    QFETCH(QString, shown);

    auto* box = window->findChild<QDoubleSpinBox*>(QTest::currentDataTag());
    QVERIFY(box);
    QCOMPARE(box->decimals(), decimals);
    QCOMPARE(box->minimum(), minimum);
    QCOMPARE(box->maximum(), maximum);
    QCOMPARE(box->singleStep(), step);
    QCOMPARE(box->value(), value);
    // What the box displays once it is on screen.
    QCOMPARE(box->textFromValue(box->value()), shown);
    QCOMPARE(box->isEnabled(), enabled);
}

void TestForm::decimalSpinBoxLimits_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<double>("input");
    QTest::addColumn<double>("expected");

    QTest::newRow("offset R takes -1.0") << "sbOffsetR" << -1.0 << -1.0;
    QTest::newRow("offset R takes 1.0") << "sbOffsetR" << 1.0 << 1.0;
    QTest::newRow("offset R stops at -1.0") << "sbOffsetR" << -1.01 << -1.0;
    QTest::newRow("offset R stops at 1.0") << "sbOffsetR" << 1.5 << 1.0;
    QTest::newRow("offset G stops at -1.0") << "sbOffsetG" << -3.0 << -1.0;
    QTest::newRow("offset G stops at 1.0") << "sbOffsetG" << 1.01 << 1.0;
    QTest::newRow("offset B stops at -1.0") << "sbOffsetB" << -1.5 << -1.0;
    QTest::newRow("offset B stops at 1.0") << "sbOffsetB" << 2.0 << 1.0;
    QTest::newRow("gain R takes 1000.0") << "sbGainR" << 1000.0 << 1000.0;
    QTest::newRow("gain R stops at 1000.0") << "sbGainR" << 1000.5 << 1000.0;
    QTest::newRow("gamma stops at 99.99") << "sbGammaR" << 100.0 << 99.99;
    QTest::newRow("preview gain takes 100.0") << "sbPreviewGain" << 100.0 << 100.0;
    QTest::newRow("preview gain rounds to 0.1") << "sbPreviewGain" << 2.34 << 2.3;
    QTest::newRow("darkframe gain keeps 0.01") << "sbDFGain" << 0.37 << 0.37;
    QTest::newRow("min. quality rounds to 0.1") << "sbQPerc" << 50.04 << 50.0;
    QTest::newRow("min. quality stops at 100.0") << "sbQPerc" << 100.1 << 100.0;
    QTest::newRow("luma weight keeps 4 decimals") << "sbLRed" << 0.2999 << 0.2999;
    QTest::newRow("luma weight rounds to 4 decimals") << "sbLGreen" << 0.71524 << 0.7152;
    QTest::newRow("luma weight stops at 1.0") << "sbLBlue" << 1.2 << 1.0;
    QTest::newRow("blend stops at 0.01") << "sblvbBlend" << 0.0 << 0.01;
}

void TestForm::decimalSpinBoxLimits()
{
    QFETCH(QString, name);
    QFETCH(double, input);
    QFETCH(double, expected);

    auto* box = window->findChild<QDoubleSpinBox*>(name);
    QVERIFY(box);
    box->setValue(input);
    QCOMPARE(box->value(), expected);
}

void TestForm::checkBoxes_data()
{
    QTest::addColumn<bool>("checkable");
    QTest::addColumn<bool>("checked");
    QTest::addColumn<bool>("enabled");

    // Tag = objectName.
    QTest::newRow("cbMinQuality") << true << true << true;
    QTest::newRow("cbSubpixel") << false << false << false;
    QTest::newRow("cbPreviewDarkframe") << true << false << true;
    QTest::newRow("cbRefine") << true << false << false;
    QTest::newRow("cbLuma") << true << false << true;
    QTest::newRow("cbLumaOut") << true << false << true;
    QTest::newRow("cblvb") << true << false << true;
    QTest::newRow("cbHillFunc") << true << false << false;
    QTest::newRow("cbDownHillFunc") << true << false << false;
}

void TestForm::checkBoxes()
{
    QFETCH(bool, checkable);
    QFETCH(bool, checked);
    QFETCH(bool, enabled);

    auto* box = window->findChild<QCheckBox*>(QTest::currentDataTag());
    QVERIFY(box);
    QCOMPARE(box->isCheckable(), checkable);
    QCOMPARE(box->isChecked(), checked);
    QVERIFY(!box->isTristate());
    QCOMPARE(box->isEnabled(), enabled);
}

void TestForm::disabledControlsIgnoreInput_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<bool>("changes");

    // Enabled controls in the first rows show that the simulated input does reach a control.
    QTest::newRow("sbWeight steps") << "sbWeight" << QByteArray("value") << true;
    QTest::newRow("sbGainR steps") << "sbGainR" << QByteArray("value") << true;
    QTest::newRow("cbLuma toggles") << "cbLuma" << QByteArray("checked") << true;
    QTest::newRow("sbQPerc") << "sbQPerc" << QByteArray("value") << false;
    QTest::newRow("sbQFrames") << "sbQFrames" << QByteArray("value") << false;
    QTest::newRow("sbScale") << "sbScale" << QByteArray("value") << false;
    QTest::newRow("cbSubpixel") << "cbSubpixel" << QByteArray("checked") << false;
    QTest::newRow("comboBox steps") << "comboBox" << QByteArray("currentIndex") << true;
    QTest::newRow("cbRefine") << "cbRefine" << QByteArray("checked") << false;
    QTest::newRow("cbHillFunc") << "cbHillFunc" << QByteArray("checked") << false;
    QTest::newRow("cbDownHillFunc") << "cbDownHillFunc" << QByteArray("checked") << false;
    QTest::newRow("sbDHStrength") << "sbDHStrength" << QByteArray("value") << false;
    QTest::newRow("sbDHGain") << "sbDHGain" << QByteArray("value") << false;
}

void TestForm::disabledControlsIgnoreInput()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, property);
    QFETCH(bool, changes);

    auto* control = window->findChild<QWidget*>(name);
    QVERIFY(control);
    // Bring the control's page to the front so that it is on screen like for a user.
    for (QWidget* w = control; w; w = w->parentWidget()) {
        if (ui.tabWidget->indexOf(w) >= 0) {
            ui.tabWidget->setCurrentWidget(w);
            break;
        }
    }
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QVERIFY(control->isVisible());

    const QVariant before = control->property(property.constData());
    QVERIFY(before.isValid());
    if (qobject_cast<QCheckBox*>(control)) {
        // Near the left edge: the indicator, which is always the click target.
        QTest::mouseClick(control, Qt::LeftButton, {}, QPoint(6, control->height() / 2));
    } else {
        QTest::keyClick(control, Qt::Key_Up);
        QTest::keyClick(control, Qt::Key_Down);
        QTest::keyClick(control, Qt::Key_Down);
    }
    const QVariant after = control->property(property.constData());
    QCOMPARE(after != before, changes);
}

// ---------------------------------------------------------------------------------------------

void TestForm::comboBox()
{
    const QStringList items = { QStringLiteral("Pattern"), QStringLiteral("Luminance"), QStringLiteral("Planet"),
                                QStringLiteral("Surface") };
    auto itemTexts = [this] {
        QStringList texts;
        for (int i = 0; i < ui.comboBox->count(); ++i)
            texts << ui.comboBox->itemText(i);
        return texts;
    };
    QCOMPARE(itemTexts(), items);
    QCOMPARE(ui.comboBox->currentIndex(), 0);
    QVERIFY(ui.comboBox->isEnabled());

    // Setting the texts again replaces the items instead of adding a second pair.
    ui.retranslateUi(window.get());
    QCOMPARE(itemTexts(), items);
    QCOMPARE(ui.comboBox->currentIndex(), 0);
}

void TestForm::patternThumbnails_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("base") << "lblRefSource";
    QTest::newRow("current") << "lblRefUnref";
    QTest::newRow("aligned") << "lblRefComp";
}

void TestForm::patternThumbnails()
{
    QFETCH(QString, name);
    auto* thumbnail = window->findChild<QLabel*>(name);
    QVERIFY(thumbnail);
    QCOMPARE(thumbnail->size(), QSize(50, 50));
    QCOMPARE(thumbnail->frameShape(), QFrame::Box);
    QCOMPARE(thumbnail->alignment(), Qt::Alignment(Qt::AlignCenter));
    QVERIFY(thumbnail->text().isEmpty());
    QVERIFY(thumbnail->pixmap().isNull());
}

void TestForm::panes()
{
    QCOMPARE(ui.teDebug->maximumHeight(), 200);
    QVERIFY(ui.teDebug->isReadOnly());
    QVERIFY(!ui.teDebug->isUndoRedoEnabled());
    // Making the pane read-only resets these flags; the log must still let links be used.
    QCOMPARE(ui.teDebug->textInteractionFlags(),
             Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard |
                 Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    QVERIFY(ui.teDebug->document()->isEmpty());

    QVERIFY(!ui.teFrameInfo->isReadOnly());
    QVERIFY(ui.gvMain->hasMouseTracking());

    QCOMPARE(ui.lwFrames->selectionMode(), QAbstractItemView::ExtendedSelection);
    QVERIFY(!ui.lwFrames->alternatingRowColors());
    QCOMPARE(ui.lwFrames->count(), 0);
}

// ---------------------------------------------------------------------------------------------

void TestForm::menus_data()
{
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("menu");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("actions");

    QTest::newRow("File") << 0 << "menu_File" << "&File" << QStringList{ "actionSave_Result" };
    QTest::newRow("Edit") << 1 << "menu_Edit" << "&Edit" << QStringList{};
    QTest::newRow("Help") << 2 << "menu_Help" << "&Help" << QStringList{};
    QTest::newRow("Debug") << 3 << "menuDebug" << "Debug" << QStringList{ "actionGradientH" };
}

void TestForm::menus()
{
    QFETCH(int, position);
    QFETCH(QString, menu);
    QFETCH(QString, title);
    QFETCH(QStringList, actions);

    // The bar is disabled: none of its entries can be operated.
    QVERIFY(!ui.menuBar->isEnabled());
    QCOMPARE(ui.menuBar->geometry(), QRect(0, 0, 952, 21));

    const QList<QAction*> entries = ui.menuBar->actions();
    QCOMPARE(entries.size(), 4);
    QMenu* m = entries.at(position)->menu();
    QVERIFY(m);
    QCOMPARE(m->objectName(), menu);
    QCOMPARE(m->title(), title);

    QStringList names;
    for (QAction* a : m->actions())
        names << a->objectName();
    QCOMPARE(names, actions);
}

void TestForm::actions_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("menu");

    // Tag = objectName; menu empty for actions that sit in no menu.
    QTest::newRow("action_Open") << "&Open..." << QString();
    QTest::newRow("action_Exit") << "&Exit" << QString();
    QTest::newRow("actionSave_Result") << "Save Result..." << "menu_File";
    QTest::newRow("actionGradientH") << "GradientH" << "menuDebug";
}

void TestForm::actions()
{
    QFETCH(QString, text);
    QFETCH(QString, menu);

    auto* action = window->findChild<QAction*>(QTest::currentDataTag());
    QVERIFY(action);
    QCOMPARE(action->parent(), window.get());
    QCOMPARE(action->text(), text);

    QStringList holders;
    for (QObject* o : action->associatedObjects()) {
        if (qobject_cast<QMenu*>(o))
            holders << o->objectName();
    }
    QCOMPARE(holders, menu.isEmpty() ? QStringList() : QStringList{ menu });
}

// ---------------------------------------------------------------------------------------------

void TestForm::texts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("what");
    QTest::addColumn<QString>("expected");

    auto text = [](const char* name, const char* expected) {
        QTest::newRow(name) << name << QByteArray("text") << QString::fromUtf8(expected);
    };
    auto title = [](const char* name, const char* expected) {
        QTest::newRow(name) << name << QByteArray("title") << QString::fromUtf8(expected);
    };
    auto tabText = [](const char* name, const char* expected) {
        QTest::newRow(name) << name << QByteArray("tabText") << QString::fromUtf8(expected);
    };

    QTest::newRow("window title") << "NebuloClass" << QByteArray("windowTitle") << "Nebulo";
    tabText("tab", "Image Selection");
    tabText("tab_2", "Alignment");
    tabText("tab_3", "Stacking");
    tabText("tab_4", "Color Controls");
    tabText("tab_6", "Adv. Color");
    tabText("tab_5", "Final Output");

    title("groupBox_4", "Step 1: Select Images");
    text("pbImages", "Open Image Sequence");
    text("pbDarks", "Open Darkframe Sequence");
    title("groupBox_7", "Quality Selection");
    text("label_28", "min. Quality:");
    text("label_29", "Frames:");
    text("cbMinQuality", "Use min. Quality");
    text("pbQSelect", "Analyze Quality");
    title("groupBox_9", "Supersampling");
    text("cbSubpixel", "Enable Subpixel-Accuracy");
    text("label_7", "<html><head/><body><p>Note: This will dramtically slow <br/>down processing "
                    "speed!</p></body></html>");
    text("label_8", "Scaling factor:");
    title("groupBox_3", "Preprocessing");
    text("cbPreviewDarkframe", "Activate preprocessing");
    text("label_27", "Lightframe Gain:");
    text("label_33", "Darkframe Gain:");

    title("groupBox", "Step 2.1: Alignment Setup");
    text("label_19", "Luminance treshold:");
    text("label_20", "Filter Size:");
    text("pbWeight", "Update");
    text("label_21", "Search Radius:");
    text("label_9", "Alignment mode:");
    QTest::newRow("comboBox item 0") << "comboBox" << QByteArray("item0") << "Pattern";
    QTest::newRow("comboBox item 1") << "comboBox" << QByteArray("item1") << "Luminance";
    text("cbRefine", "Enable Pattern Alignment");
    text("pbAlign", "Align");
    text("pbRefine", "Refine Alignment");
    title("groupBox_8", "Refinement");
    text("label", "Base pattern:");
    text("label_2", "Current pattern:");
    text("label_3", "Aligned pattern:");

    title("groupBox_2", "Stacking Options");
    text("label_22", "low color cutoff (RGB):");
    text("label_23", "Filter:");
    text("cbLuma", "Luminance stacking");
    text("pbStack2", "Stack");

    title("groupBox_10", "Gain");
    title("groupBox_11", "Gamma");
    title("groupBox_12", "Contrast");
    title("groupBox_13", "Offset");
    for (const char* name : { "label_12", "label_15", "label_18", "label_32" })
        text(name, "Red");
    for (const char* name : { "label_10", "label_13", "label_16", "label_30" })
        text(name, "Green");
    for (const char* name : { "label_11", "label_14", "label_17", "label_31" })
        text(name, "Blue");
    title("groupBox_5", "Luma Settings");
    text("label_24", "Red:");
    text("label_26", "Green:");
    text("label_25", "Blue:");
    title("groupBox_15", "Misc.");
    text("cbLumaOut", "Luminance Output");
    text("cblvb", "low value boost");
    text("label_4", "strength:");
    text("lblblend", "blend value:");

    text("cbHillFunc", "Hill Function");
    text("cbDownHillFunc", "Downhill Function");
    text("label_5", "Strength:");
    text("label_6", "Gain:");

    text("pbSaveStacked", "Save Stacked Image as...");
    title("groupBox_6", "Frame List");
    title("groupBox_14", "Frame Info");

    title("menu_File", "&File");
    title("menu_Edit", "&Edit");
    title("menu_Help", "&Help");
    title("menuDebug", "Debug");
    text("action_Open", "&Open...");
    text("action_Exit", "&Exit");
    text("actionSave_Result", "Save Result...");
    text("actionGradientH", "GradientH");
}

void TestForm::texts()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, what);
    QFETCH(QString, expected);

    QCOMPARE(textOf(name, what), expected);
}

void TestForm::translatedTexts_data()
{
    texts_data();
}

void TestForm::translatedTexts()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, what);
    QFETCH(QString, expected);

    // Every text must come from the form's translation context when the texts are set again.
    InstalledTranslator marking;
    ui.retranslateUi(window.get());
    QCOMPARE(textOf(name, what), QLatin1Char('<') + expected + QLatin1Char('>'));
    // The thumbnails carry no text to translate.
    QVERIFY(ui.lblRefSource->text().isEmpty());
}

// ---------------------------------------------------------------------------------------------

void TestForm::autoConnectsSlotsByName()
{
    AutoConnectedWindow w;
    Ui::NebuloClass form;
    form.setupUi(&w);
    form.pbImages->click();
    QCOMPARE(w.imagesClicks, 1);
}

QTEST_MAIN(TestForm)
#include "tst_form.moc"
