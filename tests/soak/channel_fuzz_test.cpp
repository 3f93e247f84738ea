// The channel fuzzer: random and mutated frames into the real helper window
// procedure, with the real helperMain running on a small simulated desktop.
// Each turn of the helper's main loop a batch of frames arrives (as messages
// from other processes do, inside PeekMessageA): well-formed requests from
// the controller and from other peers, and frames truncated, dense with
// separators, holding NULs, huge, with non-hexadecimal or broadcast senders,
// RET frames, and frames sent to the helper's other windows.
//
// Checked for every frame: a well-formed request 1 to 11 is answered exactly
// once, to its sender, with the exact empty reply; a request with any other
// number, a RET frame and a frame to another window are not answered; no
// other frame is answered more than once; nobody else receives anything.
// After every batch the process invariants hold; at the end of each session
// the exit code and a clean desktop.
//
//   tests_soak --gtest_filter=ChannelFuzz.* --seed=<seed> --frames=<count> [--progress=<frames>]
//   (or KESTRA_FUZZ_SEED, KESTRA_FUZZ_FRAMES)
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "channel/command_set.h"
#include "channel/framing.h"
#include "host/helper_main.h"
#include "long_run.h"
#include "platform/sim/desktop.h"
#include "soak_desktop.h"
#include "support/helper_invariants.h"
#include "tracking/tracked_window.h"

namespace kestra::testing {
namespace {

// Frames of one session before the controller closes and a fresh helper
// starts on a fresh desktop.
constexpr std::uint64_t kFramesPerSession = 50000;

// What the fuzzer expects of one frame.
enum class Expect {
    OneReply,  // a well-formed request 1 to 11 from a live peer
    None,      // never answered
    AtMostOne  // anything else
};

class ChannelFuzzer {
  public:
    ChannelFuzzer(std::uint64_t seed, std::uint64_t frames, std::uint64_t progressEvery)
        : seed_(seed), budget_(frames), progressEvery_(progressEvery), rng_(seed) {}

    void run() {
        began_ = std::chrono::steady_clock::now();
        nextProgress_ = progressEvery_;
        while (framesDone_ < budget_ && !failed_) {
            runSession();
        }
        printProgress();
        std::printf(
            "channel fuzz: %llu well-formed requests answered once, %llu mutated, %llu random, "
            "%llu to other windows, %llu bytes in all\n",
            static_cast<unsigned long long>(answered_), static_cast<unsigned long long>(mutated_),
            static_cast<unsigned long long>(random_), static_cast<unsigned long long>(elsewhere_),
            static_cast<unsigned long long>(bytes_));
        std::fflush(stdout);
    }

    bool failed() const { return failed_; }

  private:
    std::uint64_t pick(std::uint64_t n) { return n == 0 ? 0 : rng_() % n; }
    int between(int low, int high) {
        const auto span = static_cast<std::uint64_t>(static_cast<std::int64_t>(high) - low + 1);
        return low + static_cast<int>(pick(span));
    }
    template <typename T>
    const T& oneOf(const std::vector<T>& items) {
        return items[pick(items.size())];
    }

    std::string context() const {
        std::ostringstream text;
        text << "fuzz seed " << seed_ << ", session " << session_ << ", frame " << framesDone_ << " ("
             << kind_ << "); replay: " << replayLine("ChannelFuzz.*", seed_, "frames", budget_);
        return text.str();
    }

    void printProgress() const {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count();
        std::printf("channel fuzz seed %llu: %llu frames, %llu sessions in %.1f s (%.0f frames/s)\n",
                    static_cast<unsigned long long>(seed_), static_cast<unsigned long long>(framesDone_),
                    static_cast<unsigned long long>(session_), seconds,
                    seconds > 0 ? static_cast<double>(framesDone_) / seconds : 0.0);
        std::fflush(stdout);
    }

