// Texts that fit: every label, check box, button and group title of the window shows its whole
// text at the default font and at 125% and 150% of it; every control of every page can be reached
// in the smallest window; disabled controls look disabled; long frame names are elided.

#include "windowfixture.h"

#include <QAbstractSpinBox>
#include <QProgressBar>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionGroupBox>
#include <QStyleOptionViewItem>
#include <QTabBar>
#include <QTextDocument>

namespace {

// The pages of the tab column and their scroll areas.
QList<QPair<QWidget*, QScrollArea*>> pages(const Ui::NebuloClass& ui)
{
    return {{ui.tab, ui.scrollArea_tab},     {ui.tab_2, ui.scrollArea_tab_2}, {ui.tab_3, ui.scrollArea_tab_3},
            {ui.tab_4, ui.scrollArea_tab_4}, {ui.tab_6, ui.scrollArea_tab_6}, {ui.tab_5, ui.scrollArea_tab_5}};
}

// Width and height the label's text needs.
QSize labelTextSize(const QLabel* label)
{
    if (Qt::mightBeRichText(label->text())) {
        QTextDocument doc;
        doc.setDefaultFont(label->font());
        doc.setDocumentMargin(0);
        doc.setHtml(label->text());
        return QSize(int(std::ceil(doc.idealWidth())), int(std::ceil(doc.size().height())));
    }
    const QFontMetrics fm = label->fontMetrics();
    const QStringList lines = label->text().split(QLatin1Char('\n'));
    int width = 0;
    for (const QString& line : lines)
        width = std::max(width, fm.horizontalAdvance(line));
    return QSize(width, fm.height() * int(lines.size()));
}

// What does not fit, one entry per widget.
QStringList clipped(QWidget* root)
{
    QStringList faults;
    auto fault = [&](QWidget* w, const QString& text, int need, int have) {
        faults << QStringLiteral("%1 \"%2\": needs %3, has %4").arg(w->objectName(), text).arg(need).arg(have);
    };
    for (QLabel* label : root->findChildren<QLabel*>()) {
        if (!label->isVisible() || label->text().isEmpty())
            continue;
        const QSize need = labelTextSize(label);
        const QRect have = label->contentsRect();
        if (need.width() > have.width())
            fault(label, label->text(), need.width(), have.width());
        if (need.height() > have.height())
            fault(label, label->text() + QStringLiteral(" (height)"), need.height(), have.height());
    }
    for (QCheckBox* box : root->findChildren<QCheckBox*>()) {
        if (!box->isVisible())
            continue;
        QStyleOptionButton option;
        option.initFrom(box);
        option.text = box->text();
        const QRect text = box->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, box);
        const int need = box->fontMetrics().horizontalAdvance(box->text());
        if (need > text.width() || text.right() > box->contentsRect().right())
            fault(box, box->text(), need, std::min(text.width(), box->contentsRect().right() - text.left() + 1));
    }
    for (QPushButton* button : root->findChildren<QPushButton*>()) {
        if (!button->isVisible())
            continue;
        QStyleOptionButton option;
        option.initFrom(button);
        option.text = button->text();
        const QRect text = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        const int need = button->fontMetrics().horizontalAdvance(button->text());
        if (need > text.width())
            fault(button, button->text(), need, text.width());
    }
    for (QGroupBox* group : root->findChildren<QGroupBox*>()) {
        if (!group->isVisible())
            continue;
        const int need = group->fontMetrics().horizontalAdvance(group->title());
        if (need > group->contentsRect().width())
            fault(group, group->title(), need, group->contentsRect().width());
    }
    // A spin box as narrow as the old 51 pixels showed "1000." for 1000.00.
    for (QAbstractSpinBox* box : root->findChildren<QAbstractSpinBox*>()) {
        if (box->isVisible() && box->width() < box->sizeHint().width())
            fault(box, box->text(), box->sizeHint().width(), box->width());
    }
    return faults;
}

// The largest channel value in the image: the brightest text pixel on the dark background.
int brightest(const QImage& image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    int most = 0;
    for (int y = 0; y < rgb.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x)
            most = std::max({most, qRed(line[x]), qGreen(line[x]), qBlue(line[x])});
    }
    return most;
}

} // namespace

class TestTexts : public windowfixture::WindowFixture {
    Q_OBJECT
private slots:
    void initTestCase() { defaultFont = QApplication::font(); }
    void cleanup()
    {
        destroyWindow();
        QApplication::setFont(defaultFont);
    }

