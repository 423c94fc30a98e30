// Batched sending: TP_SEND_MORE queues without writing, and a flush that finds several records
// writes them with gathered writes, bounded per call, keeping exactly the unwritten rest when a
// write stops partway. The socket seam's write log shows each call the flush made.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "packet_test_util.h"
#include "support/test_system.h"

using packet_test::Codes;
using packet_test::ConnectedProbe;
using packet_test::Contents;
using packet_test::DrainQueue;
using packet_test::Frame;
using packet_test::Payload;
using packet_test::RecvExactly;
using winsock::seam::FailWith;
using winsock::seam::RecordedSends;
using winsock::seam::RecordSends;
using winsock::seam::ScriptSend;
using winsock::seam::SendCall;
using winsock::seam::TakeBytes;
using winsock::seam::WouldBlock;

namespace {

const int kGatherBuffers = 64;
const size_t kGatherBytes = 256 * 1024;

int SendMore(CQmtpSocket& sock, std::string payload) {
    return sock.Send(payload.empty() ? nullptr : &payload[0], static_cast<int>(payload.size()), TP_SEND_MORE);
}

// Nothing has reached the peer (which this makes non-blocking).
bool NothingArrived(SOCKET peer) {
    std::string got;
    packet_test::ReadAvailable(peer, got);
    return got.empty();
}

// Room for a whole gathered call, so that the real socket takes what the seam lets through.
void WideSendBuffer(ConnectedProbe& c) {
    const int size = 1 << 20;
    ASSERT_EQ(1, c.sock.SetSockOpt(SO_SNDBUF, &size, sizeof size));
}

// Writes the queue out, reading the peer meanwhile, and returns what the peer received.
std::string FlushAll(ConnectedProbe& c, size_t expected) {
    std::string got;
    const DWORD start = GetTickCount();
    while (!c.sock.m_SendList.IsEmpty() && GetTickCount() - start < 20000) {
        c.sock.Flush();
        packet_test::ReadAvailable(c.peer, got);
    }
    RecvExactly(c.peer, expected, got);
    return got;
}

// Records queued with TP_SEND_MORE, one gathered write cut by the seam (inside a record,
// exactly between two, at and around the per-call byte bound), then a flush of the rest: the
// records the cut write finished have left the queue, the head holds exactly its unwritten
// rest, the byte count follows, and the peer reads every byte once, in order.
TEST(PacketSendBatch, APartialGatheredWriteKeepsExactlyTheUnwrittenRest) {
    const std::vector<size_t> small = {10, 20, 30, 40, 50};  // frames of 14, 24, 34, 44, 54 bytes
    const std::vector<size_t> big = {199996, 62140, 96};     // 200000 + 62144 = the bound, then 100
    const struct {
        const char* what;
        const std::vector<size_t>* payloads;
        int take;      // -1: the first write would block at once
        bool fail;     // a write error instead of a would-block after the take
        int buffers;   // what the first call offers
        size_t bytes;
        size_t left;   // records still queued after the cut
    } cases[] = {
        {"inside the first record", &small, 7, false, 5, 170, 5},
        {"between the first two", &small, 14, false, 5, 170, 4},
        {"inside the third", &small, 43, false, 5, 170, 3},
        {"one byte short of the end", &small, 169, false, 5, 170, 1},
        {"nothing taken", &small, -1, false, 5, 170, 5},
        {"an error between records", &small, 38, true, 5, 170, 3},
        {"an error inside a record", &small, 50, true, 5, 170, 3},
        {"exactly the byte bound", &big, 262144, false, 2, kGatherBytes, 1},
        {"one byte short of the bound", &big, 262143, false, 2, kGatherBytes, 2},
        {"between records below the bound", &big, 200000, false, 2, kGatherBytes, 2},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        ConnectedProbe c;
        ASSERT_TRUE(c.ok);
        WideSendBuffer(c);
        // Large packets are sent as without the flag: their writes meet a would-block, so the
        // queue fills all the same.
        const bool large = k.payloads == &big;
        if (large) {
            ScriptSend(c.sock.m_hSocket, {WouldBlock(), WouldBlock(), WouldBlock()});
        }
        std::string stream;
        std::vector<std::string> frames;
        for (size_t i = 0; i < k.payloads->size(); ++i) {
            const std::string p = Payload((*k.payloads)[i], static_cast<unsigned>(i));
            const int sent = SendMore(c.sock, p);
            EXPECT_EQ(large ? 1 : 0, sent > 0 ? 1 : sent) << "packet " << i;
            frames.push_back(Frame(p));
            stream += frames.back();
        }
        EXPECT_EQ(stream.size(), c.sock.GetSendQueueBytes());
        EXPECT_TRUE(NothingArrived(c.peer)) << "nothing is written yet";

        std::vector<winsock::seam::Step> script;
        if (k.take >= 0) {
            script.push_back(TakeBytes(k.take));
        }
        script.push_back(k.fail ? FailWith(WSAENOBUFS) : WouldBlock());
        ScriptSend(c.sock.m_hSocket, script);
        RecordSends(c.sock.m_hSocket, true);
        const int result = c.sock.Flush();
        const size_t taken = k.take < 0 ? 0 : static_cast<size_t>(k.take);
        if (k.fail) {
            EXPECT_EQ(SOCKET_ERROR, result);
        } else {
            EXPECT_EQ(static_cast<int>(frames[frames.size() - k.left].size()) + 1, result)
                << "the would-block result: the head's length, as the flush found it, plus one";
        }
        const std::vector<SendCall> calls = RecordedSends(c.sock.m_hSocket);
        ASSERT_FALSE(calls.empty());
        EXPECT_TRUE(calls[0].gathered);
        EXPECT_EQ(k.buffers, calls[0].buffers);
        EXPECT_EQ(k.bytes, static_cast<size_t>(calls[0].bytes));

        // What stays: the cut record's rest, then the untouched records.
        std::vector<std::string> rest;
        size_t at = 0;
        for (const std::string& f : frames) {
            if (at + f.size() > taken) {
                rest.push_back(f.substr(taken > at ? taken - at : 0));
            }
            at += f.size();
        }
        EXPECT_EQ(k.left, rest.size());
        EXPECT_TRUE(rest == Contents(c.sock.m_SendList));
        EXPECT_EQ(stream.size() - taken, c.sock.GetSendQueueBytes());

        RecordSends(c.sock.m_hSocket, false);
        EXPECT_TRUE(stream == FlushAll(c, stream.size()));
        EXPECT_EQ(0u, c.sock.GetSendQueueBytes());
        EXPECT_TRUE(NothingArrived(c.peer)) << "bytes sent twice";
    }
}

// Far more records than one call takes: every gathered call keeps to 64 buffers and 256 KiB
// (a record that would pass the bound waits for the next call), and the calls follow one
// another until the queue is empty.
TEST(PacketSendBatch, ManyRecordsGoOutInCallsBoundedByBuffersAndBytes) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    WideSendBuffer(c);
    std::string stream;
    for (unsigned i = 0; i < 200; ++i) {
        const std::string p = Payload(60, i);
        ASSERT_EQ(0, SendMore(c.sock, p));
        stream += Frame(p);
    }
    RecordSends(c.sock.m_hSocket, true);
    EXPECT_EQ(200, c.sock.Flush());
    std::vector<int> buffers;
    for (const SendCall& call : RecordedSends(c.sock.m_hSocket)) {
        EXPECT_TRUE(call.gathered);
        EXPECT_EQ(call.bytes, call.result);
        buffers.push_back(call.buffers);
    }
    EXPECT_EQ((std::vector<int>{kGatherBuffers, kGatherBuffers, kGatherBuffers, 8}), buffers);
    std::string got;
    ASSERT_TRUE(RecvExactly(c.peer, stream.size(), got));
    EXPECT_TRUE(stream == got);