    void runSession() {
        ++session_;
        desk_ = makeSoakDesktop();
        controller_ = std::make_unique<sim::Controller>(*desk_);
        peers_.clear();
        peers_.push_back(controller_.get());
        for (int i = 0; i < 2; ++i) {
            peers_.push_back(std::make_unique<sim::Controller>(*desk_, "peer").release());
        }
        targets_.clear();
        sim::App& apps = desk_->app("apps");
        for (int i = 0; i < 4; ++i) {
            sim::WindowOptions options;
            options.rect =
                RECT{8 + 36 * i, 10 + 12 * i, 8 + 36 * i + between(0, 24), 10 + 12 * i + between(1, 18)};
            options.content = lookContent(static_cast<Look>(i % 4), static_cast<std::uint32_t>(i));
            options.activate = false;
            targets_.push_back(apps.createWindow(options));
        }
        HWND gone = apps.createWindow(sim::WindowOptions{});
        desk_->window(gone).destroy();
        goneWindow_ = gone;
        helper_ = nullptr;
        sessionFrames_ = 0;
        closed_ = false;
        resetProcessState();
        desk_->at(2, [this] { onTurn(); });
        const int exitCode = helperMain(nullptr, formatHandle(controller_->hwnd()).c_str());
        {
            SCOPED_TRACE(context());
            if (closed_) {
                EXPECT_TRUE(exitCode == kExitControllerGone ||
                            (exitCode == kExitNothingTracked && activeList.empty()))
                    << exitCode;
            } else {
                EXPECT_EQ(exitCode, kExitNothingTracked);
            }
            endHelperProcess(*desk_);
            if (::testing::Test::HasFailure()) {
                fail();
            }
        }
        for (std::size_t i = 1; i < peers_.size(); ++i) {
            delete peers_[i];
        }
        peers_.clear();
        controller_.reset();
        desk_.reset();
    }

    void fail() {
        if (!failed_) {
            std::fprintf(stderr, "CHANNEL FUZZ FAILURE at %s\n", context().c_str());
        }
        failed_ = true;
        closeSession();
    }

    void closeSession() {
        if (!closed_ && controller_) {
            controller_->close();
            closed_ = true;
            for (HWND target : targets_) {
                desk_->window(target).destroy();
            }
        }
    }

    // One turn: a batch of frames, then the invariants.
    void onTurn() {
        if (failed_ || closed_) {
            return;
        }
        SCOPED_TRACE(context());
        if (helper_ == nullptr) {
            ASSERT_EQ(controller_->received().size(), 1u) << "the announcement, alone";
            helper_ = readHandle(controller_->received().front().bytes.substr(0, 16)).value_or(nullptr);
            ASSERT_EQ(helper_, helperWindow);
            controller_->clearReceived();
        }
        const int batch = between(1, 24);
        for (int i = 0; i < batch && !::testing::Test::HasFailure(); ++i) {
            oneFrame();
        }
        if (!::testing::Test::HasFailure()) {
            expectHelperInvariants(*desk_);
        }
        if (::testing::Test::HasFailure()) {
            fail();
            return;
        }
        if (progressEvery_ > 0 && framesDone_ >= nextProgress_) {
            printProgress();
            nextProgress_ = framesDone_ + progressEvery_;
        }
        if (framesDone_ >= budget_ || sessionFrames_ >= kFramesPerSession) {
            closeSession();
            return;
        }
        desk_->after(between(1, 3), [this] { onTurn(); });
    }

    // ---- frames ----
    HWND someTarget() {
        const int r = between(0, 9);
        if (r < 7) {
            return oneOf(targets_);
        }
        if (r == 7) {
            return goneWindow_;
        }
        const std::vector<HWND> own = desk_->helperWindows();
        return r == 8 && !own.empty() ? oneOf(own) : peers_[pick(peers_.size())]->hwnd();
    }

    std::string unit() {
        return oneOf(std::vector<std::string>{"0", "0.5", "1", "0.25", "-1", "1e9", "nan"});
    }

    std::string payloadFor(std::int32_t command, HWND target) {
        const std::string handle = formatHandle(target);
        switch (command) {
            case kSetDark:
                return handle + "|" + oneOf(std::vector<std::string>{"0", "1", "1", "2"});
            case kStartGlassEffect:
                return handle + "," + std::to_string(between(0, 12)) + "," + unit() + "," +
                       oneOf(std::vector<std::string>{"0", "1"}) + "," + unit() + "," +
                       oneOf(std::vector<std::string>{"0", "1"}) + "," + unit() + "," + unit();
            case kStopGlassEffect:
            case kUntrackWindow:
                return handle;
            default:
                return handle + "," + unit();
        }
    }

