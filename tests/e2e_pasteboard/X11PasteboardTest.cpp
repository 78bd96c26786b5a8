#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <thread>

#include "Models/DynamicFieldProcessor.h"
#include "desktop/X11Pasteboard.h"
#include "support/ChildProcess.h"
#include "support/XvfbServer.h"

using desktop::PasteboardContents;
using desktop::X11Pasteboard;
using testsupport::ChildProcess;
using namespace std::chrono_literals;

namespace {

std::string randomBytes(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string out(size, '\0');
    for (auto& c : out) c = static_cast<char>(generator() & 0xFF);
    return out;
}

// One X server for the whole program; each test gets a fresh pasteboard object on it.
class X11PasteboardTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new testsupport::XvfbServer();
        folder_ = new std::filesystem::path(std::filesystem::temp_directory_path() /
                                            ("sablix-pasteboard-" + std::to_string(getpid())));
        std::filesystem::create_directories(*folder_);
    }
    static void TearDownTestSuite() {
        delete server_;
        std::filesystem::remove_all(*folder_);
        delete folder_;
    }

    void SetUp() override {
        ASSERT_TRUE(server_->started());
        pasteboard_ = std::make_unique<X11Pasteboard>(server_->display());
        ASSERT_TRUE(pasteboard_->isAvailable());
    }
    void TearDown() override {
        pasteboard_.reset();
        owners_.clear();
    }

    std::vector<std::string> env() const { return {"DISPLAY=" + server_->display()}; }

    std::string writeFile(const std::string& name, const std::string& bytes) {
        const auto path = *folder_ / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }

    // xclip owns the clipboard with these bytes (in the foreground, so it can be stopped by its
    // PID); returns once our side has seen the change.
    ChildProcess& xclipOwns(const std::string& bytes, const std::string& target = {}) {
        const int64_t before = pasteboard_->changeCount();
        std::vector<std::string> argv{"xclip", "-quiet", "-selection", "clipboard"};
        if (!target.empty()) argv.insert(argv.end(), {"-t", target});
        argv.insert(argv.end(), {"-i", writeFile("in-" + std::to_string(owners_.size()), bytes)});
        owners_.push_back(std::make_unique<ChildProcess>(argv, env()));
        for (int i = 0; i < 400 && pasteboard_->changeCount() == before; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_NE(pasteboard_->changeCount(), before) << "xclip never took the clipboard";
        return *owners_.back();
    }

    std::string xclipReads(const std::string& target = {}, int* code = nullptr) {
        std::vector<std::string> argv{"timeout", "5", "xclip", "-selection", "clipboard", "-o"};
        if (!target.empty()) argv.insert(argv.end(), {"-t", target});
        return testsupport::runCommand(argv, code, 10000, env());
    }

    static testsupport::XvfbServer* server_;
    static std::filesystem::path* folder_;
    std::unique_ptr<X11Pasteboard> pasteboard_;
    std::vector<std::unique_ptr<ChildProcess>> owners_;
};

testsupport::XvfbServer* X11PasteboardTest::server_ = nullptr;
std::filesystem::path* X11PasteboardTest::folder_ = nullptr;

}  // namespace

TEST_F(X11PasteboardTest, TextCopiedByAnotherApplicationReachesTheClipboardField) {
    EXPECT_EQ(pasteboard_->string(), std::nullopt);
    xclipOwns("Grüße aus Köln ✓\nzweite Zeile");
    EXPECT_EQ(pasteboard_->string(), "Grüße aus Köln ✓\nzweite Zeile");

    sablix::DynamicFieldContext context;
    context.pasteboard = pasteboard_.get();
    EXPECT_EQ(sablix::DynamicFieldProcessor::process("[{clipboard}]", {}, {}, 0, context),
              "[Grüße aus Köln ✓\nzweite Zeile]");
}

TEST_F(X11PasteboardTest, OurTextIsPastedByAnotherApplicationUnderEveryTextType) {
    ASSERT_TRUE(pasteboard_->setString("Grüße 👋"));
    int code = -1;
    EXPECT_EQ(xclipReads({}, &code), "Grüße 👋");
    EXPECT_EQ(code, 0);
    EXPECT_EQ(xclipReads("text/plain;charset=utf-8"), "Grüße 👋");
    EXPECT_EQ(xclipReads("TEXT"), "Grüße 👋");
    EXPECT_EQ(xclipReads("STRING"), "Gr\xFC\xDF" "e ?");
    const std::string targets = xclipReads("TARGETS");
    for (const char* target : {"TARGETS", "UTF8_STRING", "text/plain;charset=utf-8", "STRING"})
        EXPECT_NE(targets.find(target), std::string::npos) << target;
    // What we own we answer ourselves, without a round trip.
    EXPECT_EQ(pasteboard_->string(), "Grüße 👋");
}

