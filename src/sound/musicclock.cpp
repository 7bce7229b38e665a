#include "musicclock.h"

#include <algorithm>

namespace {
constexpr qint64 secondNs = 1'000'000'000;
}

MusicClock::MusicClock(qint64 bytesPerSecond) : bytesPerSecond(bytesPerSecond) { }

qint64 MusicClock::musicNs(qint64 bytes) const
{
    // Whole seconds apart from the rest, so that no product overflows (bytes * 1e9 would, past
    // 14.5 hours of music).
    return bytes / bytesPerSecond * secondNs + bytes % bytesPerSecond * secondNs / bytesPerSecond;
}

qint64 MusicClock::musicBytes(qint64 ns) const
{
    return ns / secondNs * bytesPerSecond + ns % secondNs * bytesPerSecond / secondNs;
}

void MusicClock::restart(qint64 timeNs, qint64 positionNs)
{
    state = State::Waiting;
    firstRequestNs = lastRequestNs = -1;
    startNs = positionNs;
    handedBytes = musicHandedBytes = 0;
    stretches.clear();
    queueNs = 0;
    lastBufferNs = 0;
    anchorNs = 0;
    anchorTimeNs = timeNs;
    // A new stream: what the server said of the old one no longer counts.
    playingSinceNs = -1;
    serverReports = 0;
    serverDelayTargetNs = serverDelayNs = 0;
}

void MusicClock::startSilent(qint64 timeNs)
{
    state = State::Silent;
    silentFromNs = timeNs;
}

void MusicClock::loseSound(qint64 timeNs)
{
    if (state != State::Waiting && state != State::Playing)
        return;
    const qint64 positionNs = estimateAt(timeNs);
    if (state != State::Silent) // not fallen silent already, the device long quiet
        fallSilent(timeNs, positionNs, musicAtStream(anchorNs));
}

void MusicClock::setMusicLength(qint64 bytes)
{
    lengthNs = bytes < 0 ? -1 : musicNs(bytes);
}

void MusicClock::bufferRequested(qint64 timeNs, qint64 bytes, qint64 musicPartBytes)
{
    if (state == State::NotStarted)
        return;
    const qint64 bufferNs = musicNs(bytes);
    // Requests no further apart than two buffers come at the pace of the music.
    const bool paced
        = lastRequestNs >= 0 && timeNs - lastRequestNs <= 2 * std::max(bufferNs, lastBufferNs);
    if (firstRequestNs < 0)
        firstRequestNs = timeNs;
    lastRequestNs = timeNs;
    lastBufferNs = bufferNs;
    // The buffer's music comes first, silence after it.
    if (musicPartBytes > 0) {
        if (!stretches.empty()
            && stretches.back().streamBytes + stretches.back().lengthBytes == handedBytes)
            stretches.back().lengthBytes += musicPartBytes;
        else
            stretches.push_back({handedBytes, musicHandedBytes, musicPartBytes});
        musicHandedBytes += musicPartBytes;
    }
    handedBytes += bytes;
    const qint64 handedNs = musicNs(handedBytes);
    // The device plays nothing older than its largest queue.
    while (stretches.size() > 1 && musicNs(stretches[1].streamBytes) <= handedNs - largestQueueNs)
        stretches.pop_front();

    // Until the device plays, all it was handed is in its queue, but for what could have played
    // in real time since the first request.
    if (state == State::Waiting) {
        queueNs = std::max({queueNs, leastQueueNs, handedNs - (timeNs - firstRequestNs)});
        queueNs = std::min(queueNs, largestQueueNs);
    }
    const qint64 playedNs = std::max<qint64>(0, handedNs - queueNs);
    const State before = state;

    switch (state) {
    case State::NotStarted:
        return;
    case State::Waiting:
        // Asking for more than the queue holds: it has played.
        if (playedNs - anchorNs >= bufferNs / 2)
            state = State::Playing;
        break;
    case State::Playing:
        break;
    case State::Silent:
        if (!paced)
            return;
        state = State::Playing; // sound again: the clock holds until the music catches up
        break;
    }
    if (state == State::Playing && before != State::Playing)
        playingSinceNs = timeNs;
    anchorNs = std::max<qint64>(0, playedNs - serverDelayAt(timeNs));
    anchorTimeNs = timeNs;
}

