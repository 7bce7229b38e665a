#ifndef ENCODER_H
#define ENCODER_H

#include <QByteArray>
#include <QProcess>
#include <QSize>
#include <QString>

class QImage;

// Feeds frames to an ffmpeg process that encodes them as H.264 together with the music as AAC.
class VideoEncoder
{
public:
    explicit VideoEncoder(const QString &program);
    ~VideoEncoder();

    // Starts ffmpeg writing outPath: `frames` frames of `size` at `fps`, and the music
    // (headerless 16-bit stereo PCM at 44100 Hz) from time 0, cut or padded with silence to the
    // length of the frames.
    bool start(const QString &outPath, QSize size, int fps, qint64 frames, const QString &music);
    // Hands one RGB32 frame to ffmpeg; blocks while ffmpeg is more than a frame behind.
    bool write(const QImage &frame);
    // Closes the frame stream and waits for ffmpeg to finish the file.
    bool finish();

    // One line saying what went wrong.
    QString errorString() const { return error; }

private:
    bool failure(const QString &what);

    QString programName;
    QProcess process;
    QString error;
};

#endif // ENCODER_H