    // Large records (sent as without the flag, queued behind would-blocks): two fit under the
    // bound, the third starts the next call.
    ScriptSend(c.sock.m_hSocket, {WouldBlock(), WouldBlock(), WouldBlock(), WouldBlock()});
    std::string big;
    for (unsigned i = 0; i < 4; ++i) {
        const std::string p = Payload(100000, 50 + i);
        EXPECT_GT(SendMore(c.sock, p), 0) << "packet " << i;
        big += Frame(p);
    }
    RecordSends(c.sock.m_hSocket, true);
    EXPECT_TRUE(big == FlushAll(c, big.size()));
    const std::vector<SendCall> flushed = RecordedSends(c.sock.m_hSocket);
    ASSERT_FALSE(flushed.empty());
    EXPECT_EQ(2, flushed[0].buffers);
    EXPECT_EQ(200008, flushed[0].bytes);
    for (const SendCall& call : RecordedSends(c.sock.m_hSocket)) {
        EXPECT_LE(call.buffers, kGatherBuffers);
        EXPECT_LE(static_cast<size_t>(call.bytes), kGatherBytes);
    }
    // A packet of 64 KiB with the flag and nothing queued goes from the caller's buffer at
    // once, without a copy.
    const std::string huge = Payload(64 * 1024, 77);
    RecordSends(c.sock.m_hSocket, true);
    EXPECT_EQ(1, SendMore(c.sock, huge));
    EXPECT_TRUE(c.sock.m_SendList.IsEmpty());
    got.clear();
    ASSERT_TRUE(RecvExactly(c.peer, huge.size() + 4, got));
    EXPECT_TRUE(Frame(huge) == got);
}

