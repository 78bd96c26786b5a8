#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <random>
#include <thread>

#include "Snippets/DynamicFieldProcessor.h"
#include "TestClipboardManager.h"
#include "X11TestSupport.h"
#include "desktop/x11/X11Pasteboard.h"
#include "support/ModelsTestSupport.h"

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

// A fresh pasteboard on the program's X server for each test, and the other clients it meets.
class X11PasteboardTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pasteboard->isAvailable()); }

    // xclip owns the selection with these bytes (in the foreground, so it is stopped by its PID);
    // returns once `watcher` (the test's pasteboard by default) has seen the change.
    void xclipOwns(const std::string& bytes, const std::string& target = {}, const std::string& selection = "clipboard",
                   X11Pasteboard* watcher = nullptr) {
        const auto file = folder.path() / ("in-" + std::to_string(owners.size()));
        modelstest::writeFile(file, bytes);
        std::vector<std::string> argv{"xclip", "-quiet", "-selection", selection, "-i", file};
        if (!target.empty()) argv.insert(argv.end(), {"-t", target});
        startOwner(argv, watcher ? *watcher : *pasteboard);
    }

    // A Tk program owns the clipboard, as the script sets it up. Unlike xclip it survives
    // requests from windows that are gone by the time it answers them.
    ChildProcess& wishOwns(const std::string& script) {
        const auto file = folder.path() / ("owner-" + std::to_string(owners.size()) + ".tcl");
        modelstest::writeFile(file, "wm withdraw .\n" + script);
        return startOwner({"wish", file}, *pasteboard);
    }

    ChildProcess& startOwner(const std::vector<std::string>& argv, X11Pasteboard& watched) {
        const int64_t before = watched.changeCount();
        owners.push_back(std::make_unique<ChildProcess>(argv, std::vector<std::string>{"DISPLAY=" + display}));
        for (int i = 0; i < 500 && watched.changeCount() == before; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_NE(watched.changeCount(), before) << argv[0] << " never took the selection";
        return *owners.back();
    }

    std::string xclipReads(const std::string& target = {}, const std::string& selection = "clipboard") {
        std::vector<std::string> argv{"timeout", "5", "xclip", "-selection", selection, "-o"};
        if (!target.empty()) argv.insert(argv.end(), {"-t", target});
        return testsupport::runCommand(argv, nullptr, 10000, {"DISPLAY=" + display});
    }

    const std::string display = x11test::sharedServer().display();
    modelstest::TempDir folder;
    std::unique_ptr<X11Pasteboard> pasteboard = std::make_unique<X11Pasteboard>(display);
    std::vector<std::unique_ptr<ChildProcess>> owners;
};

}  // namespace

TEST_F(X11PasteboardTest, TextTravelsBothWaysUnderEveryTextTypeAndCountsOneChangePerWrite) {
    xclipOwns("Grüße aus Köln ✓\nzweite Zeile");
    const platform::FakeClock clock;
    const sablix::DynamicFieldContext context{clock, "", "", pasteboard.get()};
    EXPECT_EQ(sablix::DynamicFieldProcessor::process("[{clipboard}]", {}, {}, 0, context),
              "[Grüße aus Köln ✓\nzweite Zeile]");

    // Owners offering only text/plain or TEXT; Latin-1 bytes shaped like UTF-8 (these would
    // encode a surrogate) are still Latin-1.
    for (const auto& [target, bytes, read] :
         std::vector<std::tuple<std::string, std::string, std::string>>{{"text/plain", "Grüße ✓", "Grüße ✓"},
                                                                        {"TEXT", "Grüße ✓", "Grüße ✓"},
                                                                        {"text/plain", "\xED\xA1\xBF", "í¡¿"}}) {
        xclipOwns(bytes, target);
        EXPECT_EQ(pasteboard->string(), read) << target;
    }
    for (const char* format : {"COMPOUND_TEXT", "STRING"}) {
        wishOwns(tkAnswers("TEXT", "Grüße", format));
        EXPECT_EQ(pasteboard->string(), "Grüße") << format;
    }

    const int64_t before = pasteboard->changeCount();
    ASSERT_TRUE(pasteboard->setString("Grüße 👋"));
    EXPECT_EQ(pasteboard->changeCount(), before + 1);
    for (const char* target : {"", "UTF8_STRING", "text/plain;charset=utf-8", "TEXT"})
        EXPECT_EQ(xclipReads(target), "Grüße 👋") << target;
    EXPECT_EQ(xclipReads("STRING"),
              "Gr\xFC\xDF"
              "e ?");
    const std::string targets = xclipReads("TARGETS");
    for (const char* target : {"TARGETS", "UTF8_STRING", "text/plain;charset=utf-8", "STRING"})
        EXPECT_NE(targets.find(target), std::string::npos) << target;
    EXPECT_EQ(pasteboard->string(), "Grüße 👋");  // what we own we answer ourselves
    // The server's notice of our own claim arrives later and must not count again.
    EXPECT_EQ(pasteboard->changeCount(), before + 1);
}

