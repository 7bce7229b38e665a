// frameprobe: tells when the demo's frames reach the X server and which scene time each shows.
//
//   frameprobe prepare WIDTHxHEIGHT CANDIDATES
//     Draws, with the demo's own scenes and frame painter, the Forest at every scene time of the
//     character's second rise (22490-22660 ms) on a screen of that size, and keeps of each frame
//     a narrow strip through the character's head: the strips tell the rise's frames apart. The
//     picture at rest (scene time 0, the same until the hop at 14 s) is kept too: the demo's
//     first frame shows it.
//
//   frameprobe prepare WIDTHxHEIGHT CANDIDATES swallow
//     The same for the grinder's swallow, which recurs every lap of its train: a row through the
//     train at every time of a lap, each time named by how far (ms) it is past the swallow. A
//     frame that shows a time less than the frame before it shows the swallow.
//
//   frameprobe watch CANDIDATES LOG TIMEOUT_S [UP_PRESSES]
//     On the X server of $DISPLAY: waits for the demo's window to be mapped, presses Up twice, or
//     UP_PRESSES times (twice: scene time +20 s, the rise then comes 2.5 s into the music; five
//     times: the forest ends and the grinder runs from 10 s), and reads the strip from the
//     window at every damage, until the window goes away or the timeout passes. It also follows
//     the server's refresh clock (Present's MSC notifications on a window of its own). LOG gets,
//     with CLOCK_MONOTONIC times in µs:
//       ready US                          watching: the demo may start
//       window MAPPED_US                  the demo's window appeared
//       key US                            an Up press sent
//       refresh MSC UST                   a refresh of the screen
//       frame DAMAGE_US SEEN_US SCENE_MS  the strip changed: the server reported the window drawn
//                                         at DAMAGE_US (when its damage event came), the strip
//                                         was read at SEEN_US and shows SCENE_MS (-1: a frame of
//                                         the scene that several scene times share, -2: no frame
//                                         of the scene, such as the empty window)
//       end US
//     Exit status 0 when the window came and went, 1 otherwise.

#include <QByteArray>
#include <QDataStream>
#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QImage>
#include <QRect>

#include "framepainter.h"
#include "instruction.h"
#include "mince.h"
#include "scenelist.h"
#include "scenesequence.h"

#include <xcb/damage.h>
#include <xcb/present.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <poll.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <utility>
#include <vector>

namespace {

constexpr long restMs = 0; // the character at rest, as in the first frame
constexpr long candidatesBeforeMs = 10; // scene times told apart around the rise's 150 ms
constexpr long candidatesAfterMs = 160;
constexpr int stripWidthPx = 8; // device pixels
constexpr std::uint32_t keysymUp = 0xff52;
constexpr std::int64_t keyGapUs = 60000; // between the two presses, so none looks auto-repeated

std::int64_t nowUs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// A strip's pixels as the X server gives them (32-bit BGRX), without the unused byte.
QByteArray stripKey(const uchar *pixels, int width, int height, int bytesPerLine)
{
    QByteArray key(width * height * 3, Qt::Uninitialized);
    char *out = key.data();
    for (int y = 0; y < height; ++y) {
        const uchar *row = pixels + y * bytesPerLine;
        for (int x = 0; x < width * 4; x += 4) {
            *out++ = char(row[x]);
            *out++ = char(row[x + 1]);
            *out++ = char(row[x + 2]);
        }
    }
    return key;
}

struct Candidates
{
    QRect region; // in the window's device pixels
    QList<qint64> times;
    QList<QByteArray> strips;
};

int save(const Candidates &candidates, int distinct, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "frameprobe: cannot write %s\n", qPrintable(path));
        return 1;
    }
    QDataStream out(&file);
    out << candidates.region << candidates.times << candidates.strips;
    std::printf("region %d,%d %dx%d; %d of %d scene times told apart\n", candidates.region.x(),
                candidates.region.y(), candidates.region.width(), candidates.region.height(),
                distinct, int(candidates.times.size()));
    return 0;
}

