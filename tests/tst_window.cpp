#include "instruction.h"
#include "scenesequence.h"
#include "window.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QThread>
#include <QtTest>

// A stand-in scene: records the time of every frame it is handed and reports its end once that
// time reaches `endAt` ms. A window paints each frame in bands on several threads; the band that
// the window's own thread paints is recorded.
class Recorder : public Instruction
{
public:
    explicit Recorder(long endAt = noEnd) : endAt(endAt) { }
    bool draw(long t, QPainter &) override
    {
        if (QThread::currentThread() == QCoreApplication::instance()->thread())
            times.append(t);
        return t < endAt;
    }
    long endTime() const override { return endAt; }
    const long endAt;
    QList<long> times;
};

// A stand-in scene that copies its images for each scale: records every scale it is prepared
// for and the viewport its frames see.
class ScaledRecorder : public Recorder, public ScaleAware
{
public:
    bool draw(long t, QPainter &painter) override
    {
        if (QThread::currentThread() == QCoreApplication::instance()->thread())
            viewports.append(logicalViewportSize(painter));
        return Recorder::draw(t, painter);
    }
    void prepareScale(qreal deviceScale) override { prepared.append(deviceScale); }
    QList<qreal> prepared;
    QList<QSize> viewports;
};

// A stand-in scene whose picture changes only every 250 ms; records the times it was asked to
// change to.
class StillRecorder : public Recorder, public ChangingParts
{
public:
    QRegion changedBetween(long from, long to) const override
    {
        if (from / 250 == to / 250)
            return QRegion();
        changesTo.append(to);
        return QRegion(-10, -10, 20, 20);
    }
    mutable QList<long> changesTo;
};

// Holds each update request of a window for 20 ms, as a compositor that asks for frames at its
// own refresh does.
class LateUpdates : public QObject
{
protected:
    bool eventFilter(QObject *window, QEvent *event) override
    {
        if (event->type() != QEvent::UpdateRequest || delivering)
            return false;
        QTimer::singleShot(20, window, [this, window] {
            delivering = true;
            QEvent late(QEvent::UpdateRequest);
            QCoreApplication::sendEvent(window, &late);
            delivering = false;
        });
        return true;
    }

private:
    bool delivering = false;
};

class CountingWindow : public Window
{
public:
    using Window::Window;
    int paints = 0;

protected:
    void paintEvent(QPaintEvent *event) override
    {
        ++paints;
        Window::paintEvent(event);
    }
};

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void firstFrameStartsTheClock();
    void finishedSceneHandsOverNearZero();
    void keysSeek_data();
    void keysSeek();
    void fourLeftPresses();
    void pastTheLastSceneRepaintsContinue();
    void stillPicturesAreNotPaintedAgain();
    void lateUpdatesPaintTheTimeTheirPartsWereFoundFor();
    void sequenceFollowsTheMusic_data();
    void sequenceFollowsTheMusic();
    void fitFollowsTheWindowSize();
};

static bool waitForFrames(const Recorder &scene, int count)
{
    return QTest::qWaitFor([&] { return scene.times.size() >= count; }, 5000);
}

void TestWindow::firstFrameStartsTheClock()
{
    Recorder scene;
    Window window({&scene});
    QThread::msleep(300); // a slow start-up must not show in the scene time
    window.show();
    QVERIFY(waitForFrames(scene, 1));
    QVERIFY2(scene.times.first() >= 0 && scene.times.first() < 100,
             qPrintable(QString::number(scene.times.first())));
}

void TestWindow::finishedSceneHandsOverNearZero()
{
    Recorder first(1000);
    Recorder second;
    Window window({&first, &second});
    window.show();
    QVERIFY(waitForFrames(first, 1));
    // Seeking past the end of the first scene ends it on its next frame; the offset must not
    // carry over into the second scene.
    QTest::keyClick(&window, Qt::Key_Right);
    QVERIFY(waitForFrames(second, 2));
    QVERIFY2(second.times.first() >= 0 && second.times.first() < 100,
             qPrintable(QString::number(second.times.first())));
    const int framesOfFirst = first.times.size();
    QVERIFY(waitForFrames(second, second.times.size() + 3));
    QCOMPARE(first.times.size(), framesOfFirst);
}

