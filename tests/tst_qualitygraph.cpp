// The quality graph under "Analyze Quality": its points are the records' ratings and the list's
// check marks, its threshold follows the selection controls, and a click on a point selects that
// frame's row.

#include "synthetic.h"
#include "windowfixture.h"

namespace {

// A planet blurred more or less in every frame, so that the ratings differ (out of sequence order).
QVector<QImage> planets(int count)
{
    QVector<QImage> frames;
    for (int i = 0; i < count; ++i) {
        synth::Planet p;
        p.width = 160;
        p.height = 120;
        p.cx = 80;
        p.cy = 60;
        p.radius = 30;
        p.blur = 0.3 + 0.25 * ((i * 7) % count);
        p.noise = 2.0;
        p.seed = quint32(i + 1);
        frames << synth::renderPlanet(p);
    }
    return frames;
}

// Rows of the grabbed graph that hold the threshold's colour across at least a third of the width.
QList<int> thresholdRows(QualityGraph* graph)
{
    const QImage image = graph->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QList<int> rows;
    for (int y = 0; y < image.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        int count = 0;
        for (int x = 0; x < image.width(); ++x)
            count += line[x] == qRgb(230, 170, 60) ? 1 : 0;
        if (count * 3 >= image.width())
            rows << y;
    }
    return rows;
}

} // namespace

class TestQualityGraph : public windowfixture::WindowFixture {
    Q_OBJECT
private slots:
    void init()
    {
        QVERIFY(createWindow());
        showWindow();
        paths = fixtures::writeSequence(*dir, QStringLiteral("p"), planets(kFrames));
        QCOMPARE(paths.size(), kFrames);
        w->openFiles(paths);
    }
    void cleanup() { destroyWindow(); }

    void pointsAreTheRecords();
    void thresholdFollowsTheSelection();
    void clickOnPointSelectsRow();

private:
    static constexpr int kFrames = 12;
    QStringList paths;

    QualityGraph* analysed()
    {
        QualityGraph* graph = w->qualityGraph;
        if (!graph || graph->isVisible())
            return nullptr; // hidden until the sequence is rated
        w->ui.pbQSelect->click();
        QCoreApplication::processEvents();
        return graph->isVisible() ? graph : nullptr;
    }
    std::vector<bool> checks() const
    {
        std::vector<bool> on;
        for (int i = 0; i < w->ui.lwFrames->count(); ++i)
            on.push_back(w->ui.lwFrames->item(i)->checkState() == Qt::Checked);
        return on;
    }
};