int prepare(const QSize &screen, const QString &path)
{
    QList<Instruction *> scenes = createScenes();
    // The forest's second rise: the character's top moves 1 px per ms for 150 ms. The seek keys
    // reach it in the first scene only.
    const SceneMoment rise = findEvent(scenes, "second rise");
    if (rise.scene != 0) {
        std::fprintf(stderr, "frameprobe: the second rise is not in the first scene\n");
        return 1;
    }
    const long firstCandidateMs = rise.timeMs - candidatesBeforeMs;
    const long lastCandidateMs = rise.timeMs + candidatesAfterMs;
    FramePainter painter(scenes);
    QImage frame(screen, QImage::Format_RGB32);
    auto render = [&](long t) {
        painter.draw(*scenes.at(rise.scene), t, frame);
        return frame.copy();
    };
    // Where the rise changes the picture; the strip runs down its middle.
    const QImage before = render(rise.timeMs), after = render(lastCandidateMs);
    QRect changed;
    for (int y = 0; y < screen.height(); ++y) {
        for (int x = 0; x < screen.width(); ++x) {
            if (before.pixel(x, y) != after.pixel(x, y))
                changed |= QRect(x, y, 1, 1);
        }
    }
    if (changed.isEmpty()) {
        std::fprintf(stderr, "frameprobe: the rise changes nothing on a %dx%d screen\n",
                     screen.width(), screen.height());
        return 1;
    }
    const int width = std::min(stripWidthPx, changed.width());
    Candidates candidates;
    candidates.region
        = QRect(changed.center().x() - width / 2, changed.top(), width, changed.height())
              .intersected(QRect(QPoint(0, 0), screen));
    QHash<QByteArray, int> seen;
    QList<long> times {restMs};
    for (long t = firstCandidateMs; t <= lastCandidateMs; ++t)
        times << t;
    for (long t : std::as_const(times)) {
        const QImage strip = render(t).copy(candidates.region);
        candidates.times << t;
        candidates.strips << stripKey(strip.constBits(), strip.width(), strip.height(),
                                      strip.bytesPerLine());
        seen[candidates.strips.last()] += 1;
    }
    int distinct = 0;
    for (const QByteArray &strip : std::as_const(candidates.strips))
        distinct += seen.value(strip) == 1;
    if (distinct < 150) { // the rest, and the 149 frames of the rise
        std::fprintf(stderr, "frameprobe: only %d frames of the rise can be told apart\n",
                     distinct);
        return 1;
    }
    return save(candidates, distinct, path);
}

// The grinder's swallow, every fall: the candidates are a period of its moments, each time named
// by how far (ms) it is past the moment, and the strip a row through the train of small
// characters, which runs a lap per period, at 1 px/ms, once all of it runs.
int prepareSwallow(const QSize &screen, const QString &path)
{
    QList<Instruction *> scenes = createScenes();
    const SceneMoment swallow = findEvent(scenes, "swallow");
    Instruction *grinder = swallow.scene >= 0 ? scenes.at(swallow.scene) : nullptr;
    const long periodMs = grinder ? grinder->events().repeatEveryMs : 0;
    if (periodMs != Mince::trainLapMs) {
        std::fprintf(stderr, "frameprobe: no swallow every lap of the train\n");
        return 1;
    }
    const long firstMs = swallow.timeMs + 5 * periodMs; // the whole train runs by then
    FramePainter painter(scenes);
    QImage frame(screen, QImage::Format_RGB32);
    Candidates candidates;
    candidates.region = deviceRegion(screen,
                                     QRect(Mince::stripRightPx + 2, Mince::trainTopPx + 10,
                                           compositionWidthPx / 2 - Mince::stripRightPx - 2, 1))
                            .boundingRect();
    auto strip = [&](long t) {
        painter.draw(*grinder, t, frame);
        const QImage part = frame.copy(candidates.region);
        return stripKey(part.constBits(), part.width(), part.height(), part.bytesPerLine());
    };
    QHash<QByteArray, int> seen;
    for (long d = 0; d < periodMs; ++d) {
        candidates.times << d;
        candidates.strips << strip(firstMs + d);
        seen[candidates.strips.last()] += 1;
        // The row repeats every period.
        if (d % 100 == 0 && strip(firstMs + d + 3 * periodMs) != candidates.strips.last()) {
            std::fprintf(stderr, "frameprobe: the train's row does not repeat every %ld ms\n",
                         periodMs);
            return 1;
        }
    }
    int distinct = 0;
    for (const QByteArray &key : std::as_const(candidates.strips))
        distinct += seen.value(key) == 1;
    if (distinct < periodMs * 9 / 10) {
        std::fprintf(stderr, "frameprobe: only %d times of the train's lap can be told apart\n",
                     distinct);
        return 1;
    }
    return save(candidates, distinct, path);
}