TEST_F(X11PasteboardTest, EveryFormatIsListedAndRestoredByteForByte) {
    // Larger than one request, so both directions go through INCR.
    const std::string png = "\x89PNG\r\n\x1a\n" + randomBytes(700 * 1024, 7);
    xclipOwns(png, "image/png");
    const auto saved = pasteboard->contents(5s);
    ASSERT_TRUE(saved.has_value());
    ASSERT_EQ(saved->formats.size(), 1u);
    EXPECT_EQ(saved->formats[0].first, "image/png");
    EXPECT_TRUE(saved->formats[0].second == png);
    EXPECT_EQ(pasteboard->string(), std::nullopt);

    ASSERT_TRUE(pasteboard->setString("snippet content"));
    EXPECT_EQ(xclipReads(), "snippet content");
    ASSERT_TRUE(pasteboard->setContents(*saved));
    EXPECT_TRUE(xclipReads("image/png") == png);
    EXPECT_EQ(xclipReads("TARGETS").find("UTF8_STRING"), std::string::npos);
}

// Emptying after a paste into a clipboard nobody owned: a snippet must not stay behind, and
// whoever copied meanwhile keeps what they copied.
TEST_F(X11PasteboardTest, EmptyingGivesUpOnlyOurOwnClaim) {
    ASSERT_TRUE(pasteboard->setString("secret snippet"));
    const int64_t written = pasteboard->changeCount();
    ASSERT_TRUE(pasteboard->clearContents());
    EXPECT_NE(pasteboard->changeCount(), written);
    EXPECT_EQ(pasteboard->contents(1s), std::nullopt);
    EXPECT_EQ(testsupport::runCommand({"sh", "-c", "timeout 5 xclip -selection clipboard -o -t TARGETS 2>&1"}, nullptr,
                                      10000, {"DISPLAY=" + display}),
              "Error: target TARGETS not available\n");

    ASSERT_TRUE(pasteboard->setString("secret snippet"));
    xclipOwns("copied meanwhile");
    EXPECT_TRUE(pasteboard->clearContents());
    EXPECT_EQ(xclipReads(), "copied meanwhile");
}

TEST_F(X11PasteboardTest, AFrozenOwnerCannotHangAReader) {
    ChildProcess& owner = wishOwns("clipboard clear\nclipboard append -- \"frozen ✓\"\n");
    ASSERT_EQ(pasteboard->string(), "frozen ✓");

    ASSERT_EQ(::kill(owner.pid(), SIGSTOP), 0);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(pasteboard->string(), std::nullopt);
    EXPECT_FALSE(pasteboard->contents(5s).has_value());
    const auto took = std::chrono::steady_clock::now() - started;
    ::kill(owner.pid(), SIGCONT);
    // Two reads, each bounded by the read time limit (with room for a slow machine).
    EXPECT_LT(took, 2 * X11Pasteboard::kReadTimeout + 2s);
    // The owner's late answers to the abandoned requests are not taken for the next one.
    EXPECT_EQ(pasteboard->string(), "frozen ✓");
    const auto all = pasteboard->contents(5s);
    ASSERT_TRUE(all.has_value());
    EXPECT_NE(std::find(all->formats.begin(), all->formats.end(),
                        std::pair<std::string, std::string>("UTF8_STRING", "frozen ✓")),
              all->formats.end());
}