    // A well-formed request from one of the peers.
    std::string validRequest(sim::Controller*& from, std::int32_t& command, std::int32_t& id) {
        from = peers_[pick(4) == 0 ? pick(peers_.size()) : 0];
        // Commands that attach or release an engine cost a frame-sized
        // allocation and a 16 MiB colour table each: a few, so that the run
        // spends its time on frames; the settings commands 4 to 10 the rest.
        const std::uint64_t r = pick(100);
        if (r < 8) {
            command = oneOf(std::vector<std::int32_t>{0, 12, -3, 99});
        } else if (r < 12) {
            command = oneOf(
                std::vector<std::int32_t>{kSetDark, kStartGlassEffect, kStopGlassEffect, kUntrackWindow});
        } else {
            command = between(4, 10);
        }
        id =
            pick(8) == 0 ? static_cast<std::int32_t>(static_cast<std::uint32_t>(rng_())) : between(0, 100000);
        return formatRequestFrame(from->hwnd(), command, payloadFor(command, someTarget()), id);
    }

    std::string randomBytes(std::size_t length) {
        static const std::string alphabet = "0123456789ABCDEFabcdef[].12RETQ|,-+ex\n\t";
        std::string bytes(length, '\0');
        for (char& c : bytes) {
            c = pick(4) == 0 ? static_cast<char>(rng_()) : alphabet[pick(alphabet.size())];
        }
        return bytes;
    }

    // One to four changes to a frame.
    std::string mutate(std::string frame) {
        static const std::vector<std::string> pieces = {"[.1.]", "[.2.]", std::string(1, '\0'), "REQ", "RET",
                                                        "[.2",   ".]",    "[.2.][.2.]",         "|",   ","};
        const int changes = between(1, 4);
        for (int i = 0; i < changes; ++i) {
            const std::size_t at = frame.empty() ? 0 : pick(frame.size() + 1);
            switch (pick(7)) {
                case 0:
                    frame.resize(at);  // truncated
                    break;
                case 1:
                    frame.insert(at, oneOf(pieces));
                    break;
                case 2:
                    if (!frame.empty()) {
                        frame[pick(frame.size())] = static_cast<char>(rng_());
                    }
                    break;
                case 3:
                    if (at < frame.size()) {
                        frame.erase(at, pick(8) + 1);
                    }
                    break;
                case 4:  // another sender: non-hexadecimal, broadcast, short, lower-case, gone
                    frame.replace(0, std::min<std::size_t>(16, frame.size()),
                                  oneOf(std::vector<std::string>{"ZZZZZZZZZZZZZZZZ", "000000000000FFFF",
                                                                 "FFFF", "-1", "", formatHandle(goneWindow_),
                                                                 "00000000000200a0", " 0x20010"}));
                    break;
                case 5:
                    frame.insert(at, randomBytes(pick(12)));
                    break;
                default: {
                    // Separator-dense: a run of separators somewhere.
                    std::string run;
                    const std::size_t count = pick(64) + 1;
                    for (std::size_t k = 0; k < count; ++k) {
                        run += oneOf(pieces);
                    }
                    frame.insert(at, run);
                    break;
                }
            }
        }
        return frame;
    }

    std::string hugeFrame() {
        const std::size_t size = (std::size_t{1} << 18) + pick(std::size_t{3} << 20);
        std::string payload;
        switch (pick(3)) {
            case 0:
                payload.assign(size, ',');
                break;
            case 1: {
                payload.reserve(size);
                while (payload.size() < size) {
                    payload += "[.2.]";
                }
                break;
            }
            default:
                payload = formatHandle(oneOf(targets_)) + "," + std::string(size, '7');
                break;
        }
        return formatRequestFrame(controller_->hwnd(), between(1, 11), payload, 5);
    }

    void clearAll() {
        for (sim::Controller* peer : peers_) {
            peer->clearReceived();
        }
    }

    std::size_t receivedBy(const sim::Controller* peer) const { return peer->received().size(); }