void TestWindow::keysSeek_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("autoRepeat");
    QTest::addColumn<int>("shiftMs");

    QTest::newRow("left") << int(Qt::Key_Left) << 0 << false << -1000;
    QTest::newRow("right") << int(Qt::Key_Right) << 0 << false << 1000;
    QTest::newRow("up") << int(Qt::Key_Up) << 0 << false << 10000;
    QTest::newRow("down") << int(Qt::Key_Down) << 0 << false << -10000;
    QTest::newRow("left with shift")
        << int(Qt::Key_Left) << int(Qt::ShiftModifier) << false << -1000;
    QTest::newRow("up with control")
        << int(Qt::Key_Up) << int(Qt::ControlModifier) << false << 10000;
    QTest::newRow("auto-repeated left") << int(Qt::Key_Left) << 0 << true << 0;
    QTest::newRow("auto-repeated down") << int(Qt::Key_Down) << 0 << true << 0;
    QTest::newRow("other key") << int(Qt::Key_A) << 0 << false << 0;
}

void TestWindow::keysSeek()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, autoRepeat);
    QFETCH(int, shiftMs);

    Recorder scene;
    Window window({&scene});
    window.show();
    QVERIFY(waitForFrames(scene, 2));
    const long before = scene.times.last();
    QKeyEvent press(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers), QString(), autoRepeat);
    QGuiApplication::sendEvent(&window, &press);
    const int seen = scene.times.size();
    QVERIFY(waitForFrames(scene, seen + 1));
    // The next frame's time moves by the seek, plus the few ms that pass between two frames.
    const long moved = scene.times.at(seen) - before;
    QVERIFY2(moved >= shiftMs && moved < shiftMs + 100, qPrintable(QString::number(moved)));
}

void TestWindow::fourLeftPresses()
{
    Recorder scene;
    Window window({&scene});
    window.show();
    QVERIFY(waitForFrames(scene, 1));
    for (int i = 0; i < 4; ++i)
        QTest::keyClick(&window, Qt::Key_Left);
    const int seen = scene.times.size();
    QVERIFY(waitForFrames(scene, seen + 1));
    const long t = scene.times.last();
    QVERIFY2(t >= -4000 && t < -3900, qPrintable(QString::number(t)));
}

void TestWindow::pastTheLastSceneRepaintsContinue()
{
    Recorder only(30); // finishes after its first frames
    CountingWindow window({&only});
    window.show();
    QVERIFY(waitForFrames(only, 1));
    QTest::qWait(50);
    const int paints = window.paints;
    const int drawn = only.times.size();
    QVERIFY(QTest::qWaitFor([&] { return window.paints >= paints + 5; }, 5000));
    QCOMPARE(only.times.size(), drawn);
}

// A frame that would show the picture on screen already is passed over: a picture that changes
// every 250 ms is painted about four times a second, not at every refresh.
void TestWindow::stillPicturesAreNotPaintedAgain()
{
    StillRecorder scene;
    CountingWindow window({&scene});
    window.show();
    QVERIFY(waitForFrames(scene, 1));
    const int paints = window.paints;
    QTest::qWait(1000);
    const int painted = window.paints - paints;
    QVERIFY2(painted >= 3 && painted <= 6, qPrintable(QString::number(painted)));
}

// Where updates come late (on Wayland, when the compositor asks for a frame), a frame painted in
// part shows the scene time that its parts were found for, not a later one whose picture could
// lie outside them.
void TestWindow::lateUpdatesPaintTheTimeTheirPartsWereFoundFor()
{
    StillRecorder scene;
    Window window({&scene});
    LateUpdates late;
    window.installEventFilter(&late);
    window.show();
    QVERIFY(QTest::qWaitFor([&] { return scene.changesTo.size() >= 3; }, 5000));
    // Past the first 250 ms, where the window is shown and painted whole.
    for (const long t : scene.times)
        QVERIFY2(t < 250 || scene.changesTo.contains(t), qPrintable(QString::number(t)));
}

