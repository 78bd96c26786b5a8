#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <thread>

#include "Models/Snippets/DynamicFieldProcessor.h"
#include "desktop/x11/X11Pasteboard.h"
#include "TestClipboardManager.h"
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

// Tk script lines: the CLIPBOARD answers `type` with `text`, sent as `format`.
std::string tkAnswers(const std::string& type, const std::string& text, const std::string& format = "UTF8_STRING") {
    return "proc give {text offset max} { string range $text $offset [expr {$offset + $max - 1}] }\n"
           "selection handle -selection CLIPBOARD -type " +
           type + " -format " + format + " . [list give \"" + text + "\"]\nselection own -selection CLIPBOARD .\n";
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

    // xclip owns the selection with these bytes (in the foreground, so it can be stopped by its
    // PID); returns once `watcher` (the test's pasteboard by default) has seen the change.
    ChildProcess& xclipOwns(const std::string& bytes, const std::string& target = {},
                            const std::string& selection = "clipboard", X11Pasteboard* watcher = nullptr) {
        std::vector<std::string> argv{"xclip", "-quiet", "-selection", selection};
        if (!target.empty()) argv.insert(argv.end(), {"-t", target});
        argv.insert(argv.end(), {"-i", writeFile("in-" + std::to_string(owners_.size()), bytes)});
        return startOwner(argv, watcher);
    }

    // A Tk program owns the clipboard, as the script sets it up. Unlike xclip it survives
    // requests from windows that are gone by the time it answers them.
    ChildProcess& wishOwns(const std::string& script) {
        return startOwner(
            {"wish", writeFile("owner-" + std::to_string(owners_.size()) + ".tcl", "wm withdraw .\n" + script)});
    }

    ChildProcess& startOwner(const std::vector<std::string>& argv, X11Pasteboard* watcher = nullptr) {
        X11Pasteboard& watched = watcher ? *watcher : *pasteboard_;
        const int64_t before = watched.changeCount();
        owners_.push_back(std::make_unique<ChildProcess>(argv, env()));
        for (int i = 0; i < 500 && watched.changeCount() == before; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_NE(watched.changeCount(), before) << argv[0] << " never took the selection";
        return *owners_.back();
    }

    std::string xclipReads(const std::string& target = {}, int* code = nullptr,
                           const std::string& selection = "clipboard") {
        std::vector<std::string> argv{"timeout", "5", "xclip", "-selection", selection, "-o"};
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
    EXPECT_EQ(xclipReads("STRING"),
              "Gr\xFC\xDF"
              "e ?");
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
    ChildProcess& owner = wishOwns("clipboard clear\nclipboard append -- \"frozen ✓\"\n");
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
    EXPECT_NE(std::find(all->formats.begin(), all->formats.end(),
                        std::make_pair(std::string("UTF8_STRING"), std::string("frozen ✓"))),
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

TEST_F(X11PasteboardTest, SavingKeepsToItsBudgetTextFirstAndNamesWhatItLeftOut) {
    // An owner that gives its text at once, then hangs on its image.
    wishOwns(tkAnswers("UTF8_STRING", "saved ✓") +
             "proc stuck {offset max} { after 3000; return late }\n"
             "selection handle -selection CLIPBOARD -type image/png . stuck\n"
             "selection handle -selection CLIPBOARD -type application/x-more . stuck\n");
    const auto saved = pasteboard_->contents(100ms);
    ASSERT_TRUE(saved.has_value());
    ASSERT_FALSE(saved->formats.empty());
    EXPECT_EQ(saved->formats[0], std::make_pair(std::string("UTF8_STRING"), std::string("saved ✓")));
    for (const char* format : {"image/png", "application/x-more"})
        EXPECT_NE(std::find(saved->skipped.begin(), saved->skipped.end(), format), saved->skipped.end()) << format;
    EXPECT_EQ(std::find(saved->skipped.begin(), saved->skipped.end(), "UTF8_STRING"), saved->skipped.end());

    // Several large formats asked for at once: whatever the budget let through came whole and
    // the text came first; the rest is named.
    X11Pasteboard other(server_->display());
    PasteboardContents large{{{"text/plain;charset=utf-8", "large ✓"}}};
    for (int i = 0; i < 5; ++i)
        large.formats.emplace_back("application/x-large-" + std::to_string(i), randomBytes(8 << 20, unsigned(i)));
    ASSERT_TRUE(other.setContents(large));
    const auto part = pasteboard_->contents(100ms);
    ASSERT_TRUE(part.has_value());
    ASSERT_FALSE(part->formats.empty());
    EXPECT_EQ(part->formats[0], large.formats[0]);
    std::vector<std::string> seen = part->skipped;
    for (const auto& format : part->formats) {
        seen.push_back(format.first);
        const auto offered = std::find_if(large.formats.begin(), large.formats.end(),
                                          [&](const auto& f) { return f.first == format.first; });
        if (offered != large.formats.end()) {
            EXPECT_TRUE(offered->second == format.second) << format.first;
        }
    }
    for (const auto& [name, bytes] : large.formats) EXPECT_EQ(std::count(seen.begin(), seen.end(), name), 1) << name;
}

TEST_F(X11PasteboardTest, OwnersOfferingOnlyTextPlainOrTEXTAreRead) {
    xclipOwns("Grüße ✓", "text/plain");
    EXPECT_EQ(pasteboard_->string(), "Grüße ✓");
    xclipOwns("Grüße ✓", "TEXT");
    EXPECT_EQ(pasteboard_->string(), "Grüße ✓");
    // Latin-1 bytes shaped like UTF-8 (these would encode a surrogate) are still Latin-1.
    xclipOwns("\xED\xA1\xBF", "text/plain");
    EXPECT_EQ(pasteboard_->string(), "í¡¿");
    // TEXT answered as COMPOUND_TEXT and as Latin-1 STRING.
    wishOwns(tkAnswers("TEXT", "Grüße", "COMPOUND_TEXT"));
    EXPECT_EQ(pasteboard_->string(), "Grüße");
    wishOwns(tkAnswers("TEXT", "Grüße", "STRING"));
    EXPECT_EQ(pasteboard_->string(), "Grüße");
}

TEST_F(X11PasteboardTest, TheClipboardManagerKeepsOurClipboardAfterWeQuit) {
    ASSERT_TRUE(pasteboard_->setString("kept ✓"));
    EXPECT_FALSE(pasteboard_->handOverToClipboardManager());  // no manager runs yet

    TestClipboardManager manager(server_->display());
    ASSERT_TRUE(manager.started());
    EXPECT_TRUE(pasteboard_->handOverToClipboardManager());
    pasteboard_.reset();
    EXPECT_EQ(xclipReads(), "kept ✓");
}

TEST_F(X11PasteboardTest, PrimaryIsASelectionOfItsOwn) {
    X11Pasteboard primary(server_->display(), X11Pasteboard::Selection::primary);
    ASSERT_TRUE(primary.setString("für Shift-Insert"));
    EXPECT_EQ(xclipReads({}, nullptr, "primary"), "für Shift-Insert");
    EXPECT_EQ(pasteboard_->string(), std::nullopt);
    EXPECT_FALSE(primary.handOverToClipboardManager());

    xclipOwns("selected ✓", {}, "primary", &primary);
    EXPECT_EQ(primary.string(), "selected ✓");
    const auto saved = primary.contents(1s);
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->formats.at(0).second, "selected ✓");
    EXPECT_EQ(pasteboard_->string(), std::nullopt);
}

TEST(X11PasteboardWithoutDisplay, FailsQuietly) {
    X11Pasteboard pasteboard(":999");
    EXPECT_FALSE(pasteboard.isAvailable());
    EXPECT_EQ(pasteboard.string(), std::nullopt);
    EXPECT_EQ(pasteboard.contents(std::chrono::seconds(5)), std::nullopt);
    EXPECT_FALSE(pasteboard.setString("x"));
}
