// Frame benchmark of the demo's scenes.
//
//   mincer-bench                  frame times offscreen, per phase of the timeline, at 1920x1080
//                                 and at 3840x2160 with device pixel ratio 2 (4K scaled by 2)
//   mincer-bench --window SECONDS plays the scenes (silently) in a full-screen window on the
//                                 current display for SECONDS and prints the frame rate per phase

#include "instruction.h"
#include "window.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <QVector>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include <time.h>

namespace {

const QColor sceneFill(0x30, 0x39, 0x2c);

// The phases of the timeline that the figures are given for.
enum Phase { ForestOpening, Spin, ShrinkFade, MinceScene, PhaseCount };
const char *const phaseNames[PhaseCount]
    = {"Forest 0-23.5 s", "spin 23.5-25 s", "shrink+fade 25-31.7 s", "Mince 0-35 s"};

Phase phaseOf(int scene, qint64 t)
{
    if (scene == 1)
        return MinceScene;
    if (t <= 23500)
        return ForestOpening;
    return t <= 25000 ? Spin : ShrinkFade;
}

struct Stats
{
    double median = 0; // ms
    double p99 = 0; // ms
    int frames = 0;
};

Stats statsOf(QVector<double> ms)
{
    Stats s;
    s.frames = ms.size();
    if (ms.isEmpty())
        return s;
    std::sort(ms.begin(), ms.end());
    s.median = ms.at(ms.size() / 2);
    s.p99 = ms.at(std::min<int>(ms.size() - 1, int(ms.size() * 0.99)));
    return s;
}

// CPU time of this thread: unlike the wall clock it does not count the time that other
// processes on a shared machine take the core away.
qint64 threadCpuNanoseconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// A frame as the window paints it: a painter opened on the backing store, one scene draw.
// Returns the wall-clock milliseconds; adds the CPU milliseconds to *cpu if given.
double timeFrame(QImage &target, const std::function<void(QPainter &)> &paint,
                 QVector<double> *cpu = nullptr)
{
    const qint64 cpuStart = threadCpuNanoseconds();
    QElapsedTimer timer;
    timer.start();
    QPainter painter(&target);
    paint(painter);
    painter.end();
    const double ms = timer.nsecsElapsed() / 1e6;
    if (cpu)
        cpu->append((threadCpuNanoseconds() - cpuStart) / 1e6);
    return ms;
}

double medianTime(QImage &target, int repeats, const std::function<void(QPainter &)> &paint)
{
    QVector<double> ms;
    for (int i = 0; i < repeats; ++i)
        ms.append(timeFrame(target, paint));
    return statsOf(ms).median;
}

void benchOffscreen(const QList<Instruction *> &scenes, int width, int height, qreal ratio)
{
    // The window's backing store: RGB32, in device pixels, with the screen's pixel ratio.
    QImage target(width, height, QImage::Format_RGB32);
    target.setDevicePixelRatio(ratio);
    target.fill(Qt::black);

    // The floor: one full-screen fill and one full-screen blend of a semi-transparent image (the
    // backdrop as loaded, at device resolution, so the blit is unscaled).
    QImage backdrop = QImage(QStringLiteral(":/resources/background"))
                          .scaled(width, height, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    backdrop.setDevicePixelRatio(ratio);
    const double floorMs = medianTime(target, 200, [&](QPainter &p) {
        p.fillRect(QRectF(0, 0, width / ratio, height / ratio), sceneFill);
        p.drawImage(QPointF(0, 0), backdrop);
    });
    // What bounds the spin: one rotated full-screen copy of an opaque image, and of the
    // semi-transparent one, at a small angle and full size as in the spin's heaviest frames.
    const QImage opaque = backdrop.convertToFormat(QImage::Format_RGB32);
    auto rotated = [&](const QImage &image) {
        return medianTime(target, 100, [&](QPainter &p) {
            p.translate(width / ratio / 2, height / ratio / 2);
            p.rotate(0.5);
            p.drawImage(QPointF(-image.width() / ratio / 2, -image.height() / ratio / 2), image);
        });
    };
    const double rotatedOpaqueMs = rotated(opaque);
    const double rotatedBlendMs = rotated(backdrop);
    const double fillMs = medianTime(target, 200, [&](QPainter &p) {
        p.fillRect(QRectF(0, 0, width / ratio, height / ratio), sceneFill);
    });

    QVector<double> times[PhaseCount];
    QVector<double> cpuTimes[PhaseCount];
    // Every 10 ms of scene time, every 2 ms in the short spin.
    for (int scene = 0; scene < scenes.size(); ++scene) {
        const qint64 end = scene == 0 ? 31701 : 35000;
        for (qint64 t = 0; t <= end;) {
            const Phase phase = phaseOf(scene, t);
            times[phase].append(timeFrame(
                target, [&](QPainter &p) { scenes.at(scene)->draw(t, p); }, &cpuTimes[phase]));
            t += phaseOf(scene, t) == Spin ? 2 : 10;
        }
    }

    std::printf("\n%dx%d, device pixel ratio %g (RGB32)\n", width, height, ratio);
    std::printf("  floor (fill + full-screen blend blit): %.2f ms   fill alone: %.2f ms\n", floorMs,
                fillMs);
    std::printf("  rotated full-screen blit alone, 0.5 deg: opaque %.2f ms, blended %.2f ms\n",
                rotatedOpaqueMs, rotatedBlendMs);
    std::printf("  %-22s %6s %9s %9s %9s %9s %9s\n", "phase", "frames", "median", "p99", "CPU p99",
                "median/", "p99/");
    std::printf("  %-22s %6s %9s %9s %9s %9s %9s\n", "", "", "ms", "ms", "ms", "floor", "floor");
    for (int phase = 0; phase < PhaseCount; ++phase) {
        const Stats s = statsOf(times[phase]);
        const Stats c = statsOf(cpuTimes[phase]);
        std::printf("  %-22s %6d %9.2f %9.2f %9.2f %9.2f %9.2f\n", phaseNames[phase], s.frames,
                    s.median, s.p99, c.p99, s.median / floorMs, s.p99 / floorMs);
    }
    std::fflush(stdout);
}

// Hands each frame to the real scene and notes when it was drawn and in which phase.
class Recorder : public Instruction
{
public:
    Recorder(Instruction *scene, int index, const QElapsedTimer &clock,
             QVector<qint64> (&stamps)[PhaseCount])
        : scene(scene), index(index), clock(clock), stamps(stamps)
    { }

    bool draw(long t, QPainter &painter) override
    {
        stamps[phaseOf(index, t)].append(clock.nsecsElapsed());
        return scene->draw(t, painter);
    }

private:
    Instruction *scene;
    int index;
    const QElapsedTimer &clock;
    QVector<qint64> (&stamps)[PhaseCount];
};

int benchWindow(int seconds)
{
    QElapsedTimer clock;
    clock.start();
    QVector<qint64> stamps[PhaseCount];
    QList<Instruction *> recorders;
    const QList<Instruction *> scenes = createScenes();
    for (int i = 0; i < scenes.size(); ++i)
        recorders.append(new Recorder(scenes.at(i), i, clock, stamps));

    // The demo's window with the demo's scenes, silent; shown as the demo shows it.
    Window window(recorders);
    window.showCoveringScreen();
    QTimer::singleShot(seconds * 1000, qApp, &QCoreApplication::quit);
    const int result = qApp->exec();

    const QSize size = window.size() * window.devicePixelRatio();
    std::printf("window %dx%d device pixels, device pixel ratio %g, %d s\n", size.width(),
                size.height(), window.devicePixelRatio(), seconds);
    // Qt delivers the repaint that update() asks for only after this idle time; the demo sets it
    // to 0 unless the user set it, and so does the benchmark.
    const QByteArray idle = qgetenv("QT_QPA_UPDATE_IDLE_TIME");
    std::printf("  update idle time (QT_QPA_UPDATE_IDLE_TIME): %s ms\n",
                idle.isEmpty() ? "5 (default)" : idle.constData());
    qint64 frames = 0;
    for (int phase = 0; phase < PhaseCount; ++phase) {
        const QVector<qint64> &s = stamps[phase];
        frames += s.size();
        if (s.size() < 2) {
            std::printf("  %-24s %6d frames\n", phaseNames[phase], s.size());
            continue;
        }
        // Frame times between consecutive frames of the phase, their median and worst 1%.
        QVector<double> gaps;
        for (int i = 1; i < s.size(); ++i)
            gaps.append((s.at(i) - s.at(i - 1)) / 1e6);
        const Stats g = statsOf(gaps);
        const double fps = (s.size() - 1) / ((s.last() - s.first()) / 1e9);
        std::printf("  %-24s %6d frames %7.1f fps   frame interval median %.2f ms, p99 %.2f ms\n",
                    phaseNames[phase], s.size(), fps, g.median, g.p99);
    }
    std::printf("  all: %lld frames in %.1f s, %.1f fps\n", frames, clock.elapsed() / 1000.0,
                frames / (clock.elapsed() / 1000.0));
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    int windowSeconds = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--window") == 0 && i + 1 < argc) {
            windowSeconds = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("usage: %s [--window SECONDS]\n", argv[0]);
            return 0;
        }
    }
    if (windowSeconds <= 0 && !qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    requestImmediateRepaints();
    QGuiApplication app(argc, argv);

    if (windowSeconds > 0)
        return benchWindow(windowSeconds);

    const QList<Instruction *> scenes = createScenes();
    std::printf("mincer-bench: milliseconds per frame, each scene across its timeline\n");
    benchOffscreen(scenes, 1920, 1080, 1);
    benchOffscreen(scenes, 3840, 2160, 2);
    return 0;
}