// The sequence on its own, at music positions of our choosing. Each step is "M:S,T" (at music
// position M ms, scene S runs at time T ms), "M+D" (at M ms, seek by D ms) or "M!" (at M ms, the
// beats are handed over; without it, before the first step). The beats come every P ms from F ms
// ("P@F"). The first scene ends at 500 ms, the second never.
void TestWindow::sequenceFollowsTheMusic_data()
{
    QTest::addColumn<qint64>("passMs");
    QTest::addColumn<QString>("beats");
    QTest::addColumn<QString>("steps");
    QTest::newRow("scenes in turn") << qint64(0) << ""
                                    << "0:0,0 499:0,499 500:1,0 750:1,250";
    QTest::newRow("no frame across the end") << qint64(0) << ""
                                             << "100:0,100 5000:1,4500";
    QTest::newRow("seek back") << qint64(0) << ""
                               << "200-250 700:0,450 750:1,0 800:1,50";
    QTest::newRow("seek past the end") << qint64(0) << ""
                                       << "100+1000 140:1,40";
    QTest::newRow("offset cleared") << qint64(0) << ""
                                    << "0+300 300:1,100 300-50 400:1,150";
    QTest::newRow("past the last scene") << qint64(0) << ""
                                         << "600:1,100 99000:1,98500";
    QTest::newRow("passes start over") << qint64(1000) << ""
                                       << "600:1,100 1100:0,100 1200+100 1450:1,50 2600:1,100";
    // The first scene's end, its one moment, on the beat nearest it (490), evenly before it.
    QTest::newRow("the cut on a beat") << qint64(0) << "120@10"
                                       << "245:0,250 490:1,0 590:1,100";
    QTest::newRow("beats found late keep what was shown") << qint64(0) << "120@10"
                                                          << "300:0,300 300! 395:0,400 490:1,0";
    // Shifted by 200 ms at 100 ms, the end would come at 298 ms of music: the beat at 250.
    QTest::newRow("a seek plans on the beats again") << qint64(0) << "120@10"
                                                     << "100+200 250:1,0";
    QTest::newRow("each pass alike") << qint64(1000) << "120@10"
                                     << "245:0,250 490:1,0 1245:0,250 1490:1,0";
}

void TestWindow::sequenceFollowsTheMusic()
{
    QFETCH(qint64, passMs);
    QFETCH(QString, beats);
    QFETCH(QString, steps);
    Recorder first(500);
    Recorder second;
    SceneSequence sequence({&first, &second});
    sequence.setPassLength(passMs * 1'000'000);
    std::vector<qint64> beatsNs;
    for (qint64 ms = beats.section('@', 1).toLongLong(); !beats.isEmpty() && ms < 100000;
         ms += beats.section('@', 0, 0).toLongLong())
        beatsNs.push_back(ms * 1'000'000);
    if (!steps.contains('!'))
        sequence.setBeats(beatsNs, LLONG_MAX);
    for (const QString &step : steps.split(' ')) {
        const QRegularExpressionMatch match
            = QRegularExpression("^(\\d+)(?::(\\d+),(-?\\d+)|([+-]\\d+)|!)$").match(step);
        QVERIFY2(match.hasMatch(), qPrintable(step));
        const qint64 musicNs = match.captured(1).toLongLong() * 1'000'000;
        if (step.endsWith('!')) {
            sequence.setBeats(beatsNs, LLONG_MAX);
            continue;
        }
        if (!match.captured(4).isEmpty()) {
            sequence.seek(musicNs, match.captured(4).toInt());
            continue;
        }
        const SceneSequence::Frame frame = sequence.at(musicNs);
        QCOMPARE(QStringLiteral("%1,%2").arg(frame.scene).arg(frame.timeMs),
                 match.captured(2) + "," + match.captured(3));
    }
}

// The scenes are fitted to the window's size and prepared once for each new fit, not per frame.
void TestWindow::fitFollowsTheWindowSize()
{
    ScaledRecorder scene;
    Window window({&scene});
    window.resize(1366, 768);
    window.show();
    QVERIFY(waitForFrames(scene, 3));
    QCOMPARE(scene.prepared, QList<qreal>({768 / 1080.0}));
    QCOMPARE(scene.viewports.last(), QSize(1920, 1080));

    window.resize(2560, 1440);
    QVERIFY(QTest::qWaitFor([&] { return scene.prepared.size() == 2; }, 5000));
    QVERIFY(waitForFrames(scene, scene.times.size() + 3));
    QCOMPARE(scene.prepared, QList<qreal>({768 / 1080.0, 2560 / 1920.0}));

    // A size of the same fit needs no new copies; the scene still sees the composition.
    window.resize(2560, 1600);
    QTRY_COMPARE(window.size(), QSize(2560, 1600));
    QVERIFY(waitForFrames(scene, scene.times.size() + 3));
    QCOMPARE(scene.prepared.size(), 2);
    QCOMPARE(scene.viewports.last(), QSize(1920, 1080));
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