    void everyTextFits_data();
    void everyTextFits();
    void everyControlReachableInSmallestWindow_data() { everyTextFits_data(); }
    void everyControlReachableInSmallestWindow();
    void disabledControlsLookDisabled();
    void longFrameNamesElidedWithPathTip();

private:
    QFont defaultFont;
    void openScaled(double scale);
    void checkScaleFactor();
};

void TestTexts::openScaled(double scale)
{
    QFont font = defaultFont;
    font.setPointSizeF(defaultFont.pointSizeF() * scale);
    QApplication::setFont(font);
    QVERIFY(createWindow());
    showWindow();
    checkScaleFactor();
}

void TestTexts::checkScaleFactor()
{
    // Run with QT_SCALE_FACTOR, the window must really be scaled: every case then runs at that scale too.
    bool ok = false;
    const double factor = qEnvironmentVariable("QT_SCALE_FACTOR").toDouble(&ok);
    if (ok)
        QCOMPARE(w->devicePixelRatioF(), factor);
}

void TestTexts::everyTextFits_data()
{
    QTest::addColumn<double>("scale");
    QTest::newRow("100%") << 1.0;
    QTest::newRow("125%") << 1.25;
    QTest::newRow("150%") << 1.5;
}

void TestTexts::everyTextFits()
{
    QFETCH(double, scale);
    openScaled(scale);
    QCOMPARE(w->font().pointSizeF(), defaultFont.pointSizeF() * scale);
    // The status bar during a run shows its progress bar and Cancel button too.
    w->progressBar->show();
    w->pbCancel->show();
    QStringList faults;
    for (const auto& page : pages(w->ui)) {
        w->ui.tabWidget->setCurrentWidget(page.first);
        QCoreApplication::processEvents();
        faults << clipped(page.first);
        // No page scrolls sideways: the column is as wide as its widest page.
        if (page.second->horizontalScrollBar()->maximum() > 0)
            faults << page.first->objectName() + QStringLiteral(" scrolls sideways");
    }
    faults << clipped(w->ui.frame_2) << clipped(w->ui.statusBar);
    QTabBar* bar = w->ui.tabWidget->tabBar();
    for (int i = 0; i < bar->count(); ++i) {
        const int need = bar->fontMetrics().horizontalAdvance(bar->tabText(i));
        if (need > bar->tabRect(i).height()) // the tabs stand on the west side: text runs downwards
            faults << QStringLiteral("tab \"%1\": needs %2, has %3").arg(bar->tabText(i)).arg(need).arg(bar->tabRect(i).height());
    }
    faults.removeDuplicates();
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
}

void TestTexts::everyControlReachableInSmallestWindow()
{
    QFETCH(double, scale);
    openScaled(scale);
    w->resize(1, 1);
    QCoreApplication::processEvents();
    QCOMPARE(w->size(), w->minimumSize().expandedTo(w->minimumSizeHint()));
    if (scale == 1.0) {
        // Small enough for the screen of a small laptop.
        QVERIFY2(w->width() <= 800 && w->height() <= 600, qPrintable(QStringLiteral("%1x%2").arg(w->width()).arg(w->height())));
    }
    QStringList faults;
    for (const auto& page : pages(w->ui)) {
        w->ui.tabWidget->setCurrentWidget(page.first);
        QCoreApplication::processEvents();
        QWidget* viewport = page.second->viewport();
        for (QWidget* control : page.second->widget()->findChildren<QWidget*>()) {
            if (!qobject_cast<QAbstractButton*>(control) && !qobject_cast<QAbstractSpinBox*>(control)
                && !qobject_cast<QComboBox*>(control) && !qobject_cast<QLabel*>(control))
                continue;
            // The whole control, not only its text cursor as ensureWidgetVisible() does for fields.
            const QPoint centre = control->mapTo(page.second->widget(), control->rect().center());
            page.second->ensureVisible(centre.x(), centre.y(), control->width() / 2 + 1, control->height() / 2 + 1);
            QCoreApplication::processEvents();
            const QRect shown(control->mapTo(viewport, QPoint(0, 0)), control->size());
            if (!viewport->rect().contains(shown))
                faults << QStringLiteral("%1 at %2,%3 %4x%5 outside %6x%7")
                              .arg(control->objectName()).arg(shown.x()).arg(shown.y()).arg(shown.width())
                              .arg(shown.height()).arg(viewport->width()).arg(viewport->height());
        }
    }
    // The frame list and the log keep a usable size.
    QVERIFY(w->ui.lwFrames->height() >= 40);
    QVERIFY(w->ui.teDebug->height() >= 40);
    QVERIFY(w->view->width() >= 100 && w->view->height() >= 100);
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
}

