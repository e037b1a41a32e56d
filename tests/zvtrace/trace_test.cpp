// zvtrace: frames decoded from recorded bytes, and the program between a
// client (or the block) and the stand-in solver, which must see exactly the
// bytes they would see without it; and its recordings, which the stand-in
// solver plays back to the same ending.
#include <algorithm>
#include <sstream>

#include "decode.h"
#include "recording.h"
#include "support/process.h"

using namespace zvproc;

namespace {

std::string decoded(uint32_t flag, const Bytes& body, zvtrace::Direction d) {
    const zvtrace::Event e = zvtrace::decodeFrame(
        d, flag, reinterpret_cast<const unsigned char*>(body.data()), int32_t(body.size()));
    const std::string line = zvtrace::formatLine(e, false);
    return line.substr(line.find_first_not_of(' ', line.find(' ', line.find_first_not_of(' '))));
}

const auto toSolver = zvtrace::Direction::ToSolver;
const auto toBlock = zvtrace::Direction::ToBlock;

TEST(TraceDecode, EveryKindOfFieldAndEveryWayAFrameIsMalformed) {
    const std::string bcdzvp = "([o]R[o]R[o]R[o]R[o]<R[i]I[i]I)I";
    const std::string species = "([o]I[o]<C)I";
    const Bytes float15 = Bytes("\x3f\xc0\0\0", 4);
    const std::string noFit = " MALFORMED: the fields do not fit the body: a count is negative "
                              "or passes its end";
    struct Case {
        uint32_t flag;
        Bytes body;
        zvtrace::Direction direction;
        std::string line; // after the time
    } cases[] = {
        {1, Bytes("ZVI|LINK|VER:1\0", 15), toSolver, "block>solver handshake \"ZVI|LINK|VER:1\""},
        {2, "OK", toBlock, "solver>block handshake \"OK\""},
        {3, header(13, "([i]C[o]I[i]C[i]C)V") + text("tank") + text("ZV") + text("6\x01"), toSolver,
         "block>solver call      DATEXIST#13 i:C=\"tank\" i:C=\"ZV\" i:C=\"6\\x01\""},
        {4, header(13, "([i]C[o]I[i]C[i]C)V") + be32(uint32_t(-2)), toBlock,
         "solver>block return    DATEXIST#13 o:I=-2"},
        {3,
         header(15, "([i]D[i]<D[b]I[b]I)V") + beDouble(0.1) + be32(2) + beDouble(1.5) +
             beDouble(-0.0) + be32(uint32_t(-1)) + be32(7),
         toSolver, "block>solver call      SLCZVPWR#15 i:D=0.1 i:<D[2]={1.5,-0} b:I=-1 b:I=7"},
        // An output text block puts only its row length into the call.
        {3, header(9, species) + be32(8), toSolver,
         "block>solver call      GETCFDSPECIES#9 o:<C(room 8)"},
        {4, header(9, species) + be32(2) + be32(2) + be32(3) + "abcdef" + be32(5), toBlock,
         "solver>block return    GETCFDSPECIES#9 o:I=2 o:<C[2x3]={\"abc\",\"def\"} -> 5"},
        {4, header(5, bcdzvp) + float15 + float15 + float15 + float15 + be32(1) + float15 + be32(0),
         toBlock,
         "solver>block return    BCDZVP#5 o:R=1.5 o:R=1.5 o:R=1.5 o:R=1.5 o:<R[1]={1.5} -> 0"},
        {5, "", toBlock, "solver>block close"},
        // Refused, each with its reason, never taken apart further.
        {3, header(15, "()V"), toSolver,
         "block>solver call      SLCZVPWR#15 MALFORMED: the signature is not the catalogue's "
         "([i]D[i]<D[b]I[b]I)V"},
        {3, header(0, "()V"), toSolver,
         "block>solver call      INVALID#0 MALFORMED: id 0 is not in the catalogue"},
        {3, header(25, "()V"), toSolver,
         "block>solver call      INVALID#25 MALFORMED: id 25 is not in the catalogue"},
        {3, header(11, "(x)V"), toSolver,
         "block>solver call      SLOPEN#11 MALFORMED: the signature breaks its grammar at "
         "character 1"},
        {3, Bytes("\0\x0b\0\x09()V", 7), toSolver,
         "block>solver call      SLOPEN#11 MALFORMED: a signature of 9 bytes passes the end of "
         "the 7-byte body"},
        {3, Bytes("\0\x0b\0\x03()V", 7), toSolver,
         "block>solver call      SLOPEN#11 MALFORMED: the signature has no terminating NUL"},
        {3, Bytes("\0\x0b", 2), toSolver,
         "block>solver call      MALFORMED: a body of 2 bytes holds no function head"},
        {3, header(16, "([i]I)V") + "\0\0", toSolver, "block>solver call      SLCLOSE#16" + noFit},
        {4, header(14, "([o]<D)V") + be32(1000) + beDouble(1), toBlock,
         "solver>block return    ZVUPDATE#14" + noFit},
        {3, header(11, "()V") + "xyz", toSolver,
         "block>solver call      SLOPEN#11 MALFORMED: 3 bytes follow the last field"},
        {7, "", toBlock,
         "solver>block unknown   flag=7 length=0 MALFORMED: byte flag 7 is not a message"},
        {6, "", toBlock,
         "solver>block unknown   flag=6 length=0 MALFORMED: byte flag 6 is never sent"},
        {5, "x", toSolver, "block>solver close     MALFORMED: a close frame with a body"},
        {1, Bytes("ZVI|LINK|VER:1\0", 15), toBlock,
         "solver>block handshake \"ZVI|LINK|VER:1\" MALFORMED: a handshake from the solver"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(decoded(c.flag, c.body, c.direction), c.line);
}

TEST(TraceDecode, StreamCutAnywhereGivesTheSameFramesAndAnEndThatSaysWhere) {
    const Bytes close = frame(5, "");
    const Bytes update = frame(4, header(14, "([o]<D)V") + be32(1) + beDouble(2.5));
    const Bytes stream = frame(2, "OK") + update + close;
    auto feed = [](const Bytes& bytes, size_t piece, zvtrace::FrameParser& p) {
        std::vector<zvtrace::Event> events;
        for (size_t at = 0; at < bytes.size(); at += piece)
            p.feed(reinterpret_cast<const unsigned char*>(bytes.data()) + at,
                   std::min(piece, bytes.size() - at), 1.0, events);
        std::string lines;
        for (const zvtrace::Event& e : events)
            lines += zvtrace::formatLine(e, true) + "\n";
        return lines;
    };
    zvtrace::FrameParser whole(toBlock);
    const std::string expected = feed(stream, stream.size(), whole);
    EXPECT_NE(expected.find("return    ZVUPDATE#14 o:<D[1]={2.5} | 00 00 00 04 00 00 00 19 00 0e"),
              std::string::npos)
        << expected;
    EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 3);
    for (size_t piece : {1, 3, 7}) {
        zvtrace::FrameParser p(toBlock);
        EXPECT_EQ(feed(stream, piece, p), expected) << piece;
        EXPECT_EQ(zvtrace::formatLine(p.end(2.0, "gone"), false),
                  "    2.000000 solver>block lost      (gone)");
    }
    auto endOf = [&](const Bytes& cut) {
        zvtrace::FrameParser p(toBlock);
        EXPECT_EQ(feed(cut, 1, p), "");
        return p.end(0, "gone").problem;
    };
    EXPECT_EQ(endOf(update.substr(0, 5)), "the stream ended after 5 bytes of a header");
    EXPECT_EQ(endOf(update.substr(0, 20)),
              "the stream ended inside a frame with byte flag 4: 12 of 25 body bytes came");
    // After a negative length nothing can be framed: the rest passes untraced.
    zvtrace::FrameParser p(toBlock);
    const std::string lines = feed(be32(3) + be32(0x80000000u) + stream, 5, p);
    EXPECT_EQ(lines.find("unknown   flag=3 length=-2147483648 MALFORMED: a negative body length"),
              26u)
        << lines;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1);
}

TEST(TraceDecode, JsonLinesCarryTheSameFields) {
    const Bytes body = header(15, "([i]D[i]<D[b]I[b]I)V") + beDouble(0.25) + be32(1) +
                       beDouble(std::numeric_limits<double>::infinity()) + be32(0) + be32(3);
    zvtrace::Event e = zvtrace::decodeFrame(
        toSolver, 3, reinterpret_cast<const unsigned char*>(body.data()), int32_t(body.size()));
    e.time = 0.5;
    EXPECT_EQ(zvtrace::formatJson(e, false),
              "{\"time\":0.500000,\"direction\":\"block>solver\",\"kind\":\"call\",\"flag\":3,"
              "\"length\":" +
                  std::to_string(body.size()) +
                  ",\"id\":15,\"name\":\"SLCZVPWR\",\"signature\":\"([i]D[i]<D[b]I[b]I)V\","
                  "\"fields\":[{\"direction\":\"i\",\"type\":\"D\",\"value\":0.25},"
                  "{\"direction\":\"i\",\"type\":\"<D\",\"count\":1,\"values\":[\"inf\"]},"
                  "{\"direction\":\"b\",\"type\":\"I\",\"value\":0},"
                  "{\"direction\":\"b\",\"type\":\"I\",\"value\":3}]}");
}

// ---- the program between a client and the stand-in solver ----

// zvtrace --listen 0 --to the solver, for one link.
struct Tracer : Child {
    Tracer(const std::string& dir, uint16_t solverPort, const std::vector<std::string>& more = {})
        : Child(args(solverPort, more), dir), port(listeningPort(*this)) {}
    static std::vector<std::string> args(uint16_t solverPort, std::vector<std::string> more) {
        more.insert(more.begin(), {ZVTEST_ZVTRACE, "--listen", "0", "--to",
                                   "127.0.0.1:" + std::to_string(solverPort), "--once"});
        return more;
    }
    // Everything it wrote, once the link has ended.
    std::string trace() {
        wait(15);
        pump(0);
        return out;
    }
    uint16_t port;
};

// A block's side that sends the frames of a whole run one by one and keeps
// every byte that comes back, as it comes, until the link ends.
Bytes script(uint16_t port) {
    const Bytes requests[] = {
        frame(1, Bytes("ZVI|LINK|VER:1\0", 15)),
        frame(3, header(13, "([i]C[o]I[i]C[i]C)V") + text("tank") + text("ZVDEMO") + text("6.1")),
        frame(3, header(11, "()V")),
        frame(3, header(12, "([i]C[i]C[o]D)V") + text("ZVDEMO") + text("tank")),
        frame(3, header(14, "([o]<D)V")),
        frame(3, header(15, "([i]D[i]<D[b]I[b]I)V") + beDouble(0.1) + be32(2) + beDouble(1) +
                     beDouble(0) + be32(uint32_t(-1)) + be32(0)),
        frame(3, header(14, "([o]<D)V")),
        frame(3, header(16, "([i]I)V") + be32(0)),
        frame(3, header(17, "()V")),
        frame(5, ""),
    };
    std::unique_ptr<SolverClient> c = SolverClient::connect(port);
    if (!c) return "no connection";
    Bytes got;
    for (const Bytes& r : requests) {
        if (!c->send(r)) break;
        if (r[3] == FLAG_CLOSE) break;
        // One frame back, or whatever came of it before the end.
        Bytes head = c->receive(8);
        if (head.empty()) break;
        got += head;
        for (uint32_t i = 0; i < be32At(head, 4); ++i) {
            Bytes b = c->receive(1);
            if (b.empty()) return got + "<end>";
            got += b;
        }
    }
    uint32_t flag = c->nextFlag();
    return got + (flag == FLAG_LOST ? "<lost>" : flag == 0 ? "<end>" : "<more>");
}

// Each fault's effect on the wire, pinned once: by the trace's lines, on two
// links of one solver (direct, then traced), and by the replay.
TEST(TraceRelay, BothEndsSeeWhatTheyWouldWithoutItUnderEveryFault) {
    struct Case {
        std::vector<std::string> faults;
        std::vector<std::string> lines; // in the trace, in this order
    } cases[] = {
        {{},
         {"block>solver handshake \"ZVI|LINK|VER:1\"", "solver>block handshake \"OK\"",
          "call      DATEXIST#13 i:C=\"tank\" i:C=\"ZVDEMO\" i:C=\"6.1\"",
          "return    DATEXIST#13 o:I=1", "return    SLZVIMAN#12 o:D=10",
          "return    ZVUPDATE#14 o:<D[3]={0,0,0}",
          "call      SLCZVPWR#15 i:D=0.1 i:<D[2]={1,0} b:I=-1 b:I=0",
          "return    SLCZVPWR#15 b:I=-1 b:I=1", "return    ZVUPDATE#14 o:<D[3]={0.36",
          "call      SLCLOSE#16 i:I=0", "return    CHECKBACK#17", "block>solver close"}},
        {{"refuse-handshake=NO"},
         {"solver>block handshake \"NO\"", "lost      (the solver closed the connection)"}},
        {{"drop=SLOPEN"},
         {"call      SLOPEN#11", "solver>block lost      (the solver closed the connection)"}},
        {{"cut=SLZVIMAN"},
         {"call      SLZVIMAN#12",
          "solver>block lost      (the solver closed the connection) MALFORMED: the stream "
          "ended inside a frame with byte flag 4"}},
        {{"bad-flag=SLOPEN"},
         {"solver>block unknown   flag=7 length=0 MALFORMED: byte flag 7 is not a message"}},
        {{"call-back=SLOPEN"}, {"solver>block call      ZVNUMSPEC#18"}},
        {{"wrong-id=SLOPEN"}, {"call      SLOPEN#11", "solver>block return    CHECKBACK#17"}},
        {{"close-after=2"}, {"return    SLOPEN#11", "call      SLZVIMAN#12", "solver>block close"}},
        {{"too-many-outputs=129"}, {"return    ZVUPDATE#14 o:<D[129]={0,0,0,0"}},
        {{"byte-by-byte"}, {"solver>block handshake \"OK\"", "return    CHECKBACK#17"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.faults));
        DemoFolder dir;
        std::vector<std::string> args;
        for (const std::string& f : c.faults)
            args.insert(args.end(), {"--fault", f});
        ListeningSolver solver(dir.path(), args);
        ASSERT_NE(solver.port, 0) << solver.out;
        const Bytes direct = script(solver.port);
        Tracer tracer(dir.path(), solver.port, {"--record", dir.path("run.rec")});
        ASSERT_NE(tracer.port, 0) << tracer.out;
        const Bytes traced = script(tracer.port);
        EXPECT_EQ(traced, direct);
        const std::string trace = tracer.trace();
        // The recording alone plays the solver to the same ending.
        Child replay(zelvane({"--replay", dir.path("run.rec"), "--listen", "0"}), dir.path(), {},
                     dir.path("replay.txt"));
        const uint16_t replayPort = listeningPort(replay);
        ASSERT_NE(replayPort, 0) << dir.read("replay.txt");
        EXPECT_EQ(script(replayPort), direct);
        EXPECT_EQ(replay.wait(), 0) << dir.read("replay.txt");
        size_t at = 0;
        for (const std::string& line : c.lines) {
            const size_t found = trace.find(line, at);
            EXPECT_NE(found, std::string::npos) << line << "\n" << trace;
            if (found != std::string::npos) at = found;
        }
    }
}

// Refused before it listens, so no block ever meets half a recording.
TEST(TraceReplay, RecordingsThatCannotBeReplayedAreRefusedWithTheReason) {
    const std::string head = "{\"format\":\"zelvane-link-recording\",\"version\":1,"
                             "\"catalogue\":\"" +
                             zvtrace::catalogueVersion() + "\",\"pipeline\":null}\n";
    const std::string hello =
        "{\"link\":1,\"n\":1,\"direction\":\"block>solver\",\"kind\":"
        "\"handshake\",\"bytes\":\"000000010000000f5a56497c4c494e4b7c5645523a3100\"}\n";
    const std::string ok = "{\"link\":1,\"n\":2,\"direction\":\"solver>block\",\"kind\":"
                           "\"handshake\",\"bytes\":\"00000002000000034f4b00\"}\n";
    const std::string end = "{\"link\":1,\"end\":\"link ended\",\"frames\":2}\n";
    struct Case {
        std::string text, said;
    } cases[] = {
        {"", "is empty"},
        {head + hello + ok,
         "is truncated: link 1 stops after 2 frames without the line that ends it"},
        {head + hello + ok + end.substr(0, 20), "line 4: the line is cut short"},
        {"{\"format\":\"zelvane-link-recording\",\"version\":2}\n" + hello + ok + end,
         "line 1: a recording of format version 2; this program reads version 1"},
        {head + hello + ok.substr(0, ok.size() - 5) + "\"}\n" + end,
         "line 3: the frame holds 2 body bytes, its header says 3"},
        {head + hello + end, "line 3: the link's end counts other frames than the 1 recorded"},
        {head + "{\"link\":1,\"n\":1,\n" + end, "line 2: not a JSON object"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said);
        zvtest::TempDir dir;
        dir.file("run.rec", c.text);
        const Finished r = runChild(zelvane({"--replay", dir.path("run.rec"), "--listen", "0"}),
                                    dir.path(), {}, {}, 20);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("zelvane: cannot replay "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    }
}

#ifdef ZVTEST_ZVSIM

// A run recorded through the trace the block launches, then replayed by the
// stand-in solver from the recording alone: the same ending, or the first
// call that differs named.
TEST(TraceReplay, RecordedRunsReplayToTheirEndingOrNameTheFirstDifference) {
    auto demo = [](const std::string& input1, const std::string& product = "ZVDEMO") {
        return std::vector<std::string>{
            ZVTEST_ZVSIM, "--model", "tank",           "--product", product,
            "--timestep", "0.1",     "--stop-time",    "12",        "--input",
            input1,       "--input", "2=step:4,0,1.5", "--csv",     "run.csv"};
    };
    const std::string asRecorded = "1=step:1,0,1";
    const std::string clean = "0 differences\n";
    struct Case {
        std::string what, prm, faults, product = "ZVDEMO";
        bool connect;                       // zelvane --replay --listen, else launched by the block
        std::string replayPrm, replayInput; // as recorded when empty
        std::vector<EnvChange> replayEnv;
        std::string said;       // in replay.txt (connect mode: its standard error)
        bool sameEnding = true; // command window and exit status as recorded
    } cases[] = {
        // clang-format off
        {"demo: the solver ends the run", "", "", "ZVDEMO", false, "", "", {},
         "replay summary: 205 calls matched, 0 differences\n"},
        {"pipelined", "PIPELINE=1\n", "", "ZVDEMO", false, "PIPELINE=1\n", "", {}, clean},
        {"dropped link", "", "drop=SLCZVPWR:5", "ZVDEMO", false, "", "", {}, clean},
        {"refused data file", "", "", "ZVOTHER", false, "", "", {}, clean},
        {"input changed at t = 0.5", "", "", "ZVDEMO", false, "", "1=step:0.5,0,1", {},
         "difference at call 15, step 6 (t = 0.5), SLCZVPWR, field inputs[0]: recorded 0, sent 1\n"
         "replay summary: 14 calls matched, 1 difference\n", false},
        {"--continue", "", "", "ZVDEMO", false, "", "1=step:0.5,0,1", {{"ZELVANE_REPLAY_CONTINUE", "1"}},
         "difference at call 23, step 10 (t = 0.9), SLCZVPWR, field inputs[0]: recorded 0, sent 1\n"
         "replay summary: 200 calls matched, 5 differences\n"},
        {"within the tolerance", "", "", "ZVDEMO", false, "", "1=step:1,0,1.0000001",
         {{"ZELVANE_REPLAY_TOLERANCE", "1e-6"}},
         "SLCZVPWR inputs: largest relative difference within the tolerance 9.9"},
        {"recorded with PIPELINE=1, replayed without", "PIPELINE=1\n", "", "ZVDEMO", false, "", "", {},
         "replay refused: the recording was made with PIPELINE=1, and the block runs without it: "
         "put PIPELINE=1 in the block's zvlink.prm\n", false},
        {"recorded without PIPELINE=1, replayed with it", "", "", "ZVDEMO", true, "PIPELINE=1\n", "", {},
         "replay refused: the recording was made without PIPELINE=1, and the block runs with it: "
         "take PIPELINE=1 out of the block's zvlink.prm\n", false},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DemoFolder dir;
        dir.file("zvlink.prm", c.prm);
        const Finished recorded = runChild(demo(asRecorded, c.product), dir.path(),
                                           {{"ZVIHOME", std::string(ZVTEST_TRACEHOME)},
                                            {"ZVTRACE_SOLVER", std::string(ZVTEST_ZELVANE)},
                                            {"ZVTRACE_RECORD", dir.path("run.rec")},
                                            {"ZVTRACE_OUTPUT", dir.path("trace.txt")},
                                            {"ZVTRACE_JSONL", dir.path("trace.jsonl")},
                                            {"ZVTRACE_RAW", "1"},
                                            {"ZELVANE_FAULTS", c.faults},
                                            {"ZVIDEBUG", std::nullopt}});
        ASSERT_FALSE(recorded.timedOut);
        const std::string trace = dir.read("trace.txt");
        EXPECT_NE(trace.find("block>solver call      DATEXIST#13"), std::string::npos) << trace;
        // The handshake's bytes, in both forms.
        EXPECT_TRUE(zvtest::holds(trace, "VER:1\" | 00 00 00 01 00 00 00 0f 5a"));
        EXPECT_TRUE(zvtest::holds(dir.read("trace.jsonl"), "\"raw\":\"000000010000000f5a"));
        EXPECT_TRUE(!c.faults.empty() || trace.find("MALFORMED") == std::string::npos) << trace;
        const std::string csv = dir.read("run.csv");
        std::remove(dir.path("run.csv").c_str());
        dir.file("zvlink.prm", c.replayPrm);
        std::unique_ptr<Child> replay;
        if (c.connect) {
            replay = std::make_unique<Child>(
                zelvane({"--replay", dir.path("run.rec"), "--listen", "0"}), dir.path(),
                std::vector<EnvChange>{}, dir.path("replay.txt"));
            const uint16_t port = listeningPort(*replay);
            ASSERT_NE(port, 0) << dir.read("replay.txt");
            dir.file("zvlink.prm",
                     c.replayPrm + "HOST=127.0.0.1\nPORT=" + std::to_string(port) + "\n");
        }
        std::vector<EnvChange> env = {{"ZVIHOME", std::string(ZVTEST_ZVIHOME)},
                                      {"ZELVANE_REPLAY", dir.path("run.rec")},
                                      {"ZELVANE_FAULTS", std::nullopt},
                                      {"ZVIDEBUG", std::nullopt}};
        env.insert(env.end(), c.replayEnv.begin(), c.replayEnv.end());
        const Finished replayed = runChild(
            demo(c.replayInput.empty() ? asRecorded : c.replayInput, c.product), dir.path(), env);
        ASSERT_FALSE(replayed.timedOut);
        if (replay) {
            EXPECT_EQ(replay->wait(), c.sameEnding ? 0 : 1);
        }
        // Its report is in the block's folder once the block has its ending.
        EXPECT_TRUE(dir.eventually("replay.txt", c.said)) << dir.read("replay.txt");
        if (c.sameEnding) {
            EXPECT_EQ(replayed.status, recorded.status);
            // The link names where it found the solver: the recording's or the replay's.
            const auto unplaced = [](std::string out) {
                for (const char* mode : {"INFO: launch mode: ", "INFO: connect mode: "})
                    for (size_t at; (at = out.find(mode)) != std::string::npos;)
                        out.erase(at, out.find('\n', at) + 1 - at);
                return out;
            };
            EXPECT_EQ(unplaced(replayed.out), unplaced(recorded.out));
            EXPECT_EQ(dir.read("run.csv") == csv, c.replayInput.empty());
        } else {
            EXPECT_EQ(replayed.status, 1) << replayed.out;
        }
    }
}

#endif

} // namespace