void TestQualityGraph::pointsAreTheRecords()
{
    QualityGraph* graph = analysed();
    QVERIFY(graph);
    QCOMPARE(int(graph->quality().size()), kFrames);
    int kept = 0;
    for (int i = 0; i < kFrames; ++i) {
        const double q = w->engine.frames->record(i).quality;
        QCOMPARE(graph->quality()[std::size_t(i)], q);
        QCOMPARE(bool(graph->kept()[std::size_t(i)]), !(50.0 > q)); // "min. Quality:" 50 by default
        kept += graph->kept()[std::size_t(i)] ? 1 : 0;
        // Dots in sequence order, left to right, at their rating's height.
        QCOMPARE(graph->dotOf(i).y(), graph->yOf(q));
        if (i > 0)
            QVERIFY(graph->dotOf(i).x() > graph->dotOf(i - 1).x());
    }
    QVERIFY(kept > 0 && kept < kFrames);
    QCOMPARE(graph->kept(), checks());
    // The sorted line falls from left to right and holds every frame once.
    QList<QPair<double, double>> sorted;
    for (int i = 0; i < kFrames; ++i)
        sorted << qMakePair(graph->sortedPointOf(i).x(), graph->quality()[std::size_t(i)]);
    std::sort(sorted.begin(), sorted.end());
    for (int r = 1; r < kFrames; ++r) {
        QVERIFY(sorted[r].first > sorted[r - 1].first);
        QVERIFY(sorted[r].second <= sorted[r - 1].second);
    }
    // The sequence is not in rating order, so the two series differ.
    QVERIFY(!std::is_sorted(graph->quality().rbegin(), graph->quality().rend()));
    // A check mark changed by hand is a kept frame changed on the graph.
    QListWidgetItem* first = w->ui.lwFrames->item(0);
    first->setCheckState(first->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
    QCOMPARE(graph->kept(), checks());
    // A new sequence has no ratings: the graph goes.
    w->openFiles(paths);
    QVERIFY(!graph->isVisible());
}

void TestQualityGraph::thresholdFollowsTheSelection()
{
    QualityGraph* graph = analysed();
    QVERIFY(graph);
    QCOMPARE(graph->threshold(), 50.0);
    w->ui.sbQPerc->setValue(70.0);
    QCOMPARE(graph->threshold(), 70.0);
    QCOMPARE(graph->kept(), checks());
    for (int i = 0; i < kFrames; ++i)
        QCOMPARE(bool(graph->kept()[std::size_t(i)]), !(70.0 > graph->quality()[std::size_t(i)]));
    // The dashed line is drawn at the threshold's height.
    QList<int> rows = thresholdRows(graph);
    QVERIFY2(!rows.isEmpty() && std::abs(rows.first() - graph->yOf(70.0)) <= 1.0,
             qPrintable(QStringLiteral("%1 rows, first %2, expected %3").arg(rows.size()).arg(rows.value(0)).arg(graph->yOf(70.0))));

    // The best frames: kept down to the rating of the last one kept.
    w->ui.cbMinQuality->setChecked(false);
    w->ui.sbQFrames->setValue(5);
    std::vector<double> q = graph->quality();
    std::sort(q.begin(), q.end(), std::greater<double>());
    QCOMPARE(graph->threshold(), q[4]);
    QCOMPARE(graph->kept(), checks());
    QCOMPARE(int(std::count(graph->kept().begin(), graph->kept().end(), true)), 5);
    for (int i = 0; i < kFrames; ++i)
        QCOMPARE(bool(graph->kept()[std::size_t(i)]), graph->quality()[std::size_t(i)] >= q[4]);
    rows = thresholdRows(graph);
    QVERIFY(!rows.isEmpty() && std::abs(rows.first() - graph->yOf(q[4])) <= 1.0);
}

void TestQualityGraph::clickOnPointSelectsRow()
{
    QualityGraph* graph = analysed();
    QVERIFY(graph);
    // Every point that no other frame's point lies near, of either series.
    int clicked = 0;
    for (int i = 0; i < kFrames; ++i) {
        for (const QPointF& p : {graph->dotOf(i), graph->sortedPointOf(i)}) {
            const QPoint at = p.toPoint();
            bool alone = true;
            for (int j = 0; j < kFrames; ++j)
                for (const QPointF& other : {graph->dotOf(j), graph->sortedPointOf(j)})
                    if (j != i && QLineF(other, QPointF(at)).length() < QLineF(p, QPointF(at)).length() + 2.0)
                        alone = false;
            if (!alone)
                continue;
            w->ui.lwFrames->setCurrentRow(i == 0 ? 1 : 0);
            QTest::mouseClick(graph, Qt::LeftButton, Qt::NoModifier, at);
            QCOMPARE(w->ui.lwFrames->currentRow(), i);
            ++clicked;
        }
    }
    QVERIFY2(clicked >= kFrames, qPrintable(QString::number(clicked)));
    // Away from every point nothing changes.
    QPoint away(-1, -1);
    for (int y = 0; y < graph->height() && away.x() < 0; ++y)
        for (int x = 0; x < graph->width() && away.x() < 0; ++x) {
            bool far = true;
            for (int j = 0; j < kFrames; ++j)
                for (const QPointF& p : {graph->dotOf(j), graph->sortedPointOf(j)})
                    far = far && QLineF(p, QPointF(x, y)).length() > 10.0;
            if (far)
                away = QPoint(x, y);
        }
    QVERIFY(away.x() >= 0);
    w->ui.lwFrames->setCurrentRow(3);
    QTest::mouseClick(graph, Qt::LeftButton, Qt::NoModifier, away);
    QCOMPARE(w->ui.lwFrames->currentRow(), 3);
}

QTEST_MAIN(TestQualityGraph)
#include "tst_qualitygraph.moc"
