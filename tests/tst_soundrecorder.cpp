// The recorder without a sound server: it says so in one line, at once. (Recording from real
// servers is measured by the sound-server harness.)

#include "soundrecorder.h"

#include <QtTest>

class TestSoundRecorder : public QObject
{
    Q_OBJECT

private slots:
    void noServer();
};

void TestSoundRecorder::noServer()
{
    QTemporaryDir folder;
    qputenv("PULSE_SERVER", ("unix:" + folder.filePath("none")).toUtf8());
    int blocks = 0;
    SoundRecorder recorder(SoundRecorder::Format::MonoFloat,
                           [&](const SoundRecorder::Block &) { ++blocks; });
    QString error;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!recorder.start(QString(), &error));
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    // The server library's reason follows, in the user's language.
    QVERIFY2(error.startsWith("cannot reach the sound server: ") && !error.contains('\n'),
             qPrintable(error));
    QCOMPARE(blocks, 0);
}

QTEST_GUILESS_MAIN(TestSoundRecorder)
#include "tst_soundrecorder.moc"
