// Frame benchmark of the demo's scenes.
//
//   mincer-bench [--size WxH]...  frame times offscreen, per phase of the timeline, painted by one
//                                 thread and in bands by all, with the scenes fitted to each size
//                                 (default 1920x1080 and 3840x2160, the 4K fit scaled by 2)
//   mincer-bench --window SECONDS plays the scenes (silently) in the demo's full-screen window on
//                                 the current display for SECONDS, paced as the demo paces them,
//                                 and prints per phase the frame rate, the frame interval and the
//                                 scene time's steps, and the CPU time per second of show
//       --unpaced                 ... each frame requested as soon as the last is out instead
//       --compare                 ... unpaced, then paced, and the ratio of their CPU times

#include "forest.h"
#include "framepainter.h"
#include "instruction.h"
#include "pixelsize.h"
#include "scenekit.h"
#include "scenelist.h"
#include "window.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QVector>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

namespace {

const int passes = 3; // over each timeline; each frame's fastest time counts

// A stretch of a scene's timeline that the figures are given for: from the scene's start, or from
// a moment that its music marks once, to the next such moment or the end of its timeline.
struct Phase
{
    int scene;
    long fromMs;
    long toMs;
    QString name;
};

QVector<Phase> phasesOf(const QList<Instruction *> &scenes)
{
    QVector<Phase> phases;
    for (int i = 0; i < scenes.size(); ++i) {
        const Instruction *scene = scenes.at(i);
        const SceneEvents events = scene->events();
        // An event that repeats marks the whole scene alike: no stretch of its own.
        const int once = events.once.size() - (events.repeatEveryMs > 0 ? 1 : 0);
        QString name = QString::fromLatin1(scene->name());
        long fromMs = 0;
        for (int e = 0; e < once; ++e) {
            phases.append({i, fromMs, events.once.at(e).timeMs, name});
            fromMs = events.once.at(e).timeMs;
            name = QStringLiteral("%1 %2").arg(scene->name(), events.once.at(e).name);
        }
        phases.append({i, fromMs, scene->lengthMs(), name});
    }
    for (Phase &phase : phases)
        phase.name
            += QStringLiteral(" %1-%2 s").arg(phase.fromMs / 1000.0).arg(phase.toMs / 1000.0);
    return phases;
}

// The phase of a frame of scene `scene` at scene time t (ms): the last one that has begun.
int phaseOf(const QVector<Phase> &phases, int scene, qint64 t)
{
    int found = -1;
    for (int i = 0; i < phases.size(); ++i) {
        if (phases.at(i).scene == scene && (found < 0 || t >= phases.at(i).fromMs))
            found = i;
    }
    return found;
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

double msSince(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e6;
}

// Milliseconds of one run of paint on one painter over the whole target.
double timeOnce(QImage &target, const std::function<void(QPainter &)> &paint)
{
    QElapsedTimer timer;
    timer.start();
    QPainter painter(&target);
    paint(painter);
    painter.end();
    return msSince(timer);
}

void benchOffscreen(const QList<Instruction *> &scenes, QSize size)
{
    const int width = size.width(), height = size.height();
    // The window's backing store: RGB32, in device pixels.
    QImage target(size, QImage::Format_RGB32);
    target.fill(Qt::black);

    // The floor: one full-screen fill and one full-screen blend of a semi-transparent image (the
    // backdrop as loaded, at device resolution, so the blit is unscaled), on one thread.
    const QColor sceneFill = sceneColour();
    const QImage backdrop = QImage(QStringLiteral(":/resources/background"))
                                .scaled(size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    const auto floor = [&](QPainter &p) {
        p.fillRect(QRect(0, 0, width, height), sceneFill);
        p.drawImage(QPointF(0, 0), backdrop);
    };
    // What bounds the forest's spin: one full-screen opaque image turned at a small angle, on one
    // thread.
    const QImage opaque = backdrop.convertToFormat(QImage::Format_RGB32);
    const auto turned = [&](QPainter &p) {
        p.translate(width / 2.0, height / 2.0);
        p.rotate(0.5);
        p.drawImage(QPointF(-width / 2.0, -height / 2.0), opaque);
    };
    const auto fill = [&](QPainter &p) { p.fillRect(QRect(0, 0, width, height), sceneFill); };
    // They are timed now and then all through the run, so that they see the machine as the
    // frames do; their medians count.
    QVector<double> floorTimes, turnedTimes, fillTimes;
    const auto sampleReferences = [&] {
        floorTimes.append(timeOnce(target, floor));
        turnedTimes.append(timeOnce(target, turned));
        fillTimes.append(timeOnce(target, fill));
    };
    for (int i = 0; i < 20; ++i)
        sampleReferences();

    // Every frame is painted by one thread and in bands by all, one after the other so that both
    // see the same state of a shared machine. The timeline is run `passes` times and each frame's
    // fastest time counts: that leaves out most of the time that other work on the machine takes
    // now and then, without favouring any frame. Each painter prepares the scenes' copies for the
    // fit before the first frame is timed.
    FramePainter one(scenes, 1);
    FramePainter all(scenes, FramePainter::idealThreads());
    FramePainter *painters[2] = {&one, &all};
    const QVector<Phase> phases = phasesOf(scenes);
    QVector<QVector<double>> times[2];
    for (QVector<QVector<double>> &each : times)
        each.resize(phases.size());
    QVector<double> turnedAsSpin, spinFrames;
    for (int scene = 0; scene < scenes.size(); ++scene) {
        for (FramePainter *painter : painters)
            painter->draw(*scenes.at(scene), 0, target);
        // Every 10 ms of scene time over the scene's timeline.
        QVector<qint64> frameTimes;
        for (qint64 t = 0; t <= scenes.at(scene)->lengthMs(); t += 10)
            frameTimes.append(t);
        // Where the forest spins, one full-screen opaque image is also turned (and shrunk) as
        // that frame turns the picture, on one thread: what one turned image costs at the spin's
        // angles.
        const auto *forest = dynamic_cast<const Forest *>(scenes.at(scene));
        QVector<double> fastest[3];
        for (QVector<double> &each : fastest)
            each.fill(1e9, frameTimes.size());
        for (int pass = 0; pass < passes; ++pass) {
            for (int i = 0; i < frameTimes.size(); ++i) {
                const qint64 t = frameTimes.at(i);
                for (int p = 0; p < 2; ++p) {
                    QElapsedTimer timer;
                    timer.start();
                    painters[p]->draw(*scenes.at(scene), t, target);
                    fastest[p][i] = std::min(fastest[p][i], msSince(timer));
                }
                if (forest && Forest::turnsAt(t)) {
                    fastest[2][i]
                        = std::min(fastest[2][i], timeOnce(target, [&](QPainter &p) {
                                       p.translate(width / 2.0, height / 2.0);
                                       p.setTransform(Forest::finaleTurn(t), true);
                                       p.drawImage(QPointF(-width / 2.0, -height / 2.0), opaque);
                                   }));
                }
                if (i % 50 == 0)
                    sampleReferences();
            }
        }
        for (int i = 0; i < frameTimes.size(); ++i) {
            for (int p = 0; p < 2; ++p)
                times[p][phaseOf(phases, scene, frameTimes.at(i))].append(fastest[p][i]);
            if (fastest[2][i] < 1e9) {
                turnedAsSpin.append(fastest[2][i]);
                spinFrames.append(fastest[1][i]);
            }
        }
    }

    const double floorMs = statsOf(floorTimes).median;
    const double turnedMs = statsOf(turnedTimes).median;
    const double fillMs = statsOf(fillTimes).median;
    std::printf("\n%dx%d, the composition scaled by %.4g (RGB32)\n", width, height, fitScale(size));
    std::printf("  floor (fill + full-screen blend), 1 thread:   %6.2f ms   (fill alone %.2f ms)\n",
                floorMs, fillMs);
    const Stats asSpin = statsOf(turnedAsSpin);
    std::printf("  turned full-screen opaque image, 1 thread:   %6.2f ms at 0.5 deg; turned as the "
                "spin turns: median %.2f ms, p99 %.2f ms\n",
                turnedMs, asSpin.median, asSpin.p99);
    std::printf("  %-30s %6s %8s %8s %8s %8s %7s %8s %8s\n", "phase", "frames", "median", "p99",
                "median", "p99", "1 / all", "p99 /", "p99 /");
    std::printf("  %-30s %6s %8s %8s %8s %8s %7s %8s %8s\n", "", "", "1 thread", "1 thread",
                qPrintable(QStringLiteral("%1 thr.").arg(all.threads())),
                qPrintable(QStringLiteral("%1 thr.").arg(all.threads())), "p99", "floor", "turned");
    for (int phase = 0; phase < phases.size(); ++phase) {
        const Stats single = statsOf(times[0][phase]);
        const Stats banded = statsOf(times[1][phase]);
        std::printf("  %-30s %6d %8.2f %8.2f %8.2f %8.2f %6.2fx %8.2f %8.2f\n",
                    qPrintable(phases.at(phase).name), single.frames, single.median, single.p99,
                    banded.median, banded.p99, single.p99 / banded.p99, banded.p99 / floorMs,
                    banded.p99 / turnedMs);
    }
    const Stats spin = statsOf(spinFrames);
    std::printf("  spin p99, %d threads / p99 of one image turned as the spin turns, 1 thread: "
                "%.2f\n",
                all.threads(), spin.p99 / asSpin.p99);
    std::fflush(stdout);
}

// One frame the window painted: when its drawing began (ns since the run began), which scene it
// showed and at what scene time.
struct FrameStamp
{
    qint64 ns;
    int scene;
    long t;
};

// Hands each frame to the real scene and notes it: when the band of the window's own thread is
// drawn.
class Recorder : public Instruction, public ScaleAware, public ChangingParts
{
public:
    Recorder(Instruction *scene, int index, const QElapsedTimer &clock, QVector<FrameStamp> &stamps)
        : scene(scene), index(index), clock(clock), stamps(stamps)
    { }

    bool draw(long t, QPainter &painter) override
    {
        if (QThread::currentThread() == qApp->thread())
            stamps.append({clock.nsecsElapsed(), index, t});
        return scene->draw(t, painter);
    }

    long endTime() const override { return scene->endTime(); }

    void prepareScale(qreal deviceScale) override
    {
        if (auto *aware = dynamic_cast<ScaleAware *>(scene))
            aware->prepareScale(deviceScale);
    }

    QRegion changedBetween(long from, long to) const override
    {
        auto *parts = dynamic_cast<ChangingParts *>(scene);
        return parts ? parts->changedBetween(from, to) : wholeViewport();
    }

private:
    Instruction *scene;
    int index;
    const QElapsedTimer &clock;
    QVector<FrameStamp> &stamps;
};

// CPU time (user + system) of this process so far, s.
double ownCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU time (user + system) of process `pid` so far, s; negative when it cannot be read.
double cpuSecondsOf(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return -1;
    // After the command name in parentheses: state, then fields 4 to 15 of proc(5); utime and
    // stime are fields 14 and 15, in clock ticks.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return (fields.at(11).toDouble() + fields.at(12).toDouble()) / sysconf(_SC_CLK_TCK);
}

// A process on this machine that takes part in showing the window.
struct Process
{
    pid_t pid = 0; // 0: none found
    QByteArray name;
};

QByteArray processName(pid_t pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    return comm.open(QIODevice::ReadOnly) ? comm.readAll().trimmed() : QByteArray();
}

// The process at the other end of a connected local socket (the one that listens), or none.
Process peerOf(int socket)
{
    ucred peer {};
    socklen_t length = sizeof peer;
    if (getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return {};
    return {peer.pid, processName(peer.pid)};
}

// The X server and the Wayland compositor that show the window, where they run on this machine.
struct DisplayProcesses
{
    Process xServer;
    Process compositor;
};

DisplayProcesses displayProcesses()
{
    DisplayProcesses found;
    // The compositor listens on $XDG_RUNTIME_DIR/$WAYLAND_DISPLAY.
    const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
    if (!wayland.isEmpty()) {
        const QByteArray path
            = wayland.startsWith('/') ? wayland : qgetenv("XDG_RUNTIME_DIR") + '/' + wayland;
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
            found.compositor = peerOf(fd);
        if (fd >= 0)
            close(fd);
    }
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return found;
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    const Process listener = xcb_connection_has_error(connection)
        ? Process()
        : peerOf(xcb_get_file_descriptor(connection));
    xcb_disconnect(connection);
    if (listener.name.startsWith('X')) {
        found.xServer = listener;
        return found;
    }
    // A compositor listens for its Xwayland, which it started with the display's name (":N") as
    // its first argument.
    if (listener.pid)
        found.compositor = listener;
    const QByteArray display = qgetenv("DISPLAY");
    const QByteArray number = display.mid(display.indexOf(':')).split('.').first();
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : pids) {
        const pid_t pid = pid_t(entry.toInt());
        QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (pid <= 0 || !processName(pid).startsWith('X') || !commandLine.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> arguments = commandLine.readAll().split('\0');
        if (arguments.size() > 1 && arguments.at(1) == number) {
            found.xServer = {pid, processName(pid)};
            break;
        }
    }
    return found;
}

// How many refreshes between two frames of `scene`, at scene times `from` and `to` ms, were passed
// over because the picture stood still (the window paints no frame that would repeat the one on
// screen): all of them when the scene says nothing changed up to each, else none.
int refreshesStill(const Instruction *scene, long from, long to, double periodMs)
{
    const auto *parts = dynamic_cast<const ChangingParts *>(scene);
    const int refreshes = periodMs > 0 ? int(std::round((to - from) / periodMs)) : 0;
    if (!parts || refreshes < 2)
        return 0;
    // At each refresh between them, half a period early: the scene times of a window's first
    // frames need not lie on the grid of the others.
    for (int k = 1; k < refreshes; ++k) {
        if (!parts->changedBetween(from, long(from + (k - 0.5) * periodMs)).isEmpty())
            return 0;
    }
    return refreshes - 1;
}

struct WindowRun
{
    double cpuPerSecond = 0; // the benchmark's own CPU seconds per second of show
    double serverCpuPerSecond = -1; // the X server's; negative where unknown
    double compositorCpuPerSecond = -1; // the Wayland compositor's; negative where unknown
};

// Plays the scenes from the start, silently, in the demo's full-screen window for `seconds`, and
// prints the frame rate, the frame intervals and the steps of scene time per phase, and the CPU
// time spent per second of show.
WindowRun benchWindow(int seconds, bool paced)
{
    QElapsedTimer clock;
    QVector<FrameStamp> stamps;
    static const QList<Instruction *> scenes = createScenes();
    std::vector<std::unique_ptr<Recorder>> owned; // outlive the window
    QList<Instruction *> recorders;
    for (int i = 0; i < scenes.size(); ++i) {
        owned.push_back(std::make_unique<Recorder>(scenes.at(i), i, clock, stamps));
        recorders.append(owned.back().get());
    }

    // The demo's window with the demo's scenes, silent; shown as the demo shows it.
    Window window(recorders);
    window.displayPacing().setPaced(paced);
    const DisplayProcesses shown = displayProcesses();
    window.showCoveringScreen();
    QTimer::singleShot(seconds * 1000, qApp, &QCoreApplication::quit);
    clock.start();
    const double cpuBefore = ownCpuSeconds();
    const double serverBefore = cpuSecondsOf(shown.xServer.pid);
    const double compositorBefore = cpuSecondsOf(shown.compositor.pid);
    qApp->exec();
    const double wallSeconds = clock.nsecsElapsed() / 1e9;
    WindowRun run;
    run.cpuPerSecond = (ownCpuSeconds() - cpuBefore) / wallSeconds;
    const auto perSecond = [&](double before, pid_t pid) {
        const double after = cpuSecondsOf(pid);
        return before >= 0 && after >= 0 ? (after - before) / wallSeconds : -1;
    };
    run.serverCpuPerSecond = perSecond(serverBefore, shown.xServer.pid);
    run.compositorCpuPerSecond = perSecond(compositorBefore, shown.compositor.pid);

    const QSize size = window.size() * window.devicePixelRatio();
    const double periodMs = window.displayPacing().refreshPeriodNs() / 1e6;
    const char *pacing = !paced                     ? "unpaced"
        : window.displayPacing().followsRefreshes() ? "paced by Present"
        : window.displayPacing().pacedByTimer()     ? "paced by a timer: no refresh reports"
        : QGuiApplication::platformName() == QLatin1String("wayland")
        ? "paced by the toolkit"
        : "unpaced: no refresh reports";
    std::printf("\n%s: window %dx%d device pixels, device pixel ratio %g, %d s, %s\n",
                qPrintable(QGuiApplication::platformName()), size.width(), size.height(),
                window.devicePixelRatio(), seconds, pacing);
    std::printf("  refresh: %.2f Hz measured, %.2f Hz as the screen reports\n",
                periodMs > 0 ? 1000 / periodMs : 0.0, window.screen()->refreshRate());
    // Qt delivers the repaint that update() asks for only after this idle time; the demo sets it
    // to 0 unless the user set it, and so does the benchmark.
    const QByteArray idle = qgetenv("QT_QPA_UPDATE_IDLE_TIME");
    std::printf("  update idle time (QT_QPA_UPDATE_IDLE_TIME): %s ms\n",
                idle.isEmpty() ? "5 (default)" : idle.constData());
    // The scene time's steps from frame to frame: one refresh period within 2 ms, several
    // periods within 2 ms (refreshes missed), or other.
    std::printf("  %-30s %6s %7s %9s %9s   %-44s %6s\n", "phase", "frames", "fps", "interval",
                "interval", "scene time step", "still");
    std::printf("  %-30s %6s %7s %9s %9s   %-44s %6s\n", "", "", "", "median ms", "p99 ms",
                periodMs > 0 ? "median ms, 1 period +-2 ms, 2+ periods, other" : "median ms",
                "passed");
    const QVector<Phase> phases = phasesOf(scenes);
    for (int phase = 0; phase < phases.size(); ++phase) {
        // Consecutive frames both in the phase: the time between them and the scene time they
        // moved on (within one scene), but for the refreshes passed over while the picture stood
        // still, which are counted apart.
        QVector<double> gaps, steps;
        int frames = 0, onePeriod = 0, periods = 0, passedOver = 0;
        for (int i = 0; i < stamps.size(); ++i) {
            const FrameStamp &s = stamps.at(i);
            if (phaseOf(phases, s.scene, s.t) != phase)
                continue;
            ++frames;
            if (i == 0 || phaseOf(phases, stamps.at(i - 1).scene, stamps.at(i - 1).t) != phase)
                continue;
            const FrameStamp &before = stamps.at(i - 1);
            const int stillRefreshes = before.scene == s.scene
                ? refreshesStill(scenes.at(s.scene), before.t, s.t, periodMs)
                : 0;
            if (stillRefreshes > 0) {
                passedOver += stillRefreshes;
                continue;
            }
            gaps.append((s.ns - before.ns) / 1e6);
            if (before.scene != s.scene)
                continue;
            const double step = s.t - before.t;
            steps.append(step);
            if (periodMs > 0) {
                const double whole = std::max(1.0, std::round(step / periodMs));
                const bool onGrid = std::abs(step - whole * periodMs) <= 2;
                onePeriod += onGrid && whole == 1;
                periods += onGrid && whole > 1;
            }
        }
        if (gaps.size() < 2) {
            std::printf("  %-30s %6d %7s %9s %9s   %-44s %6d\n", qPrintable(phases.at(phase).name),
                        frames, "", "", "", "", passedOver);
            continue;
        }
        const Stats g = statsOf(gaps);
        double movingMs = 0;
        for (const double gap : gaps)
            movingMs += gap;
        const double fps = gaps.size() / (movingMs / 1e3);
        QString step = QString::number(statsOf(steps).median, 'f', 0);
        if (periodMs > 0)
            step += QStringLiteral(", %1 %, %2, %3")
                        .arg(100.0 * onePeriod / steps.size(), 0, 'f', 1)
                        .arg(periods)
                        .arg(steps.size() - onePeriod - periods);
        std::printf("  %-30s %6d %7.1f %9.2f %9.2f   %-44s %6d\n",
                    qPrintable(phases.at(phase).name), frames, fps, g.median, g.p99,
                    qPrintable(step), passedOver);
    }
    std::printf("  all: %d frames in %.1f s, %.1f fps\n", int(stamps.size()), wallSeconds,
                stamps.size() / wallSeconds);
    std::printf("  CPU seconds per second of show: %.3f mincer-bench", run.cpuPerSecond);
    if (run.serverCpuPerSecond >= 0)
        std::printf(" + %.3f X server %s (pid %d) = %.3f", run.serverCpuPerSecond,
                    shown.xServer.name.constData(), int(shown.xServer.pid),
                    run.cpuPerSecond + run.serverCpuPerSecond);
    if (run.compositorCpuPerSecond >= 0)
        std::printf("; compositor %s (pid %d): %.3f", shown.compositor.name.constData(),
                    int(shown.compositor.pid), run.compositorCpuPerSecond);
    std::printf("\n");
    std::fflush(stdout);
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    int windowSeconds = 0;
    bool paced = true, compare = false;
    QList<QSize> sizes;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--window") == 0 && i + 1 < argc) {
            windowSeconds = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--unpaced") == 0) {
            paced = false;
        } else if (std::strcmp(argv[i], "--compare") == 0) {
            compare = true;
        } else if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
            const QSize size = parsePixelSize(QString::fromLocal8Bit(argv[++i]));
            if (size.isEmpty()) {
                std::fprintf(stderr, "mincer-bench: --size needs WIDTHxHEIGHT, not '%s'\n",
                             argv[i]);
                return 2;
            }
            sizes.append(size);
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("usage: %s [--size WxH]... | --window SECONDS [--unpaced | --compare]\n",
                        argv[0]);
            return 0;
        } else {
            std::fprintf(stderr, "mincer-bench: unknown argument '%s'; see --help\n", argv[i]);
            return 2;
        }
    }
    if (windowSeconds <= 0 && !qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    requestImmediateRepaints();
    QGuiApplication app(argc, argv);

    if (windowSeconds > 0) {
        const WindowRun run = benchWindow(windowSeconds, paced && !compare);
        if (!compare)
            return 0;
        // Paced after unpaced, in one process, so that the ratio sees one state of the machine.
        const WindowRun pacedRun = benchWindow(windowSeconds, true);
        std::printf("\npaced / unpaced CPU per second of show: %.3f mincer-bench",
                    pacedRun.cpuPerSecond / run.cpuPerSecond);
        if (run.serverCpuPerSecond > 0 && pacedRun.serverCpuPerSecond >= 0)
            std::printf(", %.3f mincer-bench + X server",
                        (pacedRun.cpuPerSecond + pacedRun.serverCpuPerSecond)
                            / (run.cpuPerSecond + run.serverCpuPerSecond));
        if (run.compositorCpuPerSecond > 0 && pacedRun.compositorCpuPerSecond >= 0)
            std::printf(", %.3f compositor",
                        pacedRun.compositorCpuPerSecond / run.compositorCpuPerSecond);
        std::printf("\n");
        return 0;
    }

    if (sizes.isEmpty())
        sizes = {QSize(1920, 1080), QSize(3840, 2160)};
    const QList<Instruction *> scenes = createScenes();
    std::printf("mincer-bench: milliseconds per frame, each scene across its timeline, %d cores\n",
                FramePainter::idealThreads());
    for (const QSize size : std::as_const(sizes))
        benchOffscreen(scenes, size);
    return 0;
}