TEST_F(X11PasteboardTest, ChangeCountMovesOncePerWriteWhoeverWrites) {
    const int64_t start = pasteboard_->changeCount();
    ASSERT_TRUE(pasteboard_->setString("one"));
    const int64_t afterOwn = pasteboard_->changeCount();
    EXPECT_EQ(afterOwn, start + 1);
    // The server's notice of our own claim arrives later and must not count again.
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(pasteboard_->changeCount(), afterOwn);

    xclipOwns("two");
    EXPECT_GT(pasteboard_->changeCount(), afterOwn);
    EXPECT_EQ(pasteboard_->string(), "two");
}

TEST_F(X11PasteboardTest, EveryFormatIsListedAndRestoredByteForByte) {
    // Larger than one request, so both directions go through INCR.
    const std::string png = "\x89PNG\r\n\x1a\n" + randomBytes(700 * 1024, 7);
    xclipOwns(png, "image/png");
    const auto saved = pasteboard_->contents(std::chrono::seconds(5));
    ASSERT_TRUE(saved.has_value());
    ASSERT_EQ(saved->formats.size(), 1u);
    EXPECT_EQ(saved->formats[0].first, "image/png");
    EXPECT_TRUE(saved->formats[0].second == png);
    EXPECT_EQ(pasteboard_->string(), std::nullopt);

    ASSERT_TRUE(pasteboard_->setString("snippet content"));
    EXPECT_EQ(xclipReads(), "snippet content");

    ASSERT_TRUE(pasteboard_->setContents(*saved));
    EXPECT_TRUE(xclipReads("image/png") == png);
    EXPECT_EQ(xclipReads("TARGETS").find("UTF8_STRING"), std::string::npos);
}

TEST_F(X11PasteboardTest, LargeTextTravelsBothWays) {
    std::string text;
    while (text.size() < 1500 * 1024) text += "Zeile " + std::to_string(text.size()) + " — ünïcödé\n";
    ASSERT_TRUE(pasteboard_->setString(text));
    EXPECT_TRUE(xclipReads() == text);

    xclipOwns(text + "!");
    const auto read = pasteboard_->string();
    ASSERT_TRUE(read.has_value());
    EXPECT_TRUE(*read == text + "!");
}

TEST_F(X11PasteboardTest, AFrozenOwnerCannotHangAReader) {
    // A Tk program owns the clipboard; unlike xclip it survives requests from windows that are
    // gone by the time it answers them.
    const int64_t before = pasteboard_->changeCount();
    const std::string script = writeFile("owner.tcl", "wm withdraw .\nclipboard clear\nclipboard append -- \"frozen ✓\"\n");
    owners_.push_back(std::make_unique<ChildProcess>(std::vector<std::string>{"wish", script}, env()));
    ChildProcess& owner = *owners_.back();
    for (int i = 0; i < 500 && pasteboard_->changeCount() == before; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(pasteboard_->string(), "frozen ✓");

    ASSERT_EQ(::kill(owner.pid(), SIGSTOP), 0);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(pasteboard_->string(), std::nullopt);
    EXPECT_FALSE(pasteboard_->contents(std::chrono::seconds(5)).has_value());
    const auto took = std::chrono::steady_clock::now() - started;
    ::kill(owner.pid(), SIGCONT);
    // Two reads, each bounded by the read time limit (with room for a slow machine).
    EXPECT_LT(took, 2 * X11Pasteboard::kReadTimeout + 2s);
    // The owner's late answers to the abandoned requests are not taken for the next one.
    EXPECT_EQ(pasteboard_->string(), "frozen ✓");
    const auto all = pasteboard_->contents(std::chrono::seconds(5));
    ASSERT_TRUE(all.has_value());
    EXPECT_NE(std::find(all->formats.begin(), all->formats.end(), std::make_pair(std::string("UTF8_STRING"), std::string("frozen ✓"))),
              all->formats.end());
}

TEST_F(X11PasteboardTest, OwnerKeepsServingWhileTheCallingThreadIsBusyAndUnderConcurrentUse) {
    ASSERT_TRUE(pasteboard_->setString("served"));
    // runCommand blocks this thread until xclip has its answer: the owner thread serves it.
    EXPECT_EQ(xclipReads(), "served");

    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                const std::string text = "t" + std::to_string(t) + "-" + std::to_string(i);
                if (!pasteboard_->setString(text)) ++failures;
                if (!pasteboard_->string().has_value()) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
    const auto last = pasteboard_->string();
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(xclipReads(), *last);
}

TEST(X11PasteboardWithoutDisplay, FailsQuietly) {
    X11Pasteboard pasteboard(":999");
    EXPECT_FALSE(pasteboard.isAvailable());
    EXPECT_EQ(pasteboard.string(), std::nullopt);
    EXPECT_EQ(pasteboard.contents(std::chrono::seconds(5)), std::nullopt);
    EXPECT_FALSE(pasteboard.setString("x"));
}