// Packets sent with TP_SEND_MORE (through Send, SendPure and SendPacket) wait in the queue,
// counted; the next send without the flag writes them all, its own packet too, in one gathered
// call. When that call would block, the send event writes the rest and TP_NOTIFY_SEND follows.
TEST(PacketSendBatch, APlainSendAfterQueuedPacketsWritesThemAllInOneCall) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    RecordSends(c.sock.m_hSocket, true);
    std::string stream;
    for (unsigned i = 0; i < 8; ++i) {
        const std::string p = Payload(20 + i, i);
        ASSERT_EQ(0, SendMore(c.sock, p));
        stream += Frame(p);
    }
    char raw[] = "unframed";
    EXPECT_EQ(0, c.sock.SendPure(raw, 8, TP_SEND_MORE));
    EXPECT_EQ(0, c.sock.SendPacket(raw, 0, TP_SEND_MORE)) << "an empty record";
    EXPECT_EQ(0, c.sock.SendPacket(raw, 3, TP_SEND_MORE | 0x7F));
    stream += "unframedunf";
    EXPECT_EQ(stream.size(), c.sock.GetSendQueueBytes());
    EXPECT_EQ(11, c.sock.m_SendList.GetCount());
    EXPECT_TRUE(RecordedSends(c.sock.m_hSocket).empty());
    EXPECT_TRUE(NothingArrived(c.peer));

    const std::string last = Payload(30, 99);
    stream += Frame(last);
    EXPECT_EQ(12, c.sock.Send(const_cast<char*>(last.data()), static_cast<int>(last.size())));
    const std::vector<SendCall> calls = RecordedSends(c.sock.m_hSocket);
    ASSERT_EQ(1u, calls.size());
    EXPECT_TRUE(calls[0].gathered);
    EXPECT_EQ(12, calls[0].buffers);
    EXPECT_EQ(static_cast<int>(stream.size()), calls[0].result);
    EXPECT_EQ(0u, c.sock.GetSendQueueBytes());
    std::string got;
    ASSERT_TRUE(RecvExactly(c.peer, stream.size(), got));
    EXPECT_TRUE(stream == got);

    // The same, with the gathered write stopping partway: the send event finishes the job.
    const std::string a = Payload(40, 1), b = Payload(40, 2);
    ASSERT_EQ(0, SendMore(c.sock, a));
    ScriptSend(c.sock.m_hSocket, {TakeBytes(50), WouldBlock()});
    EXPECT_GT(c.sock.Send(const_cast<char*>(b.data()), static_cast<int>(b.size())), 0);
    EXPECT_EQ(std::vector<std::string>{Frame(b).substr(6)}, Contents(c.sock.m_SendList));
    c.sock.OnSend(0);
    EXPECT_TRUE(c.sock.m_SendList.IsEmpty());
    got.clear();
    ASSERT_TRUE(RecvExactly(c.peer, 88, got));
    EXPECT_TRUE(Frame(a) + Frame(b) == got);
    DrainQueue();
    EXPECT_EQ(std::vector<WPARAM>{TP_NOTIFY_SEND}, Codes(c.wnd));
}

