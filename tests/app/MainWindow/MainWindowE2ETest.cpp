// The main window as a user meets it on a fresh installation: the real `sablix` binary under a
// window manager, driven by real mouse and key events (xdotool); where its controls are comes
// from the application's item probe. What it stores is read back from its library, and what it
// creates must expand at once in another application.
#include <QColor>
#include <QImage>
#include <algorithm>
#include <array>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <string>

#include "platform/DefaultsValue.h"
#include "servers/TestBackend.h"
#include "support/DeskTest.h"

// Last: Xlib's macros (None, Bool, Status) would break the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

using e2e::runOn;
using e2e::waitUntil;
namespace fs = std::filesystem;

namespace {

using e2e::ProbedItem;

class MainWindowE2E : public e2e::DeskTest {
protected:
    std::optional<ProbedItem> maybe(const std::string& name) { return probed.maybe(name); }
    ProbedItem item(const std::string& name) {
        std::optional<ProbedItem> found;
        waitUntil([&] { return (found = maybe(name)).has_value(); }, 10000);
        if (!found) throw std::runtime_error("the window shows no " + name);
        return *found;
    }
    bool shows(const std::string& name, const std::string& text) { return probed.shows(name, text); }

    // The window's pixels, from the X server itself.
    QImage screenshot(unsigned long window) {
        Display* x = XOpenDisplay(display().c_str());
        if (!x) return {};
        XWindowAttributes attributes{};
        XGetWindowAttributes(x, window, &attributes);
        XImage* image = XGetImage(x, window, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
        QImage out;
        if (image) {
            out = QImage(attributes.width, attributes.height, QImage::Format_RGB32);
            for (int row = 0; row < attributes.height; ++row)
                for (int column = 0; column < attributes.width; ++column)
                    out.setPixel(column, row, static_cast<QRgb>(XGetPixel(image, column, row)));
            XDestroyImage(image);
        }
        XCloseDisplay(x);
        return out;
    }

    // An icon-only button whose icon was not found is one flat colour in its middle.
    static bool drawsSomething(const QImage& picture, const ProbedItem& b) {
        int darkest = 255, lightest = 0;
        for (int y = b.y + b.height / 4; y < b.y + b.height * 3 / 4; ++y)
            for (int x = b.x + b.width / 4; x < b.x + b.width * 3 / 4; ++x) {
                darkest = std::min(darkest, qGray(picture.pixel(x, y)));
                lightest = std::max(lightest, qGray(picture.pixel(x, y)));
            }
        return lightest - darkest >= 48;
    }
    // As the window manager's close button asks.
    void close(const std::string& window) {
        Display* x = XOpenDisplay(display().c_str());
        ASSERT_NE(x, nullptr);
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = std::stoul(window);
        event.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(x, event.xclient.window, False, NoEventMask, &event);
        XCloseDisplay(x);
    }
    // The named items that stick out of a width x height window.
    std::string outside(int width, int height) {
        std::string found;
        for (const auto& i : probed.probe())
            if (i.width > 0 && (i.x < 0 || i.y < 0 || i.x + i.width > width || i.y + i.height > height))
                found += i.name + "; ";
        return found;
    }
};

// Without a window manager, which would choose the window's size, the window takes the size it is set to.
class BareDisplayE2E : public MainWindowE2E {
protected:
    void SetUp() override { ASSERT_TRUE(server.started()); }
};

}  // namespace

TEST_F(MainWindowE2E, FreshInstallationCreatesSearchesAndDeletesTagsAndExpandsAtOnce) {
    ASSERT_TRUE(session.start());
    // The engine leaves alone what is typed into Sablix itself: another window must have the focus.
    ASSERT_TRUE(field.focus());
    ASSERT_TRUE(session.waitUntilTapSeesKeys()) << session.log();

    std::string id = mainWindow();
    ASSERT_FALSE(id.empty());
    const std::string geometry = runOn(display(), {"xdotool", "getwindowgeometry", "--shell", id});
    int width = 0, height = 0;
    std::sscanf(geometry.substr(geometry.find("WIDTH=")).c_str(), "WIDTH=%d\nHEIGHT=%d", &width, &height);
    EXPECT_GE(width, 750);
    EXPECT_GE(height, 500);
    EXPECT_TRUE(listShows({"addr", "sig", "tyvm"})) << "the starter snippets";

    // A new snippet: the title drops what a trigger cannot hold, Ctrl+Return stores it.
    activate(id);
    click("newSnippetButton");
    ASSERT_TRUE(waitUntil([&] { return maybe("titleField").has_value(); }, 10000));
    type("my;sig x");
    EXPECT_TRUE(shows("titleField", "mysigx"));
    EXPECT_TRUE(shows("triggerText", ";mysigx"));
    click("contentEditor");
    type("Hi {date}");
    key("ctrl+Return");
    ASSERT_TRUE(waitUntil([&] { return session.storedLibrary().size() == 4; }, 10000)) << "stored";
    EXPECT_EQ(session.storedLibrary().back().snippetTitle, "mysigx");
    EXPECT_EQ(session.storedLibrary().back().snippet, "Hi {date}");
    EXPECT_TRUE(listShows({"addr", "sig", "tyvm", "mysigx"}));
    EXPECT_TRUE(shows("snippetTitle", "mysigx")) << "the saved snippet is selected";
    const std::string preview = item("previewText").text;
    const std::string year = std::to_string(1900 + [] {
        const std::time_t now = std::time(nullptr);
        return std::localtime(&now)->tm_year;
    }());
    EXPECT_TRUE(preview.starts_with("Hi ") && preview.find(year) != std::string::npos) << preview;

    // A picture of the window, kept with the build.
    const QImage picture = screenshot(std::stoul(id));
    const fs::path artefact = fs::path(SABLIX_BINARY_DIR) / "test-artefacts" / "main-window.png";
    fs::create_directories(artefact.parent_path());
    ASSERT_TRUE(picture.save(QString::fromStdString(artefact.string())));
    std::set<QRgb> colours;
    for (int y = 0; y < picture.height(); y += 4)
        for (int x = 0; x < picture.width(); x += 4) colours.insert(picture.pixel(x, y));
    EXPECT_GT(colours.size(), 8u) << "the window is blank";

    // Elsewhere, at once.
    ASSERT_TRUE(field.focus());
    ASSERT_TRUE(field.clear());
    type(";mysigx");
    EXPECT_EQ(field.waitForContents(preview, 20000), preview);

    // A title in use is refused and cannot be saved.
    activate(id);
    click("newSnippetButton");
    ASSERT_TRUE(waitUntil([&] { return maybe("titleField").has_value(); }, 10000));
    type("addr");
    EXPECT_TRUE(shows("validationError", "This title is already in use"));
    EXPECT_FALSE(item("saveButton").enabled);
    key("Escape");

    click("searchField");
    type("thank");
    EXPECT_TRUE(listShows({"tyvm"}));

    // Closed, the window lets its scene go; brought back with the hot key from another
    // application, it is built anew and shows what it showed.
    click("snippetRow:tyvm");
    ASSERT_TRUE(shows("snippetTitle", "tyvm"));
    close(id);
    ASSERT_TRUE(waitUntil([&] { return mainWindow().empty() && !maybe("searchField"); }, 10000)) << "closed";
    ASSERT_TRUE(field.focus());
    // In the background, with the window and what it used given back, the engine expands as before.
    ASSERT_TRUE(field.clear());
    type(";mysigx");
    EXPECT_EQ(field.waitForContents(preview, 20000), preview);
    key("ctrl+space");
    ASSERT_TRUE(waitUntil([&] { return !mainWindow().empty(); }, 10000)) << "shown again";
    EXPECT_TRUE(shows("searchField", "thank"));
    EXPECT_TRUE(listShows({"tyvm"}));
    EXPECT_TRUE(shows("snippetTitle", "tyvm"));
    id = mainWindow();
    activate(id);
    click("clearSearchButton");
    EXPECT_TRUE(listShows({"addr", "sig", "tyvm", "mysigx"}));

    // The tag "Email" goes from every stored snippet through its context menu.
    click("tagRow:email", "3");
    click("deleteTagMenuItem");
    EXPECT_NE(item("deleteTagMessage").text.find("\"email\""), std::string::npos);
    click("deleteTagConfirm");
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const auto& snippet : session.storedLibrary())
                if (std::find(snippet.tags.begin(), snippet.tags.end(), "email") != snippet.tags.end()) return false;
            return true;
        },
        10000));
    EXPECT_EQ(session.storedLibrary().size(), 4u);
    EXPECT_TRUE(waitUntil([&] { return !maybe("tagRow:email"); }, 10000));

    // Emptied by the user, the library stays empty across a restart.
    ASSERT_EQ(session.stop(), 0);
    session.storeLibrary({});
    ASSERT_TRUE(session.start());
    ASSERT_TRUE(session.waitForLog(e2e::SablixSession::kTapRunning)) << session.log();
    EXPECT_TRUE(waitUntil([&] { return maybe("snippetEmptyState").has_value(); }, 10000));
    EXPECT_TRUE(rows().empty());
    ASSERT_EQ(session.stop(), 0);
    EXPECT_TRUE(session.storedLibrary().empty());
}