// The owner thread serves other clients whichever threads write and read at the same time (and
// while the calling thread waits for xclip, as everywhere in these tests).
TEST_F(X11PasteboardTest, OwnerKeepsServingUnderConcurrentUse) {
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                if (!pasteboard->setString("t" + std::to_string(t) + "-" + std::to_string(i))) ++failures;
                if (!pasteboard->string().has_value()) ++failures;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
    const auto last = pasteboard->string();
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(xclipReads(), *last);
}

TEST_F(X11PasteboardTest, SavingKeepsToItsBudgetTextFirstAndNamesWhatItLeftOut) {
    // An owner that gives its text at once, then hangs on its image.
    wishOwns(tkAnswers("UTF8_STRING", "saved ✓") +
             "proc stuck {offset max} { after 3000; return late }\n"
             "selection handle -selection CLIPBOARD -type image/png . stuck\n"
             "selection handle -selection CLIPBOARD -type application/x-more . stuck\n");
    const auto saved = pasteboard->contents(100ms);
    ASSERT_TRUE(saved.has_value());
    ASSERT_FALSE(saved->formats.empty());
    EXPECT_EQ(saved->formats[0], std::make_pair(std::string("UTF8_STRING"), std::string("saved ✓")));
    EXPECT_EQ(std::find(saved->skipped.begin(), saved->skipped.end(), "UTF8_STRING"), saved->skipped.end());
    for (const char* format : {"image/png", "application/x-more"})
        EXPECT_NE(std::find(saved->skipped.begin(), saved->skipped.end(), format), saved->skipped.end()) << format;

    // Several large formats asked for at once: whatever the budget let through came whole and
    // the text came first; the rest is named.
    X11Pasteboard other(display);
    PasteboardContents large{{{"text/plain;charset=utf-8", "large ✓"}}};
    for (int i = 0; i < 5; ++i)
        large.formats.emplace_back("application/x-large-" + std::to_string(i), randomBytes(8 << 20, unsigned(i)));
    ASSERT_TRUE(other.setContents(large));
    const auto part = pasteboard->contents(100ms);
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

TEST_F(X11PasteboardTest, TheClipboardManagerKeepsOurClipboardAfterWeQuit) {
    ASSERT_TRUE(pasteboard->setString("kept ✓"));
    EXPECT_FALSE(pasteboard->handOverToClipboardManager());  // no manager runs yet

    TestClipboardManager manager(display);
    ASSERT_TRUE(manager.started());
    EXPECT_TRUE(pasteboard->handOverToClipboardManager());
    pasteboard.reset();
    EXPECT_EQ(xclipReads(), "kept ✓");
}

TEST_F(X11PasteboardTest, PrimaryIsASelectionOfItsOwn) {
    X11Pasteboard primary(display, X11Pasteboard::Selection::primary);
    ASSERT_TRUE(primary.setString("für Shift-Insert"));
    EXPECT_EQ(xclipReads({}, "primary"), "für Shift-Insert");
    EXPECT_FALSE(primary.handOverToClipboardManager());

    xclipOwns("selected ✓", {}, "primary", &primary);
    const auto saved = primary.contents(1s);
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->formats.at(0).second, "selected ✓");
    EXPECT_EQ(pasteboard->string(), std::nullopt);
}

TEST(X11PasteboardWithoutDisplay, FailsQuietly) {
    X11Pasteboard pasteboard(":999");
    EXPECT_FALSE(pasteboard.isAvailable());
    EXPECT_EQ(pasteboard.string(), std::nullopt);
    EXPECT_EQ(pasteboard.contents(5s), std::nullopt);
    EXPECT_FALSE(pasteboard.setString("x"));
}