template<typename Reply> using ReplyPtr = std::unique_ptr<Reply, decltype(&std::free)>;

template<typename Reply> ReplyPtr<Reply> owned(Reply *reply)
{
    return ReplyPtr<Reply>(reply, &std::free);
}

class Watcher
{
public:
    Watcher(xcb_connection_t *connection, const Candidates &candidates, FILE *log, int presses)
        : x(connection), candidates(candidates), log(log), presses(presses)
    {
        screen = xcb_setup_roots_iterator(xcb_get_setup(x)).data;
        for (int i = 0; i < candidates.times.size(); ++i) {
            // A strip that several scene times share tells none of them.
            const qint64 t = candidates.times.at(i);
            sceneOfStrip[candidates.strips.at(i)]
                = sceneOfStrip.contains(candidates.strips.at(i)) ? -1 : t;
        }
    }

    bool start()
    {
        damageEvent = extensionEvent(&xcb_damage_id);
        presentOpcode = xcb_get_extension_data(x, &xcb_present_id)->major_opcode;
        if (damageEvent < 0 || !presentOpcode
            || !xcb_get_extension_data(x, &xcb_test_id)->present) {
            std::fprintf(stderr, "frameprobe: the X server lacks DAMAGE, Present or XTEST\n");
            return false;
        }
        free(xcb_damage_query_version_reply(x, xcb_damage_query_version(x, 1, 1), nullptr));
        free(xcb_present_query_version_reply(x, xcb_present_query_version(x, 1, 0), nullptr));
        upKeycode = keycodeOf(keysymUp);

        const uint32_t substructure = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(x, screen->root, XCB_CW_EVENT_MASK, &substructure);
        // The refresh clock: Present notifies this (never mapped) window at each MSC.
        clockWindow = xcb_generate_id(x);
        xcb_create_window(x, XCB_COPY_FROM_PARENT, clockWindow, screen->root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
        xcb_present_select_input(x, xcb_generate_id(x), clockWindow,
                                 XCB_PRESENT_EVENT_MASK_COMPLETE_NOTIFY);
        xcb_present_notify_msc(x, clockWindow, 0, 0, 0, 0); // now, then at every MSC
        xcb_flush(x);
        std::fprintf(log, "ready %lld\n", (long long)nowUs());
        std::fflush(log);
        return true;
    }

    // Runs until the demo's window has come and gone, or the deadline.
    bool run(std::int64_t deadlineUs)
    {
        while (!finished) {
            const std::int64_t now = nowUs();
            if (now >= deadlineUs)
                break;
            while (xcb_generic_event_t *event = xcb_poll_for_event(x)) {
                handle(event);
                free(event);
            }
            if (xcb_connection_has_error(x)) {
                std::fprintf(stderr, "frameprobe: lost the X server\n");
                return false;
            }
            if (keysSent < presses && window && nowUs() >= nextKeyUs)
                pressUp();
            if (damaged) {
                readStrip();
                continue;
            }
            pollfd wait {xcb_get_file_descriptor(x), POLLIN, 0};
            const std::int64_t untilKey
                = keysSent < presses && window ? nextKeyUs - nowUs() : 100000;
            poll(&wait, 1,
                 int(std::max<std::int64_t>(0, std::min<std::int64_t>(untilKey, 100000)) / 1000));
        }
        std::fprintf(log, "end %lld\n", (long long)nowUs());
        return finished;
    }

private:
    int extensionEvent(xcb_extension_t *extension)
    {
        const xcb_query_extension_reply_t *data = xcb_get_extension_data(x, extension);
        return data && data->present ? data->first_event : -1;
    }

    xcb_keycode_t keycodeOf(std::uint32_t keysym)
    {
        const xcb_setup_t *setup = xcb_get_setup(x);
        const int count = setup->max_keycode - setup->min_keycode + 1;
        auto mapping = owned(xcb_get_keyboard_mapping_reply(
            x, xcb_get_keyboard_mapping(x, setup->min_keycode, count), nullptr));
        if (!mapping)
            return 0;
        const xcb_keysym_t *keysyms = xcb_get_keyboard_mapping_keysyms(mapping.get());
        const int perCode = mapping->keysyms_per_keycode;
        for (int code = 0; code < count; ++code) {
            for (int i = 0; i < perCode; ++i) {
                if (keysyms[code * perCode + i] == keysym)
                    return xcb_keycode_t(setup->min_keycode + code);
            }
        }
        return 0;
    }

    void handle(xcb_generic_event_t *event)
    {
        const int type = event->response_type & 0x7f;
        if (type == XCB_MAP_NOTIFY) {
            const auto *map = reinterpret_cast<xcb_map_notify_event_t *>(event);
            if (!window && isScreenSized(map->window))
                follow(map->window);
        } else if (type == XCB_UNMAP_NOTIFY || type == XCB_DESTROY_NOTIFY) {
            const auto *unmap = reinterpret_cast<xcb_unmap_notify_event_t *>(event);
            if (window && unmap->window == window)
                finished = true;
        } else if (damageEvent >= 0 && type == damageEvent + XCB_DAMAGE_NOTIFY) {
            // The server reports the damage as it draws, and the probe waits for it, so this is
            // when the frame reached the server, to a fraction of a millisecond.
            if (!damaged)
                damagedUs = nowUs();
            damaged = true;
        } else if (type == XCB_GE_GENERIC) {
            const auto *generic = reinterpret_cast<xcb_ge_generic_event_t *>(event);
            if (generic->extension == presentOpcode
                && generic->event_type == XCB_PRESENT_EVENT_COMPLETE_NOTIFY) {
                const auto *complete
                    = reinterpret_cast<xcb_present_complete_notify_event_t *>(event);
                std::fprintf(log, "refresh %llu %llu\n", (unsigned long long)complete->msc,
                             (unsigned long long)complete->ust);
                xcb_present_notify_msc(x, clockWindow, 0, complete->msc + 1, 0, 0);
                xcb_flush(x);
            }
        }
    }

    bool isScreenSized(xcb_window_t candidate)
    {
        auto geometry = owned(xcb_get_geometry_reply(x, xcb_get_geometry(x, candidate), nullptr));
        return geometry && geometry->width == screen->width_in_pixels
            && geometry->height == screen->height_in_pixels;
    }

    void follow(xcb_window_t demo)
    {
        window = demo;
        std::fprintf(log, "window %lld\n", (long long)nowUs());
        const uint32_t structure = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(x, window, XCB_CW_EVENT_MASK, &structure);
        damage = xcb_generate_id(x);
        xcb_damage_create(x, damage, window, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
        nextKeyUs = nowUs();
        xcb_flush(x);
    }

    void pressUp()
    {
        xcb_test_fake_input(x, XCB_KEY_PRESS, upKeycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_test_fake_input(x, XCB_KEY_RELEASE, upKeycode, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_flush(x);
        std::fprintf(log, "key %lld\n", (long long)nowUs());
        ++keysSent;
        nextKeyUs = nowUs() + keyGapUs;
    }

    // Reads the strip once for all damage so far; notes it when it changed.
    void readStrip()
    {
        damaged = false;
        xcb_damage_subtract(x, damage, XCB_NONE, XCB_NONE);
        const QRect &r = candidates.region;
        auto image = owned(xcb_get_image_reply(
            x,
            xcb_get_image(x, XCB_IMAGE_FORMAT_Z_PIXMAP, window, int16_t(r.x()), int16_t(r.y()),
                          uint16_t(r.width()), uint16_t(r.height()), ~0u),
            nullptr));
        const std::int64_t seen = nowUs();
        if (!image) // the window went away meanwhile
            return;
        const QByteArray strip
            = stripKey(xcb_get_image_data(image.get()), r.width(), r.height(), r.width() * 4);
        if (strip != lastStrip) {
            const qint64 scene = sceneOfStrip.value(strip, -2);
            std::fprintf(log, "frame %lld %lld %lld\n", (long long)damagedUs, (long long)seen,
                         (long long)scene);
            lastStrip = strip;
        }
    }

    xcb_connection_t *x;
    const Candidates &candidates;
    FILE *log;
    xcb_screen_t *screen = nullptr;
    QHash<QByteArray, qint64> sceneOfStrip;
    int damageEvent = -1;
    uint8_t presentOpcode = 0;
    xcb_keycode_t upKeycode = 0;
    xcb_window_t clockWindow = XCB_NONE;
    xcb_window_t window = XCB_NONE;
    xcb_damage_damage_t damage = XCB_NONE;
    bool damaged = false;
    bool finished = false;
    const int presses;
    int keysSent = 0;
    std::int64_t nextKeyUs = 0;
    std::int64_t damagedUs = 0; // when the damage read next came
    QByteArray lastStrip;
};

int watch(const QString &candidatesPath, const char *logPath, int timeoutS, int presses)
{
    Candidates candidates;
    QFile file(candidatesPath);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "frameprobe: cannot read %s\n", qPrintable(candidatesPath));
        return 1;
    }
    QDataStream in(&file);
    in >> candidates.region >> candidates.times >> candidates.strips;
    FILE *log = std::fopen(logPath, "w");
    if (!log) {
        std::perror(logPath);
        return 1;
    }
    xcb_connection_t *x = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(x)) {
        std::fprintf(stderr, "frameprobe: cannot open the display\n");
        return 1;
    }
    const std::int64_t deadline = nowUs() + std::int64_t(timeoutS) * 1000000;
    Watcher watcher(x, candidates, log, presses);
    const bool done = watcher.start() && watcher.run(deadline);
    xcb_disconnect(x);
    std::fclose(log);
    if (!done)
        std::fprintf(stderr, "frameprobe: the demo's window did not come and go in %d s\n",
                     timeoutS);
    return done ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    const QByteArray mode = argc > 1 ? argv[1] : "";
    if (mode == "prepare" && (argc == 4 || (argc == 5 && QByteArray(argv[4]) == "swallow"))) {
        const QList<QByteArray> sides = QByteArray(argv[2]).split('x');
        const QSize size = sides.size() == 2 ? QSize(sides[0].toInt(), sides[1].toInt()) : QSize();
        if (size.isEmpty()) {
            std::fprintf(stderr, "frameprobe: not a size: %s\n", argv[2]);
            return 2;
        }
        // Drawing only: no display needed.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QGuiApplication app(argc, argv);
        return argc == 5 ? prepareSwallow(size, QString::fromLocal8Bit(argv[3]))
                         : prepare(size, QString::fromLocal8Bit(argv[3]));
    }
    if (mode == "watch" && (argc == 5 || argc == 6))
        return watch(QString::fromLocal8Bit(argv[2]), argv[3], std::atoi(argv[4]),
                     argc == 6 ? std::atoi(argv[5]) : 2);
    std::fprintf(stderr,
                 "usage: frameprobe prepare WIDTHxHEIGHT CANDIDATES [swallow]\n"
                 "       frameprobe watch CANDIDATES LOG TIMEOUT_S [UP_PRESSES]\n");
    return 2;
}