TEST_F(BareDisplayE2E, AtItsMinimumSizeTheWindowShowsEveryControlAndEveryIcon) {
    testservers::TestBackend backend(testservers::TestBackend::loadFixture(SABLIX_TEST_FIXTURES_DIR "/backend.json"));
    ASSERT_TRUE(backend.start());
    session.storeSetting("API_BASE_URL_OVERRIDE", platform::DefaultsValue(backend.baseURL()));
    session.storeSetting("APPCAST_URL_OVERRIDE", platform::DefaultsValue(backend.baseURL() + "/appcast.xml"));
    session.storeSignIn({{"id", "5A0E1C2B-3D4F-4A5B-8C6D-7E8F9A0B1C2D"},
                         {"email", "rowan@example.com"},
                         {"displayName", "Rowan Tesk"},
                         {"authProvider", "google"},
                         {"createdAt", "2025-03-01T10:00:00Z"}},
                        "access-rowan-1", "refresh-rowan-1");
    ASSERT_TRUE(session.start());
    ASSERT_TRUE(probed.shows("dismissUpdateButton")) << "the update on offer";

    // The source's help and menu close on a press of the button that opened them.
    for (const auto& [button, content] : {std::pair{"snippetSourceHelpButton", "snippetSourceHelpView"},
                                          std::pair{"snippetSourceButton", "sourcePersonal"}}) {
        click(button);
        ASSERT_TRUE(probed.shows(content)) << button;
        click(button);
        EXPECT_TRUE(waitUntil([&] { return !maybe(content); }, 5000)) << button << " left its popover open";
    }
    click("snippetSourceButton");
    click("sourceTeam:Support");
    click("searchField");
    type("zz");
    ASSERT_TRUE(probed.shows("clearSearchButton"));

    const std::string id = mainWindow();
    const std::string hints = runOn(display(), {"xprop", "-id", id, "WM_NORMAL_HINTS"});
    int width = 0, height = 0;
    std::sscanf(hints.substr(hints.find("minimum size: ")).c_str(), "minimum size: %d by %d", &width, &height);
    EXPECT_EQ(width, 750);
    runOn(display(), {"xdotool", "windowsize", "--sync", id, std::to_string(width), std::to_string(height)});
    ASSERT_TRUE(waitUntil(
        [&] { return maybe("MainWindow") && maybe("MainWindow")->y + maybe("MainWindow")->height == height; }, 10000));

    const QImage picture = screenshot(std::stoul(id));
    for (const char* button :
         {"teamSettingsButton", "clearSearchButton", "dismissUpdateButton", "snippetSourceHelpButton"})
        EXPECT_TRUE(drawsSomething(picture, item(button))) << button << " is blank";

    // Inside at that size: the list and tutorial, then the editor, then a snippet.
    EXPECT_EQ(outside(width, height), "");
    click("clearSearchButton");
    click("snippetSourceButton");
    click("sourcePersonal");
    click("newSnippetButton");
    click("dynamicFieldsToggle");
    ASSERT_TRUE(probed.shows("insertField:{time}"));
    EXPECT_EQ(outside(width, height), "") << "with the editor open";
    click("cancelButton");
    click("snippetRow:addr");
    ASSERT_TRUE(probed.shows("editButton"));
    EXPECT_EQ(outside(width, height), "") << "with a snippet shown";
}