    void oneFrame() {
        ++framesDone_;
        ++sessionFrames_;
        clearAll();
        sim::Controller* sender = controller_.get();
        std::int32_t command = 0;
        std::int32_t id = 0;
        HWND to = helper_;
        Expect expect = Expect::AtMostOne;
        sim::Controller* replyTo = nullptr;
        std::string frame;
        const std::uint64_t r = pick(1000);
        if (r < 450) {
            kind_ = "request";
            frame = validRequest(replyTo, command, id);
            expect = isAnsweredCommand(command) ? Expect::OneReply : Expect::None;
        } else if (r < 760) {
            kind_ = "mutated";
            ++mutated_;
            frame = mutate(validRequest(replyTo, command, id));
            replyTo = nullptr;
        } else if (r < 860) {
            kind_ = "random";
            ++random_;
            frame = randomBytes(pick(4) == 0 ? pick(4096) : pick(120));
        } else if (r < 910) {
            kind_ = "reply";
            frame = formatReplyFrame(peers_[pick(peers_.size())]->hwnd(), between(-5, 5),
                                     pick(2) == 0 ? std::string() : randomBytes(pick(40)));
            expect = Expect::None;
        } else if (r < 960) {
            // Only the helper window handles frames; its overlays and
            // capture hosts share its class and procedure.
            kind_ = "to another window";
            ++elsewhere_;
            std::vector<HWND> others;
            for (HWND own : desk_->helperWindows()) {
                if (own != helper_) {
                    others.push_back(own);
                }
            }
            frame = validRequest(replyTo, command, id);
            replyTo = nullptr;
            if (!others.empty()) {
                to = oneOf(others);
                expect = Expect::None;
            }
        } else if (r < 980) {
            kind_ = "broadcast sender";
            frame = formatRequestFrame(reinterpret_cast<HWND>(static_cast<std::uintptr_t>(0xFFFF)),
                                       between(1, 11), payloadFor(kSetDark, oneOf(targets_)), 9);
            expect = Expect::None;
        } else if (r < 998) {
            kind_ = "dead sender";
            frame = formatRequestFrame(goneWindow_, between(1, 11), payloadFor(kSetDark, oneOf(targets_)), 9);
            expect = Expect::None;
        } else {
            kind_ = "huge";
            frame = hugeFrame();
            expect = frame.size() > kMaxFrameBytes ? Expect::None : Expect::AtMostOne;
        }
        bytes_ += frame.size();
        sender->send(to, frame, pick(16) == 0 ? static_cast<ULONG_PTR>(rng_()) : 0);

        std::size_t total = 0;
        for (const sim::Controller* peer : peers_) {
            total += receivedBy(peer);
        }
        switch (expect) {
            case Expect::OneReply:
                ASSERT_EQ(receivedBy(replyTo), 1u) << "replies to a well-formed request " << command;
                ASSERT_EQ(replyTo->received().front().bytes, formatReplyFrame(helper_, id, {}));
                ASSERT_EQ(total, 1u) << "a reply went elsewhere too";
                ++answered_;
                break;
            case Expect::None:
                ASSERT_EQ(total, 0u) << "an unanswerable frame was answered";
                break;
            case Expect::AtMostOne:
                ASSERT_LE(total, 1u) << "one frame answered more than once";
                break;
        }
    }

    std::uint64_t seed_;
    std::uint64_t budget_;
    std::uint64_t progressEvery_;
    std::mt19937_64 rng_;
    std::chrono::steady_clock::time_point began_;
    std::uint64_t nextProgress_ = 0;

    std::unique_ptr<sim::Desktop> desk_;
    std::unique_ptr<sim::Controller> controller_;
    std::vector<sim::Controller*> peers_;  // [0] is the controller; the others are owned here
    std::vector<HWND> targets_;
    HWND goneWindow_ = nullptr;
    HWND helper_ = nullptr;
    bool closed_ = false;
    bool failed_ = false;
    const char* kind_ = "start";

    std::uint64_t framesDone_ = 0;
    std::uint64_t sessionFrames_ = 0;
    std::uint64_t session_ = 0;
    std::uint64_t answered_ = 0;
    std::uint64_t mutated_ = 0;
    std::uint64_t random_ = 0;
    std::uint64_t elsewhere_ = 0;
    std::uint64_t bytes_ = 0;
};

class ChannelFuzz : public ::testing::Test {
  protected:
    void SetUp() override { resetProcessState(); }
    void TearDown() override { resetProcessState(); }
};

TEST_F(ChannelFuzz, EveryWellFormedRequestIsAnsweredOnce) {
    const std::uint64_t seed = longRunSeed("KESTRA_FUZZ_SEED");
    const std::uint64_t frames = longRunLength(longRunArguments().frames, "KESTRA_FUZZ_FRAMES", 20000);
    const std::uint64_t progress = longRunLength(longRunArguments().progressEvery, "KESTRA_FUZZ_PROGRESS", 0);
    std::printf("channel fuzz: seed %llu, %llu frames; replay: %s\n", static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(frames),
                replayLine("ChannelFuzz.*", seed, "frames", frames).c_str());
    std::fflush(stdout);
    ChannelFuzzer fuzz(seed, frames, progress);
    fuzz.run();
    EXPECT_FALSE(fuzz.failed());
}

}  // namespace
}  // namespace kestra::testing
