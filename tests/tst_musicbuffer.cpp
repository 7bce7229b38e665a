#include "musicbuffer.h"

#include <QtTest>

#include <algorithm>
#include <climits>

// The music in memory: a file kept whole, a pipe through its ring, which takes no more than its
// chunks ahead of the music played or passed; and what read() copies of it.
class TestMusicBuffer : public QObject
{
    Q_OBJECT

    // Music whose every byte tells its position, given in pieces as a pipe gives them.
    class Generated : public MusicSource
    {
    public:
        Generated(qint64 length, bool file) : length(length), file(file) { }
        static char byteAt(qint64 position) { return char(position % 251); }
        qint64 read(char *out, qint64 maxBytes) override
        {
            const qint64 n = std::min({maxBytes, qint64(10000), length - done});
            for (qint64 i = 0; i < n; ++i)
                out[i] = byteAt(done + i);
            done += n;
            return n;
        }
        qint64 expectedBytes() const override { return file ? length : -1; }
        bool isFile() const override { return file; }
        QString errorString() const override { return QString(); }

    private:
        const qint64 length;
        const bool file;
        qint64 done = 0;
    };

private slots:
    void bounds_data()
    {
        QTest::addColumn<bool>("file");
        QTest::addColumn<double>("lengthChunks");
        QTest::addColumn<double>("playedChunks");
        QTest::addColumn<double>("passedChunks");
        QTest::addColumn<double>("loadedChunks"); // where the loader stops
        QTest::addColumn<bool>("ended");
        QTest::newRow("a file, whole") << true << 6.5 << 0.0 << 0.0 << 6.5 << true;
        QTest::newRow("a pipe, nothing played") << false << 10.0 << 0.0 << 0.0 << 4.0 << false;
        QTest::newRow("a pipe, played into its second chunk")
            << false << 10.0 << 1.5 << 0.0 << 5.0 << false;
        QTest::newRow("a pipe, passed without sound")
            << false << 10.0 << 0.0 << 2.0 << 6.0 << false;
        QTest::newRow("a pipe, the further of played and passed")
            << false << 10.0 << 1.0 << 3.0 << 7.0 << false;
        QTest::newRow("a pipe that ends in its ring") << false << 2.5 << 0.0 << 0.0 << 2.5 << true;
        QTest::newRow("a pipe played to its end") << false << 6.0 << 3.0 << 0.0 << 6.0 << true;
    }

    void bounds()
    {
        QFETCH(bool, file);
        QFETCH(double, lengthChunks);
        QFETCH(double, playedChunks);
        QFETCH(double, passedChunks);
        QFETCH(double, loadedChunks);
        QFETCH(bool, ended);
        const auto bytes = [](double chunks) { return qint64(chunks * MusicBuffer::chunkBytes); };
        const qint64 length = bytes(lengthChunks), loaded = bytes(loadedChunks);
        MusicBuffer buffer(std::make_unique<Generated>(length, file));
        buffer.startLoading();
        // The ring full before anything is played; then played or passed, and loaded on.
        QVERIFY(buffer.waitFor(std::min(length, bytes(MusicBuffer::ringChunks)), 5000));
        buffer.playedTo(bytes(playedChunks));
        buffer.passedTo(bytes(passedChunks));
        QVERIFY(buffer.waitFor(ended ? LLONG_MAX : loaded, 5000));
        if (!ended)
            QThread::msleep(100); // time for the loader to overrun, were it to
        QCOMPARE(buffer.loadedBytes(), loaded);
        QCOMPARE(buffer.hasEnded(), ended);

        // From where it was played or passed on, read() copies what is loaded, and no more.
        const qint64 from = std::max(bytes(playedChunks), bytes(passedChunks));
        QByteArray out(int(length), '\0');
        QCOMPARE(buffer.read(from, out.data(), length), loaded - from);
        for (qint64 i = 0; i < loaded - from; ++i) {
            if (out.at(int(i)) != Generated::byteAt(from + i))
                QFAIL(qPrintable(QStringLiteral("byte %1 wrong").arg(from + i)));
        }
    }
};

QTEST_GUILESS_MAIN(TestMusicBuffer)
#include "tst_musicbuffer.moc"