// Flush() from a thread other than the window's writes the queue; on the window's thread while
// a worker holds Lock(), it returns at once and the worker's Unlock writes the queue.
TEST(PacketSendBatch, FlushFromAnotherThreadAndWhileAWorkerHoldsTheLock) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    std::string stream;
    for (unsigned i = 0; i < 5; ++i) {
        const std::string p = Payload(100, i);
        ASSERT_EQ(0, SendMore(c.sock, p));
        stream += Frame(p);
    }
    int flushed = 0;
    std::thread([&] { flushed = c.sock.Flush(); }).join();
    EXPECT_EQ(5, flushed);
    std::string got;
    ASSERT_TRUE(RecvExactly(c.peer, stream.size(), got));
    EXPECT_TRUE(stream == got);

    const std::string p = Payload(70, 9);
    ASSERT_EQ(0, SendMore(c.sock, p));
    std::atomic<int> stage{0};
    std::thread worker([&] {
        c.sock.Lock();
        stage = 1;
        while (stage != 2) {
            std::this_thread::yield();
        }
        c.sock.Unlock();  // writes what the window's thread left to it
    });
    while (stage != 1) {
        std::this_thread::yield();
    }
    {
        packet_test::HangWatchdog watchdog(60000, "Flush on the window's thread waited for a worker's lock");
        EXPECT_GT(c.sock.Flush(), 0);
        EXPECT_EQ(0, SendMore(c.sock, "deferred")) << "queued for the holder, no flush asked";
    }
    EXPECT_TRUE(NothingArrived(c.peer));
    stage = 2;
    worker.join();
    got.clear();
    const std::string expected = Frame(p) + Frame("deferred");
    ASSERT_TRUE(RecvExactly(c.peer, expected.size(), got));
    EXPECT_TRUE(expected == got);
    EXPECT_EQ(0u, c.sock.GetSendQueueBytes());
}