void MusicClock::serverLatencyReported(qint64 timeNs, qint64 latencyNs, quint32 sink, bool sinkOnly)
{
    // Before the device plays, a server's delay shows as a pause in the requests (a new stream
    // held back).
    if (state != State::Playing || timeNs < playingSinceNs)
        return;
    if (serverReports > 0 && sink != serverSink) {
        // Moved to another speaker: what the old one held, and said, no longer counts.
        queueNs = leastQueueNs;
        serverReports = 0;
    }
    serverSink = sink;
    if (serverReports == 0)
        serverLatenciesNs.fill(latencyNs); // the first report stands for those to come
    serverLatenciesNs[size_t(serverReports++) % serverLatenciesNs.size()] = latencyNs;
    std::array<qint64, 5> sorted = serverLatenciesNs;
    std::nth_element(sorted.begin(), sorted.begin() + 2, sorted.end());
    const qint64 medianNs = sorted[2];
    serverDelayAt(timeNs);
    // A sink's delay alone is all beyond the queue, which holds the stream's (and the library's).
    if (sinkOnly) {
        serverDelayTargetNs = medianNs;
        return;
    }
    // Where the server holds more than the device's queue, the sound library may hold music of its
    // own besides, which the server does not see: counted in over the first unreportedNs beyond the
    // queue, so that reports wandering about the queue do not make the clock jump.
    const qint64 beyondNs = std::max<qint64>(0, medianNs - queueNs);
    serverDelayTargetNs = beyondNs + std::min(beyondNs, unreportedNs);
}

qint64 MusicClock::serverDelayAt(qint64 timeNs)
{
    const qint64 stepNs = std::max<qint64>(0, timeNs - serverDelayAtNs) / 10;
    serverDelayNs += std::clamp(serverDelayTargetNs - serverDelayNs, -stepNs, stepNs);
    serverDelayAtNs = std::max(serverDelayAtNs, timeNs);
    return serverDelayNs;
}

qint64 MusicClock::musicAtStream(qint64 streamNs) const
{
    // In the last stretch begun by then; past its end the device plays silence and the music
    // waits, unless the stretch runs to the end of what was handed over (the next buffer goes on
    // with it).
    const qint64 streamBytes = musicBytes(streamNs);
    for (auto stretch = stretches.rbegin(); stretch != stretches.rend(); ++stretch) {
        if (stretch->streamBytes > streamBytes)
            continue;
        const qint64 intoBytes = streamBytes - stretch->streamBytes;
        const bool goesOn = stretch == stretches.rbegin()
            && stretch->streamBytes + stretch->lengthBytes == handedBytes;
        return startNs
            + musicNs(stretch->musicBytes
                      + (goesOn ? intoBytes : std::min(intoBytes, stretch->lengthBytes)));
    }
    return startNs + musicNs(stretches.empty() ? musicHandedBytes : stretches.front().musicBytes);
}

qint64 MusicClock::estimateAt(qint64 timeNs)
{
    // Between requests a playing device plays at most one buffer before it asks again; a frame may
    // be shown up to the lookahead later than it is asked for.
    const qint64 reachNs = state == State::Playing ? lastBufferNs + lookaheadNs : 0;
    switch (state) {
    case State::NotStarted:
        return 0;
    case State::Waiting:
    case State::Playing:
        if (timeNs - anchorTimeNs > waitLimitNs) {
            // Nothing has asked for sound since the last request, `waitLimitNs` ago.
            fallSilent(anchorTimeNs + waitLimitNs, musicAtStream(anchorNs + reachNs),
                       musicAtStream(anchorNs));
            return estimateAt(timeNs);
        }
        return musicAtStream(anchorNs + std::clamp<qint64>(timeNs - anchorTimeNs, 0, reachNs));
    case State::Silent:
        return silentPositionNs + std::max<qint64>(0, timeNs - silentFromNs);
    }
    return 0;
}

void MusicClock::fallSilent(qint64 fromNs, qint64 positionNs, qint64 heardNs)
{
    silentFromNs = fromNs;
    silentPositionNs = positionNs;
    silentHeardNs = heardNs;
    state = State::Silent;
}

qint64 MusicClock::heardAt(qint64 timeNs)
{
    const qint64 targetNs = estimateAt(timeNs);
    if (answeredAtNs < 0) {
        answeredNs = std::max<qint64>(0, targetNs);
    } else {
        // While the music plays, follow the estimate at a tenth faster or slower than real time,
        // so that a request a little early or late does not jerk the picture; when the estimate
        // stops (the device holds), stop a little past it. Never go backwards. A large lag (the
        // sound starting late, say) is made up at once.
        const qint64 stepNs = std::max<qint64>(0, timeNs - answeredAtNs);
        qint64 nextNs = std::min(targetNs, answeredNs + stepNs + stepNs / 10);
        if (state == State::Playing)
            nextNs = std::min(std::max(nextNs, answeredNs + stepNs - stepNs / 10),
                              targetNs + aheadLimitNs);
        if (targetNs - answeredNs > stepNs + snapNs)
            nextNs = targetNs;
        answeredNs = std::max(answeredNs, nextNs);
    }
    answeredAtNs = std::max(answeredAtNs, timeNs);
    return answeredNs;
}

bool MusicClock::finishedAt(qint64 timeNs)
{
    // Without sound too, once the picture has shown the whole music's length: it held while the
    // device was waited for.
    return lengthNs >= 0 && estimateAt(timeNs) >= lengthNs;
}