// Each showing is a new X window; it opens where the user left the last one and as large.
TEST_F(BareDisplayE2E, TheWindowComesBackWhereAndAsLargeAsItWasLeft) {
    ASSERT_TRUE(session.start());
    const auto geometry = [&](const std::string& id) {
        const std::string shell = runOn(display(), {"xdotool", "getwindowgeometry", "--shell", id});
        int x = -1, y = -1, width = 0, height = 0;
        const size_t at = shell.find("X=");
        if (at != std::string::npos)
            std::sscanf(shell.c_str() + at, "X=%d\nY=%d\nWIDTH=%d\nHEIGHT=%d", &x, &y, &width, &height);
        return std::array<int, 4>{x, y, width, height};
    };
    std::string id = mainWindow();
    ASSERT_FALSE(id.empty());
    ASSERT_NE(geometry(id), (std::array<int, 4>{50, 50, 750, 555})) << "the test would prove nothing";
    runOn(display(), {"xdotool", "windowmove", "--sync", id, "50", "50"});
    runOn(display(), {"xdotool", "windowsize", "--sync", id, "750", "555"});
    // The window has heard of both once its content stands there.
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto content = maybe("mainContent");
            return content && content->x == 50 && content->y + content->height == 50 + 555;
        },
        10000));

    for (int showing = 0; showing < 2; ++showing) {
        close(id);
        ASSERT_TRUE(waitUntil([&] { return mainWindow().empty(); }, 10000)) << "closed";
        // Started again, as from the menu of applications: the running one shows its window.
        int code = -1;
        testsupport::runCommand({e2e::SablixSession::binary()}, &code, 10000, session.environment());
        ASSERT_EQ(code, 0);
        ASSERT_TRUE(waitUntil([&] { return !(id = mainWindow()).empty(); }, 10000)) << "shown again";
        EXPECT_EQ(geometry(id), (std::array<int, 4>{50, 50, 750, 555})) << "showing " << showing + 1;
    }
}