void TestTexts::disabledControlsLookDisabled()
{
    QVERIFY(createWindow());
    showWindow();
    checkScaleFactor();
    // Pairs of the same kind, one enabled and one disabled by the form.
    const QList<QPair<QWidget*, QWidget*>> pairs = {
        {w->ui.cbMinQuality, w->ui.cbSubpixel}, // check boxes
        {w->ui.sbDFGain, w->ui.sbQPerc},        // spin boxes
        {w->ui.label_27, w->ui.label_8},        // labels in an enabled and in a disabled group row
    };
    w->ui.label_8->setEnabled(false);
    for (const auto& pair : pairs) {
        QVERIFY(pair.first->isEnabled());
        QVERIFY(!pair.second->isEnabled());
        const int enabled = brightest(pair.first->grab().toImage());
        const int disabled = brightest(pair.second->grab().toImage());
        QVERIFY2(enabled >= 180, qPrintable(pair.first->objectName() + QString::number(enabled)));
        QVERIFY2(disabled <= 140, qPrintable(pair.second->objectName() + QString::number(disabled)));
    }
    // A button, and the same button while a run disables it.
    const int enabled = brightest(w->ui.pbAlign->grab().toImage());
    w->ui.pbAlign->setEnabled(false);
    const int disabled = brightest(w->ui.pbAlign->grab().toImage());
    QVERIFY2(disabled < enabled - 40, qPrintable(QStringLiteral("%1 %2").arg(enabled).arg(disabled)));
}

void TestTexts::longFrameNamesElidedWithPathTip()
{
    QVERIFY(createWindow());
    showWindow();
    checkScaleFactor();
    const QString name = QStringLiteral("2026-12-07-2213_4-jupiter-ir685-gain300-exposure8ms_frame_00001.png");
    const QString path = fixtures::write(*dir, name, fixtures::solid(8, 6, qRgb(10, 10, 10)));
    w->openFiles({path});
    QListWidgetItem* item = w->ui.lwFrames->item(0);
    QVERIFY(item);
    QCOMPARE(item->text(), name);
    QCOMPARE(item->toolTip(), QDir::toNativeSeparators(path));
    QCOMPARE(w->ui.lwFrames->textElideMode(), Qt::ElideMiddle);
    // The row is no wider than the list, so the delegate elides the name instead of cutting it.
    QVERIFY(w->ui.lwFrames->fontMetrics().horizontalAdvance(name) > w->ui.lwFrames->viewport()->width());
    QVERIFY(w->ui.lwFrames->visualItemRect(item).right() <= w->ui.lwFrames->viewport()->rect().right());
    QCOMPARE(w->ui.lwFrames->horizontalScrollBar()->maximum(), 0);

    // A short sequence name shows whole, beside its check box and the list's scroll bar, at every scale.
    for (const double scale : {1.0, 1.5}) {
        destroyWindow();
        openScaled(scale);
        const QString shortName = QStringLiteral("capture_000.png");
        w->openFiles(fixtures::writeSequence(*dir, QStringLiteral("capture"), QVector<QImage>(101, fixtures::solid(8, 6, qRgb(10, 10, 10)))));
        QListWidget* list = w->ui.lwFrames;
        QCOMPARE(list->item(0)->text(), shortName);
        QVERIFY(list->verticalScrollBar()->isVisible());
        QStyleOptionViewItem option;
        option.initFrom(list);
        option.font = list->font();
        option.text = shortName;
        option.rect = list->visualItemRect(list->item(0));
        option.features = QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
        const QRect text = list->style()->subElementRect(QStyle::SE_ItemViewItemText, &option, list);
        // The delegate elides within the text rectangle less a margin on either side.
        const int margin = list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1;
        QVERIFY2(list->fontMetrics().horizontalAdvance(shortName) <= text.width() - 2 * margin,
                 qPrintable(QStringLiteral("%1 needs %2, has %3").arg(scale).arg(list->fontMetrics().horizontalAdvance(shortName)).arg(text.width())));
    }
}

QTEST_MAIN(TestTexts)
#include "tst_texts.moc"
