// The replaying board on a real pty: where the recorded board went away.

#include "HostEnd.h"
#include "ReplayBoard.h"
#include "TraceFormat.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace std::chrono_literals;
using qrbsim::ReplayBoard;
using qrbtrace::TraceEvent;
using qrbtrace::TraceEventKind;

// The host opened at 57600, sent three bytes and then found the board gone,
// 400 ms later, at a read that failed (it waited) or at a write that failed
// (it was still sending).
qrbtrace::Trace boardGoneAt(TraceEventKind failed) {
    qrbtrace::Trace trace;
    TraceEvent open;
    open.kind = TraceEventKind::Open;
    open.speed = 57600;
    TraceEvent sent;
    sent.kind = TraceEventKind::HostToBoard;
    sent.speed = 57600;
    sent.timeUs = 1000;
    sent.durationUs = 520;
    sent.bytes = {0x02, 0x00, 0x40};
    TraceEvent gone;
    gone.kind = failed;
    gone.timeUs = 401000;
    gone.value = 5; // EIO
    trace.events = {open, sent, gone};
    trace.eventLines = {10, 11, 12};
    return trace;
}

TEST(ReplayBoard, AHostStillSendingWhenTheBoardWentAwayLosesItsBytesButAWaitingOneDeparts) {
    {
        // The recorded write failed: the board was gone before it, so what
        // the host sends after the recorded bytes is lost, not a departure.
        ReplayBoard replay(boardGoneAt(TraceEventKind::WriteFailed));
        replay.start();
        simtest::HostEnd host(replay.slavePath(), 57600);
        host.write({0x02, 0x00, 0x40, 0x00, 0x10, 0x00});
        ASSERT_TRUE(replay.waitUntilDone(5s));
        EXPECT_EQ(replay.state(), ReplayBoard::State::Played) << replay.departure();
    }
    {
        // The recorded read failed: the host waited there, and a byte sent
        // instead is a departure.
        ReplayBoard replay(boardGoneAt(TraceEventKind::ReadFailed));
        replay.start();
        simtest::HostEnd host(replay.slavePath(), 57600);
        host.write({0x02, 0x00, 0x40, 0x00});
        ASSERT_TRUE(replay.waitUntilDone(5s));
        EXPECT_EQ(replay.state(), ReplayBoard::State::Departed);
        EXPECT_NE(replay.departure().find("where the recording has the board answering first"),
                  std::string::npos)
            << replay.departure();
    }
}

} // namespace