// At the window's default size the help on dynamic fields shows whole, its example included; in a
// window at its smallest, where it may not, it scrolls to the example.
TEST_F(BareDisplayE2E, TheDynamicFieldsHelpFitsTheWindowAtItsDefaultSizeAndScrollsInASmallerOne) {
    ASSERT_TRUE(session.start());
    const std::string id = mainWindow();
    const auto bottomOfWindow = [&] {
        const std::string shell = runOn(display(), {"xdotool", "getwindowgeometry", "--shell", id});
        int x = 0, y = 0, width = 0, height = 0;
        std::sscanf(shell.substr(shell.find("X=")).c_str(), "X=%d\nY=%d\nWIDTH=%d\nHEIGHT=%d", &x, &y, &width, &height);
        return y + height;
    };
    click("newSnippetButton");
    click("dynamicFieldsHelpButton");
    ASSERT_TRUE(probed.shows("dynamicFieldsExample"));
    const ProbedItem example = item("dynamicFieldsExample");
    EXPECT_LE(example.y + example.height, bottomOfWindow() - 8) << "the example is cut off at 900x600";
    key("Escape");
    ASSERT_TRUE(waitUntil([&] { return !maybe("dynamicFieldsExample"); }, 5000));

    // The smallest the window can be (no window manager holds it to that here).
    const std::string hints = runOn(display(), {"xprop", "-id", id, "WM_NORMAL_HINTS"});
    int minimumWidth = 0, minimumHeight = 0;
    std::sscanf(hints.substr(hints.find("minimum size: ")).c_str(), "minimum size: %d by %d", &minimumWidth,
                &minimumHeight);
    ASSERT_LT(minimumHeight, 600);
    runOn(display(),
          {"xdotool", "windowsize", "--sync", id, std::to_string(minimumWidth), std::to_string(minimumHeight)});
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto content = maybe("mainContent");
            return content && content->y + content->height == bottomOfWindow() && bottomOfWindow() < 600;
        },
        10000));
    click("dynamicFieldsHelpButton");
    ASSERT_TRUE(probed.shows("dynamicFieldsHelpView"));
    const ProbedItem panel = item("dynamicFieldsHelpView");
    runOn(display(),
          {"xdotool", "mousemove", "--sync", std::to_string(panel.x + panel.width / 2), std::to_string(panel.y + 40)});
    EXPECT_TRUE(waitUntil(
        [&] {
            runOn(display(), {"xdotool", "click", "5"});
            const auto shown = maybe("dynamicFieldsExample");
            return shown && shown->y + shown->height <= bottomOfWindow() - 8;
        },
        10000))
        << "the example cannot be scrolled to";
}

