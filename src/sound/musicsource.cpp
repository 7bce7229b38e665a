#include "musicsource.h"

#include "musicdecoder.h"

#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// Headerless PCM in the show's format, from a file or a pipe. A partial sample frame at the end
// is left out.
class RawSource : public MusicSource
{
public:
    RawSource(const QString &path, qint64 fileBytes) : name(musicName(path)), length(fileBytes)
    {
        if (path == QLatin1String("-"))
            file.open(STDIN_FILENO, QIODevice::ReadOnly | QIODevice::Unbuffered);
        else
            file.setFileName(path);
    }

    bool open(QString *error)
    {
        if (!file.isOpen() && !file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            *error = QStringLiteral("cannot read %1: %2").arg(name, file.errorString());
            return false;
        }
        return true;
    }

    qint64 read(char *out, qint64 maxBytes) override
    {
        if (length >= 0)
            maxBytes = std::min(maxBytes, length - done);
        maxBytes -= maxBytes % musicBytesPerFrame;
        // A pipe may hand over part of a sample frame: it is kept for the next read.
        qint64 got = std::min<qint64>(pending.size(), maxBytes);
        std::memcpy(out, pending.constData(), size_t(got));
        pending.remove(0, int(got));
        while (got < maxBytes && (got % musicBytesPerFrame != 0 || got == 0)) {
            const qint64 n = file.read(out + got, maxBytes - got);
            if (n < 0) {
                problem = QStringLiteral("cannot read %1: %2").arg(name, file.errorString());
                return -1;
            }
            if (n == 0)
                break;
            got += n;
        }
        const qint64 whole = got - got % musicBytesPerFrame;
        pending.append(out + whole, int(got - whole));
        done += whole;
        return whole;
    }

    qint64 expectedBytes() const override { return length; }
    bool isFile() const override { return length >= 0; }
    QString errorString() const override { return problem; }

private:
    QString name;
    QFile file;
    qint64 length; // whole frames of a regular file; -1 for a pipe
    qint64 done = 0;
    QByteArray pending;
    QString problem;
};

// A song file of any format libsndfile reads, decoded to the show's format.
class SongSource : public MusicSource
{
public:
    bool open(const QString &path, QString *error) { return decoder.open(path, error); }
    qint64 read(char *out, qint64 maxBytes) override { return decoder.read(out, maxBytes); }
    qint64 expectedBytes() const override { return decoder.expectedBytes(); }
    bool isFile() const override { return true; }
    QString errorString() const override { return decoder.errorString(); }

private:
    MusicDecoder decoder;
};

} // namespace

QString musicName(const QString &path)
{
    return path == QLatin1String("-") ? QStringLiteral("standard input") : path;
}

bool isRawMusic(const QString &path)
{
    const QFileInfo info(path);
    return path.endsWith(QLatin1String(".raw"), Qt::CaseInsensitive)
        || (info.exists() && !info.isFile() && !info.isDir());
}

std::unique_ptr<MusicSource> openMusic(const QString &path, QString *error)
{
    const QString name = musicName(path);
    const QFileInfo info(path);
    if (path != QLatin1String("-")) {
        if (!info.exists()) {
            *error = QStringLiteral("%1: no such file").arg(name);
            return nullptr;
        }
        if (info.isDir()) {
            *error = QStringLiteral("%1 is a folder, not a song").arg(name);
            return nullptr;
        }
    }
    if (path != QLatin1String("-") && !isRawMusic(path)) {
        auto song = std::make_unique<SongSource>();
        if (!song->open(path, error))
            return nullptr;
        return song;
    }
    const bool regular = path != QLatin1String("-") && info.isFile();
    qint64 length = -1;
    if (regular) {
        length = info.size() - info.size() % musicBytesPerFrame;
        if (length == 0) {
            *error = QStringLiteral("%1 holds no whole sample frame (%2 bytes)")
                         .arg(name)
                         .arg(info.size());
            return nullptr;
        }
    }
    auto raw = std::make_unique<RawSource>(path, length);
    if (!raw->open(error))
        return nullptr;
    return raw;
}