// The queue limit counts packets sent with TP_SEND_MORE. One that would pass the limit first
// has the queue written; if the socket takes it, the packet goes in, else it is refused with
// nothing queued until the send event. A packet always fits an empty queue.
TEST(PacketSendBatch, TheLimitWritesBatchedPacketsBeforeItRefuses) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    c.sock.SetSendQueueLimit(100);
    const std::string p26 = Payload(26, 1);  // 30-byte frames
    // A would-block that an earlier send event has since cleared must not keep the limit from
    // writing the batch.
    ScriptSend(c.sock.m_hSocket, {WouldBlock()});
    ASSERT_GT(c.sock.Send(const_cast<char*>(p26.data()), 26), 0);
    c.sock.OnSend(0);
    ASSERT_TRUE(c.sock.m_SendList.IsEmpty());
    std::string got;
    ASSERT_TRUE(RecvExactly(c.peer, 30, got));

    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(0, SendMore(c.sock, p26));
    }
    EXPECT_EQ(90u, c.sock.GetSendQueueBytes());
    EXPECT_EQ(0, SendMore(c.sock, p26)) << "the batch is written, then this one fits";
    EXPECT_EQ(30u, c.sock.GetSendQueueBytes());
    got.clear();
    ASSERT_TRUE(RecvExactly(c.peer, 90, got));
    EXPECT_EQ(Frame(p26) + Frame(p26) + Frame(p26), got);

    ASSERT_EQ(0, SendMore(c.sock, p26));
    ASSERT_EQ(0, SendMore(c.sock, p26));
    ScriptSend(c.sock.m_hSocket, {TakeBytes(10), WouldBlock()});
    EXPECT_EQ(SOCKET_ERROR, SendMore(c.sock, p26));
    EXPECT_EQ(WSAENOBUFS, WSAGetLastError());
    EXPECT_EQ(80u, c.sock.GetSendQueueBytes()) << "nothing queued";
    EXPECT_EQ(3, c.sock.m_SendList.GetCount());
    c.sock.OnSend(0);
    EXPECT_TRUE(c.sock.m_SendList.IsEmpty());
    got.clear();
    ASSERT_TRUE(RecvExactly(c.peer, 90, got));

    const std::string big = Payload(500, 2);
    EXPECT_EQ(0, SendMore(c.sock, big)) << "fits the empty queue";
    EXPECT_EQ(504u, c.sock.GetSendQueueBytes());
    EXPECT_EQ(1, c.sock.Flush());
    DrainQueue();
    EXPECT_EQ(std::vector<WPARAM>({TP_NOTIFY_SEND, TP_NOTIFY_SEND}), Codes(c.wnd));
}

// Several threads send, some packets with TP_SEND_MORE and some without, each ending with a
// Flush(): every frame reaches the peer whole, and each thread's frames arrive in its order.
TEST(PacketSendBatch, ThreadsSendingWithAndWithoutTheFlagKeepFramesWholeAndInOrder) {
    ConnectedProbe c;
    ASSERT_TRUE(c.ok);
    const int kThreads = 4, kEach = 300;
    std::vector<std::thread> senders;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                // Payload: thread, sequence, then bytes of a length that varies.
                std::string p = std::to_string(t) + ":" + std::to_string(i) + ":" +
                                Payload(static_cast<size_t>((i * 37 + t * 11) % 700), static_cast<unsigned>(i));
                const int flags = i % 7 == 0 ? 0 : TP_SEND_MORE;
                if (c.sock.Send(&p[0], static_cast<int>(p.size()), flags) == SOCKET_ERROR) {
                    ++failures;
                }
            }
            if (c.sock.Flush() == SOCKET_ERROR) {
                ++failures;
            }
        });
    }
    std::string got;
    std::vector<int> next(kThreads, 0);
    size_t at = 0;
    int frames = 0;
    const DWORD start = GetTickCount();
    while (frames < kThreads * kEach && GetTickCount() - start < 60000) {
        packet_test::ReadAvailable(c.peer, got);
        while (got.size() - at >= 4 && got.size() - at >= 4 + packet_test::LengthFieldAt(got, at)) {
            const size_t len = packet_test::LengthFieldAt(got, at);
            const std::string p = got.substr(at + 4, len);
            const size_t colon = p.find(':');
            const int t = std::atoi(p.c_str());
            const int i = std::atoi(p.c_str() + colon + 1);
            ASSERT_TRUE(t >= 0 && t < kThreads) << "frame " << frames;
            ASSERT_EQ(next[t], i) << "thread " << t;
            const size_t rest = p.find(':', colon + 1) + 1;
            ASSERT_TRUE(p.substr(rest) == Payload(static_cast<size_t>((i * 37 + t * 11) % 700), static_cast<unsigned>(i)));
            ++next[t];
            ++frames;
            at += 4 + len;
        }
        // The window's thread: what a would-block left waits for its send event, or a flush.
        c.sock.Flush();
        Sleep(frames < kThreads * kEach ? 1 : 0);
    }
    for (std::thread& s : senders) {
        s.join();
    }
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(kThreads * kEach, frames);
    EXPECT_EQ(at, got.size());
}

}  // namespace