// The window and the desktop's entry carry Sablix's icon; the window's menu names Quit's shortcut;
// the about and update dialogs keep their text as far from their edges as the application's other
// dialogs; an update check warns of nothing (the session fails a test on any warning about the
// application's QML).
TEST_F(BareDisplayE2E, TheWindowCarriesItsIconItsMenuNamesQuitsShortcutAndItsDialogsArePadded) {
    ASSERT_TRUE(session.start());
    const unsigned long window = std::stoul(mainWindow());
    const std::string icon = runOn(display(), {"xprop", "-id", mainWindow(), "_NET_WM_ICON"});
    EXPECT_EQ(icon.find("_NET_WM_ICON(CARDINAL) = "), 0u) << icon;
    fs::path data;
    for (const auto& variable : session.environment())
        if (variable.starts_with("XDG_DATA_HOME=")) data = variable.substr(14);
    ASSERT_TRUE(waitUntil([&] { return fs::exists(data / "applications" / "sablix.desktop"); }, 10000));
    std::ifstream entry(data / "applications" / "sablix.desktop");
    const std::string text((std::istreambuf_iterator<char>(entry)), {});
    EXPECT_NE(text.find("\nIcon=sablix\n"), std::string::npos) << text;
    const QImage themed(QString::fromStdString((data / "icons/hicolor/scalable/apps/sablix.svg").string()));
    EXPECT_FALSE(themed.isNull()) << "the icon the entry names";

    const auto openMenu = [&] {
        runOn(display(), {"xdotool", "mousemove", "--sync", "20", "12", "click", "1"});
        return probed.shows("quitMenuItem");
    };
    // How far the text stands from the left edge of the dialog around it, in the window's pixels.
    const auto inset = [&](const std::string& text) {
        const ProbedItem label = item(text);
        const QImage picture = screenshot(window);
        const int y = label.y + label.height / 2;
        const QRgb background = picture.pixel(label.x - 1, y);
        int x = label.x - 1;
        while (x > 0 && picture.pixel(x - 1, y) == background) --x;
        return label.x - x;
    };

    ASSERT_TRUE(openMenu());
    EXPECT_TRUE(waitUntil(
        [&] {
            for (const auto& shown : probed.probe())
                if (shown.name == "quitShortcut" && shown.text == "Ctrl+Q") return true;
            return false;
        },
        5000));
    click("aboutMenuItem");
    ASSERT_TRUE(probed.shows("aboutVersion"));
    const int about = inset("aboutVersion");
    key("Escape");
    ASSERT_TRUE(waitUntil([&] { return !maybe("aboutVersion"); }, 5000));
    ASSERT_TRUE(openMenu());
    click("checkForUpdatesMenuItem");
    ASSERT_TRUE(probed.shows("updateCheckMessage"));
    const int update = inset("updateCheckMessage");
    key("Escape");
    ASSERT_TRUE(waitUntil([&] { return !maybe("updateCheckMessage"); }, 5000));

    click("tagRow:email", "3");
    click("deleteTagMenuItem");
    ASSERT_TRUE(probed.shows("deleteTagMessage"));
    const int other = inset("deleteTagMessage");
    EXPECT_GT(other, 0);
    EXPECT_EQ(about, other);
    EXPECT_EQ(update, other);
}

TEST_F(MainWindowE2E, TheEditorKeepsItsKeysWhileHelpIsOpenAndTypingGoesOnAfterAnInsertedField) {
    ASSERT_TRUE(session.start());
    activate();
    click("newSnippetButton");
    ASSERT_TRUE(probed.shows("titleField"));
    type("tip");
    click("contentEditor");
    type("A");
    click("dynamicFieldsToggle");
    click("insertField:{time}");
    type("B");
    EXPECT_TRUE(shows("contentEditor", "A{time}B"));

    // Escape closes an open help popover, and only that; Ctrl+Return saves with one open.
    click("titleHelpButton");
    ASSERT_TRUE(probed.shows("bestPracticesView"));
    key("Escape");
    EXPECT_TRUE(waitUntil([&] { return !maybe("bestPracticesView"); }, 5000));
    click("dynamicFieldsHelpButton");
    ASSERT_TRUE(probed.shows("dynamicFieldsHelpView"));
    key("ctrl+Return");
    ASSERT_TRUE(waitUntil([&] { return session.storedLibrary().size() == 4; }, 10000)) << "not saved";
    EXPECT_EQ(session.storedLibrary().back().snippet, "A{time}B");
}

// A modal dialog left open would take the next click in the window to close itself.
TEST_F(MainWindowE2E, ReturnClosesTheAboutDialogAndTheNextClickSelectsASnippet) {
    ASSERT_TRUE(session.start());
    activate();
    runOn(display(), {"xdotool", "mousemove", "--window", mainWindow(), "--sync", "20", "12", "click", "1"});
    click("aboutMenuItem");
    ASSERT_TRUE(probed.shows("aboutVersion"));
    key("Return");
    EXPECT_TRUE(waitUntil([&] { return !maybe("aboutVersion"); }, 5000));
    click("snippetRow:sig");
    EXPECT_TRUE(probed.shows("editButton")) << "the click was taken by something else";
}

TEST_F(MainWindowE2E, QuitFromTheWindowShutsDownInOrder) {
    ASSERT_TRUE(session.start());
    ASSERT_TRUE(session.waitForLog(e2e::SablixSession::kTapRunning)) << session.log();
    activate();
    key("ctrl+q");
    EXPECT_EQ(session.waitForExit(10000), 0) << "a clean exit";
    size_t at = 0;
    for (const char* step : {"Shutting down: key tap", "Shutting down: hot key", "Shutting down: sync"})
        EXPECT_NE(at = session.log().find(step, at), std::string::npos) << step;
}

// A feed that names a local file as the download, with a version that holds a line break: Update
// opens nothing and says why in the notice, and the version cannot start a line of its own in the
// log (a forged "signed in" line here).
TEST_F(MainWindowE2E, AHostileUpdateFeedOpensNothingAndForgesNoLogLine) {
    auto fixture = testservers::TestBackend::loadFixture(SABLIX_TEST_FIXTURES_DIR "/backend.json");
    fixture["appcast"] =
        R"(<?xml version="1.0" encoding="utf-8"?><rss version="2.0" xmlns:sparkle="https://sablix.app/xml">)"
        R"(<channel><item><title>Update</title><enclosure url="file:///etc/passwd" )"
        R"(sparkle:shortVersionString="9.9&#10;[com.sablix.app:AuthManager] info: Signed in as mallory@example.com"/>)"
        R"(</item></channel></rss>)";
    testservers::TestBackend backend(fixture);
    ASSERT_TRUE(backend.start());
    session.storeSetting("API_BASE_URL_OVERRIDE", platform::DefaultsValue(backend.baseURL()));
    session.storeSetting("APPCAST_URL_OVERRIDE", platform::DefaultsValue(backend.baseURL() + "/appcast.xml"));
    // The desktop's opener, which notes what it is asked to open.
    const fs::path bin = session.dataFolder().parent_path().parent_path() / "bin";
    const fs::path opened = bin / "opened";
    fs::create_directories(bin);
    std::ofstream(bin / "xdg-open") << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> " << opened.string() << "\n";
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);
    session.setEnvironment("PATH=" + bin.string() + ":" + std::getenv("PATH"));
    ASSERT_TRUE(session.start());

    ASSERT_TRUE(probed.shows("updateButton"));
    click("updateButton");
    EXPECT_TRUE(probed.shows("updateNoticeText", "The download address is not a web address."));
    ASSERT_TRUE(session.waitForLog("its scheme is \"file\"")) << session.log();
    EXPECT_FALSE(fs::exists(opened)) << "opened for the feed";
    const std::string log = session.log();
    EXPECT_EQ(log.find("/etc/passwd"), std::string::npos) << "the address itself was logged";
    EXPECT_EQ(log.find("\n[com.sablix.app:AuthManager] info: Signed in as mallory"), std::string::npos)
        << "the feed forged a line of the log";
    EXPECT_NE(log.find("9.9\\x0A[com.sablix.app:AuthManager]"), std::string::npos) << log;
}
